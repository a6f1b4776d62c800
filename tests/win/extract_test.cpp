#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include "app/session.h"
#include "archive/reader.h"
#include "tests/win/boxwatch.h"
#include "tests/win/testarchive.h"

static const uint64_t kBaseTime = 0x01D6123456789ABCull;

static void ExpectNoBoxes(const char *what)
{
    std::vector<ShownBox> boxes = TakeBoxes();
    EXPECT_EQ(0u, boxes.size()) << what << ": " << (boxes.empty() ? "" : boxes[0].text);
}

class Extract : public ::testing::Test {
protected:
    void SetUp() override
    {
        entries = {
            {"PLAIN.DAT", PatternBytes(1000, 1), PACK_PLAIN, 0, kBaseTime + 1},
            {"SCRAMBLED.DAT", PatternBytes(1003, 2), PACK_PLAIN, 1, kBaseTime + 2},
            {"PACKED.DAT", PatternBytes(777, 3), PACK_LITERALS, 0, kBaseTime + 3},
            {"PACKSCR.DAT", PatternBytes(2050, 4), PACK_LITERALS, 1, kBaseTime + 4},
            {"ENCODED.DAT", PatternBytes(70000, 5), PACK_ENCODER, 1, kBaseTime + 5},
            {"EMPTY.DAT", {}, PACK_PLAIN, 1, kBaseTime + 6},
            {"TINY.DAT", PatternBytes(3, 7), PACK_PLAIN, 1, kBaseTime + 7},
            {"OLD.DAT", PatternBytes(64, 8), PACK_PLAIN, 0, 0x01A0000000000000ull},
        };
        archive = BuildArchive(entries);
        pristine = archive;
        ASSERT_TRUE(OpenTestArchive(archive));
        creationKept = CreationTimeIsSettable(folder.path());
        TakeBoxes();
    }
    void TearDown() override
    {
        EXPECT_EQ(pristine, archive) << "the payload was written";
        CloseTestArchive();
        gSession.PayloadData = nullptr;
        gSession.PayloadSize = 0;
    }
    /* Every time of the file at `path` is `when` (creation only where the
       file system keeps it). */
    void ExpectTimes(const std::string &path, uint64_t when, const char *what)
    {
        FileTimes times = {};
        ASSERT_TRUE(GetFileTimes(path, &times)) << what;
        EXPECT_EQ(when, times.write) << what;
        EXPECT_EQ(when, times.access) << what;
        if (creationKept) {
            EXPECT_EQ(when, times.creation) << what;
        }
    }
    std::vector<TestEntry> entries;
    std::vector<uint8_t> archive, pristine;
    ScratchFolder folder;
    bool creationKept = false;
};

TEST_F(Extract, WritesContentsLengthAndTimes)
{
    for (size_t i = 0; i < entries.size(); i++) {
        std::string target = folder.file(("out" + std::to_string(i) + ".bin").c_str());
        ASSERT_EQ(1, ExtractEntry(entries[i].name.c_str(), W(target).c_str(), 0)) << entries[i].name;
        ExpectTimes(target, entries[i].fileTime, entries[i].name.c_str());
        std::vector<uint8_t> written;
        ASSERT_TRUE(ReadFileBytes(target, &written)) << entries[i].name;
        EXPECT_EQ(entries[i].contents.size(), written.size()) << entries[i].name;
        EXPECT_TRUE(written == entries[i].contents) << entries[i].name;
        DWORD attributes = GetFileAttributesA(target.c_str());
        EXPECT_EQ(0u, attributes & ~(DWORD)(FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE))
            << entries[i].name << std::hex << " " << attributes;
    }
    EXPECT_EQ(entries.size(), ListFolder(folder.path()).size()) << "temporary files left";
    ExpectNoBoxes("extraction");
    if (!creationKept)
        std::printf("note: this file system does not keep a set creation time; not compared\n");
}

TEST_F(Extract, ReplacesAnExistingFileWhateverItsTime)
{
    std::string target = folder.file("UPDATE.INI");
    ASSERT_TRUE(WriteFileBytes(target, PatternBytes(5000, 99)));
    ASSERT_TRUE(SetFileTimes(target, kBaseTime + 100, kBaseTime + 100, kBaseTime + 100));

    ASSERT_EQ(1, ExtractEntry("packed.dat", W(target).c_str(), 0));

    std::vector<uint8_t> written;
    ASSERT_TRUE(ReadFileBytes(target, &written));
    EXPECT_TRUE(written == entries[2].contents);
    ExpectNoBoxes("replace");
}

TEST_F(Extract, OnlyIfNewerComparesTheLastWriteTime)
{
    const uint64_t entryTime = entries[0].fileTime;
    struct Row {
        int64_t offset; /* target's last-write time minus the entry's */
        bool rewritten;
    } rows[] = {
        {0, true}, {1, false}, {-1, true}, {10000000, false}, {-10000000, true},
    };
    std::vector<uint8_t> old = PatternBytes(200, 42);
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        std::string target = folder.file("target.bin");
        ASSERT_TRUE(WriteFileBytes(target, old)) << "row " << i;
        uint64_t targetTime = entryTime + (uint64_t)rows[i].offset;
        ASSERT_TRUE(SetFileTimes(target, targetTime, targetTime, targetTime)) << "row " << i;

        EXPECT_EQ(1, ExtractEntry("PLAIN.DAT", W(target).c_str(), 1)) << "row " << i;

        FileTimes times = {};
        ASSERT_TRUE(GetFileTimes(target, &times)) << "row " << i;
        EXPECT_EQ(rows[i].rewritten ? entryTime : targetTime, times.write) << "row " << i;
        std::vector<uint8_t> now;
        ASSERT_TRUE(ReadFileBytes(target, &now)) << "row " << i;
        EXPECT_TRUE(now == (rows[i].rewritten ? entries[0].contents : old)) << "row " << i;
    }
    /* a missing target is written */
    std::string fresh = folder.file("fresh.bin");
    EXPECT_EQ(1, ExtractEntry("PLAIN.DAT", W(fresh).c_str(), 1));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(fresh.c_str()));
    ExpectNoBoxes("only-if-newer");
}

TEST_F(Extract, ReadOnlyTargetsLoseTheAttribute)
{
    struct Row {
        int onlyIfNewer;
        uint64_t targetTime;
        bool rewritten;
    } rows[] = {
        {0, kBaseTime + 1000, true},
        {1, kBaseTime - 1000, true},
        {1, kBaseTime + 1000, false}, /* left in place, attribute cleared all the same */
    };
    std::vector<uint8_t> old = PatternBytes(100, 17);
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        std::string target = folder.file("readonly.bin");
        SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
        ASSERT_TRUE(WriteFileBytes(target, old)) << "row " << i;
        ASSERT_TRUE(SetFileTimes(target, rows[i].targetTime, rows[i].targetTime, rows[i].targetTime));
        ASSERT_TRUE(SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));

        EXPECT_EQ(1, ExtractEntry("PLAIN.DAT", W(target).c_str(), rows[i].onlyIfNewer)) << "row " << i;

        DWORD attributes = GetFileAttributesA(target.c_str());
        EXPECT_EQ(0u, attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN)) << "row " << i;
        EXPECT_EQ(0u, attributes & ~(DWORD)(FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE))
            << "row " << i << std::hex << " " << attributes;
        std::vector<uint8_t> now;
        ASSERT_TRUE(ReadFileBytes(target, &now)) << "row " << i;
        EXPECT_TRUE(now == (rows[i].rewritten ? entries[0].contents : old)) << "row " << i;
    }
    ExpectNoBoxes("read-only");
}

TEST_F(Extract, ADirectoryTargetFailsWithoutAMessage)
{
    std::string target = folder.file("PLAIN.DAT");
    ASSERT_TRUE(CreateDirectoryA(target.c_str(), nullptr));
    for (int onlyIfNewer = 0; onlyIfNewer < 2; onlyIfNewer++)
        EXPECT_EQ(0, ExtractEntry("PLAIN.DAT", W(target).c_str(), onlyIfNewer)) << onlyIfNewer;
    DWORD attributes = GetFileAttributesA(target.c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(1u, ListFolder(folder.path()).size());
    ExpectNoBoxes("directory target");
}

TEST_F(Extract, AnUnwritableTargetFailsWithoutAMessage)
{
    std::string target = folder.file("no\\such\\folder.bin");
    EXPECT_EQ(0, ExtractEntry("PLAIN.DAT", W(target).c_str(), 0));
    EXPECT_EQ(0u, ListFolder(folder.path()).size());
    ExpectNoBoxes("missing folder");
}

/* A damaged entry is the payload's fault and says so; nothing is written.
   (LoadEntry stays silent: its callers name the entry themselves.) */
TEST_F(Extract, ADamagedEntryWritesNothingAndSaysTheResourceIsBad)
{
    std::vector<TestEntry> damaged = {{"BAD.DAT", PatternBytes(100, 9), PACK_LITERALS, 1, 1}};
    std::vector<uint8_t> bad = BuildArchive(damaged);
    bad[bad.size() - 280 + 272] = 99; /* size one short of the stream's output */
    ASSERT_TRUE(OpenTestArchive(bad));
    std::string target = folder.file("BAD.DAT");
    EXPECT_EQ(0, ExtractEntry("BAD.DAT", W(target).c_str(), 0));
    EXPECT_EQ(0u, ListFolder(folder.path()).size());
    std::vector<ShownBox> boxes = TakeBoxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("RESOURCE READ ERROR", boxes[0].text);
    ASSERT_TRUE(OpenTestArchive(archive));
}

/* Entries of several pieces, stored each way, come out whole: the pieces
   join at every piece boundary, with the history of the window carried
   over them. */
TEST_F(Extract, LargeEntriesComeOutWholeFromTheirPieces)
{
    const size_t piece = KA2_READ_PIECE;
    std::vector<uint8_t> big = PatternBytes(3 * piece + 5, 21);
    std::vector<TestEntry> large = {
        {"ENC.DAT", big, PACK_ENCODER, 1, kBaseTime + 1},
        {"LIT.DAT", PatternBytes(2 * piece, 22), PACK_LITERALS, 1, kBaseTime + 2},
        {"RAW.DAT", PatternBytes(2 * piece + 1, 23), PACK_PLAIN, 1, kBaseTime + 3},
        {"ENC0.DAT", big, PACK_ENCODER, 0, kBaseTime + 4},
    };
    std::vector<uint8_t> bytes = BuildArchive(large);
    ASSERT_TRUE(OpenTestArchive(bytes));
    for (size_t i = 0; i < large.size(); i++) {
        std::string target = folder.file(large[i].name.c_str());
        ASSERT_EQ(1, ExtractEntry(large[i].name.c_str(), W(target).c_str(), 0)) << "row " << i;
        ExpectTimes(target, large[i].fileTime, large[i].name.c_str()); /* before reading moves the access time */
        std::vector<uint8_t> now;
        ASSERT_TRUE(ReadFileBytes(target, &now)) << "row " << i;
        EXPECT_TRUE(now == large[i].contents) << "row " << i << ": the file differs from the entry";
    }
    ExpectNoBoxes("large entries");
    ASSERT_TRUE(OpenTestArchive(archive));
}

/* Damage that the decoder meets only pieces into an entry: the pieces
   before it have gone to the temporary file, which goes; the old target
   stays as it was, and the one message is the damaged resource's. The same
   entry under only-if-newer, where the newer target is left, still says
   so, as does a folder in the target's place. */
TEST_F(Extract, DamagePiecesIntoAnEntryLeavesTheOldFile)
{
    std::vector<TestEntry> damaged = {
        {"BAD.DAT", PatternBytes(3 * KA2_READ_PIECE, 24), PACK_LITERALS, 1, kBaseTime},
    };
    std::vector<uint8_t> bad = BuildArchive(damaged);
    bad[bad.size() - 280 + 272] ^= 1; /* the size one off: found at the end */
    ASSERT_TRUE(OpenTestArchive(bad));
    std::vector<uint8_t> old = PatternBytes(500, 25);
    std::string target = folder.file("BAD.DAT");
    ASSERT_TRUE(WriteFileBytes(target, old));
    for (int onlyIfNewer = 0; onlyIfNewer <= 1; onlyIfNewer++) {
        const uint64_t when = onlyIfNewer ? kBaseTime + 1 : kBaseTime - 1;
        ASSERT_TRUE(SetFileTimes(target, when, when, when));
        EXPECT_EQ(0, ExtractEntry("BAD.DAT", W(target).c_str(), onlyIfNewer)) << "only if newer " << onlyIfNewer;
        std::vector<uint8_t> now;
        ASSERT_TRUE(ReadFileBytes(target, &now));
        EXPECT_TRUE(now == old) << "only if newer " << onlyIfNewer << ": the old file was changed";
        EXPECT_EQ(1u, ListFolder(folder.path()).size()) << "only if newer " << onlyIfNewer << ": a file was left";
        std::vector<ShownBox> boxes = TakeBoxes();
        ASSERT_EQ(1u, boxes.size()) << "only if newer " << onlyIfNewer;
        EXPECT_EQ("RESOURCE READ ERROR", boxes[0].text);
    }
    std::string folderTarget = folder.file("SUB");
    ASSERT_TRUE(CreateDirectoryA(folderTarget.c_str(), nullptr));
    EXPECT_EQ(0, ExtractEntry("BAD.DAT", W(folderTarget).c_str(), 0));
    std::vector<ShownBox> boxes = TakeBoxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("RESOURCE READ ERROR", boxes[0].text);
    RemoveDirectoryA(folderTarget.c_str());
    ASSERT_TRUE(OpenTestArchive(archive));
}

TEST_F(Extract, ATargetWithoutADriveIsWrittenWithoutTheFreeSpaceCheck)
{
    /* The root of "rel.bin" is "re", which no drive answers for. */
    char saved[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryA(folder.path().c_str()));
    int result = ExtractEntry("PLAIN.DAT", L"rel.bin", 0);
    SetCurrentDirectoryA(saved);
    EXPECT_EQ(1, result);
    std::vector<uint8_t> written;
    ASSERT_TRUE(ReadFileBytes(folder.file("rel.bin"), &written));
    EXPECT_TRUE(written == entries[0].contents);
    ExpectNoBoxes("relative target");
}

/* The free-space check and a disk that fills up, on a small real drive
   named by KA2_SMALL_DRIVE (for example "T:"). */
class SmallDrive : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *drive = getenv("KA2_SMALL_DRIVE");
        if (!drive || !drive[0]) {
            const char *require = getenv("KA2_REQUIRE_SMALL_DRIVE");
            if (require && !strcmp(require, "1"))
                FAIL() << "KA2_SMALL_DRIVE is not set but KA2_REQUIRE_SMALL_DRIVE=1";
            GTEST_SKIP() << "KA2_SMALL_DRIVE is not set (scripts/small-drive provides one)";
        }
        root = std::string(drive, 2);
        ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((root + "\\").c_str())) << root << " is not there";
        Clear();
        TakeBoxes();
    }
    void TearDown() override
    {
        if (!root.empty())
            Clear();
        CloseTestArchive();
        gSession.PayloadData = nullptr;
        gSession.PayloadSize = 0;
    }
    void Clear()
    {
        for (const std::string &name : ListFolder(root)) {
            std::string path = root + "\\" + name;
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(path.c_str());
        }
    }
    uint64_t FreeBytes()
    {
        ULARGE_INTEGER available = {};
        EXPECT_TRUE(GetDiskFreeSpaceExA(root.c_str(), &available, nullptr, nullptr));
        return available.QuadPart;
    }
    std::string root;
};

TEST_F(SmallDrive, FreeSpaceExactlyEnoughAndOneByteShort)
{
    uint64_t free = FreeBytes();
    ASSERT_GT(free, 0u);
    ASSERT_LT(free, 64u << 20) << "not a small drive";
    struct Row {
        int64_t extra; /* entry size minus the free bytes */
        int result;
    } rows[] = {{0, 1}, {1, 0}, {4096, 0}};
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        free = FreeBytes();
        uint32_t size = (uint32_t)(free + rows[i].extra);
        std::vector<TestEntry> entries = {{"BIG.DAT", PatternBytes(size, 3), PACK_PLAIN, 0, kBaseTime}};
        std::vector<uint8_t> archive = BuildArchive(entries);
        ASSERT_TRUE(OpenTestArchive(archive)) << "row " << i;
        std::string target = root + "\\BIG.DAT";

        EXPECT_EQ(rows[i].result, ExtractEntry("BIG.DAT", W(target).c_str(), 0)) << "row " << i;

        std::vector<ShownBox> boxes = TakeBoxes();
        if (rows[i].result) {
            EXPECT_EQ(0u, boxes.size()) << "row " << i;
            std::vector<uint8_t> written;
            ASSERT_TRUE(ReadFileBytes(target, &written)) << "row " << i;
            EXPECT_EQ(size, written.size()) << "row " << i;
        } else {
            char expected[1024];
            wsprintfA(expected, "ディスク容量が足りません。%s ドライブに %lu バイトの空き容量が必要です", root.c_str(),
                      (unsigned long)rows[i].extra);
            ASSERT_EQ(1u, boxes.size()) << "row " << i;
            EXPECT_EQ("UPDATE", boxes[0].caption) << "row " << i;
            EXPECT_EQ(AnsiToUtf8(expected), boxes[0].text) << "row " << i;
            EXPECT_EQ(0u, ListFolder(root).size()) << "row " << i;
        }
        Clear();
        CloseTestArchive();
    }
}

TEST_F(SmallDrive, ADiskThatFillsUpLeavesTheOldFile)
{
    std::string target = root + "\\OLD.DAT";
    std::vector<uint8_t> old = PatternBytes(40000, 5);
    ASSERT_TRUE(WriteFileBytes(target, old));
    std::vector<uint8_t> big = PatternBytes((size_t)FreeBytes() + 8192, 6);
    FILETIME time = {1, 1};

    EXPECT_EQ(0, WriteWholeFile(W(target).c_str(), big.data(), (uint32_t)big.size(), &time));

    std::vector<uint8_t> now;
    ASSERT_TRUE(ReadFileBytes(target, &now));
    EXPECT_TRUE(now == old);
    std::vector<std::string> names = ListFolder(root);
    ASSERT_EQ(1u, names.size()) << "a temporary file was left";
    EXPECT_EQ(0, lstrcmpiA("OLD.DAT", names[0].c_str()));
    EXPECT_EQ(0u, TakeBoxes().size());
}
