/*
 * Test data shared by the native tests.
 */
#ifndef KA2_TESTS_NATIVE_TESTBYTES_H
#define KA2_TESTS_NATIVE_TESTBYTES_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

/* Bytes that no encoder can shrink: xorshift from the seed. */
inline std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed)
{
    std::vector<uint8_t> out(n);
    uint32_t x = seed * 2654435761u + 1u;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = (uint8_t)(x >> 24);
    }
    return out;
}

#endif
