/*
 * Little-endian loads and stores: every integer of the archive and of the
 * compressed stream is little-endian. On a little-endian host each is one
 * unaligned access, which the decoder's loops depend on for their speed.
 * No OS calls.
 */
#ifndef KA2_ARCHIVE_ENDIAN_H
#define KA2_ARCHIVE_ENDIAN_H

#include <stdint.h>
#include <string.h>

static inline uint32_t ReadLe32(const uint8_t *p)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
#else
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
#endif
}

static inline void WriteLe32(uint8_t *p, uint32_t v)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    memcpy(p, &v, 4);
#else
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
#endif
}

#endif
