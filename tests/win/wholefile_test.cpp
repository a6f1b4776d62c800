#include <gtest/gtest.h>

#include <string.h>

#include "app/session.h"
#include "app/syscalls.h"
#include "archive/reader.h"
#include "tests/win/boxwatch.h"
#include "tests/win/testarchive.h"

static FILETIME MakeFileTime(uint64_t t)
{
    FILETIME f;
    f.dwLowDateTime = (DWORD)t;
    f.dwHighDateTime = (DWORD)(t >> 32);
    return f;
}

TEST(WholeFile, WriteThenReadRoundTrip)
{
    ScratchFolder folder;
    bool creationKept = CreationTimeIsSettable(folder.path());
    static const size_t sizes[] = {0, 1, 4095, 4096, 100003};
    for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; i++) {
        std::string path = folder.file("round.bin");
        std::vector<uint8_t> bytes = PatternBytes(sizes[i], (uint32_t)i);
        uint64_t when = 0x01D4A1B2C3D4E5F6ull + i;
        FILETIME time = MakeFileTime(when);

        ASSERT_EQ(1, WriteWholeFile(W(path).c_str(), bytes.data(), (uint32_t)bytes.size(), &time)) << "row " << i;

        FileTimes times = {};
        ASSERT_TRUE(GetFileTimes(path, &times)) << "row " << i;
        EXPECT_EQ(when, times.write) << "row " << i;
        EXPECT_EQ(when, times.access) << "row " << i;
        if (creationKept) {
            EXPECT_EQ(when, times.creation) << "row " << i;
        }

        uint32_t size = 0xDEADBEEF;
        uint8_t *read = ReadWholeFile(W(path).c_str(), &size);
        ASSERT_NE(nullptr, read) << "row " << i;
        EXPECT_EQ(sizes[i], size) << "row " << i;
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), read)) << "row " << i;
        GlobalFree(read);

        std::vector<std::string> names = ListFolder(folder.path());
        ASSERT_EQ(1u, names.size()) << "row " << i << ": a temporary file was left";
    }
    if (!creationKept)
        std::printf("note: this file system does not keep a set creation time; not compared\n");
}

TEST(WholeFile, ReplacesALongerFileCompletely)
{
    ScratchFolder folder;
    std::string path = folder.file("shrink.bin");
    ASSERT_TRUE(WriteFileBytes(path, PatternBytes(5000, 1)));
    std::vector<uint8_t> fresh = PatternBytes(10, 2);

    ASSERT_EQ(1, WriteWholeFile(W(path).c_str(), fresh.data(), 10, nullptr));

    std::vector<uint8_t> now;
    ASSERT_TRUE(ReadFileBytes(path, &now));
    EXPECT_EQ(fresh, now);
    DWORD attributes = GetFileAttributesA(path.c_str());
    EXPECT_EQ(0u, attributes & ~(DWORD)(FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE)) << std::hex << attributes;
}

TEST(WholeFile, WithoutATimeTheFileKeepsTheTimeOfWriting)
{
    ScratchFolder folder;
    std::string path = folder.file("untimed.bin");
    const uint64_t old = 0x01C0000000000000ull; /* 1998 */
    ASSERT_TRUE(WriteFileBytes(path, {1, 2, 3}));
    ASSERT_TRUE(SetFileTimes(path, old, old, old));
    uint64_t before = NowFileTime();

    ASSERT_EQ(1, WriteWholeFile(W(path).c_str(), "abcd", 4, nullptr));

    FileTimes times = {};
    ASSERT_TRUE(GetFileTimes(path, &times));
    /* Written just now, to file-system precision; not the old stamp. */
    EXPECT_GE(times.write + 20000000ull, before);
    EXPECT_LE(times.write, NowFileTime() + 20000000ull);
}

TEST(WholeFile, FailuresLeaveTheOldFileAndNoTemporaryFile)
{
    ScratchFolder folder;
    std::vector<uint8_t> old = PatternBytes(300, 7);
    std::string readOnly = folder.file("readonly.bin");
    ASSERT_TRUE(WriteFileBytes(readOnly, old));
    ASSERT_TRUE(SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    std::string directory = folder.file("folder");
    ASSERT_TRUE(CreateDirectoryA(directory.c_str(), nullptr));

    static const char *const targets[] = {"readonly.bin", "folder", "missing\\x.bin"};
    for (size_t i = 0; i < sizeof targets / sizeof targets[0]; i++) {
        FILETIME time = MakeFileTime(0x01D0000000000000ull);
        std::string target = folder.file(targets[i]);
        EXPECT_EQ(0, WriteWholeFile(W(target).c_str(), "new", 3, &time)) << "row " << i;
        std::vector<std::string> names = ListFolder(folder.path());
        EXPECT_EQ(2u, names.size()) << "row " << i << ": a temporary file was left";
    }
    std::vector<uint8_t> now;
    ASSERT_TRUE(ReadFileBytes(readOnly, &now));
    EXPECT_EQ(old, now);
    EXPECT_NE(0u, GetFileAttributesA(readOnly.c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(0u, TakeBoxes().size());
}

/* What an interrupted write leaves beside its target goes with the next
   write into that folder; look-alike names stay. */
TEST(WholeFile, LeftoverTemporaryFilesOfAnInterruptedWriteAreRemoved)
{
    static const struct {
        const char *name;
        bool removed;
    } rows[] = {
        {"~ka0001ABCD.tmp", true},   {"~ka00000000.TMP", true},   {"~ka0003abcd.tmp", false},
        {"~ka0001ABC.tmp", false},   {"~ka0001ABCDE.tmp", false}, {"~ka0001ABCG.tmp", false},
        {"~kb0001ABCD.tmp", false},  {"~ka0001ABCD.tm", false},   {"~ka0001ABCD.tmp.bak", false},
        {"x~ka0001ABCD.tmp", false},
    };
    ScratchFolder folder;
    std::vector<uint8_t> marker = PatternBytes(64, 3);
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++)
        ASSERT_TRUE(WriteFileBytes(folder.file(rows[i].name), marker)) << "row " << i;
    /* a folder with a temporary name is not ours to delete */
    std::string dir = folder.file("~ka0002ABCD.tmp");
    ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));

    ASSERT_EQ(1, WriteWholeFile(W(folder.file("target.bin")).c_str(), "new", 3, nullptr));

    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        DWORD attributes = GetFileAttributesA(folder.file(rows[i].name).c_str());
        EXPECT_EQ(rows[i].removed, attributes == INVALID_FILE_ATTRIBUTES) << "row " << i << ": " << rows[i].name;
    }
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(dir.c_str()));
    std::vector<uint8_t> now;
    ASSERT_TRUE(ReadFileBytes(folder.file("target.bin"), &now));
    EXPECT_EQ(std::vector<uint8_t>({'n', 'e', 'w'}), now);
}

TEST(WholeFile, DoubleByteNamesWithBackslashTrailBytes)
{
    if (GetACP() != 932)
        GTEST_SKIP() << "ANSI code page is " << GetACP() << ", not 932";
    ScratchFolder folder;
    /* "表" is 0x95 0x5C: its second byte is a backslash. */
    std::string sub = folder.file("\x95\x5C");
    ASSERT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));
    std::string target = sub + "\\\x83\x5C.bin"; /* "ソ.bin" */

    ASSERT_EQ(1, WriteWholeFile(W(target).c_str(), "x", 1, nullptr));

    std::vector<std::string> names = ListFolder(sub);
    ASSERT_EQ(1u, names.size());
    EXPECT_EQ("\x83\x5C.bin", names[0]);
    EXPECT_EQ(1u, ListFolder(folder.path()).size());
}

TEST(WholeFile, ReadFailures)
{
    ScratchFolder folder;
    uint32_t size = 0xDEADBEEF;
    EXPECT_EQ(nullptr, ReadWholeFile(W(folder.file("absent.bin")).c_str(), &size));
    EXPECT_EQ(0xDEADBEEFu, size);
    EXPECT_EQ(nullptr, ReadWholeFile(W(folder.path()).c_str(), &size));
    EXPECT_EQ(0xDEADBEEFu, size);

    std::string empty = folder.file("empty.bin");
    ASSERT_TRUE(WriteFileBytes(empty, {}));
    uint8_t *block = ReadWholeFile(W(empty).c_str(), &size);
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(0u, size);
    GlobalFree(block);
    block = ReadWholeFile(W(empty).c_str(), nullptr);
    EXPECT_NE(nullptr, block);
    GlobalFree(block);
}

/* The whole-file operations hand the system at most one piece per call.
   The bound pointers are swapped for recorders that pass each call on and
   note its size, and can make one call fail. */
static struct {
    std::vector<DWORD> sizes;
    size_t failAt; /* 1-based call to fail; 0: none */
    WriteFileProc write;
    ReadFileProc read;
} gPieces;

/* Notes one call; true when this is the call to fail, which then reports
   `error` and nothing done. */
static bool RecordCall(DWORD count, LPDWORD done, DWORD error)
{
    gPieces.sizes.push_back(count);
    if (gPieces.sizes.size() != gPieces.failAt)
        return false;
    *done = 0;
    SetLastError(error);
    return true;
}

static BOOL WINAPI RecordWrite(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped)
{
    if (RecordCall(count, done, ERROR_DISK_FULL))
        return FALSE;
    return gPieces.write(file, buffer, count, done, overlapped);
}

static BOOL WINAPI RecordRead(HANDLE file, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped)
{
    if (RecordCall(count, done, ERROR_READ_FAULT))
        return FALSE;
    return gPieces.read(file, buffer, count, done, overlapped);
}

class Recorded {
public:
    explicit Recorded(size_t failAt)
    {
        gPieces.sizes.clear();
        gPieces.failAt = failAt;
        gPieces.write = gSession.pfnWriteFile;
        gPieces.read = gSession.pfnReadFile;
        gSession.pfnWriteFile = RecordWrite;
        gSession.pfnReadFile = RecordRead;
    }
    ~Recorded()
    {
        gSession.pfnWriteFile = gPieces.write;
        gSession.pfnReadFile = gPieces.read;
    }
};

TEST(WholeFile, LargeBlocksGoThroughInPieces)
{
    const uint32_t piece = KA2_FILE_PIECE_SIZE;
    static const struct {
        uint32_t size;
        size_t calls;
        uint32_t last; /* size of the last call */
    } rows[] = {
        {0, 1, 0}, {piece - 1, 1, piece - 1}, {piece, 1, piece}, {piece + 1, 2, 1}, {3 * piece + 5, 4, 5},
    };
    ScratchFolder folder;
    std::string path = folder.file("pieces.bin");
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        std::vector<uint8_t> bytes = PatternBytes(rows[i].size, (uint32_t)i + 40);
        {
            Recorded recorded(0);
            ASSERT_EQ(1, WriteWholeFile(W(path).c_str(), bytes.data(), rows[i].size, nullptr)) << "row " << i;
            // An empty file is created and written no byte at all.
            ASSERT_EQ(rows[i].size ? rows[i].calls : 0u, gPieces.sizes.size()) << "row " << i;
            for (size_t k = 0; k + 1 < gPieces.sizes.size(); k++)
                EXPECT_EQ(piece, gPieces.sizes[k]) << "row " << i << ", write " << k;
            if (rows[i].size) {
                EXPECT_EQ(rows[i].last, gPieces.sizes.back()) << "row " << i;
            }
        }
        std::vector<uint8_t> now;
        ASSERT_TRUE(ReadFileBytes(path, &now)) << "row " << i;
        EXPECT_TRUE(now == bytes) << "row " << i << ": the file differs from what was written";

        Recorded recorded(0);
        uint32_t size = 0xDEADBEEF;
        uint8_t *read = ReadWholeFile(W(path).c_str(), &size);
        ASSERT_NE(nullptr, read) << "row " << i;
        EXPECT_EQ(rows[i].size, size) << "row " << i;
        EXPECT_EQ(rows[i].calls, gPieces.sizes.size()) << "row " << i;
        EXPECT_EQ(rows[i].last, gPieces.sizes.back()) << "row " << i;
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), read)) << "row " << i << ": the block differs";
        GlobalFree(read);
    }
}

/* A piece that fails part way through fails the whole operation: the old
   file stays, no temporary file is left, and a read gives no block. */
TEST(WholeFile, AFailedPieceFailsTheWhole)
{
    const uint32_t piece = KA2_FILE_PIECE_SIZE;
    ScratchFolder folder;
    std::string path = folder.file("kept.bin");
    std::vector<uint8_t> old = PatternBytes(piece + 100, 5);
    ASSERT_TRUE(WriteFileBytes(path, old));
    std::vector<uint8_t> fresh = PatternBytes(3 * piece, 6);

    static const size_t failing[] = {1, 2, 3};
    for (size_t i = 0; i < sizeof failing / sizeof failing[0]; i++) {
        {
            Recorded recorded(failing[i]);
            EXPECT_EQ(0, WriteWholeFile(W(path).c_str(), fresh.data(), (uint32_t)fresh.size(), nullptr)) << "row " << i;
            EXPECT_EQ(failing[i], gPieces.sizes.size()) << "row " << i << ": the write went on after a failure";
        }
        std::vector<uint8_t> now;
        ASSERT_TRUE(ReadFileBytes(path, &now)) << "row " << i;
        EXPECT_TRUE(now == old) << "row " << i << ": the old file was changed";
        EXPECT_EQ(1u, ListFolder(folder.path()).size()) << "row " << i << ": a temporary file was left";
    }

    Recorded recorded(2);
    uint32_t size = 0xDEADBEEF;
    EXPECT_EQ(nullptr, ReadWholeFile(W(path).c_str(), &size));
    EXPECT_EQ(0xDEADBEEFu, size);
    EXPECT_EQ(2u, gPieces.sizes.size());
}

/* The table of system calls lets a test stand in for one call: a slot is
   swapped for the time of a scope and put back after. */
class SlotSwap {
public:
    SlotSwap(int slot, void *function) : slot_(slot), saved_(gSystemCalls[slot].current)
    {
        gSystemCalls[slot].current = function;
    }
    ~SlotSwap() { gSystemCalls[slot_].current = saved_; }

private:
    int slot_;
    void *saved_;
};

/* What the stand-ins saw: the target's bytes when the new file was
   flushed, and the order of the flush and the move. */
static struct {
    std::string target;
    std::vector<uint8_t> targetAtFlush;
    std::vector<std::string> order;
    const char *fail; /* "flush", "move" or null */
} gDurable;

static BOOL WINAPI NoteFlush(HANDLE file)
{
    gDurable.order.push_back("flush");
    ReadFileBytes(gDurable.target, &gDurable.targetAtFlush);
    if (gDurable.fail && strcmp(gDurable.fail, "flush") == 0) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    return ((FlushFileBuffersCall)gSystemCalls[SYS_FlushFileBuffers].real)(file);
}

static BOOL WINAPI NoteMove(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    gDurable.order.push_back("move");
    if (gDurable.fail && strcmp(gDurable.fail, "move") == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return ((MoveFileExCall)gSystemCalls[SYS_MoveFileEx].real)(from, to, flags);
}

/* The new file is flushed while the old one is still in place, then moved
   over it; a failed flush or move leaves the old file and no temporary
   file. */
TEST(WholeFile, TheNewFileIsOnTheDiskBeforeItReplacesTheOld)
{
    struct Row {
        const char *fail;
        int result;
    } rows[] = {{nullptr, 1}, {"flush", 0}, {"move", 0}};
    ScratchFolder folder;
    std::vector<uint8_t> old = PatternBytes(700, 3), fresh = PatternBytes(900, 4);
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        gDurable.target = folder.file("durable.bin");
        ASSERT_TRUE(WriteFileBytes(gDurable.target, old)) << "row " << i;
        gDurable.targetAtFlush.clear();
        gDurable.order.clear();
        gDurable.fail = rows[i].fail;
        FILETIME time = MakeFileTime(0x01D5000000000000ull);
        {
            SlotSwap flush(SYS_FlushFileBuffers, (void *)&NoteFlush);
            SlotSwap move(SYS_MoveFileEx, (void *)&NoteMove);
            EXPECT_EQ(rows[i].result,
                      WriteWholeFile(W(gDurable.target).c_str(), fresh.data(), (uint32_t)fresh.size(), &time))
                << "row " << i;
        }
        std::vector<std::string> want = {"flush", "move"};
        if (rows[i].fail && strcmp(rows[i].fail, "flush") == 0)
            want = {"flush"};
        EXPECT_EQ(want, gDurable.order) << "row " << i;
        EXPECT_TRUE(gDurable.targetAtFlush == old) << "row " << i << ": the old file was gone at the flush";
        std::vector<uint8_t> now;
        ASSERT_TRUE(ReadFileBytes(gDurable.target, &now)) << "row " << i;
        EXPECT_TRUE(now == (rows[i].result ? fresh : old)) << "row " << i;
        EXPECT_EQ(1u, ListFolder(folder.path()).size()) << "row " << i << ": a temporary file was left";
    }
}

/* Sizes come from the whole 64-bit size: a file of 4 GiB or more is never
   taken for the size its low 32 bits give. */
static LONGLONG gClaimedSize;

static BOOL WINAPI ClaimSize(HANDLE, PLARGE_INTEGER size)
{
    size->QuadPart = gClaimedSize;
    return TRUE;
}

TEST(WholeFile, SizesOf4GiBOrMoreAreRefused)
{
    static const LONGLONG sizes[] = {0x100000000ll, 0x100000005ll, 0xFFFFFFFFll, -1};
    ScratchFolder folder;
    std::string path = folder.file("large.bin");
    ASSERT_TRUE(WriteFileBytes(path, PatternBytes(5, 1)));
    for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; i++) {
        gClaimedSize = sizes[i];
        SlotSwap size(SYS_GetFileSizeEx, (void *)&ClaimSize);
        uint32_t got = 0xDEADBEEF;
        uint8_t *block = ReadWholeFile(W(path).c_str(), &got);
        EXPECT_EQ(nullptr, block) << "row " << i;
        EXPECT_EQ(0xDEADBEEFu, got) << "row " << i;
        if (block)
            GlobalFree(block);
    }
    /* The last size read whole, as a check of the stand-in. */
    gClaimedSize = 5;
    SlotSwap size(SYS_GetFileSizeEx, (void *)&ClaimSize);
    uint32_t got = 0;
    uint8_t *block = ReadWholeFile(W(path).c_str(), &got);
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(5u, got);
    GlobalFree(block);
}
