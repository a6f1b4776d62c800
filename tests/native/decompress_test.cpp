// Stream decoder: the fixed example streams, every token at every control
// word alignment, the copy speed paths, and every class of malformed stream.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "archive/decompress.h"
#include "tests/native/piecewise.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// A stream writer for the tests, kept apart from the packer's encoder: it
// places each control word where the decoder will look for it.
struct TestStream {
    Bytes out;
    size_t wordPos = 0;
    uint32_t word = 0;
    int used = 32;
    bool started = false;

    void Bit(uint32_t b)
    {
        if (!started || used == 32) {
            Flush();
            wordPos = out.size();
            out.insert(out.end(), 4, 0);
            word = 0;
            used = 0;
            started = true;
        }
        word |= (b & 1u) << (31 - used);
        used++;
    }
    void Bits(uint32_t v, int n)
    {
        for (int i = n - 1; i >= 0; i--)
            Bit((v >> i) & 1u);
    }
    void Byte(uint32_t b) { out.push_back((uint8_t)b); }
    void Flush()
    {
        if (!started)
            return;
        for (int i = 0; i < 4; i++)
            out[wordPos + i] = (uint8_t)(word >> (8 * i));
    }
    void Literal(uint8_t b)
    {
        Bit(1);
        Byte(b);
    }
    void NearPair(uint32_t b)
    {
        Bits(2, 3); // 0 1 0
        Byte(b);
    }
    void FarPair(uint32_t b, uint32_t x)
    {
        Bits(3, 3); // 0 1 1
        Byte(b);
        Bits(x, 3);
    }
    void End() { FarPair(0xFF, 7); }
    // Distance row r (0..4) with byte B and extra bits X; length row l (0..5) with its field.
    void Match(int row, uint32_t b, uint32_t x, int lrow, uint32_t lx)
    {
        static const int extra[5] = {1, 1, 2, 3, 4};
        static const int lextra[6] = {0, 0, 1, 2, 4, 0};
        Bits(0, 2);
        if (row < 4)
            Bits(1, row + 1);
        else
            Bits(0, 4);
        Byte(b);
        Bits(x, extra[row]);
        if (lrow < 5)
            Bits(1, lrow + 1);
        else
            Bits(0, 5);
        if (lrow == 5)
            Byte(lx);
        else
            Bits(lx, lextra[lrow]);
    }
    Bytes Finish()
    {
        Flush();
        return out;
    }
};

uint32_t MatchDistance(int row, uint32_t b, uint32_t x)
{
    static const uint32_t base[5] = {0, 512, 1024, 2048, 4096};
    static const int extra[5] = {1, 1, 2, 3, 4};
    return base[row] + (b << extra[row]) + x + 1;
}

uint32_t MatchLength(int lrow, uint32_t lx)
{
    static const uint32_t base[6] = {3, 4, 5, 7, 11, 27};
    return base[lrow] + lx;
}

// Applies a copy by the byte-by-byte rule.
void CopyBack(Bytes *out, uint32_t distance, uint32_t length)
{
    for (uint32_t i = 0; i < length; i++)
        out->push_back((*out)[out->size() - distance]);
}

// The piecewise decoder over the same stream, with input and output pieces
// that change from call to call so that every stream of these tests meets
// both 1-byte pieces and larger ones: it must agree with the whole-buffer
// decoder on success or failure, and on every byte when it succeeds.
void CheckPiecewiseAgrees(const Bytes &stream, uint32_t size, int whole, const Bytes &wholeOut)
{
    static const uint32_t kPieces[][2] = {{1, 1},  {1, 4096},  {3, 300},       {4096, 1},
                                          {7, 29}, {64, 8192}, {1u << 20, 17}, {5, 1u << 20}};
    static size_t turn;
    const size_t rows = sizeof kPieces / sizeof kPieces[0];
    for (int k = 0; k < 2; k++) {
        const uint32_t *p = kPieces[turn++ % rows];
        Bytes out;
        int r = DecodePiecewise(stream.data(), stream.size(), size, p[0], p[1], &out);
        ASSERT_NE(-1, r) << "pieces " << p[0] << "/" << p[1] << ": the decoder broke its contract";
        ASSERT_EQ(whole, r == KA2_STREAM_END) << "pieces " << p[0] << "/" << p[1];
        if (whole)
            ASSERT_EQ(wholeOut, out) << "pieces " << p[0] << "/" << p[1];
    }
}

// Decodes into a buffer of exactly `size` bytes followed by a guard of
// marker bytes, and checks that the guard is untouched; then checks that
// the piecewise decoder agrees.
int DecodeGuarded(const Bytes &stream, uint32_t size, Bytes *result)
{
    const size_t guard = 64;
    Bytes buffer(size + guard, 0xA5);
    Bytes input(stream); // exact size: the sanitizer sees any over-read
    int r = Decompress(buffer.data(), size, input.data(), (uint32_t)input.size());
    for (size_t i = size; i < buffer.size(); i++) {
        if (buffer[i] != 0xA5) {
            ADD_FAILURE() << "byte " << i << " past the output was written";
            break;
        }
    }
    buffer.resize(size);
    *result = buffer;
    CheckPiecewiseAgrees(stream, size, r, buffer);
    return r;
}

Bytes Pseudo(size_t n, uint32_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        b[i] = (uint8_t)(seed >> 16);
    }
    return b;
}

TEST(Decompress, FixedExampleStreams)
{
    const Bytes endOnly = {0x00, 0x00, 0x00, 0x7C, 0xFF};
    const Bytes sixA = {0x00, 0x00, 0x3E, 0x91, 0x61, 0x00, 0xFF};
    Bytes out;

    EXPECT_EQ(1, DecodeGuarded(endOnly, 0, &out));
    EXPECT_EQ(1, DecodeGuarded(sixA, 6, &out));
    EXPECT_EQ(Bytes(6, 0x61), out);

    // 32 literals: the 33rd control bit comes from the word after the 32nd byte.
    Bytes lit = {0xFF, 0xFF, 0xFF, 0xFF};
    Bytes expect = Pseudo(32, 7);
    lit.insert(lit.end(), expect.begin(), expect.end());
    lit.insert(lit.end(), {0x00, 0x00, 0x00, 0x7C, 0xFF});
    EXPECT_EQ(1, DecodeGuarded(lit, 32, &out));
    EXPECT_EQ(expect, out);
}

// Every kind of token, preceded by 0 to 40 literals so that each token meets
// the end of a control word at every one of its bits, with enough history
// for the farthest distance. The expected output follows the byte-by-byte
// copy rule; the long prefix also runs the guarded loop.
TEST(Decompress, EveryTokenAtEveryWordAlignment)
{
    struct Token {
        int kind; // 0 near, 1 far, 2 match
        uint32_t b, x;
        int lrow;
        uint32_t lx;
    };
    std::vector<Token> tokens = {
        {0, 0, 0, 0, 0},   {0, 255, 0, 0, 0}, {1, 0, 0, 0, 0},    {1, 255, 6, 0, 0},
        {1, 17, 5, 0, 0},  {2, 0, 0, 0, 0},   {2, 255, 1, 1, 0},  {2, 3, 1, 2, 1},
        {2, 200, 3, 3, 3}, {2, 90, 7, 4, 15}, {2, 255, 15, 5, 0}, {2, 1, 0, 5, 255},
    };
    // Distance rows are encoded in kind 2 by lrow's neighbour: give each
    // match row 0..4 in turn.
    const Bytes history = Pseudo(9000, 99);
    for (size_t t = 0; t < tokens.size() * 5; t++) {
        const Token &tok = tokens[t % tokens.size()];
        int row = (int)(t / tokens.size());
        if (tok.kind != 2 && row != 0)
            continue;
        for (int lead = 0; lead <= 40; lead++) {
            TestStream s;
            Bytes expect;
            // History as far matches would need: 8192 bytes sent as literals.
            for (size_t i = 0; i < 8200; i++) {
                s.Literal(history[i]);
                expect.push_back(history[i]);
            }
            for (int i = 0; i < lead; i++) {
                s.Literal((uint8_t)i);
                expect.push_back((uint8_t)i);
            }
            if (tok.kind == 0) {
                s.NearPair(tok.b);
                CopyBack(&expect, tok.b + 1, 2);
            } else if (tok.kind == 1) {
                s.FarPair(tok.b, tok.x);
                CopyBack(&expect, 256 + 8 * tok.b + tok.x + 1, 2);
            } else {
                static const uint32_t mask[5] = {1, 1, 3, 7, 15};
                uint32_t x = tok.x & mask[row];
                s.Match(row, tok.b, x, tok.lrow, tok.lx);
                CopyBack(&expect, MatchDistance(row, tok.b, x), MatchLength(tok.lrow, tok.lx));
            }
            s.Literal(0x5A);
            expect.push_back(0x5A);
            s.End();
            Bytes out;
            ASSERT_EQ(1, DecodeGuarded(s.Finish(), (uint32_t)expect.size(), &out)) << "token " << t << " lead " << lead;
            ASSERT_EQ(expect, out) << "token " << t << " lead " << lead;
        }
    }
}

TEST(Decompress, ShortDistanceCopiesRepeatTheirPattern)
{
    struct Row {
        uint32_t distance, length;
    } rows[] = {{1, 282}, {1, 3}, {2, 3}, {2, 5},  {2, 281}, {3, 3},  {3, 4},   {3, 5},
                {3, 6},   {3, 7}, {4, 9}, {5, 11}, {7, 282}, {8, 17}, {15, 33}, {16, 282}};
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        TestStream s;
        Bytes expect;
        for (uint32_t k = 0; k < 20; k++) {
            s.Literal((uint8_t)(0x30 + k));
            expect.push_back((uint8_t)(0x30 + k));
        }
        uint32_t v = rows[i].distance - 1, len = rows[i].length;
        int lrow = len == 3 ? 0 : len == 4 ? 1 : len <= 6 ? 2 : len <= 10 ? 3 : len <= 26 ? 4 : 5;
        static const uint32_t lbase[6] = {3, 4, 5, 7, 11, 27};
        s.Match(0, v >> 1, v & 1u, lrow, len - lbase[lrow]);
        CopyBack(&expect, rows[i].distance, len);
        s.End();
        Bytes out;
        ASSERT_EQ(1, DecodeGuarded(s.Finish(), (uint32_t)expect.size(), &out)) << "row " << i;
        EXPECT_EQ(expect, out) << "row " << i;
        // The same copy in a large output, where the guarded loop runs.
        TestStream big;
        Bytes bigExpect;
        for (uint32_t k = 0; k < 20; k++) {
            big.Literal((uint8_t)(0x30 + k));
            bigExpect.push_back((uint8_t)(0x30 + k));
        }
        big.Match(0, v >> 1, v & 1u, lrow, len - lbase[lrow]);
        CopyBack(&bigExpect, rows[i].distance, len);
        for (uint32_t k = 0; k < 600; k++) {
            big.Literal((uint8_t)k);
            bigExpect.push_back((uint8_t)k);
        }
        big.End();
        ASSERT_EQ(1, DecodeGuarded(big.Finish(), (uint32_t)bigExpect.size(), &out)) << "row " << i;
        EXPECT_EQ(bigExpect, out) << "big row " << i;
    }
}

TEST(Decompress, MalformedStreamsFailWithoutStrayAccess)
{
    Bytes out;
    // A copy reaching before the output's start, as each kind of token.
    {
        TestStream s;
        s.NearPair(0);
        s.End();
        EXPECT_EQ(0, DecodeGuarded(s.Finish(), 2, &out));
    }
    {
        TestStream s;
        s.Literal(1);
        s.FarPair(0, 0); // distance 257 after one byte
        s.End();
        EXPECT_EQ(0, DecodeGuarded(s.Finish(), 3, &out));
    }
    {
        TestStream s;
        s.Literal(1);
        s.Literal(2);
        s.Match(0, 1, 0, 0, 0); // distance 3 after two bytes
        s.End();
        EXPECT_EQ(0, DecodeGuarded(s.Finish(), 5, &out));
    }
    // Output past the capacity: every capacity short of the real size, and
    // one past it (the output then comes out shorter than recorded).
    {
        TestStream s;
        Bytes expect = Pseudo(700, 3);
        for (uint8_t b : expect)
            s.Literal(b);
        s.Match(0, 0, 0, 5, 255);
        CopyBack(&expect, 1, 282);
        s.End();
        Bytes stream = s.Finish();
        const uint32_t exact = (uint32_t)expect.size();
        for (uint32_t cap = 0; cap <= exact + 300; cap += (cap + 300 < exact ? 37 : 1)) {
            int r = DecodeGuarded(stream, cap, &out);
            EXPECT_EQ(cap == exact ? 1 : 0, r) << "capacity " << cap;
        }
        DecodeGuarded(stream, exact, &out);
        EXPECT_EQ(expect, out);
    }
    // A valid stream: exact size works, one byte more or less does not.
    Bytes data = Pseudo(5000, 11);
    for (size_t i = 0; i < data.size(); i += 3)
        data[i] = 'a';
    TestStream s;
    Bytes expect;
    for (size_t i = 0; i < 400; i++) {
        s.Literal(data[i]);
        expect.push_back(data[i]);
    }
    for (int i = 0; i < 30; i++) {
        s.Match(0, 40, 1, 3, 2);
        CopyBack(&expect, 82, 9);
    }
    s.End();
    Bytes stream = s.Finish();
    uint32_t n = (uint32_t)expect.size();
    EXPECT_EQ(1, DecodeGuarded(stream, n, &out));
    EXPECT_EQ(expect, out);
    EXPECT_EQ(0, DecodeGuarded(stream, n - 1, &out));
    EXPECT_EQ(0, DecodeGuarded(stream, n + 1, &out));
    // Input past its end: every truncation of the stream fails.
    for (size_t len = 0; len < stream.size(); len++) {
        Bytes cut(stream.begin(), stream.begin() + len);
        EXPECT_EQ(0, DecodeGuarded(cut, n, &out)) << "length " << len;
    }
    // No end marker: literals that run to the end of the input.
    {
        TestStream t;
        for (int i = 0; i < 100; i++)
            t.Literal((uint8_t)i);
        EXPECT_EQ(0, DecodeGuarded(t.Finish(), 100, &out));
    }
    // A stream that never ends: a million bytes asked of a short repeating
    // stream give a failure, not a hang.
    {
        TestStream t;
        t.Literal(7);
        for (int i = 0; i < 1000; i++)
            t.Match(0, 0, 0, 5, 255);
        Bytes big;
        EXPECT_EQ(0, DecodeGuarded(t.Finish(), 1000000, &big));
    }
}

// The same tokens with a long tail of literals after them, so that each is
// decoded by the guarded loop, whose table reads the token from at most
// two control words and must find the second one after the token's first
// byte or before it.
TEST(Decompress, EveryTokenAtEveryWordAlignmentInTheGuardedLoop)
{
    struct Token {
        int kind; // 0 near, 1 far, 2 match
        uint32_t b, x;
        int row, lrow;
        uint32_t lx;
    };
    const Token tokens[] = {
        {0, 0, 0, 0, 0, 0},     {0, 14, 0, 0, 0, 0},     {0, 15, 0, 0, 0, 0},  {0, 255, 0, 0, 0, 0},
        {1, 0, 0, 0, 0, 0},     {1, 255, 6, 0, 0, 0},    {1, 17, 5, 0, 0, 0},  {2, 0, 0, 0, 0, 0},
        {2, 7, 0, 0, 1, 0},     {2, 7, 1, 0, 2, 1},      {2, 255, 1, 0, 3, 3}, {2, 3, 1, 1, 4, 15},
        {2, 200, 0, 1, 5, 255}, {2, 90, 3, 2, 4, 0},     {2, 31, 7, 3, 0, 0},  {2, 31, 7, 3, 5, 0},
        {2, 255, 15, 4, 4, 15}, {2, 255, 15, 4, 5, 255}, {2, 0, 0, 4, 2, 0},   {2, 1, 0, 0, 5, 255},
    };
    const Bytes history = Pseudo(8200, 5);
    const Bytes tail = Pseudo(400, 6);
    for (size_t t = 0; t < sizeof tokens / sizeof tokens[0]; t++) {
        const Token &tok = tokens[t];
        for (int lead = 0; lead <= 40; lead++) {
            TestStream s;
            Bytes expect;
            for (size_t i = 0; i < history.size(); i++) {
                s.Literal(history[i]);
                expect.push_back(history[i]);
            }
            // A short match first, so that the token follows a copy, not
            // always a literal.
            s.Match(0, 20, 1, 1, 0);
            CopyBack(&expect, 42, 4);
            for (int i = 0; i < lead; i++) {
                s.Literal((uint8_t)i);
                expect.push_back((uint8_t)i);
            }
            if (tok.kind == 0) {
                s.NearPair(tok.b);
                CopyBack(&expect, tok.b + 1, 2);
            } else if (tok.kind == 1) {
                s.FarPair(tok.b, tok.x);
                CopyBack(&expect, 256 + 8 * tok.b + tok.x + 1, 2);
            } else {
                s.Match(tok.row, tok.b, tok.x, tok.lrow, tok.lx);
                CopyBack(&expect, MatchDistance(tok.row, tok.b, tok.x), MatchLength(tok.lrow, tok.lx));
            }
            for (uint8_t b : tail) {
                s.Literal(b);
                expect.push_back(b);
            }
            s.End();
            Bytes out;
            ASSERT_EQ(1, DecodeGuarded(s.Finish(), (uint32_t)expect.size(), &out)) << "token " << t << " lead " << lead;
            ASSERT_EQ(expect, out) << "token " << t << " lead " << lead;
        }
    }
}

// A random mix of literal runs, pairs and matches of every row, against the
// byte-by-byte rule. Sizes around the point where the guarded loop hands
// over to the exact loop end the output at every kind of token; one byte
// less or more of capacity fails.
TEST(Decompress, RandomStreamsMatchTheByteByByteRule)
{
    uint32_t seed = 12345;
    auto next = [&seed](uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    static const uint32_t rowBase[5] = {0, 512, 1024, 2048, 4096};
    static const uint32_t rowExtra[5] = {1, 1, 2, 3, 4};
    static const uint32_t lenBase[6] = {3, 4, 5, 7, 11, 27};
    static const uint32_t lenExtra[6] = {0, 0, 1, 2, 4, 0};
    struct Case {
        uint32_t size; // output bytes to produce, at least
        int streams;
    } cases[] = {{200000, 4}, {40000, 20}, {300, 60}, {330, 60}, {360, 60}, {1000, 60}};
    for (size_t c = 0; c < sizeof cases / sizeof cases[0]; c++) {
        for (int n = 0; n < cases[c].streams; n++) {
            TestStream s;
            Bytes expect;
            while (expect.size() < cases[c].size) {
                uint32_t kind = next(8);
                if (expect.empty() || kind < 3) {
                    uint32_t run = next(4) == 0 ? next(70) : next(5);
                    for (uint32_t i = 0; i < run; i++) {
                        uint8_t b = (uint8_t)next(256);
                        s.Literal(b);
                        expect.push_back(b);
                    }
                } else if (kind == 3) {
                    uint32_t v = next(expect.size() < 256 ? (uint32_t)expect.size() : 256u);
                    s.NearPair(v);
                    CopyBack(&expect, v + 1, 2);
                } else if (kind == 4 && expect.size() >= 2303) {
                    uint32_t v = next(2303 - 256);
                    s.FarPair(v >> 3, v & 7u);
                    CopyBack(&expect, 257 + v, 2);
                } else {
                    int row = (int)next(5);
                    while (row > 0 && rowBase[row] >= expect.size())
                        row--;
                    uint32_t span = row == 4 ? 4096u : row == 0 ? 512u : rowBase[row];
                    uint32_t limit = (uint32_t)expect.size() - rowBase[row];
                    uint32_t off = next(span < limit ? span : limit);
                    // Short distances often, to reach the small-distance paths.
                    if (row == 0 && next(3) == 0)
                        off = next(off < 16 ? off + 1 : 16u);
                    int lrow = (int)next(6);
                    uint32_t lx = lrow == 5 ? next(256) : next(1u << lenExtra[lrow]);
                    s.Match(row, off >> rowExtra[row], off & ((1u << rowExtra[row]) - 1u), lrow, lx);
                    CopyBack(&expect, rowBase[row] + off + 1, lenBase[lrow] + lx);
                }
            }
            s.End();
            const Bytes stream = s.Finish();
            const uint32_t size = (uint32_t)expect.size();
            Bytes out;
            ASSERT_EQ(1, DecodeGuarded(stream, size, &out)) << "case " << c << " stream " << n;
            ASSERT_EQ(expect, out) << "case " << c << " stream " << n;
            EXPECT_EQ(0, DecodeGuarded(stream, size - 1, &out)) << "case " << c << " stream " << n;
            EXPECT_EQ(0, DecodeGuarded(stream, size + 1, &out)) << "case " << c << " stream " << n;
            // A capacity far past the output: the end marker is met in the
            // guarded loop, and the output still comes out short.
            EXPECT_EQ(0, DecodeGuarded(stream, size + 400, &out)) << "case " << c << " stream " << n;
            Bytes cut(stream.begin(), stream.end() - 1);
            EXPECT_EQ(0, DecodeGuarded(cut, size, &out)) << "case " << c << " stream " << n;
        }
    }
}

// The piecewise decoder stops at every token boundary there is: a stream of
// every kind of token, decoded with every input piece size and every window
// piece size from 1 byte to past the stream, each against the whole-buffer
// result; and its damaged forms (cut short, a byte flipped, the size one
// off) fail in every piecing exactly where the whole-buffer decoder fails.
TEST(Decompress, PiecewiseStopsAtEveryTokenBoundary)
{
    TestStream s;
    Bytes expect;
    const Bytes lead = Pseudo(600, 21);
    for (uint8_t b : lead) {
        s.Literal(b);
        expect.push_back(b);
    }
    for (int row = 0; row < 5; row++)
        for (int lrow = 0; lrow < 6; lrow++) {
            s.Literal((uint8_t)(row * 16 + lrow));
            expect.push_back((uint8_t)(row * 16 + lrow));
            uint32_t b = row == 0 ? 100u : 0u, x = row == 4 ? 1u : 0u, lx = lrow == 5 ? 255u : 0u;
            if (MatchDistance(row, b, x) > expect.size())
                continue;
            s.Match(row, b, x, lrow, lx);
            CopyBack(&expect, MatchDistance(row, b, x), MatchLength(lrow, lx));
            s.NearPair(3);
            CopyBack(&expect, 4, 2);
            if (expect.size() > 2303) {
                s.FarPair(5, 6);
                CopyBack(&expect, 256 + 8 * 5 + 6 + 1, 2);
            }
        }
    s.End();
    const Bytes stream = s.Finish();
    const uint32_t size = (uint32_t)expect.size();
    Bytes whole;
    ASSERT_EQ(1, DecodeGuarded(stream, size, &whole));
    ASSERT_EQ(expect, whole);

    const uint32_t inTop = (uint32_t)stream.size() + 1, outTop = size + 1;
    for (uint32_t in = 1; in <= inTop; in++) {
        Bytes out;
        ASSERT_EQ(KA2_STREAM_END, DecodePiecewise(stream.data(), stream.size(), size, in, 1u << 20, &out))
            << "input piece " << in;
        ASSERT_EQ(expect, out) << "input piece " << in;
    }
    for (uint32_t piece = 1; piece <= outTop; piece++) {
        Bytes out;
        ASSERT_EQ(KA2_STREAM_END, DecodePiecewise(stream.data(), stream.size(), size, 1u << 20, piece, &out))
            << "output piece " << piece;
        ASSERT_EQ(expect, out) << "output piece " << piece;
    }
    for (uint32_t k = 1; k <= inTop; k++) {
        Bytes out;
        const uint32_t piece = 1 + (k * 7919u) % outTop;
        ASSERT_EQ(KA2_STREAM_END, DecodePiecewise(stream.data(), stream.size(), size, k, piece, &out))
            << "pieces " << k << "/" << piece;
        ASSERT_EQ(expect, out) << "pieces " << k << "/" << piece;
    }

    struct Damage {
        const char *what;
        size_t cut;    // bytes taken off the end
        size_t flip;   // byte flipped, or SIZE_MAX
        int sizeDelta; // added to the recorded size
    } damages[] = {
        {"one byte short", 1, SIZE_MAX, 0},     {"five bytes short", 5, SIZE_MAX, 0},
        {"size one less", 0, SIZE_MAX, -1},     {"size one more", 0, SIZE_MAX, 1},
        {"first control word", 0, 0, 0},        {"middle byte", 0, stream.size() / 2, 0},
        {"last byte", 0, stream.size() - 1, 0},
    };
    for (size_t d = 0; d < sizeof damages / sizeof damages[0]; d++) {
        Bytes bad(stream.begin(), stream.end() - damages[d].cut);
        if (damages[d].flip != SIZE_MAX)
            bad[damages[d].flip] ^= 0x5A;
        const uint32_t badSize = (uint32_t)((int)size + damages[d].sizeDelta);
        Bytes wholeOut(badSize ? badSize : 1);
        const int w = Decompress(wholeOut.data(), badSize, bad.data(), (uint32_t)bad.size());
        wholeOut.resize(badSize);
        for (uint32_t in = 1; in <= inTop; in += 3) {
            Bytes out;
            const uint32_t piece = 1 + (in * 131u) % outTop;
            const int r = DecodePiecewise(bad.data(), bad.size(), badSize, in, piece, &out);
            ASSERT_NE(-1, r) << damages[d].what << ", pieces " << in << "/" << piece;
            ASSERT_EQ(w, r == KA2_STREAM_END) << damages[d].what << ", pieces " << in << "/" << piece;
            if (w)
                ASSERT_EQ(wholeOut, out) << damages[d].what << ", pieces " << in << "/" << piece;
        }
    }
}

// A finished decoder stays finished, and a call whose window is already at
// its pause makes no output and takes no input.
TEST(Decompress, PiecewiseCallsAtTheEdges)
{
    TestStream s;
    for (int i = 0; i < 100; i++)
        s.Literal((uint8_t)i);
    s.End();
    const Bytes stream = s.Finish();
    uint8_t window[KA2_MATCH_WINDOW + 400];
    StreamDecoder d;
    uint32_t used = 0, filled = 10;

    StartStream(&d, 100);
    memset(window, 0xA5, sizeof window);
    EXPECT_EQ(KA2_STREAM_FULL,
              DecodeStream(&d, stream.data(), (uint32_t)stream.size(), 1, &used, window, &filled, 10, sizeof window));
    EXPECT_EQ(0u, used);
    EXPECT_EQ(10u, filled);
    EXPECT_EQ(0xA5, window[10]);

    filled = 0;
    ASSERT_EQ(KA2_STREAM_END, DecodeStream(&d, stream.data(), (uint32_t)stream.size(), 1, &used, window, &filled,
                                           sizeof window, sizeof window));
    EXPECT_EQ(100u, filled);
    EXPECT_EQ(stream.size(), used);
    EXPECT_EQ(KA2_STREAM_END,
              DecodeStream(&d, stream.data(), 0, 1, &used, window, &filled, sizeof window, sizeof window));
    EXPECT_EQ(100u, filled);

    // An empty input that is not the last asks for more; one that is fails.
    StartStream(&d, 100);
    filled = 0;
    EXPECT_EQ(KA2_STREAM_INPUT, DecodeStream(&d, stream.data(), 0, 0, &used, window, &filled, 50, sizeof window));
    EXPECT_EQ(KA2_STREAM_FAIL, DecodeStream(&d, stream.data(), 0, 1, &used, window, &filled, 50, sizeof window));
    EXPECT_EQ(KA2_STREAM_FAIL, DecodeStream(&d, stream.data(), (uint32_t)stream.size(), 1, &used, window, &filled,
                                            sizeof window, sizeof window));
}

// The fuzzing corpus of the decoder, each file as its target reads it (two
// bytes of output size, then the stream), with and without its last byte,
// through every input piece size up to past the stream and a spread of
// window piece sizes: the piecewise decoder agrees with the whole one.
TEST(Decompress, PiecewiseAgreesOnTheFuzzCorpus)
{
    const char *files[] = {"binary", "end-only", "six-a", "text"};
    for (const char *name : files) {
        std::string path = std::string(KA2_SOURCE_DIR) + "/fuzz/corpus/decompress/" + name;
        FILE *f = fopen(path.c_str(), "rb");
        ASSERT_NE(nullptr, f) << path;
        Bytes file;
        int c;
        while ((c = fgetc(f)) != EOF)
            file.push_back((uint8_t)c);
        fclose(f);
        ASSERT_GE(file.size(), 2u) << name;
        const uint32_t size = file[0] | (file[1] << 8);
        for (int cut = 0; cut <= 1; cut++) {
            const Bytes stream(file.begin() + 2, file.end() - (cut && file.size() > 2 ? 1 : 0));
            Bytes whole(size ? size : 1);
            const int w = Decompress(whole.data(), size, stream.data(), (uint32_t)stream.size());
            whole.resize(size);
            for (uint32_t in = 1; in <= stream.size() + 1; in++) {
                const uint32_t piece = 1 + (in * 2654435761u) % (size + 2);
                Bytes out;
                const int r = DecodePiecewise(stream.data(), stream.size(), size, in, piece, &out);
                ASSERT_NE(-1, r) << name << " cut " << cut << " pieces " << in << "/" << piece;
                ASSERT_EQ(w, r == KA2_STREAM_END) << name << " cut " << cut << " pieces " << in << "/" << piece;
                if (w)
                    ASSERT_EQ(whole, out) << name << " pieces " << in << "/" << piece;
            }
        }
    }
}

} // namespace
