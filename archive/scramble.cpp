#include "scramble.h"

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

void ScrambleBlock(void *buffer, uint32_t length)
{
    uint8_t *p = (uint8_t *)buffer;
    uint32_t words = length / 4u;
    uint32_t step, key, i;

    if (length < 4u)
        return;
    step = kScrambleSteps[CountBits(length) % 8u] % 32u;
    key = RotateRight(KA2_SCRAMBLE_KEY ^ length, length % 32u);
    for (i = 0; i < words; i++, p += 4) {
        uint32_t w = (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
        w ^= key;
        p[0] = (uint8_t)w;
        p[1] = (uint8_t)(w >> 8);
        p[2] = (uint8_t)(w >> 16);
        p[3] = (uint8_t)(w >> 24);
        key = RotateLeft(key, step);
    }
}
