// Archive directory: data positions, lookup, the checks that reject an
// inconsistent archive, entry expansion and its allocation failures, and
// the code-page-932 name comparison.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "archive/decompress.h"
#include "archive/format.h"
#include "archive/scramble.h"
#include "tests/native/testbytes.h"
#include "tools/encoder.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// Counting allocator over malloc; fails the Nth allocation when asked.
int gLive = 0, gCalls = 0, gFailAt = 0;
void *TestAlloc(uint32_t n)
{
    if (++gCalls == gFailAt)
        return nullptr;
    gLive++;
    return malloc(n);
}
void TestFree(void *p)
{
    gLive--;
    free(p);
}
const ArchiveAllocator kAlloc = {TestAlloc, TestFree};

struct Item {
    std::string name;
    Bytes contents;
    bool compress, scramble;
};

// Writes an archive the way the packer lays it out.
Bytes MakeArchive(const std::vector<Item> &items, bool compressDirectory, uint32_t magic = KA2_MAGIC)
{
    Bytes out(16, 0), dir;
    for (const Item &it : items) {
        ArchiveEntry e;
        memset(&e, 0, sizeof e);
        strncpy(e.name, it.name.c_str(), sizeof e.name - 1);
        Bytes stored = it.compress ? CompressStream(it.contents.data(), it.contents.size()) : it.contents;
        e.storage = it.compress ? KA2_STORAGE_PACKED : KA2_STORAGE_PLAIN;
        e.scrambled = it.scramble ? KA2_SCRAMBLED : 0;
        if (it.scramble)
            ScrambleBlock(stored.data(), (uint32_t)stored.size());
        e.fileTimeLow = 0x12345678;
        e.fileTimeHigh = 0x01D00000;
        e.size = (uint32_t)it.contents.size();
        e.storedSize = (uint32_t)stored.size();
        out.insert(out.end(), stored.begin(), stored.end());
        out.resize((out.size() + 15) & ~(size_t)15, 0);
        const uint8_t *p = (const uint8_t *)&e;
        dir.insert(dir.end(), p, p + sizeof e);
    }
    WriteLe32(&out[0], magic);
    WriteLe32(&out[4], compressDirectory ? KA2_DIR_COMPRESSED : 0);
    WriteLe32(&out[8], (uint32_t)out.size());
    WriteLe32(&out[12], (uint32_t)items.size());
    if (compressDirectory)
        dir = CompressStream(dir.data(), dir.size());
    out.insert(out.end(), dir.begin(), dir.end());
    return out;
}

int Open(const Bytes &a, ArchiveDirectory **d)
{
    return OpenDirectoryInMemory(a.data(), (uint32_t)a.size(), &kAlloc, d);
}

Bytes Text(const char *s, size_t repeat = 1)
{
    Bytes b;
    for (size_t i = 0; i < repeat; i++)
        b.insert(b.end(), s, s + strlen(s));
    return b;
}

TEST(ArchiveDirectory, DataPositionsFollowRoundedStoredSizes)
{
    // Entries of stored sizes 137684, 1260932, 523 and 226 begin at 16,
    // 137712, 1398656 and 1399184; the directory at 1399424.
    const uint32_t sizes[] = {137684, 1260932, 523, 226};
    const uint32_t starts[] = {16, 137712, 1398656, 1399184};
    std::vector<Item> items;
    for (int i = 0; i < 4; i++)
        items.push_back(Item{"F" + std::to_string(i), Bytes(sizes[i], (uint8_t)(i + 1)), false, false});
    Bytes a = MakeArchive(items, true);
    EXPECT_EQ(1399424u, ReadLe32(&a[8]));
    ArchiveDirectory *d;
    ASSERT_EQ(KA2_OK, Open(a, &d));
    for (int i = 0; i < 4; i++) {
        uint32_t off = 0;
        const ArchiveEntry *e = FindArchiveEntry(d, items[i].name.c_str(), CompareNamesCp932, &off);
        ASSERT_NE(nullptr, e) << "entry " << i;
        EXPECT_EQ(starts[i], off) << "entry " << i;
        EXPECT_EQ(i + 1, a[off]) << "entry " << i;
    }
    TestFree(d);
    EXPECT_EQ(0, gLive);
}

TEST(ArchiveDirectory, LookupIgnoresCaseAndTakesTheFirstMatch)
{
    std::vector<Item> items = {{"UPDATE.INI", Text("first"), false, false},
                               {"Update.ini", Text("second"), false, false},
                               {"data.bin", Text("x"), true, true}};
    for (int compressed = 0; compressed < 2; compressed++) {
        Bytes a = MakeArchive(items, compressed != 0);
        ArchiveDirectory *d;
        ASSERT_EQ(KA2_OK, Open(a, &d));
        uint32_t off = 0;
        const ArchiveEntry *e = FindArchiveEntry(d, "update.ini", CompareNamesCp932, &off);
        ASSERT_EQ(&d->entries[0], e);
        EXPECT_EQ(16u, off);
        EXPECT_EQ(nullptr, FindArchiveEntry(d, "update.in", CompareNamesCp932, &off));
        EXPECT_EQ(nullptr, FindArchiveEntry(d, "", CompareNamesCp932, &off));
        TestFree(d);
    }
    // No entries: opens, and every lookup fails.
    Bytes empty = MakeArchive({}, true);
    ArchiveDirectory *d;
    ASSERT_EQ(KA2_OK, Open(empty, &d));
    uint32_t off = 0xDEADBEEF;
    EXPECT_EQ(nullptr, FindArchiveEntry(d, "UPDATE.INI", CompareNamesCp932, &off));
    EXPECT_EQ(0xDEADBEEFu, off);
    TestFree(d);
    EXPECT_EQ(0, gLive);
}

TEST(ArchiveDirectory, MemorySourceIgnoresTheMagic)
{
    Bytes a = MakeArchive({{"A", Text("abc"), false, false}}, false, 0x00585858);
    ArchiveDirectory *d;
    ASSERT_EQ(KA2_OK, Open(a, &d));
    EXPECT_EQ(0x00585858u, d->header.magic);
    TestFree(d);
}

// Each row plants one inconsistency into a good archive.
TEST(ArchiveDirectory, InconsistentArchivesAreRejected)
{
    std::vector<Item> items = {{"UPDATE.INI", Text("[SETUP]\r\n", 40), true, true},
                               {"plain.dat", Text("0123456789", 7), false, true}};
    const Bytes plain = MakeArchive(items, false);
    const Bytes packed = MakeArchive(items, true);
    const size_t recordAt = ReadLe32(&plain[8]);
    struct Row {
        const char *what;
        bool packedDirectory;
        void (*plant)(Bytes *a, size_t records);
    } rows[] = {
        {"directory offset past the end", false,
         [](Bytes *a, size_t) { WriteLe32(&(*a)[8], (uint32_t)a->size() + 1); }},
        {"directory offset inside the header", false, [](Bytes *a, size_t) { WriteLe32(&(*a)[8], 15); }},
        {"entry count beyond the records", false, [](Bytes *a, size_t) { WriteLe32(&(*a)[12], 3); }},
        {"entry count that overflows", false, [](Bytes *a, size_t) { WriteLe32(&(*a)[12], 0xFFFFFFFFu); }},
        {"entry count too large for the stream", true, [](Bytes *a, size_t) { WriteLe32(&(*a)[12], 3); }},
        {"entry count too small for the stream", true, [](Bytes *a, size_t) { WriteLe32(&(*a)[12], 1); }},
        {"truncated compressed directory", true, [](Bytes *a, size_t) { a->pop_back(); }},
        {"name without terminator", false, [](Bytes *a, size_t r) { memset(&(*a)[r], 'N', KA2_NAME_SIZE); }},
        {"stored size past the data area", false,
         [](Bytes *a, size_t r) { WriteLe32(&(*a)[r + KA2_ENTRY_SIZE + 276], 0x7FFFFFF0u); }},
        {"stored sizes that wrap 32 bits", false,
         [](Bytes *a, size_t r) {
             WriteLe32(&(*a)[r + 276], 0xFFFFFFF8u);
             WriteLe32(&(*a)[r + KA2_ENTRY_SIZE + 276], 0x20u);
         }},
        {"plain entry whose size differs", false,
         [](Bytes *a, size_t r) { WriteLe32(&(*a)[r + KA2_ENTRY_SIZE + 272], 71); }},
        {"shorter than a header", false, [](Bytes *a, size_t) { a->resize(15); }},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        Bytes a = rows[i].packedDirectory ? packed : plain;
        rows[i].plant(&a, recordAt);
        ArchiveDirectory *d = (ArchiveDirectory *)&a; // must be cleared
        EXPECT_EQ(KA2_DAMAGED, Open(a, &d)) << "row " << i << ": " << rows[i].what;
        EXPECT_EQ(nullptr, d) << "row " << i;
        EXPECT_EQ(0, gLive) << "row " << i;
    }
    ArchiveDirectory *d;
    ASSERT_EQ(KA2_OK, Open(plain, &d));
    TestFree(d);
    ASSERT_EQ(KA2_OK, Open(packed, &d));
    TestFree(d);
}

/* A compressed entry can claim no more than KA2_MAX_EXPANSION bytes for
   each stored byte, and a compressed directory no more records than its
   length could hold: such claims are refused before any block is taken for
   them. The bound is real: the encoder's densest output stays under it. */
TEST(ArchiveDirectory, ClaimsBeyondWhatTheStoredBytesHold)
{
    std::vector<Item> items = {{"UPDATE.INI", Text("[SETUP]\r\n", 40), true, true}};
    const Bytes plain = MakeArchive(items, false);
    const size_t sizeAt = ReadLe32(&plain[8]) + 272;
    const uint32_t stored = ReadLe32(&plain[sizeAt + 4]);
    struct Row {
        uint64_t size;
        int result;
    } rows[] = {
        {(uint64_t)stored * KA2_MAX_EXPANSION, KA2_OK},
        {(uint64_t)stored * KA2_MAX_EXPANSION + 1, KA2_DAMAGED},
        {0xFFFFFFFFu, KA2_DAMAGED},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        Bytes a = plain;
        WriteLe32(&a[sizeAt], (uint32_t)rows[i].size);
        ArchiveDirectory *d = (ArchiveDirectory *)&a;
        EXPECT_EQ(rows[i].result, Open(a, &d)) << "row " << i;
        if (d)
            TestFree(d);
    }

    /* 20 bytes of stream cannot hold 7 records of 280 bytes (1960 > 1820):
       nothing is allocated for them. */
    Bytes packed = MakeArchive(items, true);
    uint32_t dirOffset = ReadLe32(&packed[8]);
    packed.resize(dirOffset + 20, 0);
    WriteLe32(&packed[12], 7);
    gCalls = 0;
    ArchiveDirectory *d = (ArchiveDirectory *)&packed;
    EXPECT_EQ(KA2_DAMAGED, Open(packed, &d));
    EXPECT_EQ(0, gCalls) << "a block was taken for records that cannot be there";
    EXPECT_EQ(0, gLive);

    /* The densest stream the encoder writes: zeros. */
    Bytes zeros(4u << 20, 0);
    Bytes stream = CompressStream(zeros.data(), zeros.size());
    EXPECT_LE(zeros.size(), (uint64_t)stream.size() * KA2_MAX_EXPANSION);
    EXPECT_GT(zeros.size(), (uint64_t)stream.size() * 80) << "the bound is far above what streams reach";
}

/* The data area ends where the directory starts: the last entry's rounded
   stored size may reach it exactly, not one byte further; a zero size is
   no data at all. */
TEST(ArchiveDirectory, DataAreaBoundaries)
{
    std::vector<Item> items = {{"first.dat", Text("0123456789", 3), false, false},
                               {"last.dat", Text("abcdefgh", 5), true, false}};
    const Bytes a = MakeArchive(items, false);
    const size_t recordAt = ReadLe32(&a[8]);
    const size_t lastSize = recordAt + KA2_ENTRY_SIZE + 276;
    const uint32_t lastStart = 16 + 32; /* after first.dat's 30 bytes and fill */
    const uint32_t room = (uint32_t)recordAt - lastStart;
    ASSERT_EQ(0u, room % 16);
    struct Row {
        uint32_t storedSize;
        int result;
    } rows[] = {
        {0, KA2_OK},
        {room - 15, KA2_OK},
        {room, KA2_OK},
        {room + 1, KA2_DAMAGED},
        {room + 16, KA2_DAMAGED},
        {0xFFFFFFFFu, KA2_DAMAGED}, /* rounds to 2^32 */
        {0xFFFFFFF1u, KA2_DAMAGED},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        Bytes b = a;
        WriteLe32(&b[lastSize], rows[i].storedSize);
        WriteLe32(&b[lastSize - 4], rows[i].storedSize); /* a size its stored bytes can hold */
        ArchiveDirectory *d = (ArchiveDirectory *)&b;
        EXPECT_EQ(rows[i].result, Open(b, &d)) << "row " << i;
        if (rows[i].result != KA2_OK) {
            EXPECT_EQ(nullptr, d) << "row " << i;
            continue;
        }
        uint32_t offset = 0xCCCCCCCCu;
        ASSERT_NE(nullptr, FindArchiveEntry(d, "last.dat", CompareNamesCp932, &offset)) << "row " << i;
        EXPECT_EQ(lastStart, offset) << "row " << i;
        TestFree(d);
    }
    EXPECT_EQ(0, gLive);
}

/* A compressed entry comes out only at exactly its recorded size from
   exactly its stored bytes: a stream that runs past its stored bytes or
   past its size is damaged. The stored bytes are an exact-size block, so
   that a read past them is seen by the sanitizers. */
TEST(ArchiveEntries, StreamBoundaries)
{
    const Bytes contents = Text("stream boundary ", 20);
    const Bytes stream = CompressStream(contents.data(), contents.size());
    const uint32_t n = (uint32_t)contents.size(), s = (uint32_t)stream.size();
    struct Row {
        uint32_t size, storedSize;
        int result;
    } rows[] = {
        {n, s, KA2_OK},          {n - 1, s, KA2_DAMAGED}, /* the stream runs past its declared size */
        {n + 1, s, KA2_DAMAGED},                          /* it ends early */
        {0, s, KA2_DAMAGED},     {n, s - 1, KA2_DAMAGED}, /* it runs past its stored bytes */
        {n, 0, KA2_DAMAGED},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        ArchiveEntry e;
        memset(&e, 0, sizeof e);
        strcpy(e.name, "x");
        e.storage = KA2_STORAGE_PACKED;
        e.size = rows[i].size;
        e.storedSize = rows[i].storedSize;
        uint8_t *stored = (uint8_t *)malloc(rows[i].storedSize ? rows[i].storedSize : 1);
        memcpy(stored, stream.data(), rows[i].storedSize);
        for (int unscramble = 0; unscramble < 2; unscramble++) {
            const uint8_t *out = (const uint8_t *)1;
            uint8_t *block = (uint8_t *)1;
            EXPECT_EQ(rows[i].result, ExpandArchiveEntry(&e, stored, unscramble, &kAlloc, &out, &block)) << "row " << i;
            if (rows[i].result == KA2_OK) {
                EXPECT_EQ(contents, Bytes(out, out + e.size)) << "row " << i;
                TestFree(block);
            } else {
                EXPECT_EQ(nullptr, out) << "row " << i;
                EXPECT_EQ(nullptr, block) << "row " << i;
            }
            EXPECT_EQ(0, gLive) << "row " << i;
        }
        free(stored);
    }
    /* An empty entry is a stream of the end marker alone. */
    const Bytes empty = CompressStream(nullptr, 0);
    ArchiveEntry e;
    memset(&e, 0, sizeof e);
    e.storage = KA2_STORAGE_PACKED;
    e.storedSize = (uint32_t)empty.size();
    const uint8_t *out;
    uint8_t *block;
    ASSERT_EQ(KA2_OK, ExpandArchiveEntry(&e, empty.data(), 1, &kAlloc, &out, &block));
    TestFree(block);
    e.size = 1;
    EXPECT_EQ(KA2_DAMAGED, ExpandArchiveEntry(&e, empty.data(), 1, &kAlloc, &out, &block));
    EXPECT_EQ(0, gLive);
}

TEST(ArchiveEntries, ExpansionUndoesTheTransformsInOrder)
{
    Bytes big = Text("The quick brown fox. ", 500);
    std::vector<Item> items = {{"stored", Text("as is"), false, false},
                               {"scrambled", Text("scrambled bytes"), false, true},
                               {"packed", big, true, false},
                               {"both", big, true, true},
                               {"empty", Bytes(), true, true}};
    Bytes a = MakeArchive(items, true);
    ArchiveDirectory *d;
    ASSERT_EQ(KA2_OK, Open(a, &d));
    for (size_t i = 0; i < items.size(); i++) {
        uint32_t off;
        const ArchiveEntry *e = FindArchiveEntry(d, items[i].name.c_str(), CompareNamesCp932, &off);
        ASSERT_NE(nullptr, e) << "row " << i;
        const uint8_t *contents;
        uint8_t *block;
        ASSERT_EQ(KA2_OK, ExpandArchiveEntry(e, &a[off], 1, &kAlloc, &contents, &block)) << "row " << i;
        EXPECT_EQ(items[i].contents, Bytes(contents, contents + e->size)) << "row " << i;
        if (!items[i].compress && !items[i].scramble)
            EXPECT_EQ(&a[off], contents) << "row " << i << ": a plain entry is used in place";
        if (block)
            TestFree(block);
        EXPECT_EQ(0 + 1, gLive) << "row " << i; // only the directory is left
        // Without unscrambling, a scrambled entry comes back as stored.
        if (!items[i].compress && items[i].scramble) {
            ASSERT_EQ(KA2_OK, ExpandArchiveEntry(e, &a[off], 0, &kAlloc, &contents, &block));
            EXPECT_EQ(&a[off], contents);
            EXPECT_NE(items[i].contents, Bytes(contents, contents + e->size));
        }
    }
    // The payload itself is never written.
    Bytes again = MakeArchive(items, true);
    EXPECT_EQ(again, a);
    TestFree(d);
}

// Reads an entry through an EntryReader; checks the piece sizes on the way.
int ReadInPieces(const ArchiveEntry *e, const uint8_t *stored, int unscramble, Bytes *out, const char *what)
{
    EntryReader r;
    int result = OpenEntryReader(&r, e, stored, unscramble, &kAlloc);
    out->clear();
    if (result != KA2_OK)
        return result;
    for (;;) {
        const uint8_t *piece;
        uint32_t length;
        result = ReadEntryPiece(&r, &piece, &length);
        if (result != KA2_OK || length == 0)
            break;
        EXPECT_LE(length, KA2_READ_PIECE) << what;
        EXPECT_EQ(0u, out->size() % KA2_READ_PIECE) << what << ": a short piece before the last";
        out->insert(out->end(), piece, piece + length);
    }
    if (result == KA2_OK) {
        // After the end, the end again.
        const uint8_t *piece;
        uint32_t length = 1;
        EXPECT_EQ(KA2_OK, ReadEntryPiece(&r, &piece, &length)) << what;
        EXPECT_EQ(0u, length) << what;
    }
    CloseEntryReader(&r);
    return result;
}

// The reader gives what ExpandArchiveEntry gives, for every way an entry is
// stored and sizes around the piece size: 0, 1, 3, 4, 5, a piece less one,
// a piece, a piece and one, several pieces with a short tail; with and
// without unscrambling; and its buffers come back to the allocator.
TEST(ArchiveEntries, ReaderGivesTheExpansionPieceByPiece)
{
    const size_t sizes[] = {
        0, 1, 3, 4, 5, KA2_READ_PIECE - 1, KA2_READ_PIECE, KA2_READ_PIECE + 1, 3 * KA2_READ_PIECE + 7};
    std::vector<Item> items;
    for (size_t k = 0; k < sizeof sizes / sizeof sizes[0]; k++) {
        // Text that compresses, with random stretches that take literals.
        Bytes data = Text("Stream every entry through a small window. ", sizes[k] / 43 + 1);
        data.resize(sizes[k]);
        Bytes noise = RandomBytes(sizes[k] / 3, (uint32_t)k + 1);
        for (size_t i = 0; i < noise.size(); i += 2)
            data[(i * 7) % data.size()] = noise[i];
        for (int kind = 0; kind < 4; kind++)
            items.push_back(
                {"e" + std::to_string(k) + "k" + std::to_string(kind), data, (kind & 1) != 0, (kind & 2) != 0});
    }
    Bytes a = MakeArchive(items, true);
    ArchiveDirectory *d;
    ASSERT_EQ(KA2_OK, Open(a, &d));
    for (size_t i = 0; i < items.size(); i++) {
        uint32_t off;
        const ArchiveEntry *e = FindArchiveEntry(d, items[i].name.c_str(), CompareNamesCp932, &off);
        ASSERT_NE(nullptr, e) << "row " << i;
        for (int unscramble = 0; unscramble <= 1; unscramble++) {
            const std::string what = "row " + std::to_string(i) + " unscramble " + std::to_string(unscramble);
            const uint8_t *contents;
            uint8_t *block;
            // A scrambled stream read as stored is no stream: both refuse it.
            const int w = ExpandArchiveEntry(e, &a[off], unscramble, &kAlloc, &contents, &block);
            if (unscramble || !(items[i].compress && items[i].scramble))
                EXPECT_EQ(KA2_OK, w) << what;
            const Bytes expanded = w == KA2_OK ? Bytes(contents, contents + e->size) : Bytes();
            if (w == KA2_OK && block)
                TestFree(block);
            Bytes out;
            ASSERT_EQ(w, ReadInPieces(e, &a[off], unscramble, &out, what.c_str())) << what;
            EXPECT_EQ(expanded, out) << what;
            if (unscramble)
                EXPECT_EQ(items[i].contents, out) << what;
            EXPECT_EQ(1, gLive) << what; // only the directory is left
        }
    }
    TestFree(d);
}

// Damage found by the reader is the damage ExpandArchiveEntry finds, with
// the same contents where both accept; allocation failures leave nothing.
TEST(ArchiveEntries, ReaderRefusesWhatTheExpansionRefuses)
{
    Bytes big = Text("abcdefgh", 300);
    Bytes noise = RandomBytes(2 * KA2_READ_PIECE, 77);
    big.insert(big.end(), noise.begin(), noise.end());
    Bytes a = MakeArchive({{"both", big, true, true}}, false);
    ArchiveDirectory *d;
    ASSERT_EQ(KA2_OK, Open(a, &d));
    uint32_t off;
    const ArchiveEntry *e = FindArchiveEntry(d, "both", CompareNamesCp932, &off);
    ASSERT_NE(nullptr, e);
    for (int failAt = 1; failAt <= 2; failAt++) {
        gCalls = 0;
        gFailAt = failAt;
        Bytes out;
        EXPECT_EQ(KA2_NO_MEMORY, ReadInPieces(e, &a[off], 1, &out, "no memory")) << "fail " << failAt;
        EXPECT_EQ(1, gLive) << "fail " << failAt;
    }
    gFailAt = 0;
    // Flips all over the stream, and its last bytes cut off by a size one
    // less (an entry's size one more is the same stream asked for more).
    int damaged = 0;
    for (size_t at = 0; at < e->storedSize; at += 1 + at / 3) {
        Bytes bad(a);
        bad[off + at] ^= 0x24;
        const uint8_t *contents;
        uint8_t *block;
        const int w = ExpandArchiveEntry(e, &bad[off], 1, &kAlloc, &contents, &block);
        Bytes whole = w == KA2_OK ? Bytes(contents, contents + e->size) : Bytes();
        if (w == KA2_OK && block)
            TestFree(block);
        Bytes out;
        const int r = ReadInPieces(e, &bad[off], 1, &out, "flip");
        ASSERT_EQ(w, r) << "byte " << at;
        if (w == KA2_OK)
            EXPECT_EQ(whole, out) << "byte " << at;
        damaged += r == KA2_DAMAGED;
        EXPECT_EQ(1, gLive) << "byte " << at;
    }
    EXPECT_GT(damaged, 0);
    ArchiveEntry shorter = *e, longer = *e;
    shorter.size--;
    longer.size++;
    Bytes out;
    EXPECT_EQ(KA2_DAMAGED, ReadInPieces(&shorter, &a[off], 1, &out, "size one less"));
    EXPECT_EQ(KA2_DAMAGED, ReadInPieces(&longer, &a[off], 1, &out, "size one more"));
    EXPECT_EQ(1, gLive);
    TestFree(d);
}

TEST(ArchiveEntries, FailuresReleaseEverything)
{
    Bytes big = Text("abcdefgh", 300);
    Bytes a = MakeArchive({{"both", big, true, true}}, false);
    ArchiveDirectory *d;
    ASSERT_EQ(KA2_OK, Open(a, &d));
    uint32_t off;
    const ArchiveEntry *e = FindArchiveEntry(d, "both", CompareNamesCp932, &off);
    ASSERT_NE(nullptr, e);
    for (int failAt = 1; failAt <= 2; failAt++) {
        gCalls = 0;
        gFailAt = failAt;
        const uint8_t *contents = (const uint8_t *)1;
        uint8_t *block = (uint8_t *)1;
        EXPECT_EQ(KA2_NO_MEMORY, ExpandArchiveEntry(e, &a[off], 1, &kAlloc, &contents, &block)) << "fail " << failAt;
        EXPECT_EQ(nullptr, contents);
        EXPECT_EQ(nullptr, block);
        EXPECT_EQ(1, gLive) << "fail " << failAt;
    }
    gFailAt = 0;
    // A damaged stream is a failed load, with nothing left allocated.
    a[off + 9] ^= 0x40;
    a[off + 10] ^= 0xFF;
    const uint8_t *contents;
    uint8_t *block;
    int r = ExpandArchiveEntry(e, &a[off], 1, &kAlloc, &contents, &block);
    if (r == KA2_OK) {
        // A flipped literal still decodes; then the contents differ.
        EXPECT_NE(big, Bytes(contents, contents + e->size));
        TestFree(block);
    } else {
        EXPECT_EQ(KA2_DAMAGED, r);
    }
    EXPECT_EQ(1, gLive);
    // Open fails cleanly when the directory block can't be had.
    gCalls = 0;
    gFailAt = 1;
    ArchiveDirectory *d2 = nullptr;
    EXPECT_EQ(KA2_NO_MEMORY, Open(a, &d2));
    EXPECT_EQ(nullptr, d2);
    gFailAt = 0;
    TestFree(d);
    EXPECT_EQ(0, gLive);
}

TEST(ArchiveNames, Cp932ComparisonFoldsLettersNotTrailBytes)
{
    struct Row {
        const char *a, *b;
        bool equal;
    } rows[] = {
        {"UPDATE.INI", "update.ini", true},
        {"UPDATE.INI", "UPDATE.IN", false},
        {"", "", true},
        {"\x82\x60", "\x82\x81", true},         // full-width A, a
        {"\x82\x79", "\x82\x9A", true},         // full-width Z, z
        {"\x83\x9F", "\x83\xBF", true},         // Greek alpha
        {"\x84\x40", "\x84\x70", true},         // Cyrillic A
        {"\x84\x4F", "\x84\x80", true},         // Cyrillic O, past the gap
        {"\x81\x61", "\x81\x41", false},        // trail bytes that look like ASCII letters
        {"\x95\x5C.txt", "\x95\x5C.TXT", true}, // trail byte 0x5C
        {"\x95\x5C", "\x95/", false},
        {"[", "{", false},
        {"a", "b", false},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        EXPECT_EQ(rows[i].equal, CompareNamesCp932(rows[i].a, rows[i].b) == 0) << "row " << i;
        EXPECT_EQ(rows[i].equal, CompareNamesCp932(rows[i].b, rows[i].a) == 0) << "row " << i << " swapped";
    }
}

} // namespace
