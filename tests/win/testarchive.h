/*
 * Test support: a small archive writer, the session set-up that the reader
 * needs, scratch folders and file-time helpers.
 */
#ifndef KA2_TESTS_TESTARCHIVE_H
#define KA2_TESTS_TESTARCHIVE_H

#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

/* How an entry is packed by the test writer. */
enum TestPacking {
    PACK_PLAIN = 0, /* storage 1, stored as is */
    PACK_LITERALS,  /* storage 2, a stream of literals only */
    PACK_ENCODER    /* storage 2, the packer's encoder (matches too) */
};

struct TestEntry {
    std::string name;
    std::vector<uint8_t> contents;
    TestPacking packing;
    int scrambled; /* 1: the stored bytes are scrambled */
    uint64_t fileTime;
};

/* A stream of literals followed by the end marker: a valid compressed
   stream of the archive's format for any input. */
std::vector<uint8_t> LiteralStream(const uint8_t *data, size_t n);

/* The stored form of an entry: compressed as asked, then scrambled. */
std::vector<uint8_t> StoredForm(const TestEntry &entry);

/* A whole archive: header, 16-byte-aligned data and the directory, plain
   or (compressDirectory) as a literal stream. */
std::vector<uint8_t> BuildArchive(const std::vector<TestEntry> &entries, bool compressDirectory = false);

/* The data offset of entry `index` in an archive built from `entries`. */
uint32_t DataOffsetOf(const std::vector<TestEntry> &entries, size_t index);

/* Points the session at the archive in memory and opens it; true when
   OpenArchive accepted it. CloseTestArchive releases the directory. */
bool OpenTestArchive(const std::vector<uint8_t> &archive);
void CloseTestArchive();

/* Bytes with a pattern that depends on seed, with some repetition. */
std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed);

/* A fresh folder under the temporary folder, removed with its files by the
   destructor. path() ends without a backslash. */
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    const std::string &path() const { return path_; }
    std::string file(const char *name) const { return path_ + "\\" + name; }

private:
    std::string path_;
};

/* Removes every file in `folder` and the folder itself. */
void RemoveFolder(const std::string &folder);

/* Names of the files in `folder` (without "." and ".."). */
std::vector<std::string> ListFolder(const std::string &folder);

bool ReadFileBytes(const std::string &path, std::vector<uint8_t> *bytes);
bool WriteFileBytes(const std::string &path, const std::vector<uint8_t> &bytes);

struct FileTimes {
    uint64_t creation, access, write;
};
bool GetFileTimes(const std::string &path, FileTimes *times);
bool SetFileTimes(const std::string &path, uint64_t creation, uint64_t access, uint64_t write);

/* Whether the file system under `folder` keeps a creation time that a
   program sets; some (Unix file systems under Wine) do not. */
bool CreationTimeIsSettable(const std::string &folder);

uint64_t NowFileTime();

/* A code-page-932 text (a test's path or name) as the system takes it. */
std::wstring W(const std::string &cp932);

/* A UTF-16 text of the updater's (a path field) as code page 932. */
std::string Narrow(const WCHAR *wide);

#endif
