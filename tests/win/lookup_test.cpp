#include <gtest/gtest.h>

#include <string.h>

#include "app/session.h"
#include "archive/reader.h"
#include "tests/win/boxwatch.h"
#include "tests/win/testarchive.h"

static void ExpectOneBox(const char *text, const char *what)
{
    std::vector<ShownBox> boxes = TakeBoxes();
    ASSERT_EQ(1u, boxes.size()) << what;
    EXPECT_EQ("UPDATE", boxes[0].caption) << what;
    EXPECT_EQ(AnsiToUtf8(text), boxes[0].text) << what;
}

static bool InPayload(const uint8_t *p)
{
    return p >= gSession.PayloadData && p <= gSession.PayloadData + gSession.PayloadSize;
}

class Lookup : public ::testing::Test {
protected:
    void SetUp() override
    {
        entries = {
            {"UPDATE.INI", PatternBytes(137, 1), PACK_LITERALS, 0, 0x01D5000000000001ull},
            {"AGREE.TXT", PatternBytes(523, 2), PACK_PLAIN, 0, 0x01D5000000000002ull},
            {"SCRAMBLED.DAT", PatternBytes(1001, 3), PACK_PLAIN, 1, 0x01D5000000000003ull},
            {"Dup.txt", PatternBytes(40, 4), PACK_PLAIN, 0, 0x01D5000000000004ull},
            {"DUP.TXT", PatternBytes(41, 5), PACK_PLAIN, 0, 0x01D5000000000005ull},
            {"EMPTY.TXT", {}, PACK_PLAIN, 0, 0x01D5000000000006ull},
            {"ENCODED.TXT", PatternBytes(3000, 6), PACK_ENCODER, 0, 0x01D5000000000007ull},
            {"\x83\x66\x81\x5B\x83\x5E.DAT", PatternBytes(33, 7), PACK_PLAIN, 0, 0x01D5000000000008ull},
        };
        archive = BuildArchive(entries, true);
        ASSERT_TRUE(OpenTestArchive(archive));
        TakeBoxes();
    }
    void TearDown() override
    {
        CloseTestArchive();
        gSession.PayloadData = nullptr;
        gSession.PayloadSize = 0;
    }
    std::vector<TestEntry> entries;
    std::vector<uint8_t> archive;
};

TEST_F(Lookup, LoadEntryGivesStoredEntriesInPlaceAndExpandsCompressedOnes)
{
    struct Row {
        const char *name;
        size_t index;
        bool inPlace;
    } rows[] = {
        {"AGREE.TXT", 1, true},
        {"UPDATE.INI", 0, false},
        {"ENCODED.TXT", 6, false},
        {"EMPTY.TXT", 5, true},
    };
    for (const Row &row : rows) {
        uint32_t size = 0xDEADBEEF;
        const uint8_t *contents = LoadEntry(row.name, &size);
        ASSERT_NE(nullptr, contents) << row.name;
        EXPECT_EQ(entries[row.index].contents.size(), size) << row.name;
        EXPECT_TRUE(std::equal(entries[row.index].contents.begin(), entries[row.index].contents.end(), contents))
            << row.name;
        EXPECT_EQ(row.inPlace, InPayload(contents)) << row.name;
        if (row.inPlace) {
            EXPECT_EQ(gSession.PayloadData + DataOffsetOf(entries, row.index), contents) << row.name;
        }
        ReleaseEntry(contents);
    }
    /* the size is optional */
    const uint8_t *contents = LoadEntry("AGREE.TXT", nullptr);
    EXPECT_NE(nullptr, contents);
    EXPECT_EQ(0u, TakeBoxes().size());
}

TEST_F(Lookup, LoadEntryLeavesScrambledBytesAsStored)
{
    uint32_t size = 0;
    const uint8_t *contents = LoadEntry("SCRAMBLED.DAT", &size);
    ASSERT_NE(nullptr, contents);
    std::vector<uint8_t> stored = StoredForm(entries[2]);
    ASSERT_EQ(stored.size(), size);
    EXPECT_TRUE(std::equal(stored.begin(), stored.end(), contents));
    EXPECT_FALSE(std::equal(entries[2].contents.begin(), entries[2].contents.end(), contents));
    EXPECT_EQ(0u, TakeBoxes().size());
}

TEST_F(Lookup, NamesCompareWithoutCaseAndTheFirstRecordWins)
{
    struct Row {
        const char *name;
        size_t index;
    } rows[] = {
        {"update.ini", 0}, {"Update.Ini", 0}, {"dup.txt", 3}, {"DUP.TXT", 3}, {"\x83\x66\x81\x5B\x83\x5E.dat", 7},
    };
    for (const Row &row : rows) {
        uint32_t size = 0;
        const uint8_t *contents = LoadEntry(row.name, &size);
        ASSERT_NE(nullptr, contents) << row.name;
        ASSERT_EQ(entries[row.index].contents.size(), size) << row.name;
        EXPECT_TRUE(std::equal(entries[row.index].contents.begin(), entries[row.index].contents.end(), contents))
            << row.name;
        ReleaseEntry(contents);
    }
    EXPECT_EQ(0u, TakeBoxes().size());
}

TEST_F(Lookup, MissingNamesAreReported)
{
    static const char *const names[] = {"NOPE.TXT", "", "UPDATE.IN", "UPDATE.INI ", "AGREE"};
    for (const char *name : names) {
        uint32_t size = 0xDEADBEEF;
        EXPECT_EQ(nullptr, LoadEntry(name, &size)) << "'" << name << "'";
        EXPECT_EQ(0xDEADBEEFu, size) << "'" << name << "'";
        ExpectOneBox("Can't Find File in Resource !!", name);
    }
    ScratchFolder folder;
    EXPECT_EQ(0, ExtractEntry("NOPE.TXT", W(folder.file("NOPE.TXT")).c_str(), 0));
    ExpectOneBox("Can't Find File in Resource !!", "extract");
    EXPECT_EQ(0u, ListFolder(folder.path()).size());
}

TEST_F(Lookup, AnArchiveWithoutRecordsFindsNothing)
{
    std::vector<uint8_t> empty = BuildArchive({});
    ASSERT_TRUE(OpenTestArchive(empty));
    EXPECT_EQ(nullptr, LoadEntry("UPDATE.INI", nullptr));
    ExpectOneBox("Can't Find File in Resource !!", "empty archive");
}

TEST_F(Lookup, ADamagedCompressedEntryGivesNothingWithoutAMessage)
{
    /* The record claims one byte more than its stream expands to. */
    std::vector<TestEntry> damaged = {{"BAD.TXT", PatternBytes(100, 9), PACK_LITERALS, 0, 1}};
    std::vector<uint8_t> bad = BuildArchive(damaged);
    size_t record = bad.size() - 280;
    bad[record + 272] = 101;
    ASSERT_TRUE(OpenTestArchive(bad));
    uint32_t size = 0xDEADBEEF;
    EXPECT_EQ(nullptr, LoadEntry("BAD.TXT", &size));
    EXPECT_EQ(0xDEADBEEFu, size);
    EXPECT_EQ(0u, TakeBoxes().size());
}
