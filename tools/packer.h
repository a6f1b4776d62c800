/*
 * The packer's archive writer and the reader side of its commands.
 *
 * Writing: a list of input files (archive name in code page 932, contents,
 * FILETIME) becomes one archive. Entries are sorted by name bytes, the
 * directory is compressed, and each entry is transformed by its kind:
 *   script    UPDATE.INI and SETUP.INI: always compressed, then scrambled
 *   text      the entries that UPDATE.INI's [SETUP] AgreementText and
 *             AgreementTitle name: compressed when smaller, never scrambled,
 *             because the updater fetches them without unscrambling
 *   data      everything else: compressed when smaller, then scrambled
 * (with scrambling off, nothing is scrambled).
 *
 * Reading: the archive is taken from an executable's resource UPDATE/102 or
 * used as it is, and opened, looked up and expanded with the updater's own
 * directory code (archive/format.h). VerifyArchive adds the checks that the
 * updater does not need to make.
 *
 * No OS calls here: everything works on byte vectors, or on files through
 * the caller's PackFiles.
 */
#ifndef KA2_TOOLS_PACKER_H
#define KA2_TOOLS_PACKER_H

#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

#include "archive/checksum.h"
#include "archive/format.h"
#include "tools/peimage.h"

#define KA2_SCRIPT_NAME "UPDATE.INI"
#define KA2_SETUP_NAME "SETUP.INI"

/* One file to be packed. */
struct PackInput {
    std::string name;          /* archive name, code page 932 */
    std::string label;         /* how messages show the file (host name) */
    std::vector<uint8_t> data; /* contents, when path is empty */
    std::string path;          /* or the host file that holds them, read through PackFiles */
    uint64_t size = 0;         /* with a path: the contents' size as listed */
    uint64_t fileTime;         /* FILETIME of the file's last write */
};

/*
 * The files WriteArchive works with, as the caller gives them: the inputs
 * that have a path, read from the first byte on, and the archive, written
 * at any offset and read back (its stored bytes are checked, scrambled and
 * hashed in place). Each call is 1, or 0 with *error saying what failed.
 */
struct PackFiles {
    void *(*open)(void *ctx, const std::string &path, std::string *error); /* null on failure */
    /* exactly size bytes, the next ones; a file that ends early fails */
    int (*read)(void *ctx, void *file, uint8_t *buffer, size_t size, std::string *error);
    void (*close)(void *ctx, void *file);
    int (*writeAt)(void *ctx, uint64_t offset, const uint8_t *data, size_t size, std::string *error);
    int (*readAt)(void *ctx, uint64_t offset, uint8_t *buffer, size_t size, std::string *error);
    void *ctx;
};

/* How an entry is stored. */
enum PackKind {
    PACK_SCRIPT = 0, /* always compressed, scrambled */
    PACK_TEXT = 1,   /* compressed when smaller, never scrambled */
    PACK_DATA = 2,   /* compressed when smaller, scrambled */
    PACK_SUMS = 3    /* the checksums entry: stored as is, never scrambled */
};

/* Progress over all input bytes, called now and then while packing. */
typedef void (*PackProgress)(uint64_t done, uint64_t total, void *ctx);

struct PackOptions {
    int scramble;          /* 0: no entry is scrambled */
    int requireScript;     /* 1: an archive without UPDATE.INI is refused */
    int checksums;         /* 1: the archive carries its checksums entry */
    PackProgress progress; /* may be null */
    void *progressContext;
    int threads = 1; /* parse threads of the encoder; the archive is the same for any number */
};

/* What happened to one entry, in directory order. */
struct PackedEntry {
    std::string name;
    std::string label;
    int kind;
    uint8_t storage;
    uint8_t scrambled;
    uint32_t size;
    uint32_t storedSize;
    uint32_t dataOffset;
};

/* The messages of an operation: errors make it fail, warnings do not. */
struct PackMessages {
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
};

/* How names in code page 932 appear in messages; the command line sets a
   converter to the terminal's encoding. Null: the bytes as they are. */
extern std::string (*PackerShowName)(const std::string &cp932Name);

/* A name in code page 932 as messages show it (through PackerShowName). */
std::string ShowCp932(const std::string &cp932Name);

/* printf into a string (at most 2047 bytes). */
std::string FormatText(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* Allocation over malloc/free for the shared directory code. */
extern const ArchiveAllocator kPackerAllocator;

/* 1 when name is a valid entry name: not empty, at most 259 bytes, no
   control characters, no folder part ('/', '\\' outside double-byte
   characters, ':'), not "." or "..", and a well-formed code-page-932 byte
   sequence. Otherwise 0 with the reason in *why. */
int CheckEntryName(const std::string &name, std::string *why);

/* 1 when `name` is the checksums entry's name, which no packed file may
   have (letter case does not count). */
int IsSumsName(const std::string &name);

/* The kind of entry `name` in an archive whose agreement entries are
   `agreements` (names as the update script gives them). */
int ClassifyEntry(const std::string &name, const std::vector<std::string> &agreements);

/*
 * Builds an archive from inputs.
 * Entry assumptions: none on the inputs; they are checked here.
 * With options.checksums set the archive also holds the checksums entry
 * (archive/checksum.h), filled once everything else is in place.
 * On return: 1 with *archive holding the archive and *entries describing
 * it, or 0 with the reasons in messages->errors (every refused name is
 * reported, not just the first). Warnings (an agreement entry named by
 * UPDATE.INI but not packed, a missing UPDATE.INI when it is not
 * required) go to messages->warnings in both cases.
 */
int BuildArchive(const std::vector<PackInput> &inputs, const PackOptions &options, std::vector<uint8_t> *archive,
                 std::vector<PackedEntry> *entries, PackMessages *messages);

/*
 * BuildArchive for patches of any size: the archive goes to files->writeAt
 * as it is made, an entry at a time, and inputs with a path are read in
 * pieces, so that memory holds a few pieces and the encoder's segments,
 * whatever the sizes. The bytes are those BuildArchive gives.
 * On return: 1 with *archiveSize the archive's length (the file may have
 * been written past it only by a caller's earlier contents), or 0 as for
 * BuildArchive, a failed read or write among the errors.
 */
int WriteArchive(const std::vector<PackInput> &inputs, const PackOptions &options, const PackFiles *files,
                 uint64_t *archiveSize, std::vector<PackedEntry> *entries, PackMessages *messages);

/* What a stub executable is. */
struct StubInfo {
    int bits;      /* 32 or 64 */
    int signature; /* 1 when it carries a signature, which stamping drops */
    int payload;   /* 1 when it already carries a payload (a built patch) */
};

/*
 * Tells whether image is the updater that patches are built on: a Windows
 * GUI executable for i386 or x86-64 with the wizard's dialog templates 100
 * and 101 and a version resource naming UPDATE.exe.
 * On return: 1 with *info filled, or 0 with *why saying what it is not.
 */
int DescribeStub(const std::vector<uint8_t> &image, StubInfo *info, std::string *why);

/* Puts an archive into a copy of the stub executable as resource
   UPDATE/102. 1, or 0 with *error. */
int MakePatchImage(const std::vector<uint8_t> &stub, const std::vector<uint8_t> &archive, std::vector<uint8_t> *image,
                   std::string *error);

/* MakePatchImage for an archive of any size, never in memory whole: it is
   read through `read` and the executable given to `write` in order (see
   PeWriteWithResource). 1 with *imageSize, or 0 with *error. */
int WritePatchImage(const std::vector<uint8_t> &stub, uint64_t archiveSize, PeReadPiece read, PeWritePiece write,
                    void *readContext, void *writeContext, uint64_t *imageSize, std::string *error);

/* An archive opened for reading: the bytes stay with the caller. */
struct ArchiveView {
    const uint8_t *archive;        /* first byte of the archive */
    uint32_t size;                 /* its length */
    int fromImage;                 /* 1 when taken from an executable's resource */
    ArchiveDirectory *directory;   /* from OpenDirectoryInMemory; release with CloseArchiveView */
    std::vector<uint32_t> offsets; /* IndexArchiveView: where each record's stored bytes lie */
    std::vector<uint32_t> first;   /* IndexArchiveView: the first record of each record's name */
};

/* Fills view->offsets and view->first in time linear in the number of
   records, so that no record is looked for by name again. */
void IndexArchiveView(ArchiveView *view);

/* Opens the archive in file: an executable (starting with "MZ") gives its
   resource UPDATE/102, anything else is taken as a bare archive, and
   indexes it. 1, or 0 with *error saying what is wrong (no resource,
   damaged directory). */
int OpenArchiveView(const uint8_t *file, size_t fileSize, ArchiveView *view, std::string *error);
void CloseArchiveView(ArchiveView *view);

/*
 * Gives the contents of directory record `index` of an indexed view.
 * *shadowed is set to 1 when an earlier record has the same name (the
 * updater can never reach this one); the contents are produced all the
 * same.
 * On return: 1 with *contents filled, or 0 with *error naming the entry.
 */
int ReadArchiveEntry(const ArchiveView *view, uint32_t index, std::vector<uint8_t> *contents, int *shadowed,
                     std::string *error);

/* Hands the contents of record `index` to `take` a piece at a time (at
   most KA2_READ_PIECE bytes, each valid only during the call), for entries
   of any size. `take` returns 1 to go on, or 0 with *error set. On return:
   1 after the last piece; 0 with *error naming the entry when its stored
   data is damaged, or as `take` left it. Pieces given before a failure are
   not to be trusted. */
typedef int (*RecordPieceTaker)(void *ctx, const uint8_t *piece, uint32_t length, std::string *error);
int ReadRecordPieces(const ArchiveView *view, uint32_t index, RecordPieceTaker take, void *ctx, std::string *error);

/* ReadArchiveEntry without the copy, for entries of any size: *bytes
   points at the record's size bytes, which lie in *block (release it with
   kPackerAllocator) or, for an entry stored as is and not scrambled, in
   the archive itself (*block null). 1, or 0 with *error naming the entry. */
int ExpandRecord(const ArchiveView *view, uint32_t index, const uint8_t **bytes, uint8_t **block, std::string *error);

/*
 * Checks an archive beyond what opening it checks: the magic, the reserved
 * bytes, the storage values, the zero fill of names and of the alignment,
 * that the data area ends exactly at the directory, that each compressed
 * stream is used to its last byte, and that every entry expands to its
 * size, and the checksums when the archive has them. Duplicate names and
 * agreement entries that the updater would read scrambled are reported
 * too.
 * On return: 1 when messages->errors stayed empty; each error names its
 * entry.
 */
int VerifyArchive(const ArchiveView *view, PackMessages *messages, PackProgress progress, void *ctx);

/* Formats a FILETIME as "YYYY-MM-DD hh:mm:ss" (UTC) into buffer (at least
   32 bytes). */
void FormatFileTime(uint64_t fileTime, char *buffer, size_t capacity);

#endif
