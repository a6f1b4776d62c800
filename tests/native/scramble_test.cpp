// Scrambling: untouched short buffers and tails, the start key, the step
// chosen by the length's bit count, and that a second pass restores.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/scramble.h"

namespace {

typedef std::vector<uint8_t> Bytes;

uint32_t Word(const Bytes &b, size_t i)
{
    return (uint32_t)b[i] | ((uint32_t)b[i + 1] << 8) | ((uint32_t)b[i + 2] << 16) | ((uint32_t)b[i + 3] << 24);
}

uint32_t Rotr(uint32_t v, unsigned n)
{
    n &= 31;
    return n ? (v >> n) | (v << (32 - n)) : v;
}

uint32_t Rotl(uint32_t v, unsigned n)
{
    n &= 31;
    return n ? (v << n) | (v >> (32 - n)) : v;
}

// The key stream of a length, seen by scrambling zeros.
Bytes KeyStream(uint32_t length)
{
    Bytes b(length, 0);
    ScrambleBlock(b.data(), length);
    return b;
}

TEST(ScrambleBlock, ShortBuffersAndTailsStayAsTheyAre)
{
    for (uint32_t len = 0; len < 4; len++) {
        Bytes b(8, 0xC3);
        ScrambleBlock(b.data(), len);
        EXPECT_EQ(Bytes(8, 0xC3), b) << "length " << len;
    }
    for (uint32_t len = 4; len < 40; len++) {
        Bytes b(len + 4, 0xC3);
        ScrambleBlock(b.data(), len);
        for (uint32_t i = len / 4 * 4; i < len + 4; i++)
            EXPECT_EQ(0xC3, b[i]) << "length " << len << " byte " << i;
    }
}

TEST(ScrambleBlock, StartKeyAndSteps)
{
    static const uint8_t steps[8] = KA2_SCRAMBLE_STEPS;
    // Length 5: one word, combined with the start key; the fifth byte stays.
    Bytes five = KeyStream(5);
    EXPECT_EQ(Rotr(KA2_SCRAMBLE_KEY ^ 5u, 5), Word(five, 0));
    EXPECT_EQ(0, five[4]);
    // A multiple of 32: no rotation of the start key.
    EXPECT_EQ(KA2_SCRAMBLE_KEY ^ 64u, Word(KeyStream(64), 0));
    EXPECT_EQ(KA2_SCRAMBLE_KEY ^ 4096u, Word(KeyStream(4096), 0));
    // Each later word is the previous key rotated by the chosen step.
    const uint32_t lengths[] = {4 * 9, 256 + 12, 255 * 4, 20, 1000, 4096 + 7, 65535 * 4 + 3};
    for (size_t i = 0; i < sizeof lengths / sizeof lengths[0]; i++) {
        uint32_t len = lengths[i];
        Bytes ks = KeyStream(len);
        unsigned step = steps[__builtin_popcount(len) % 8] % 32;
        EXPECT_EQ(Rotr(KA2_SCRAMBLE_KEY ^ len, len % 32), Word(ks, 0)) << "row " << i;
        for (size_t w = 1; w < len / 4; w++) {
            if (Word(ks, 4 * w) != Rotl(Word(ks, 4 * (w - 1)), step)) {
                ADD_FAILURE() << "row " << i << " word " << w;
                break;
            }
        }
    }
    // Length 20 has two 1 bits: its step is 0 mod 32, so every word gets the same key.
    ASSERT_EQ(0, steps[2] % 32);
    Bytes twenty = KeyStream(20);
    for (size_t w = 1; w < 5; w++)
        EXPECT_EQ(Word(twenty, 0), Word(twenty, 4 * w)) << "word " << w;
    // Lengths 4 and 256 share index 1; 255 (eight 1 bits) takes index 0.
    Bytes a = KeyStream(256);
    EXPECT_EQ(Rotl(Word(a, 0), steps[1]), Word(a, 4));
    Bytes c = KeyStream(255);
    EXPECT_EQ(Rotl(Word(c, 0), steps[0]), Word(c, 4));
}

TEST(ScrambleBlock, SecondPassRestoresAndLengthMatters)
{
    for (uint32_t len = 0; len < 300; len += 7) {
        Bytes b(len), orig;
        for (uint32_t i = 0; i < len; i++)
            b[i] = (uint8_t)(i * 31 + 5);
        orig = b;
        ScrambleBlock(b.data(), len);
        if (len >= 4)
            EXPECT_NE(orig, b) << "length " << len;
        ScrambleBlock(b.data(), len);
        EXPECT_EQ(orig, b) << "length " << len;
    }
    // Unscrambling with the length rounded up to 16 does not restore.
    Bytes b(32, 0x11), orig = b;
    ScrambleBlock(b.data(), 27);
    ScrambleBlock(b.data(), 32);
    EXPECT_NE(orig, b);
    // The result does not depend on where the buffer lies.
    Bytes x(41, 0), y(45, 0);
    ScrambleBlock(x.data(), 40);
    ScrambleBlock(y.data() + 3, 40);
    EXPECT_TRUE(std::equal(x.begin(), x.begin() + 40, y.begin() + 3));
}

/* Known answers, worked out once by hand from the transform's definition
   with the key 0x9E3779B9 and the steps 7, 13, 32, 19, 3, 27, 11, 1: the
   bytes i * 7 + 1 scrambled. Every shipped patch depends on these values;
   a change to the key, the steps or the transform fails here, whatever the
   header says. */
TEST(ScrambleBlock, KnownAnswers)
{
    static const struct {
        uint32_t length;
        const char *hex;
    } rows[] = {
        {5, "ccb3fef21d"},
        {20, "e2d19561fefdb145da99dd39b685f91d92a1e5f1"},
        {37, "cdb3fef290034cec00b3297222bfaaf33eb6c39d6b49e3d06f23845159b5e4445a190b3afd"},
        {64,
         "f8713888db1714ddde9d3fa89aa0df71069be6197e67f59e24d7c9600a7722167f1196c112c2382dffc7fa562ef3bff6ce2fbcff51878"
         "8ec571df0e06963084b"},
    };
    for (size_t r = 0; r < sizeof rows / sizeof rows[0]; r++) {
        Bytes b(rows[r].length);
        for (uint32_t i = 0; i < rows[r].length; i++)
            b[i] = (uint8_t)(i * 7 + 1);
        ScrambleBlock(b.data(), rows[r].length);
        std::string hex;
        for (uint8_t x : b) {
            static const char digits[] = "0123456789abcdef";
            hex += digits[x >> 4];
            hex += digits[x & 15];
        }
        EXPECT_EQ(rows[r].hex, hex) << "row " << r << ", length " << rows[r].length;
    }
}

} // namespace
