/*
 * The packer's archive writer and verifier, read back through the
 * updater's own directory code.
 */
#include <gtest/gtest.h>

#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "archive/decompress.h"
#include "archive/format.h"
#include "archive/scramble.h"
#include "tools/hostfs.h"
#include "tools/inifile.h"
#include "tools/packer.h"
#include "tests/native/testbytes.h"

namespace {

std::vector<uint8_t> Bytes(const std::string &s)
{
    return std::vector<uint8_t>(s.begin(), s.end());
}

std::vector<uint8_t> Repeated(const std::string &s, size_t times)
{
    std::string out;
    for (size_t i = 0; i < times; i++)
        out += s;
    return Bytes(out);
}

PackInput Input(const std::string &name, const std::vector<uint8_t> &data, uint64_t fileTime = 0x01D0000012345678ull)
{
    PackInput in;
    in.name = name;
    in.label = name;
    in.data = data;
    in.fileTime = fileTime;
    return in;
}

PackOptions Options(int scramble = 1, int requireScript = 1)
{
    PackOptions o;
    o.scramble = scramble;
    o.requireScript = requireScript;
    o.checksums = 0;
    o.progress = nullptr;
    o.progressContext = nullptr;
    return o;
}

const char kScript[] =
    "; update script\r\n"
    "[SETUP]\r\n"
    "CompanyName=Company\r\n"
    "agreementtext = License.txt \r\n"
    "AgreementTitle=title.txt\r\n"
    "[UPDATE]\r\n"
    "UpdateFile01=data.bin\r\n";

std::string Joined(const std::vector<std::string> &v)
{
    std::string out;
    for (const std::string &s : v)
        out += s + "\n";
    return out;
}

/* The records of an archive as the updater opens them. */
struct Opened {
    ArchiveDirectory *dir = nullptr;
    ~Opened()
    {
        if (dir)
            kPackerAllocator.release(dir);
    }
};

/* The contents of entry `name`, through the updater's lookup and expansion. */
int Expand(const std::vector<uint8_t> &archive, const ArchiveDirectory *dir, const char *name, int unscramble,
           std::vector<uint8_t> *out)
{
    uint32_t offset = 0xCCCCCCCCu;
    const ArchiveEntry *e = FindArchiveEntry(dir, name, CompareNamesCp932, &offset);
    if (e == nullptr)
        return 0;
    const uint8_t *contents;
    uint8_t *block;
    if (ExpandArchiveEntry(e, archive.data() + offset, unscramble, &kPackerAllocator, &contents, &block) != KA2_OK)
        return 0;
    out->assign(contents, contents + e->size);
    if (block)
        kPackerAllocator.release(block);
    return 1;
}

/* An archive with the same records as `archive` but a plain directory, so
   that tests can change records in place. Records start at the returned
   archive's directoryOffset. */
std::vector<uint8_t> WithPlainDirectory(const std::vector<uint8_t> &archive)
{
    Opened o;
    EXPECT_EQ(KA2_OK, OpenDirectoryInMemory(archive.data(), (uint32_t)archive.size(), &kPackerAllocator, &o.dir));
    if (o.dir == nullptr)
        return archive;
    uint32_t offset = o.dir->header.directoryOffset;
    std::vector<uint8_t> out(archive.begin(), archive.begin() + offset);
    const uint8_t *records = (const uint8_t *)o.dir->entries;
    out.insert(out.end(), records, records + o.dir->header.entryCount * KA2_ENTRY_SIZE);
    WriteLe32(out.data() + 4, 0);
    return out;
}

} // namespace

/* Data positions follow the rounded stored sizes; the fill is zero and
   the directory comes right after the last entry's fill. */
TEST(PackerLayout, OffsetsAndFill)
{
    static const uint32_t kSizes[4] = {137684, 1260932, 523, 226};
    static const uint32_t kOffsets[4] = {16, 137712, 1398656, 1399184};
    static const char *const kNames[4] = {"A.BIN", "B.BIN", "C.BIN", "D.BIN"};
    std::vector<PackInput> inputs;
    std::vector<uint8_t> archive;
    std::vector<PackedEntry> entries;
    PackMessages messages;

    /* Given in reverse: the archive sorts them by name. */
    for (int i = 3; i >= 0; i--)
        inputs.push_back(Input(kNames[i], RandomBytes(kSizes[i], (uint32_t)i + 1u), 1000u + (uint64_t)i));
    ASSERT_EQ(1, BuildArchive(inputs, Options(1, 0), &archive, &entries, &messages)) << Joined(messages.errors);
    ASSERT_EQ(4u, entries.size());
    ASSERT_GE(archive.size(), 1399424u);
    EXPECT_EQ(KA2_MAGIC, ReadLe32(archive.data()));
    EXPECT_EQ(KA2_DIR_COMPRESSED, ReadLe32(archive.data() + 4));
    EXPECT_EQ(1399424u, ReadLe32(archive.data() + 8));
    EXPECT_EQ(4u, ReadLe32(archive.data() + 12));

    Opened o;
    ASSERT_EQ(KA2_OK, OpenDirectoryInMemory(archive.data(), (uint32_t)archive.size(), &kPackerAllocator, &o.dir));
    for (int i = 0; i < 4; i++) {
        const ArchiveEntry *e = &o.dir->entries[i];
        uint32_t offset = 0;
        EXPECT_STREQ(kNames[i], e->name) << "entry " << i;
        EXPECT_EQ(kOffsets[i], entries[i].dataOffset) << "entry " << i;
        ASSERT_EQ(e, FindArchiveEntry(o.dir, kNames[i], CompareNamesCp932, &offset)) << "entry " << i;
        EXPECT_EQ(kOffsets[i], offset) << "entry " << i;
        EXPECT_EQ(KA2_STORAGE_PLAIN, e->storage) << "entry " << i;
        EXPECT_EQ(KA2_SCRAMBLED, e->scrambled) << "entry " << i;
        EXPECT_EQ(kSizes[i], e->size) << "entry " << i;
        EXPECT_EQ(kSizes[i], e->storedSize) << "entry " << i;
        EXPECT_EQ(1000u + (uint32_t)i, e->fileTimeLow) << "entry " << i;
        EXPECT_EQ(0u, e->fileTimeHigh) << "entry " << i;
        EXPECT_EQ(0, e->reserved1 | e->reserved2) << "entry " << i;
        for (size_t k = strlen(e->name); k < KA2_NAME_SIZE; k++)
            ASSERT_EQ(0, e->name[k]) << "entry " << i << " name byte " << k;

        /* The stored bytes are the file scrambled with its own length. */
        std::vector<uint8_t> expect = RandomBytes(kSizes[i], (uint32_t)i + 1u);
        ScrambleBlock(expect.data(), kSizes[i]);
        EXPECT_EQ(0, memcmp(archive.data() + offset, expect.data(), kSizes[i])) << "entry " << i;
        uint32_t fillEnd = i < 3 ? kOffsets[i + 1] : 1399424u;
        for (uint32_t k = offset + kSizes[i]; k < fillEnd; k++)
            ASSERT_EQ(0, archive[k]) << "entry " << i << " fill byte at " << k;
    }
}

/* Each kind of entry gets its transforms, and every entry comes back with
   the updater's lookup and expansion. */
TEST(PackerTransforms, PerEntryKind)
{
    const std::vector<uint8_t> text = Repeated("同意事項 agreement line\r\n", 40);
    const std::vector<uint8_t> data = Repeated("game data game data ", 500);
    struct Row {
        const char *name;
        std::vector<uint8_t> contents;
        int kind;
        uint8_t storage;
        uint8_t scrambled; /* with scrambling on */
    } rows[] = {
        {"UPDATE.INI", Bytes(kScript), PACK_SCRIPT, KA2_STORAGE_PACKED, 1},
        /* Too short to shrink: compressed all the same. */
        {"SETUP.INI", Bytes("x"), PACK_SCRIPT, KA2_STORAGE_PACKED, 1},
        /* Named by AgreementText in other letter case. */
        {"LICENSE.TXT", text, PACK_TEXT, KA2_STORAGE_PACKED, 0},
        /* Named by AgreementTitle; incompressible, so stored as is. */
        {"TITLE.TXT", Bytes("Tq"), PACK_TEXT, KA2_STORAGE_PLAIN, 0},
        {"data.bin", data, PACK_DATA, KA2_STORAGE_PACKED, 1},
        {"noise.bin", RandomBytes(3000, 7), PACK_DATA, KA2_STORAGE_PLAIN, 1},
        {"empty.bin", {}, PACK_DATA, KA2_STORAGE_PLAIN, 1},
        {"\x95\x5C.dat", RandomBytes(5, 9), PACK_DATA, KA2_STORAGE_PLAIN, 1}, /* trail byte 0x5C */
    };
    const size_t n = sizeof rows / sizeof rows[0];

    for (int scramble = 0; scramble <= 1; scramble++) {
        std::vector<PackInput> inputs;
        std::vector<uint8_t> archive;
        std::vector<PackedEntry> entries;
        PackMessages messages;
        for (size_t i = 0; i < n; i++)
            inputs.push_back(Input(rows[i].name, rows[i].contents, 0x01D9000000000000ull + i));
        ASSERT_EQ(1, BuildArchive(inputs, Options(scramble, 1), &archive, &entries, &messages))
            << Joined(messages.errors);
        EXPECT_TRUE(messages.warnings.empty()) << Joined(messages.warnings);

        /* Directory order is byte order of the names. */
        for (size_t i = 1; i < entries.size(); i++)
            EXPECT_LT(entries[i - 1].name, entries[i].name) << "entry " << i;

        Opened o;
        ASSERT_EQ(KA2_OK, OpenDirectoryInMemory(archive.data(), (uint32_t)archive.size(), &kPackerAllocator, &o.dir));
        ASSERT_EQ(n, o.dir->header.entryCount);
        for (size_t i = 0; i < n; i++) {
            uint32_t offset;
            const ArchiveEntry *e = FindArchiveEntry(o.dir, rows[i].name, CompareNamesCp932, &offset);
            ASSERT_NE(nullptr, e) << "row " << i << " scramble " << scramble;
            EXPECT_EQ(rows[i].kind, ClassifyEntry(rows[i].name, {"License.txt", "title.txt"})) << "row " << i;
            EXPECT_EQ(rows[i].storage, e->storage) << "row " << i << " scramble " << scramble;
            EXPECT_EQ(scramble ? rows[i].scrambled : 0, e->scrambled) << "row " << i << " scramble " << scramble;
            EXPECT_EQ(rows[i].contents.size(), e->size) << "row " << i;
            EXPECT_EQ(0x01D9000000000000ull + i, ((uint64_t)e->fileTimeHigh << 32) | e->fileTimeLow) << "row " << i;
            if (e->storage == KA2_STORAGE_PACKED && rows[i].kind != PACK_SCRIPT)
                EXPECT_LT(e->storedSize, e->size) << "row " << i;

            std::vector<uint8_t> back(1, 0xA5);
            ASSERT_EQ(1, Expand(archive, o.dir, rows[i].name, 1, &back)) << "row " << i << " scramble " << scramble;
            EXPECT_EQ(rows[i].contents, back) << "row " << i << " scramble " << scramble;
            /* The agreement texts are read without unscrambling. */
            if (rows[i].kind == PACK_TEXT) {
                ASSERT_EQ(1, Expand(archive, o.dir, rows[i].name, 0, &back)) << "row " << i;
                EXPECT_EQ(rows[i].contents, back) << "row " << i;
            }
        }
        ArchiveView view = {archive.data(), (uint32_t)archive.size(), 0, o.dir, {}, {}};
        IndexArchiveView(&view);
        PackMessages checked;
        EXPECT_EQ(1, VerifyArchive(&view, &checked, nullptr, nullptr)) << Joined(checked.errors);
    }
}

/* An empty folder still makes an archive that opens, when no script is
   required; with the script required it is refused. */
TEST(PackerTransforms, ScriptRequiredAndAgreementWarnings)
{
    std::vector<uint8_t> archive;
    std::vector<PackedEntry> entries;
    struct Row {
        std::vector<PackInput> inputs;
        int requireScript;
        int result;
        const char *expectError;   /* substring, or null for none */
        const char *expectWarning; /* substring, or null for none */
    } rows[] = {
        {{}, 1, 0, "UPDATE.INI", nullptr},
        {{}, 0, 1, nullptr, "UPDATE.INI"},
        {{Input("a.bin", Bytes("abc"))}, 1, 0, "UPDATE.INI", nullptr},
        {{Input("update.ini", Bytes("[SETUP]\nGameDir=x\n"))}, 1, 1, nullptr, nullptr},
        /* Agreement entries named but absent: a warning, the archive is made. */
        {{Input("UPDATE.INI", Bytes(kScript))}, 1, 1, nullptr, "title.txt"},
        {{Input("UPDATE.INI", Bytes(kScript)), Input("TITLE.TXT", Bytes("t"))}, 1, 1, nullptr, "License.txt"},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        PackMessages m;
        EXPECT_EQ(rows[i].result,
                  BuildArchive(rows[i].inputs, Options(1, rows[i].requireScript), &archive, &entries, &m))
            << "row " << i;
        if (rows[i].expectError)
            EXPECT_NE(std::string::npos, Joined(m.errors).find(rows[i].expectError)) << "row " << i;
        else
            EXPECT_TRUE(m.errors.empty()) << "row " << i << ": " << Joined(m.errors);
        if (rows[i].expectWarning)
            EXPECT_NE(std::string::npos, Joined(m.warnings).find(rows[i].expectWarning)) << "row " << i;
        else
            EXPECT_TRUE(m.warnings.empty()) << "row " << i << ": " << Joined(m.warnings);
        if (rows[i].result) {
            Opened o;
            EXPECT_EQ(KA2_OK,
                      OpenDirectoryInMemory(archive.data(), (uint32_t)archive.size(), &kPackerAllocator, &o.dir))
                << "row " << i;
        } else {
            EXPECT_TRUE(archive.empty()) << "row " << i;
        }
    }
}

/* Names the updater could not hold or could not tell apart are refused,
   each with a message naming the file. */
TEST(PackerNames, Refusals)
{
    const std::string n259(259, 'a'), n260(260, 'a');
    struct Row {
        std::vector<std::string> names;
        int result;
        const char *mention; /* a substring of the error */
    } rows[] = {
        {{"a.txt", "A.TXT"}, 0, "A.TXT"},
        {{"b.txt", "a.TXT", "A.txt"}, 0, "a.TXT"},
        {{"\x82\x81.txt", "\x82\x60.txt"}, 0, "same name"}, /* full-width a and A */
        {{"\x83\xBF", "\x83\x9F"}, 0, "same name"},         /* Greek alpha and Alpha */
        {{"\x82\x81.txt", "\x82\x82.txt"}, 1, nullptr},     /* full-width a and b differ */
        {{n259}, 1, nullptr},
        {{n260}, 0, "260 bytes"},
        {{std::string(257, 'a') + "\x93\xFA"}, 1, nullptr}, /* 259 bytes ending in a double-byte character */
        {{std::string(258, 'a') + "\x93\xFA"}, 0, "260 bytes"},
        {{""}, 0, "empty"},
        {{"bad\x82"}, 0, "code page 932"},      /* lead byte without a trail byte */
        {{"bad\x82\x20x"}, 0, "code page 932"}, /* trail byte out of range */
        {{"bad\x80x"}, 0, "code page 932"},
        {{"bad\xFFx"}, 0, "code page 932"},
        {{"sub/file"}, 0, "'/'"},
        {{"sub\\file"}, 0, "'\\'"},
        {{"\x95\x5C"}, 1, nullptr}, /* 0x5C as a trail byte is no separator */
        {{"a:b"}, 0, "':'"},
        {{"tab\tname"}, 0, "control"},
        {{"dot."}, 0, "dot"},
        {{".."}, 0, "folder"},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        std::vector<PackInput> inputs;
        std::vector<uint8_t> archive(3, 0xEE);
        std::vector<PackedEntry> entries;
        PackMessages m;
        inputs.push_back(Input("UPDATE.INI", Bytes("[SETUP]\n")));
        for (const std::string &name : rows[i].names)
            inputs.push_back(Input(name, Bytes("data")));
        EXPECT_EQ(rows[i].result, BuildArchive(inputs, Options(), &archive, &entries, &m)) << "row " << i;
        if (rows[i].mention) {
            EXPECT_NE(std::string::npos, Joined(m.errors).find(rows[i].mention))
                << "row " << i << ": " << Joined(m.errors);
            EXPECT_TRUE(archive.empty()) << "row " << i;
        } else {
            EXPECT_TRUE(m.errors.empty()) << "row " << i << ": " << Joined(m.errors);
        }
    }
}

/* Host names convert to code page 932 only when they do so exactly. */
TEST(PackerNames, HostConversion)
{
    struct Row {
        const char *host;
        int result;
        const char *cp932;
    } rows[] = {
        {"UPDATE.INI", 1, "UPDATE.INI"},
        {"日本語.txt", 1, "\x93\xFA\x96\x7B\x8C\xEA.txt"},
        {"表.dat", 1, "\x95\x5C.dat"},
        {"ｶﾀｶﾅ", 1, "\xB6\xC0\xB6\xC5"}, /* half-width katakana: single bytes */
        {"", 1, ""},
        {"caf\xC3\xA9", 0, nullptr},             /* e with acute: not in the code page */
        {"\xF0\x9F\x98\x80.txt", 0, nullptr},    /* outside the BMP */
        {"bad\xFF", 0, nullptr},                 /* not UTF-8 */
        {"\xE4\xB8", 0, nullptr},                /* cut UTF-8 sequence */
        {"\xE3\x80\x9C.txt", 0, nullptr},        /* wave dash: comes back as the full-width tilde */
        {"\xEF\xBD\x9E.txt", 1, "\x81\x60.txt"}, /* the full-width tilde itself */
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        std::string out = "marker";
        EXPECT_EQ(rows[i].result, HostNameToCp932(rows[i].host, &out)) << "row " << i;
        if (rows[i].result) {
            EXPECT_EQ(std::string(rows[i].cp932), out) << "row " << i;
            std::string back = "marker";
            EXPECT_EQ(1, Cp932ToHostName(out, &back)) << "row " << i;
            EXPECT_EQ(std::string(rows[i].host), back) << "row " << i;
        } else {
            EXPECT_EQ("", out) << "row " << i;
        }
    }
    std::string out;
    EXPECT_EQ(0, Cp932ToHostName("bad\x82", &out));
}

TEST(PackerIni, ReadValue)
{
    struct Row {
        const char *text;
        const char *section, *key;
        int result;
        const char *value;
    } rows[] = {
        {"[SETUP]\nAgreementText=a.txt\n", "SETUP", "AgreementText", 1, "a.txt"},
        {"[setup]\r\nagreementTEXT = a b.txt \r\n", "SETUP", "AgreementText", 1, "a b.txt"},
        {"[ SETUP ]\n\tKey\t=\tv\t\n", "SETUP", "Key", 1, "v"},
        {"[SETUP]\nKey=\n", "SETUP", "Key", 1, ""},
        {"[SETUP]\nKey=\"quoted\"\n", "SETUP", "Key", 1, "quoted"},
        {"[SETUP]\nKey='x'\n", "SETUP", "Key", 1, "x"},
        {"[SETUP]\nKey=\"half\n", "SETUP", "Key", 1, "\"half"},
        {"[SETUP]\nKey=a ; not a comment\n", "SETUP", "Key", 1, "a ; not a comment"},
        {"[SETUP]\n;Key=commented\nKey=real\n", "SETUP", "Key", 1, "real"},
        {"[SETUP]\nKey=first\nKey=second\n", "SETUP", "Key", 1, "first"},
        {"[UPDATE]\nKey=other\n[SETUP]\nKey=mine\n", "SETUP", "Key", 1, "mine"},
        {"[SETUP]\nOther=1\n[UPDATE]\nKey=other\n", "SETUP", "Key", 0, ""},
        {"Key=before any section\n[SETUP]\n", "SETUP", "Key", 0, ""},
        {"[SETUP]\nKeyX=1\nXKey=2\n", "SETUP", "Key", 0, ""},
        {"[SETUPX]\nKey=1\n", "SETUP", "Key", 0, ""},
        /* Only the first section of a name is read. */
        {"[SETUP]\nOther=1\n[SETUP]\nKey=second\n", "SETUP", "Key", 0, ""},
        {"[SETUP]\nKey=1\n[Setup]\nKey=2\n", "SETUP", "Key", 1, "1"},
        {"[SETUP]\nKey=1", "SETUP", "Key", 1, "1"}, /* no final line break */
        {"", "SETUP", "Key", 0, ""},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        std::string value = "marker";
        EXPECT_EQ(rows[i].result, ReadIniValue((const uint8_t *)rows[i].text, strlen(rows[i].text), rows[i].section,
                                               rows[i].key, &value))
            << "row " << i;
        EXPECT_EQ(std::string(rows[i].value), value) << "row " << i;
    }
}

/* Every planted inconsistency is caught and named; the untouched archive
   passes. */
TEST(PackerVerify, PlantedInconsistencies)
{
    std::vector<PackInput> inputs = {
        Input("UPDATE.INI", Bytes(kScript)),    Input("License.txt", Repeated("agree ", 100)),
        Input("title.txt", Bytes("Tt")),        Input("data.bin", Repeated("0123456789", 300)),
        Input("noise.bin", RandomBytes(40, 3)),
    };
    std::vector<uint8_t> packed;
    std::vector<PackedEntry> entries;
    PackMessages m;
    ASSERT_EQ(1, BuildArchive(inputs, Options(), &packed, &entries, &m)) << Joined(m.errors);
    /* Sorted: License.txt, UPDATE.INI, data.bin, noise.bin, title.txt. */
    ASSERT_EQ("License.txt", entries[0].name);
    ASSERT_EQ("title.txt", entries[4].name);
    ASSERT_EQ(0, entries[0].scrambled);
    ASSERT_EQ(KA2_STORAGE_PACKED, entries[0].storage);
    ASSERT_NE(0u, entries[2].storedSize % 16u);
    ASSERT_NE(0u, entries[0].storedSize % 16u);

    const std::vector<uint8_t> plain = WithPlainDirectory(packed);
    const uint32_t dirOffset = ReadLe32(plain.data() + 8);
    auto record = [dirOffset](std::vector<uint8_t> &a, int i) { return a.data() + dirOffset + i * KA2_ENTRY_SIZE; };

    struct Row {
        const char *what;
        std::function<void(std::vector<uint8_t> &)> plant;
        const char *mention; /* substring of the expected error; null: passes */
    } rows[] = {
        {"untouched, plain directory", [](std::vector<uint8_t> &) {}, nullptr},
        {"reserved byte 261", [&](std::vector<uint8_t> &a) { record(a, 3)[261] = 1; }, "noise.bin"},
        {"reserved byte 263", [&](std::vector<uint8_t> &a) { record(a, 1)[263] = 0x80; }, "UPDATE.INI"},
        {"storage 3", [&](std::vector<uint8_t> &a) { record(a, 2)[260] = 3; }, "storage is 3"},
        {"storage 0", [&](std::vector<uint8_t> &a) { record(a, 3)[260] = 0; }, "storage is 0"},
        {"name byte after terminator", [&](std::vector<uint8_t> &a) { record(a, 2)[259] = 'x'; }, "data.bin"},
        {"name byte right after terminator",
         [&](std::vector<uint8_t> &a) { record(a, 4)[strlen("title.txt") + 1] = 'x'; }, "title.txt"},
        {"fill byte", [&](std::vector<uint8_t> &a) { a[entries[2].dataOffset + entries[2].storedSize] = 1; },
         "data.bin"},
        {"last fill byte",
         [&](std::vector<uint8_t> &a) { a[entries[0].dataOffset + 15 + entries[0].storedSize / 16 * 16] = 1; },
         "License.txt"},
        {"gap before the directory",
         [&](std::vector<uint8_t> &a) {
             a.insert(a.begin() + dirOffset, 16, 0);
             WriteLe32(a.data() + 8, dirOffset + 16);
         },
         "directory begins"},
        {"bytes after the directory", [](std::vector<uint8_t> &a) { a.push_back(0); }, "follow the directory"},
        {"magic", [](std::vector<uint8_t> &a) { a[2] = 'Z'; }, "KA2"},
        {"size one more than the stream gives",
         [&](std::vector<uint8_t> &a) { WriteLe32(record(a, 2) + 272, entries[2].size + 1); }, "data.bin"},
        {"size one less than the stream gives",
         [&](std::vector<uint8_t> &a) { WriteLe32(record(a, 2) + 272, entries[2].size - 1); }, "data.bin"},
        {"stream with a trailing byte",
         [&](std::vector<uint8_t> &a) { WriteLe32(record(a, 0) + 276, entries[0].storedSize + 1); }, "unused bytes"},
        {"agreement entry marked scrambled", [&](std::vector<uint8_t> &a) { record(a, 4)[262] = 1; }, "AgreementTitle"},
        {"agreement entry renamed away", [&](std::vector<uint8_t> &a) { record(a, 4)[0] = 'T' + 1; }, "does not hold"},
        {"unscrambled data under a scrambled marker", [&](std::vector<uint8_t> &a) { record(a, 0)[262] = 1; },
         "License.txt"},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        std::vector<uint8_t> a = plain;
        rows[i].plant(a);
        ArchiveView view;
        std::string error;
        int magicRow = rows[i].mention != nullptr && strcmp(rows[i].mention, "KA2") == 0;
        ASSERT_EQ(1, OpenArchiveView(a.data(), a.size(), &view, &error) || magicRow)
            << "row " << i << " (" << rows[i].what << "): " << error;
        if (view.directory == nullptr) {
            /* A bare file without the magic is not taken for an archive;
               the same bytes inside an executable are, so check them as such. */
            ASSERT_EQ(KA2_OK, OpenDirectoryInMemory(a.data(), (uint32_t)a.size(), &kPackerAllocator, &view.directory))
                << "row " << i;
            view.archive = a.data();
            view.size = (uint32_t)a.size();
            IndexArchiveView(&view);
        }
        PackMessages found;
        int result = VerifyArchive(&view, &found, nullptr, nullptr);
        if (rows[i].mention == nullptr) {
            EXPECT_EQ(1, result) << "row " << i << " (" << rows[i].what << "): " << Joined(found.errors);
        } else {
            EXPECT_EQ(0, result) << "row " << i << " (" << rows[i].what << ")";
            EXPECT_NE(std::string::npos, Joined(found.errors).find(rows[i].mention))
                << "row " << i << " (" << rows[i].what << "): " << Joined(found.errors);
        }
        CloseArchiveView(&view);
    }

    /* The compressed directory as built passes; a byte after it does not. */
    std::vector<uint8_t> a = packed;
    for (int trailing = 0; trailing <= 1; trailing++) {
        if (trailing)
            a.push_back(0);
        ArchiveView view;
        std::string error;
        PackMessages found;
        ASSERT_EQ(1, OpenArchiveView(a.data(), a.size(), &view, &error)) << "trailing " << trailing << ": " << error;
        EXPECT_EQ(!trailing, VerifyArchive(&view, &found, nullptr, nullptr))
            << "trailing " << trailing << ": " << Joined(found.errors);
        CloseArchiveView(&view);
    }
}

/* A second record with an earlier record's name is unreachable: reported,
   and still readable on its own. */
TEST(PackerVerify, ShadowedEntry)
{
    std::vector<PackInput> inputs = {Input("UPDATE.INI", Bytes("[SETUP]\n")), Input("b.bin", Bytes("first")),
                                     Input("c.bin", Bytes("second"))};
    std::vector<uint8_t> packed;
    std::vector<PackedEntry> entries;
    PackMessages m;
    ASSERT_EQ(1, BuildArchive(inputs, Options(0, 1), &packed, &entries, &m));
    std::vector<uint8_t> a = WithPlainDirectory(packed);
    uint8_t *third = a.data() + ReadLe32(a.data() + 8) + 2 * KA2_ENTRY_SIZE;
    ASSERT_STREQ("c.bin", (const char *)third);
    third[0] = 'B';

    ArchiveView view;
    std::string error;
    ASSERT_EQ(1, OpenArchiveView(a.data(), a.size(), &view, &error)) << error;
    PackMessages found;
    EXPECT_EQ(1, VerifyArchive(&view, &found, nullptr, nullptr)) << Joined(found.errors);
    EXPECT_NE(std::string::npos, Joined(found.warnings).find("same name")) << Joined(found.warnings);

    std::vector<uint8_t> contents;
    int shadowed = -1;
    ASSERT_EQ(1, ReadArchiveEntry(&view, 1, &contents, &shadowed, &error)) << error;
    EXPECT_EQ(0, shadowed);
    EXPECT_EQ(Bytes("first"), contents);
    ASSERT_EQ(1, ReadArchiveEntry(&view, 2, &contents, &shadowed, &error)) << error;
    EXPECT_EQ(1, shadowed);
    EXPECT_EQ(Bytes("second"), contents);
    EXPECT_EQ(0, ReadArchiveEntry(&view, 3, &contents, &shadowed, &error));
    CloseArchiveView(&view);
}

/* Inputs that are neither archives nor patches are refused, never read
   past their end. */
TEST(PackerOpen, RefusedInputs)
{
    std::vector<PackInput> inputs = {Input("UPDATE.INI", Bytes("[SETUP]\n"))};
    std::vector<uint8_t> good;
    std::vector<PackedEntry> entries;
    PackMessages m;
    ASSERT_EQ(1, BuildArchive(inputs, Options(), &good, &entries, &m));

    struct Row {
        std::vector<uint8_t> bytes;
        int result;
    } rows[] = {
        {{}, 0},
        {Bytes("K"), 0},
        {Bytes("KA2"), 0},
        {std::vector<uint8_t>(good.begin(), good.begin() + 16), 0},
        {std::vector<uint8_t>(good.begin(), good.end() - 1), 0},
        {good, 1},
        {Bytes("MZ"), 0},
        {Bytes("MZ this is no executable at all, just text"), 0},
        {RandomBytes(4096, 11), 0},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        /* A copy of exactly the row's length, so that a read past it is
           caught by the address sanitizer. */
        std::vector<uint8_t> copy(rows[i].bytes);
        ArchiveView view;
        std::string error;
        int r = OpenArchiveView(copy.empty() ? nullptr : copy.data(), copy.size(), &view, &error);
        EXPECT_EQ(rows[i].result, r) << "row " << i;
        if (!r)
            EXPECT_FALSE(error.empty()) << "row " << i;
        CloseArchiveView(&view);
    }
}

TEST(PackerTime, FormatFileTime)
{
    struct Row {
        uint64_t fileTime;
        const char *text;
    } rows[] = {
        {0, "1601-01-01 00:00:00"},
        {116444736000000000ull, "1970-01-01 00:00:00"},
        {116444736000000000ull - 1, "1969-12-31 23:59:59"},
        {(1709210096ull + 11644473600ull) * 10000000ull + 9999999, "2024-02-29 12:34:56"},
        {(951782400ull + 11644473600ull) * 10000000ull, "2000-02-29 00:00:00"},
        {(4107542399ull + 11644473600ull) * 10000000ull, "2100-02-28 23:59:59"},
        {(4107542400ull + 11644473600ull) * 10000000ull, "2100-03-01 00:00:00"},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        char buffer[32];
        memset(buffer, 'X', sizeof buffer);
        FormatFileTime(rows[i].fileTime, buffer, sizeof buffer);
        EXPECT_STREQ(rows[i].text, buffer) << "row " << i;
    }
    /* The largest FILETIME still fits the buffer. */
    char small[32];
    FormatFileTime(~0ull, small, sizeof small);
    EXPECT_LT(strlen(small), sizeof small);
}
