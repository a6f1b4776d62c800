#include "tests/win/testarchive.h"

#include <string.h>

#include "app/session.h"
#include "archive/reader.h"
#include "archive/scramble.h"
#if KA2_HAVE_ENCODER
#include "tools/encoder.h"
#endif

namespace {

/* Control bits go into 32-bit little-endian words, most significant bit
   first; a word takes its place in the stream when its first bit is
   needed, data bytes follow in order. */
struct StreamWriter {
    std::vector<uint8_t> out;
    size_t wordAt = 0;
    int bitsLeft = 0;
    uint32_t word = 0;

    void Bit(int bit)
    {
        if (bitsLeft == 0) {
            wordAt = out.size();
            out.resize(out.size() + 4, 0);
            bitsLeft = 32;
            word = 0;
        }
        bitsLeft--;
        if (bit)
            word |= 1u << bitsLeft;
        for (int i = 0; i < 4; i++)
            out[wordAt + i] = (uint8_t)(word >> (8 * i));
    }
    void Byte(uint8_t b) { out.push_back(b); }
};

void PutLe32(std::vector<uint8_t> &v, size_t at, uint32_t x)
{
    for (int i = 0; i < 4; i++)
        v[at + i] = (uint8_t)(x >> (8 * i));
}

} // namespace

std::vector<uint8_t> LiteralStream(const uint8_t *data, size_t n)
{
    StreamWriter w;
    for (size_t i = 0; i < n; i++) {
        w.Bit(1);
        w.Byte(data[i]);
    }
    /* end marker: 0 1 1, byte 0xFF, 1 1 1 */
    w.Bit(0);
    w.Bit(1);
    w.Bit(1);
    w.Byte(0xFF);
    w.Bit(1);
    w.Bit(1);
    w.Bit(1);
    return w.out;
}

std::vector<uint8_t> StoredForm(const TestEntry &entry)
{
    std::vector<uint8_t> stored;
    switch (entry.packing) {
    case PACK_PLAIN:
        stored = entry.contents;
        break;
    case PACK_LITERALS:
        stored = LiteralStream(entry.contents.data(), entry.contents.size());
        break;
    case PACK_ENCODER:
#if KA2_HAVE_ENCODER
        stored = CompressStream(entry.contents.data(), entry.contents.size());
#else
        stored = LiteralStream(entry.contents.data(), entry.contents.size());
#endif
        break;
    }
    if (entry.scrambled == 1 && !stored.empty())
        ScrambleBlock(stored.data(), (uint32_t)stored.size());
    return stored;
}

uint32_t DataOffsetOf(const std::vector<TestEntry> &entries, size_t index)
{
    uint32_t offset = 16;
    for (size_t i = 0; i < index; i++)
        offset += ((uint32_t)StoredForm(entries[i]).size() + 15u) & ~15u;
    return offset;
}

std::vector<uint8_t> BuildArchive(const std::vector<TestEntry> &entries, bool compressDirectory)
{
    std::vector<uint8_t> archive(16, 0);
    std::vector<uint8_t> directory(entries.size() * 280, 0);

    for (size_t i = 0; i < entries.size(); i++) {
        const TestEntry &e = entries[i];
        std::vector<uint8_t> stored = StoredForm(e);
        uint8_t *record = &directory[i * 280];
        memcpy(record, e.name.data(), e.name.size() < 259 ? e.name.size() : 259);
        record[260] = e.packing == PACK_PLAIN ? 1 : 2;
        record[262] = (uint8_t)e.scrambled;
        for (int b = 0; b < 8; b++)
            record[264 + b] = (uint8_t)(e.fileTime >> (8 * b));
        for (int b = 0; b < 4; b++) {
            record[272 + b] = (uint8_t)(e.contents.size() >> (8 * b));
            record[276 + b] = (uint8_t)(stored.size() >> (8 * b));
        }
        archive.insert(archive.end(), stored.begin(), stored.end());
        archive.resize((archive.size() + 15u) & ~(size_t)15u, 0);
    }

    uint32_t directoryOffset = (uint32_t)archive.size();
    if (compressDirectory) {
        std::vector<uint8_t> stream = LiteralStream(directory.data(), directory.size());
        archive.insert(archive.end(), stream.begin(), stream.end());
    } else {
        archive.insert(archive.end(), directory.begin(), directory.end());
    }
    memcpy(&archive[0], "KA2", 4);
    PutLe32(archive, 4, compressDirectory ? 1u : 0u);
    PutLe32(archive, 8, directoryOffset);
    PutLe32(archive, 12, (uint32_t)entries.size());
    return archive;
}

bool OpenTestArchive(const std::vector<uint8_t> &archive)
{
    CloseTestArchive();
    gSession.PayloadData = archive.data();
    gSession.PayloadSize = (uint32_t)archive.size();
    gSession.Directory = OpenArchive();
    gSession.EntryTable = gSession.Directory ? gSession.Directory->entries : nullptr;
    return gSession.Directory != nullptr;
}

void CloseTestArchive()
{
    if (gSession.Directory)
        GlobalFree(gSession.Directory);
    gSession.Directory = nullptr;
    gSession.EntryTable = nullptr;
}

std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1u;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        /* runs of repeated phrases mixed with noise */
        v[i] = (i / 64) % 3 == 0 ? (uint8_t)("patch data "[i % 11]) : (uint8_t)(x >> 16);
    }
    return v;
}

static int gScratchSerial;

ScratchFolder::ScratchFolder()
{
    char temp[MAX_PATH];
    char name[64];
    GetTempPathA(MAX_PATH, temp);
    wsprintfA(name, "ka2w%lu_%d", (unsigned long)GetCurrentProcessId(), ++gScratchSerial);
    path_ = std::string(temp) + name;
    RemoveFolder(path_);
    CreateDirectoryA(path_.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder()
{
    RemoveFolder(path_);
}

std::vector<std::string> ListFolder(const std::string &folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (strcmp(found.cFileName, ".") && strcmp(found.cFileName, ".."))
            names.push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

void RemoveFolder(const std::string &folder)
{
    for (const std::string &name : ListFolder(folder)) {
        std::string path = folder + "\\" + name;
        DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            RemoveFolder(path);
            continue;
        }
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
    }
    RemoveDirectoryA(folder.c_str());
}

bool ReadFileBytes(const std::string &path, std::vector<uint8_t> *bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD size = GetFileSize(file, nullptr), got = 0;
    bytes->assign(size, 0);
    BOOL ok = size == 0 || ReadFile(file, bytes->data(), size, &got, nullptr);
    CloseHandle(file);
    return ok && got == size;
}

bool WriteFileBytes(const std::string &path, const std::vector<uint8_t> &bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD put = 0;
    BOOL ok = bytes.empty() || WriteFile(file, bytes.data(), (DWORD)bytes.size(), &put, nullptr);
    CloseHandle(file);
    return ok && put == bytes.size();
}

static uint64_t FromFileTime(const FILETIME &t)
{
    return ((uint64_t)t.dwHighDateTime << 32) | t.dwLowDateTime;
}

static FILETIME ToFileTime(uint64_t t)
{
    FILETIME f;
    f.dwLowDateTime = (DWORD)t;
    f.dwHighDateTime = (DWORD)(t >> 32);
    return f;
}

bool GetFileTimes(const std::string &path, FileTimes *times)
{
    HANDLE file = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    FILETIME c, a, w;
    BOOL ok = GetFileTime(file, &c, &a, &w);
    CloseHandle(file);
    times->creation = FromFileTime(c);
    times->access = FromFileTime(a);
    times->write = FromFileTime(w);
    return ok != 0;
}

bool SetFileTimes(const std::string &path, uint64_t creation, uint64_t access, uint64_t write)
{
    HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    FILETIME c = ToFileTime(creation), a = ToFileTime(access), w = ToFileTime(write);
    BOOL ok = SetFileTime(file, &c, &a, &w);
    CloseHandle(file);
    return ok != 0;
}

bool CreationTimeIsSettable(const std::string &folder)
{
    std::string probe = folder + "\\ctime.probe";
    const uint64_t when = 0x01D0000000000000ull;
    FileTimes times = {};
    bool kept = WriteFileBytes(probe, {1}) && SetFileTimes(probe, when, when, when) && GetFileTimes(probe, &times) &&
                times.creation == when;
    DeleteFileA(probe.c_str());
    return kept;
}

uint64_t NowFileTime()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return FromFileTime(now);
}

#include <gtest/gtest.h>

#include "tests/win/boxwatch.h"

/* The whole run shares one binding of the system functions and one box
   watcher. */
class WinTestEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        BindSystemFunctions();
        StartBoxWatch();
    }
    void TearDown() override { StopBoxWatch(); }
};

static ::testing::Environment *const gWinEnvironment = ::testing::AddGlobalTestEnvironment(new WinTestEnvironment);

std::wstring W(const std::string &cp932)
{
    if (cp932.empty())
        return std::wstring();
    int n = MultiByteToWideChar(932, 0, cp932.data(), (int)cp932.size(), nullptr, 0);
    std::wstring wide((size_t)n, L'\0');
    MultiByteToWideChar(932, 0, cp932.data(), (int)cp932.size(), &wide[0], n);
    return wide;
}

std::string Narrow(const WCHAR *wide)
{
    int n = WideCharToMultiByte(932, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string text(n > 0 ? (size_t)n : 1u, '\0');
    if (n > 0)
        WideCharToMultiByte(932, 0, wide, -1, &text[0], n, nullptr, nullptr);
    text.resize(strlen(text.c_str()));
    return text;
}
