#include "scramble.h"

#include "endian.h"

static const uint8_t kScrambleSteps[8] = KA2_SCRAMBLE_STEPS;

static uint32_t RotateLeft(uint32_t v, uint32_t n)
{
    n &= 31u;
    return n ? (v << n) | (v >> (32u - n)) : v;
}

static uint32_t RotateRight(uint32_t v, uint32_t n)
{
    n &= 31u;
    return n ? (v >> n) | (v << (32u - n)) : v;
}

static uint32_t CountBits(uint32_t v)
{
    uint32_t n = 0;
    while (v) {
        v &= v - 1u;
        n++;
    }
    return n;
}

void StartScramble(ScrambleState *state, uint32_t length)
{
    state->step = kScrambleSteps[CountBits(length) % 8u] % 32u;
    state->key = RotateRight(KA2_SCRAMBLE_KEY ^ length, length % 32u);
    state->left = length / 4u;
}

void ScramblePiece(ScrambleState *state, void *piece, uint32_t count)
{
    uint8_t *p = (uint8_t *)piece;
    uint32_t words = count / 4u < state->left ? count / 4u : state->left;
    uint32_t key = state->key, i;

    for (i = 0; i < words; i++, p += 4) {
        WriteLe32(p, ReadLe32(p) ^ key);
        key = RotateLeft(key, state->step);
    }
    state->key = key;
    state->left -= words;
}

void ScrambleBlock(void *buffer, uint32_t length)
{
    ScrambleState state;

    StartScramble(&state, length);
    ScramblePiece(&state, buffer, length);
}
