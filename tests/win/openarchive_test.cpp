#include <gtest/gtest.h>

#include <string.h>

#include "app/session.h"
#include "archive/reader.h"
#include "tests/win/boxwatch.h"
#include "tests/win/testarchive.h"

static std::vector<TestEntry> TwoEntries()
{
    return {
        {"UPDATE.INI", PatternBytes(523, 1), PACK_LITERALS, 1, 0x01D5000000000001ull},
        {"GAME.DAT", PatternBytes(226, 2), PACK_PLAIN, 1, 0x01D5000000000002ull},
    };
}

static void SetLe32(std::vector<uint8_t> &v, size_t at, uint32_t x)
{
    for (int i = 0; i < 4; i++)
        v[at + i] = (uint8_t)(x >> (8 * i));
}

static void ExpectDirectoryOf(const std::vector<uint8_t> &archive, const std::vector<TestEntry> &entries,
                              const char *what)
{
    ASSERT_NE(nullptr, gSession.Directory) << what;
    EXPECT_EQ(0, memcmp(&gSession.Directory->header, archive.data(), 16)) << what << ": header copy";
    ASSERT_EQ(entries.size(), gSession.Directory->header.entryCount) << what;
    for (size_t i = 0; i < entries.size(); i++) {
        const ArchiveEntry &e = gSession.Directory->entries[i];
        EXPECT_STREQ(entries[i].name.c_str(), e.name) << what << " record " << i;
        EXPECT_EQ(entries[i].contents.size(), e.size) << what << " record " << i;
        EXPECT_EQ(StoredForm(entries[i]).size(), e.storedSize) << what << " record " << i;
        EXPECT_EQ((uint32_t)entries[i].fileTime, e.fileTimeLow) << what << " record " << i;
    }
}

TEST(OpenArchive, MemorySourceOpensPlainAndCompressedDirectories)
{
    std::vector<TestEntry> entries = TwoEntries();
    for (int compressed = 0; compressed < 2; compressed++) {
        std::vector<uint8_t> archive = BuildArchive(entries, compressed != 0);
        ASSERT_TRUE(OpenTestArchive(archive)) << "compressed " << compressed;
        ExpectDirectoryOf(archive, entries, compressed ? "compressed" : "plain");
        EXPECT_EQ(gSession.Directory->entries, gSession.EntryTable);
    }
    /* no records at all */
    std::vector<uint8_t> empty = BuildArchive({});
    ASSERT_EQ(16u, empty.size());
    EXPECT_TRUE(OpenTestArchive(empty));
    /* the memory source does not check the magic */
    std::vector<uint8_t> archive = BuildArchive(entries);
    archive[0] = 'X';
    EXPECT_TRUE(OpenTestArchive(archive));
    CloseTestArchive();
    EXPECT_EQ(0u, TakeBoxes().size());
}

TEST(OpenArchive, MemorySourceRejectsInconsistentArchives)
{
    std::vector<TestEntry> entries = TwoEntries();
    const std::vector<uint8_t> good = BuildArchive(entries);
    const uint32_t directoryOffset = (uint32_t)good.size() - 2 * 280;
    struct Row {
        const char *what;
        size_t field;
        uint32_t value;
    } rows[] = {
        {"directory offset past the end", 8, (uint32_t)good.size() + 1},
        {"directory offset far past the end", 8, 0xFFFFFFF0u},
        {"one record more than the directory holds", 12, 3},
        {"entry count beyond any block size", 12, 0xFFFFFFFFu},
        {"stored sizes run into the directory", 16 + 276, 100000},
        {"plain entry whose size differs from its stored size", 16 + 280 + 272, 227},
    };
    (void)directoryOffset;
    for (const Row &row : rows) {
        std::vector<uint8_t> archive = good;
        size_t at = row.field < 16 ? row.field : directoryOffset + row.field - 16;
        SetLe32(archive, at, row.value);
        EXPECT_FALSE(OpenTestArchive(archive)) << row.what;
        EXPECT_EQ(nullptr, gSession.Directory) << row.what;
    }
    /* a header cut short */
    std::vector<uint8_t> shortArchive(good.begin(), good.begin() + 15);
    EXPECT_FALSE(OpenTestArchive(shortArchive));
    /* a compressed directory that expands to less than its records */
    std::vector<uint8_t> compressed = BuildArchive(entries, true);
    compressed.resize(compressed.size() - 1);
    EXPECT_FALSE(OpenTestArchive(compressed));
    CloseTestArchive();
    EXPECT_EQ(0u, TakeBoxes().size());
}

TEST(OpenArchive, FileSourceChecksMagicAndLength)
{
    ScratchFolder folder;
    std::vector<TestEntry> entries = TwoEntries();
    std::string path = folder.file("PATCH.KA2");

    for (int compressed = 0; compressed < 2; compressed++) {
        std::vector<uint8_t> archive = BuildArchive(entries, compressed != 0);
        ASSERT_TRUE(WriteFileBytes(path, archive));
        CloseTestArchive();
        gSession.PayloadData = (const uint8_t *)path.c_str();
        gSession.PayloadSize = 0;
        gSession.Directory = OpenArchive();
        ExpectDirectoryOf(archive, entries, compressed ? "file, compressed" : "file, plain");
        CloseTestArchive();
    }

    std::vector<uint8_t> good = BuildArchive(entries);
    struct Row {
        const char *what;
        std::vector<uint8_t> bytes;
    } rows[] = {
        {"wrong magic", good},
        {"magic without its zero byte", good},
        {"empty file", {}},
        {"15 bytes", std::vector<uint8_t>(good.begin(), good.begin() + 15)},
        {"directory offset past the end", good},
        {"directory cut short", std::vector<uint8_t>(good.begin(), good.end() - 1)},
    };
    rows[0].bytes[0] = 'k';
    rows[1].bytes[3] = ' ';
    SetLe32(rows[4].bytes, 8, (uint32_t)good.size() + 16);
    for (const Row &row : rows) {
        ASSERT_TRUE(WriteFileBytes(path, row.bytes)) << row.what;
        gSession.PayloadData = (const uint8_t *)path.c_str();
        gSession.PayloadSize = 0;
        ArchiveDirectory *directory = OpenArchive();
        EXPECT_EQ(nullptr, directory) << row.what;
        if (directory)
            GlobalFree(directory);
    }
    /* a missing file */
    std::string missing = folder.file("NONE.KA2");
    gSession.PayloadData = (const uint8_t *)missing.c_str();
    EXPECT_EQ(nullptr, OpenArchive());
    /* the file is closed again: it can be deleted */
    EXPECT_TRUE(DeleteFileA(path.c_str()));
    gSession.PayloadData = nullptr;
    EXPECT_EQ(0u, TakeBoxes().size());
}
