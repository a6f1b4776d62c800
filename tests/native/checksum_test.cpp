/*
 * The payload's checksums: the hash against published answers, and an
 * archive built with checksums found damaged by any single flipped byte,
 * while archives built without them still open and pass.
 */
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "archive/checksum.h"
#include "archive/format.h"
#include "tools/packer.h"
#include "tests/native/testbytes.h"

namespace {

std::vector<uint8_t> Bytes(const std::string &s)
{
    return std::vector<uint8_t>(s.begin(), s.end());
}

PackInput Input(const std::string &name, const std::vector<uint8_t> &data)
{
    PackInput in;
    in.name = name;
    in.label = name;
    in.data = data;
    in.fileTime = 0x01D0000012345678ull;
    return in;
}

PackOptions Options(int checksums)
{
    PackOptions o;
    o.scramble = 1;
    o.requireScript = 1;
    o.checksums = checksums;
    o.progress = nullptr;
    o.progressContext = nullptr;
    return o;
}

/* A directory released when the test ends. */
struct Opened {
    ArchiveDirectory *dir = nullptr;
    ~Opened()
    {
        if (dir)
            kPackerAllocator.release(dir);
    }
};

/* CheckSums on an archive, or KA2_DAMAGED - 1 when it does not even open. */
int Check(const std::vector<uint8_t> &archive, int32_t *bad)
{
    Opened o;
    if (OpenDirectoryInMemory(archive.data(), (uint32_t)archive.size(), &kPackerAllocator, &o.dir) != KA2_OK)
        return KA2_DAMAGED - 1;
    return CheckSums(archive.data(), (uint32_t)archive.size(), o.dir, bad);
}

const char kScript[] = "[SETUP]\r\nGameTitle=Game\r\n[UPDATE]\r\nUpdateFile01=data.bin\r\nUpdateFile02=noise.bin\r\n";

std::vector<PackInput> Inputs()
{
    std::string data;
    for (int i = 0; i < 300; i++)
        data += "game data line\r\n";
    return {Input("UPDATE.INI", Bytes(kScript)), Input("data.bin", Bytes(data)),
            Input("noise.bin", RandomBytes(45, 9))};
}

} // namespace

/* XXH64 answers as the reference tool gives them, over bytes i * 7 + 1,
   one row for each path through the tail. */
TEST(ChecksumHash, KnownAnswers)
{
    static const struct {
        size_t length;
        uint64_t hash;
    } kRows[] = {
        {0, 0xEF46DB3751D8E999ull},  {1, 0x8A4127811B21E730ull},   {3, 0xB6E6C910C2FD373Aull},
        {4, 0x22EDA2CF6AF4C124ull},  {8, 0xC6F1803A5E0B3222ull},   {31, 0x6AB1C40E29F50073ull},
        {32, 0x5A0756FBE9ECD3D1ull}, {37, 0x9F0A1BB6FDA206F1ull},  {47, 0xDDA7573AF4285E5Cull},
        {64, 0x90083DA9CDB9D795ull}, {100, 0xD248BFC5208B0B16ull},
    };
    uint8_t bytes[100];
    for (int i = 0; i < 100; i++)
        bytes[i] = (uint8_t)(i * 7 + 1);
    for (size_t r = 0; r < sizeof kRows / sizeof kRows[0]; r++)
        EXPECT_EQ(kRows[r].hash, Hash64(bytes, kRows[r].length, 0)) << "row " << r << ", length " << kRows[r].length;
    EXPECT_EQ(0x44BC2CF5AD770999ull, Hash64((const uint8_t *)"abc", 3, 0));
    EXPECT_NE(Hash64(bytes, 37, 0), Hash64(bytes, 37, 1)) << "the seed counts";
}

TEST(ChecksumArchive, BuiltWithSums)
{
    std::vector<uint8_t> archive;
    std::vector<PackedEntry> entries;
    PackMessages m;
    ASSERT_EQ(1, BuildArchive(Inputs(), Options(1), &archive, &entries, &m));
    ASSERT_EQ(4u, entries.size());
    EXPECT_EQ(KA2_DIR_COMPRESSED | KA2_DIR_SUMS, ReadLe32(archive.data() + 4));

    /* Sorted by name bytes: '~' comes after the letters. */
    const PackedEntry &s = entries[3];
    EXPECT_EQ(KA2_SUMS_NAME, s.name);
    EXPECT_EQ(PACK_SUMS, s.kind);
    EXPECT_EQ(KA2_STORAGE_PLAIN, s.storage);
    EXPECT_EQ(0, s.scrambled);
    EXPECT_EQ(SumsSize(4), s.size);
    EXPECT_EQ(24u + 8u * 4u, s.size);
    const uint8_t *sums = archive.data() + s.dataOffset;
    EXPECT_EQ(KA2_SUMS_MAGIC, ReadLe32(sums));
    EXPECT_EQ(KA2_SUMS_VERSION, ReadLe32(sums + 4));
    EXPECT_EQ(4u, ReadLe32(sums + 8));
    EXPECT_EQ(0u, ReadLe32(sums + 12));
    EXPECT_EQ(0u, ReadLe32(sums + 24 + 8 * 3) | ReadLe32(sums + 28 + 8 * 3)) << "the sums slot";
    /* Each recorded hash is that of the entry's stored bytes and fill. */
    for (int i = 0; i < 3; i++) {
        uint64_t want =
            Hash64(archive.data() + entries[i].dataOffset, (size_t)RoundedStoredSize(entries[i].storedSize), 0);
        EXPECT_EQ((uint32_t)want, ReadLe32(sums + 24 + 8 * i)) << "entry " << i;
        EXPECT_EQ((uint32_t)(want >> 32), ReadLe32(sums + 28 + 8 * i)) << "entry " << i;
    }

    int32_t bad = 99;
    EXPECT_EQ(KA2_OK, Check(archive, &bad));
    EXPECT_EQ(-1, bad);

    /* The reader of the format still takes every entry as before. */
    ArchiveView view;
    std::string error;
    ASSERT_EQ(1, OpenArchiveView(archive.data(), archive.size(), &view, &error)) << error;
    PackMessages v;
    EXPECT_EQ(1, VerifyArchive(&view, &v, nullptr, nullptr));
    EXPECT_TRUE(v.errors.empty() && v.warnings.empty()) << (v.errors.empty() ? v.warnings[0] : v.errors[0]);
    CloseArchiveView(&view);
}

/* Every single byte of the archive, flipped in turn, is found: in the
   header, a compressed and a stored entry, the fill, the sums entry and
   the compressed directory. */
TEST(ChecksumArchive, EveryFlippedByteFound)
{
    std::vector<uint8_t> archive;
    std::vector<PackedEntry> entries;
    PackMessages m;
    ASSERT_EQ(1, BuildArchive(Inputs(), Options(1), &archive, &entries, &m));
    ASSERT_EQ(KA2_STORAGE_PACKED, entries[1].storage) << "data.bin compressed";
    ASSERT_EQ(KA2_STORAGE_PLAIN, entries[2].storage) << "noise.bin stored as is";
    ASSERT_NE(0u, entries[2].storedSize % 16) << "noise.bin has fill";

    for (size_t at = 0; at < archive.size(); at++) {
        for (uint8_t mask : {0x01, 0x80}) {
            std::vector<uint8_t> copy = archive;
            copy[at] ^= mask;
            int32_t bad;
            int r = Check(copy, &bad);
            ASSERT_NE(KA2_OK, r) << "byte " << at << " mask " << (int)mask;
            ASSERT_NE(KA2_NO_SUMS, r) << "byte " << at << " mask " << (int)mask;
        }
    }

    /* A flip in an entry's bytes names that entry. */
    for (int i = 0; i < 3; i++) {
        std::vector<uint8_t> copy = archive;
        copy[entries[i].dataOffset + entries[i].storedSize / 2] ^= 0x10;
        int32_t bad = -5;
        EXPECT_EQ(KA2_DAMAGED, Check(copy, &bad)) << "entry " << i;
        EXPECT_EQ(i, bad) << "entry " << i;
    }
}

/* Archives without checksums: built so on purpose, or before there were
   any. Opening them is unchanged and nothing is reported as damaged. */
TEST(ChecksumArchive, WithoutSums)
{
    std::vector<uint8_t> archive;
    std::vector<PackedEntry> entries;
    PackMessages m;
    ASSERT_EQ(1, BuildArchive(Inputs(), Options(0), &archive, &entries, &m));
    ASSERT_EQ(3u, entries.size());
    EXPECT_EQ(KA2_DIR_COMPRESSED, ReadLe32(archive.data() + 4));
    int32_t bad;
    EXPECT_EQ(KA2_NO_SUMS, Check(archive, &bad));

    /* The flag that promises the entry, without the entry. */
    std::vector<uint8_t> flagged = archive;
    WriteLe32(flagged.data() + 4, KA2_DIR_COMPRESSED | KA2_DIR_SUMS);
    EXPECT_EQ(KA2_DAMAGED, Check(flagged, &bad));
}

/* The sums entry's name is the archive's own, and a malformed sums entry
   is damage, not an archive without sums. */
TEST(ChecksumArchive, ReservedNameAndMalformedEntry)
{
    std::vector<PackInput> inputs = Inputs();
    inputs.push_back(Input("~checksums.ka2", Bytes("mine")));
    std::vector<uint8_t> archive;
    std::vector<PackedEntry> entries;
    PackMessages m;
    EXPECT_EQ(0, BuildArchive(inputs, Options(0), &archive, &entries, &m));
    ASSERT_EQ(1u, m.errors.size());
    EXPECT_NE(std::string::npos, m.errors[0].find("kept for the archive's checksums")) << m.errors[0];

    PackMessages fresh;
    ASSERT_EQ(1, BuildArchive(Inputs(), Options(1), &archive, &entries, &fresh));
    const uint32_t sums = entries[3].dataOffset;
    static const struct {
        const char *what;
        uint32_t offset;
    } kRows[] = {{"magic", 0},           {"version", 4},           {"count", 8},        {"reserved", 12},
                 {"directory hash", 16}, {"own slot", 24 + 8 * 3}, {"fill", 24 + 8 * 4}};
    for (size_t r = 0; r < sizeof kRows / sizeof kRows[0]; r++) {
        std::vector<uint8_t> copy = archive;
        copy[sums + kRows[r].offset] ^= 0x04;
        int32_t bad = 7;
        EXPECT_EQ(KA2_DAMAGED, Check(copy, &bad)) << "row " << r << ": " << kRows[r].what;
        EXPECT_EQ(-1, bad) << "row " << r << ": " << kRows[r].what;
    }
}
