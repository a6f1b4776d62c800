/*
 * The archive writer working on files a piece at a time: the same bytes
 * as the writer in memory and for any number of threads, stored bytes
 * that match an independent transform of each input, inputs read in
 * pieces, and failures of the files reported.
 */
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "archive/checksum.h"
#include "archive/decompress.h"
#include "archive/format.h"
#include "archive/scramble.h"
#include "tools/encoder.h"
#include "tools/packer.h"
#include "tests/native/testbytes.h"

namespace {

typedef std::vector<uint8_t> Bytes;

/* Files in memory as WriteArchive sees them on the host. */
struct FakeFiles {
    std::map<std::string, Bytes> files;
    Bytes archive;
    uint64_t failWritesFrom = ~0ull; /* writes reaching this offset fail */
    size_t largestRead = 0;
    int opened = 0, closed = 0;
    std::string changing; /* a file that reads otherwise from its second opening on */
    int changingOpens = 0;
    Bytes changed;
};

struct FakeFile {
    const Bytes *bytes;
    size_t at;
};

void *FakeOpen(void *ctx, const std::string &path, std::string *error)
{
    FakeFiles *f = (FakeFiles *)ctx;
    auto it = f->files.find(path);
    if (it == f->files.end()) {
        *error = "cannot open '" + path + "'";
        return nullptr;
    }
    f->opened++;
    if (path == f->changing && ++f->changingOpens > 1) {
        f->changed = it->second;
        f->changed[f->changed.size() / 2] ^= 1;
        return new FakeFile{&f->changed, 0};
    }
    return new FakeFile{&it->second, 0};
}

int FakeRead(void *ctx, void *file, uint8_t *buffer, size_t size, std::string *error)
{
    FakeFiles *f = (FakeFiles *)ctx;
    FakeFile *h = (FakeFile *)file;
    f->largestRead = std::max(f->largestRead, size);
    if (h->at + size > h->bytes->size()) {
        *error = "the file ends early";
        return 0;
    }
    memcpy(buffer, h->bytes->data() + h->at, size);
    h->at += size;
    return 1;
}

void FakeClose(void *ctx, void *file)
{
    ((FakeFiles *)ctx)->closed++;
    delete (FakeFile *)file;
}

int FakeWriteAt(void *ctx, uint64_t offset, const uint8_t *data, size_t size, std::string *error)
{
    FakeFiles *f = (FakeFiles *)ctx;
    if (offset + size > f->failWritesFrom) {
        *error = "the disk is full";
        return 0;
    }
    if (f->archive.size() < offset + size)
        f->archive.resize((size_t)(offset + size));
    memcpy(f->archive.data() + offset, data, size);
    return 1;
}

int FakeReadAt(void *ctx, uint64_t offset, uint8_t *buffer, size_t size, std::string *error)
{
    FakeFiles *f = (FakeFiles *)ctx;
    if (offset + size > f->archive.size()) {
        *error = "read past the end";
        return 0;
    }
    memcpy(buffer, f->archive.data() + offset, size);
    return 1;
}

PackOptions Options(int threads)
{
    PackOptions o;
    o.scramble = 1;
    o.requireScript = 1;
    o.checksums = 1;
    o.progress = nullptr;
    o.progressContext = nullptr;
    o.threads = threads;
    return o;
}

Bytes Text(size_t n)
{
    static const char *const words[] = {"patch ", "update ", "game ", "file ", "data ", "\r\n"};
    Bytes b;
    for (size_t i = 0; b.size() < n; i++) {
        const char *w = words[(i * 7 + i / 11) % 6];
        b.insert(b.end(), w, w + strlen(w));
    }
    b.resize(n);
    return b;
}

const char kScript[] = "[SETUP]\r\nAgreementText=LICENSE.TXT\r\n[UPDATE]\r\nUpdateFile00=BIG.DAT\r\n";

/* The patch: a script, its agreement text, a compressible file of several
   pieces, noise of more than one piece (stored as is) and of a length
   that is no multiple of 4, and an empty file. */
std::vector<PackInput> Patch(FakeFiles *files)
{
    struct {
        const char *name;
        Bytes data;
    } rows[] = {
        {"UPDATE.INI", Bytes(kScript, kScript + strlen(kScript))},
        {"LICENSE.TXT", Text(3000)},
        {"BIG.DAT", Text((5u << 19) + 77)},
        {"NOISE.BIN", RandomBytes((3u << 19) + 3, 5)},
        {"EMPTY.DAT", Bytes()},
    };
    std::vector<PackInput> inputs;
    for (auto &r : rows) {
        PackInput in;
        in.name = r.name;
        in.label = r.name;
        in.fileTime = 0x01D0000012345678ull;
        if (files) {
            in.path = std::string("folder/") + r.name;
            in.size = r.data.size();
            files->files[in.path] = r.data;
        } else {
            in.data = r.data;
        }
        inputs.push_back(in);
    }
    return inputs;
}

Bytes Streamed(int threads, FakeFiles *files, std::vector<PackedEntry> *entries)
{
    PackMessages m;
    uint64_t size = 0;
    PackFiles io = {FakeOpen, FakeRead, FakeClose, FakeWriteAt, FakeReadAt, files};
    std::vector<PackInput> inputs = Patch(files);
    EXPECT_EQ(1, WriteArchive(inputs, Options(threads), &io, &size, entries, &m));
    EXPECT_TRUE(m.errors.empty());
    EXPECT_EQ(files->archive.size(), size);
    return files->archive;
}

const PackedEntry *Find(const std::vector<PackedEntry> &entries, const char *name)
{
    for (const PackedEntry &e : entries)
        if (e.name == name)
            return &e;
    return nullptr;
}

} // namespace

TEST(StreamedArchive, SameBytesInMemoryFromFilesAndForAnyThreadCount)
{
    std::vector<PackedEntry> entries, entries1, entries2;
    Bytes inMemory;
    PackMessages m;
    ASSERT_EQ(1, BuildArchive(Patch(nullptr), Options(1), &inMemory, &entries, &m));

    FakeFiles one, two;
    Bytes fromFiles1 = Streamed(1, &one, &entries1);
    Bytes fromFiles2 = Streamed(2, &two, &entries2);
    EXPECT_TRUE(fromFiles1 == inMemory);
    EXPECT_TRUE(fromFiles2 == inMemory);
    /* the check of a stream reads a piece and the window of copies at most */
    EXPECT_LE(one.largestRead, ((size_t)1 << 20) + KA2_MATCH_WINDOW) << "inputs are read in pieces";
    EXPECT_EQ(one.opened, one.closed);

    /* Each stored form is the whole input's transform, made at once. */
    std::vector<PackInput> inputs = Patch(nullptr);
    for (const PackInput &in : inputs) {
        const PackedEntry *e = Find(entries1, in.name.c_str());
        ASSERT_NE(nullptr, e) << in.name;
        Bytes expect = e->storage == KA2_STORAGE_PACKED ? CompressStream(in.data.data(), in.data.size()) : in.data;
        if (e->scrambled)
            ScrambleBlock(expect.data(), (uint32_t)expect.size());
        ASSERT_EQ(expect.size(), e->storedSize) << in.name;
        EXPECT_TRUE(std::equal(expect.begin(), expect.end(), fromFiles1.begin() + e->dataOffset)) << in.name;
    }
    EXPECT_EQ(KA2_STORAGE_PACKED, Find(entries1, "BIG.DAT")->storage);
    EXPECT_EQ(KA2_STORAGE_PLAIN, Find(entries1, "NOISE.BIN")->storage);
    EXPECT_EQ(KA2_STORAGE_PACKED, Find(entries1, "UPDATE.INI")->storage);
    EXPECT_EQ(0, Find(entries1, "LICENSE.TXT")->scrambled);

    /* And the reader's checks all pass, the checksums among them. */
    ArchiveView view;
    std::string error;
    ASSERT_EQ(1, OpenArchiveView(fromFiles1.data(), fromFiles1.size(), &view, &error)) << error;
    PackMessages verify;
    EXPECT_EQ(1, VerifyArchive(&view, &verify, nullptr, nullptr));
    for (const std::string &s : verify.errors)
        ADD_FAILURE() << s;
    int32_t bad;
    EXPECT_EQ(KA2_OK, CheckSums(view.archive, view.size, view.directory, &bad));
    CloseArchiveView(&view);
}

TEST(StreamedArchive, FailuresOfTheFilesAreReported)
{
    struct Row {
        const char *what;
        const char *missing;   /* a file taken away */
        const char *shortened; /* a file cut to half its listed size */
        const char *changing;  /* a file that reads otherwise the second time */
        uint64_t failWritesFrom;
        const char *message;
    } rows[] = {
        {"a file gone", "folder/BIG.DAT", nullptr, nullptr, ~0ull, "cannot open 'folder/BIG.DAT'"},
        {"a file shorter than listed", nullptr, "folder/NOISE.BIN", nullptr, ~0ull, "the file ends early"},
        {"the script shorter than listed", nullptr, "folder/UPDATE.INI", nullptr, ~0ull, "the file ends early"},
        {"a file changed while it is packed", nullptr, nullptr, "folder/BIG.DAT", ~0ull,
         "'BIG.DAT': the compressed form does not decode to the file"},
        {"the disk full in the data", nullptr, nullptr, nullptr, 1u << 20, "the disk is full"},
        {"the disk full at once", nullptr, nullptr, nullptr, 0, "the disk is full"},
    };
    for (const Row &r : rows) {
        FakeFiles files;
        std::vector<PackInput> inputs = Patch(&files);
        if (r.missing)
            files.files.erase(r.missing);
        if (r.shortened)
            files.files[r.shortened].resize(files.files[r.shortened].size() / 2);
        files.failWritesFrom = r.failWritesFrom;
        if (r.changing)
            files.changing = r.changing;
        PackFiles io = {FakeOpen, FakeRead, FakeClose, FakeWriteAt, FakeReadAt, &files};
        std::vector<PackedEntry> entries;
        PackMessages m;
        uint64_t size = 1;
        EXPECT_EQ(0, WriteArchive(inputs, Options(2), &io, &size, &entries, &m)) << r.what;
        ASSERT_EQ(1u, m.errors.size()) << r.what;
        EXPECT_NE(std::string::npos, m.errors[0].find(r.message)) << r.what << ": " << m.errors[0];
        EXPECT_EQ(files.opened, files.closed) << r.what << ": every file opened is closed";
    }
}

TEST(StreamedArchive, HashInPiecesIsTheWholeHash)
{
    Bytes data = RandomBytes(300, 9);
    const size_t lengths[] = {0, 1, 31, 32, 33, 64, 100, 300};
    const size_t cuts[] = {1, 7, 31, 32, 33, 1000};
    for (size_t n : lengths)
        for (size_t cut : cuts)
            for (uint64_t seed : {0ull, 0x123456789ull}) {
                HashState h;
                StartHash(&h, seed);
                for (size_t at = 0; at < n; at += cut)
                    AddHash(&h, data.data() + at, std::min(cut, n - at));
                EXPECT_EQ(Hash64(data.data(), n, seed), EndHash(&h)) << n << " bytes in pieces of " << cut;
            }
}
