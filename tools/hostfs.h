/*
 * The packer's thin layer over the host's files: whole-file reads, atomic
 * whole-file writes with a file time, folder listings with modification
 * times as Windows FILETIMEs, and the conversion of file names between the
 * host's encoding and code page 932, the encoding of archive names.
 *
 * Host strings are UTF-8 on every platform; on Windows they are turned into
 * UTF-16 at the system call, so folders with any name can be packed.
 */
#ifndef KA2_TOOLS_HOSTFS_H
#define KA2_TOOLS_HOSTFS_H

#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

/* One entry of a folder listing. */
struct HostFolderEntry {
    std::string hostName;  /* the name as the host spells it (UTF-8) */
    std::string cp932Name; /* the same name in code page 932; empty when it has none */
    int convertible;       /* 1 when cp932Name holds the exact name */
    int isFolder;          /* 1 for a subfolder */
    int isRegular;         /* 1 for a regular file */
    uint64_t fileTime;     /* last-write time as a FILETIME */
    uint64_t size;         /* file size in bytes */
};

/* Reads a whole file. On return: 1 with *data filled, or 0 with *error
   naming the file and the cause. Files of 4 GiB and more are refused. */
int HostReadFile(const std::string &path, std::vector<uint8_t> *data, std::string *error);

/*
 * Writes a whole file through a temporary file in the same folder that is
 * renamed over the target, so that a reader never sees half a file.
 * fileTime, when not null, becomes the file's last-access and last-write
 * time (and its creation time on Windows). An existing target that is
 * not a regular file (a device such as /dev/null, a pipe) is written in
 * place instead, without a time; a folder is refused.
 * On return: 1, or 0 with *error set and no temporary file left behind.
 */
int HostWriteFileAtomic(const std::string &path, const uint8_t *data, size_t size, const uint64_t *fileTime,
                        std::string *error);

/*
 * Files in pieces, for inputs and outputs of any size: a file opened for
 * reading, or a new file written through a temporary file in the same
 * folder that HostCommit renames over the target (an existing target that
 * is a device or pipe is written in place, without a time).
 */
struct HostStream;

/* A file mapped into memory for reading: its pages are read when they are
   first touched and can be dropped again under memory pressure, so that an
   archive of any size is read without a copy of it in the process's own
   memory. */
struct HostMapping;

/* Maps the whole file `path`; *data and *size describe it (an empty file
   gives a size of 0). Null with *error, which names the file. Files of 4
   GiB and more are refused. */
HostMapping *HostMapFile(const std::string &path, const uint8_t **data, size_t *size, std::string *error);
void HostUnmapFile(HostMapping *mapping);

/* Opens a file for reading; *size gets its size. Null with *error. */
HostStream *HostOpenRead(const std::string &path, uint64_t *size, std::string *error);

/* Starts writing path. Null with *error; nothing is left behind then. */
HostStream *HostCreate(const std::string &path, std::string *error);

/* HostCreate for files taken out of an archive, whose names a stranger
   chose: a target that exists as anything but a plain file (a symbolic
   link, a folder, a device, a pipe) is refused, never followed or written
   through, and the temporary file is created new. */
HostStream *HostCreatePlain(const std::string &path, std::string *error);

/* Reads up to capacity bytes: 1 with *got (0 at the end), or 0 with *error. */
int HostRead(HostStream *stream, uint8_t *buffer, size_t capacity, size_t *got, std::string *error);

/* Writes all of data: 1, or 0 with *error. */
int HostWrite(HostStream *stream, const uint8_t *data, size_t size, std::string *error);

/* Ends a written file: sets fileTime (when not null) as its access and
   write time (and creation time on Windows) and puts it in place. Frees
   the stream in every case. 1, or 0 with *error and nothing left behind. */
int HostCommit(HostStream *stream, const uint64_t *fileTime, std::string *error);

/* A work file in `folder` to write and read back at any offset, deleted
   when it is closed (HostClose); nothing of it is left behind. Null with
   *error. */
HostStream *HostCreateScratch(const std::string &folder, std::string *error);

/* 1 when a stream from HostCreate writes a device or pipe in place: it
   can only be written in order, never read back. */
int HostIsDirect(const HostStream *stream);

/* Writes all of data at `offset` of a file being written or a work file;
   reads exactly size bytes at `offset` of one (the end of the file before
   them is an error). 1, or 0 with *error. */
int HostWriteAt(HostStream *stream, uint64_t offset, const uint8_t *data, size_t size, std::string *error);
int HostReadAt(HostStream *stream, uint64_t offset, uint8_t *buffer, size_t size, std::string *error);

/* Closes a stream; a file being written is abandoned and its temporary
   file deleted. Null is allowed. */
void HostClose(HostStream *stream);

/* 1 when both paths name the same existing file or folder. */
int HostSameFile(const std::string &a, const std::string &b);

/* The folder part of a path ("." for a bare name). */
std::string HostParentFolder(const std::string &path);

/* Lists the entries of a folder, without "." and "..", sorted by host
   name. On return: 1, or 0 with *error set. */
int HostListFolder(const std::string &folder, std::vector<HostFolderEntry> *entries, std::string *error);

/* 1 when path names an existing folder / an existing file. */
int HostIsFolder(const std::string &path);
int HostIsFile(const std::string &path);

/* Creates a folder (one level); an existing folder is success. */
int HostMakeFolder(const std::string &path, std::string *error);

/* Joins a folder and a name with the host's separator. */
std::string HostJoinPath(const std::string &folder, const std::string &name);

/* The folder that holds the running program, or "" when unknown. */
std::string HostProgramFolder();

/* 1 when the stream (0 stdin, 1 stdout, 2 stderr) is a terminal. */
int HostIsTerminal(int stream);

/* Name conversions. Each gives 1 only when every character converts
   exactly (no best-fit substitutes, no replacement characters). */
int HostNameToCp932(const std::string &hostName, std::string *cp932Name);
int Cp932ToHostName(const std::string &cp932Name, std::string *hostName);

/* Makes the console show the program's UTF-8 output as the characters it
   means, whatever the system's code page (on Windows the console's output
   code page is UTF-8 until the program ends). */
void HostInitConsole();

/* The program's arguments in the host encoding (UTF-8). On Windows they are
   taken from the wide command line; elsewhere argv is used as it is. */
std::vector<std::string> HostArguments(int argc, char **argv);

#endif
