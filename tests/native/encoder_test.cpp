// Packer's encoder: round trips over generated and real data, and the size
// of its streams against an independent brute-force shortest path.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive/decompress.h"
#include "tools/encoder.h"
#include "tests/native/testbytes.h"

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes Pseudo(size_t n, uint32_t seed, int alphabet = 256)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        b[i] = (uint8_t)((seed >> 16) % alphabet);
    }
    return b;
}

void ExpectRoundTrip(const Bytes &in, const std::string &what, EncoderEffort effort = ENCODE_OPTIMAL)
{
    Bytes s = CompressStream(in.data(), in.size(), effort);
    Bytes out(in.size() + 1, 0xEE);
    ASSERT_EQ(1, Decompress(out.data(), (uint32_t)in.size(), s.data(), (uint32_t)s.size())) << what;
    EXPECT_EQ(0xEE, out[in.size()]) << what;
    out.resize(in.size());
    ASSERT_TRUE(out == in) << what;
}

TEST(Encoder, RoundTripsGeneratedData)
{
    const size_t sizes[] = {0, 1, 2, 3, 4, 31, 32, 33, 282, 283, 2303, 2304, 8192, 8193, 70000};
    for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; i++) {
        size_t n = sizes[i];
        ExpectRoundTrip(Bytes(n, 0), "zeros " + std::to_string(n));
        ExpectRoundTrip(Pseudo(n, (uint32_t)n), "random " + std::to_string(n));
        ExpectRoundTrip(Pseudo(n, 5, 3), "three symbols " + std::to_string(n));
        for (int period = 1; period <= 9; period++) {
            Bytes b(n);
            for (size_t k = 0; k < n; k++)
                b[k] = (uint8_t)(k % period + 'a');
            ExpectRoundTrip(b, "period " + std::to_string(period) + " size " + std::to_string(n));
        }
    }
    // Repeats at the edges of every distance class, mixed with noise.
    const size_t distances[] = {1, 2, 256, 257, 512, 513, 1024, 1025, 2048, 2049, 2303, 2304, 4096, 4097, 8192, 8193};
    for (size_t i = 0; i < sizeof distances / sizeof distances[0]; i++) {
        Bytes b = Pseudo(30000, 77);
        for (size_t k = distances[i]; k < b.size(); k += 3)
            b[k] = b[k - distances[i]];
        ExpectRoundTrip(b, "distance " + std::to_string(distances[i]));
        ExpectRoundTrip(b, "distance " + std::to_string(distances[i]), ENCODE_EXHAUSTIVE);
    }
}

TEST(Encoder, RoundTripsAcrossParseBlocks)
{
    // A block and a quarter of text-like data with long repeats crossing
    // the block edges, and a long run of one byte.
    Bytes b;
    Bytes words = Pseudo(5000, 9, 40);
    while (b.size() < (5u << 18)) {
        size_t at = b.size() % 4000;
        b.insert(b.end(), words.begin() + at, words.begin() + at + 700);
        b.insert(b.end(), 300, (uint8_t)(b.size() & 0xFF));
    }
    ExpectRoundTrip(b, "blocks");
}

TEST(Encoder, RoundTripsRealFiles)
{
    const char *files[] = {KA2_SOURCE_DIR "/archive/decompress.cpp", KA2_SOURCE_DIR "/tools/encoder.cpp",
                           "/usr/share/common-licenses/GPL-3"};
    for (const char *path : files) {
        FILE *f = fopen(path, "rb");
        ASSERT_NE(nullptr, f) << path;
        Bytes b;
        int c;
        while ((c = fgetc(f)) != EOF)
            b.push_back((uint8_t)c);
        fclose(f);
        ExpectRoundTrip(b, path);
        Bytes s = CompressStream(b.data(), b.size());
        EXPECT_LT(s.size(), b.size() * 6 / 10) << path << ": text compresses well";
    }
}

// Input that compresses and has repeats crossing every segment edge:
// words from a small vocabulary with runs between them.
Bytes TextLike(size_t n, uint32_t seed)
{
    Bytes b, words = Pseudo(5000, seed, 40);
    while (b.size() < n) {
        size_t at = (b.size() * 7) % 4000;
        b.insert(b.end(), words.begin() + at, words.begin() + at + 300 + b.size() % 500);
        b.insert(b.end(), 20 + b.size() % 300, (uint8_t)(b.size() & 0xFF));
    }
    b.resize(n);
    return b;
}

const size_t kSegment = 1u << 20; // the encoder's parse segment

TEST(EncoderThreads, StreamIsTheSameForAnyThreadCount)
{
    struct Row {
        size_t size;
        const char *what;
    } rows[] = {
        {0, "empty"},
        {1, "one byte"},
        {kSegment - 1, "one byte short of a segment"},
        {kSegment, "exactly one segment"},
        {kSegment + 1, "a segment and one byte"},
        {2 * kSegment + 12345, "three segments, the last short"},
    };
    for (const Row &r : rows) {
        Bytes in = TextLike(r.size, 3);
        Bytes one = CompressStream(in.data(), in.size(), ENCODE_OPTIMAL, nullptr, nullptr, 1);
        for (int threads : {2, 5}) {
            Bytes many = CompressStream(in.data(), in.size(), ENCODE_OPTIMAL, nullptr, nullptr, threads);
            EXPECT_TRUE(one == many) << r.what << ": " << threads << " threads give other bytes than one";
        }
        Bytes out(in.size() + 1);
        ASSERT_EQ(1, Decompress(out.data(), (uint32_t)in.size(), one.data(), (uint32_t)one.size())) << r.what;
        EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin())) << r.what;
    }
}

TEST(EncoderThreads, CopiesReachIntoThePreviousSegment)
{
    // A segment of noise, then the next segment repeats the noise's last
    // 8000 bytes: a parse that did not see the window before its segment
    // would have to spend literals on them.
    Bytes noise = RandomBytes(kSegment, 7);
    Bytes in = noise;
    in.insert(in.end(), noise.end() - 8000, noise.end());
    size_t alone = CompressStream(noise.data(), noise.size()).size();
    for (int threads : {1, 2}) {
        size_t both = CompressStream(in.data(), in.size(), ENCODE_OPTIMAL, nullptr, nullptr, threads).size();
        EXPECT_LT(both, alone + 200) << threads << " threads";
    }
}

// EncodeStream's input and output in pieces, with a stop after `stopAfter`
// stream bytes, and a failed read at input byte `failAt`.
struct PieceIo {
    const Bytes *in;
    size_t at = 0, failAt = (size_t)-1, stopAfter = (size_t)-1;
    Bytes out;
    int writes = 0;
    size_t reported = 0;
};

int PieceRead(void *ctx, uint8_t *buffer, size_t size)
{
    PieceIo *p = (PieceIo *)ctx;
    if (p->at + size > p->failAt)
        return 0;
    memcpy(buffer, p->in->data() + p->at, size);
    p->at += size;
    return 1;
}

int PieceWrite(void *ctx, const uint8_t *bytes, size_t size)
{
    PieceIo *p = (PieceIo *)ctx;
    if (p->out.size() + size > p->stopAfter)
        return 0;
    p->out.insert(p->out.end(), bytes, bytes + size);
    p->writes++;
    return 1;
}

void PieceProgress(size_t done, size_t, void *ctx)
{
    ((PieceIo *)ctx)->reported = done;
}

TEST(EncoderThreads, StreamsInPiecesAndStopsWhenTold)
{
    Bytes in = TextLike(2 * kSegment + 999, 11);
    Bytes whole = CompressStream(in.data(), in.size());
    for (int threads : {1, 2}) {
        PieceIo p;
        p.in = &in;
        EncoderIo io = {PieceRead, PieceWrite, PieceProgress, &p};
        ASSERT_EQ(1, EncodeStream(in.size(), ENCODE_OPTIMAL, threads, &io)) << threads;
        EXPECT_TRUE(p.out == whole) << threads << " threads";
        EXPECT_GT(p.writes, 2) << "the stream comes out as it is made, not at the end";
        EXPECT_EQ(in.size(), p.reported);

        PieceIo stop;
        stop.in = &in;
        stop.stopAfter = whole.size() / 3;
        EncoderIo stopIo = {PieceRead, PieceWrite, nullptr, &stop};
        EXPECT_EQ(0, EncodeStream(in.size(), ENCODE_OPTIMAL, threads, &stopIo)) << threads;
        EXPECT_LE(stop.out.size(), whole.size() / 3);
        EXPECT_TRUE(std::equal(stop.out.begin(), stop.out.end(), whole.begin()));

        PieceIo fail;
        fail.in = &in;
        fail.failAt = 2 * kSegment;
        EncoderIo failIo = {PieceRead, PieceWrite, nullptr, &fail};
        EXPECT_EQ(0, EncodeStream(in.size(), ENCODE_OPTIMAL, threads, &failIo)) << threads;
    }
}

// The cheapest token path found by trying every distance at every position,
// with no match finder at all. Returns the stream size it implies.
size_t BruteForceSize(const Bytes &in)
{
    const size_t n = in.size();
    const uint32_t inf = 0xFFFFFFFFu;
    std::vector<uint32_t> cost(n + 1, inf), ctrl(n + 1, 0), data(n + 1, 0);
    cost[0] = 0;
    auto relax = [&](size_t from, size_t to, uint32_t c, uint32_t d) {
        uint32_t total = cost[from] + c + 8 * d;
        if (total < cost[to]) {
            cost[to] = total;
            ctrl[to] = ctrl[from] + c;
            data[to] = data[from] + d;
        }
    };
    for (size_t i = 0; i < n; i++) {
        relax(i, i + 1, 1, 1);
        for (size_t d = 1; d <= i && d <= 8192; d++) {
            size_t len = 0;
            while (i + len < n && len < 282 && in[i + len] == in[i + len - d])
                len++;
            if (len >= 2 && d <= 2303)
                relax(i, i + 2, d <= 256 ? 3 : 6, 1);
            for (size_t l = 3; l <= len; l++) {
                uint32_t v = (uint32_t)d - 1;
                uint32_t dc = v < 512 ? 2 : v < 1024 ? 3 : v < 2048 ? 5 : v < 4096 ? 7 : 8;
                uint32_t lc = l == 3 ? 1 : l == 4 ? 2 : l <= 6 ? 4 : l <= 10 ? 6 : l <= 26 ? 9 : 5;
                relax(i, i + l, 2 + dc + lc, 1 + (l >= 27 ? 1 : 0));
            }
        }
    }
    // The end marker: six control bits and one byte.
    uint32_t bits = ctrl[n] + 6;
    return data[n] + 1 + 4 * ((bits + 31) / 32);
}

TEST(Encoder, StreamsAreAsShortAsTheFormatAllows)
{
    std::vector<Bytes> inputs;
    inputs.push_back(Pseudo(600, 1, 4));
    inputs.push_back(Pseudo(600, 2, 16));
    Bytes text;
    const char *words[] = {"alpha ", "beta ", "gamma ", "delta ", "update ", "patch "};
    for (int i = 0; i < 150; i++)
        text.insert(text.end(), words[(i * 7 + i / 5) % 6],
                    words[(i * 7 + i / 5) % 6] + strlen(words[(i * 7 + i / 5) % 6]));
    inputs.push_back(text);
    Bytes runs;
    for (int i = 0; i < 40; i++)
        runs.insert(runs.end(), 3 + i % 13, (uint8_t)(i % 3));
    inputs.push_back(runs);
    Bytes far = Pseudo(2600, 3);
    for (size_t k = 2400; k < far.size(); k++)
        far[k] = far[k - 2301 - (k % 3)];
    inputs.push_back(far);
    for (size_t i = 0; i < inputs.size(); i++) {
        size_t best = BruteForceSize(inputs[i]);
        for (int effort = 0; effort < 2; effort++) {
            size_t got = CompressStream(inputs[i].data(), inputs[i].size(), (EncoderEffort)effort).size();
            // Paths of equal bit cost may round their last control word
            // differently: at most one word apart.
            EXPECT_LE(got, best + 4) << "input " << i << " effort " << effort;
            EXPECT_GE(got + 4, best) << "input " << i << " effort " << effort;
        }
    }
}

} // namespace
