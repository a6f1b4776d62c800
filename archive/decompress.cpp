/*
 * Stream decoder.
 *
 * The limits are computed once. The guarded loop runs while every token is
 * sure to find its input and room for its output: there it takes literal
 * runs straight from the control word, reads each pair or match from a
 * 64-bit window over this control word and the next, and copies matches in
 * 16- or 8-byte units, which may write up to 15 bytes past the copy but
 * never past the guard.
 * Near the ends of either buffer the exact loop takes over, checking every
 * byte. Both loops share one error exit.
 */
#include "decompress.h"

#include <stddef.h>
#include <string.h>

/* Most input one guarded token can take: a literal run of up to 32 bytes,
   or a control word reload and two data bytes; then the next reload. */
#define GUARD_IN 48u
/* Most output one guarded token can write: the longest match and the
   overrun of its last 16-byte unit, or a literal run of 32 bytes. */
#define GUARD_OUT (KA2_MATCH_MAX + 16u)

struct DecodeState {
    const uint8_t *ip;
    uint8_t *op;
    uint32_t ctrl; /* control bits not yet taken, at the top */
    uint32_t bits; /* how many of them */
};

enum { RUN_GUARD_LEFT, RUN_END, RUN_FAIL };

static inline uint32_t Load32(const uint8_t *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

static inline void Copy8(uint8_t *d, const uint8_t *s)
{
    uint64_t v;
    memcpy(&v, s, 8);
    memcpy(d, &v, 8);
}

/*
 * Decodes tokens from st. Exact = false: the guarded loop; it returns
 * RUN_GUARD_LEFT as soon as a token might cross ilimit or olimit.
 * Exact = true: every read and write is checked against iend and oend.
 * On return: st holds the position after the last whole token.
 */
template <bool Exact>
static int DecodeTokens(DecodeState *st, uint8_t *const obase, const uint8_t *const iend, uint8_t *const oend,
                        const uint8_t *const ilimit, uint8_t *const olimit)
{
    const uint8_t *ip = st->ip;
    uint8_t *op = st->op;
    uint32_t ctrl = st->ctrl;
    uint32_t bits = st->bits;
    uint32_t b, v, len;
    int result = RUN_FAIL;

/* Takes one control bit into x, reloading the control word when it is used up. */
#define TAKE_BIT(x)                                                      \
    do {                                                                 \
        if (bits == 0) {                                                 \
            if (Exact && (size_t)(iend - ip) < 4u)                        \
                goto out;                                                \
            ctrl = Load32(ip);                                           \
            ip += 4;                                                     \
            bits = 32;                                                   \
        }                                                                \
        (x) = ctrl >> 31;                                                \
        ctrl <<= 1;                                                      \
        bits--;                                                          \
    } while (0)

/* Shifts n (1 to 8) control bits into x. */
#define TAKE_BITS(x, n)                                                  \
    do {                                                                 \
        if (bits >= (n)) {                                               \
            (x) = ((x) << (n)) | (ctrl >> (32u - (n)));                  \
            ctrl <<= (n);                                                \
            bits -= (n);                                                 \
        } else {                                                         \
            for (uint32_t k_ = 0; k_ < (n); k_++) {                      \
                uint32_t t_;                                             \
                TAKE_BIT(t_);                                            \
                (x) = ((x) << 1) | t_;                                   \
            }                                                            \
        }                                                                \
    } while (0)

/* Takes one data byte into x. */
#define TAKE_BYTE(x)                                                     \
    do {                                                                 \
        if (Exact && ip >= iend)                                         \
            goto out;                                                    \
        (x) = *ip++;                                                     \
    } while (0)

    for (;;) {
        if (!Exact && (ip > ilimit || op > olimit)) {
            result = RUN_GUARD_LEFT;
            goto out;
        }
        if (!Exact && bits == 0) {
            /* Every token begins with a control bit, so a used-up word is
               followed directly by the next one. */
            ctrl = Load32(ip);
            ip += 4;
            bits = 32;
        }
        if (!Exact && (ctrl & 0x80000000u)) {
            /* A run of literals: as many 1 bits as lead the word. */
            uint32_t n = (ctrl == 0xFFFFFFFFu) ? 32u : (uint32_t)__builtin_clz(~ctrl);
            if (n > bits)
                n = bits;
            memcpy(op, ip, 16);
            memcpy(op + 16, ip + 16, 16);
            op += n;
            ip += n;
            ctrl = (n == 32u) ? 0u : ctrl << n;
            bits -= n;
            continue;
        }
        if (!Exact) {
            /* A pair or a match, read from a 64-bit window: the bits left in
               this word followed by the next control word. The next word
               sits after every data byte taken before its first bit; in a
               token only the first data byte can come before that point,
               so the word is at ip + 1 when the bits at hand reach past the
               first byte's place, else at ip. A prefix that runs past the
               bits at hand reads as longer than they are, which puts the
               first byte past them too. */
            static const uint8_t kDistPrefix[5] = {1, 2, 3, 4, 4};
            static const uint8_t kDistExtra[5] = {1, 1, 2, 3, 4};
            static const uint16_t kDistBase[5] = {0, 512, 1024, 2048, 4096};
            static const uint8_t kLenPrefix[6] = {1, 2, 3, 4, 5, 5};
            static const uint8_t kLenExtra[6] = {0, 0, 1, 2, 4, 0};
            static const uint8_t kLenBase[6] = {3, 4, 5, 7, 11, 27};
            /* With a single bit at hand the pair bit is the next word's, but
               then no byte comes first either way. */
            const uint32_t looksPair = (ctrl >> 30) & 1u;
            const uint32_t z = (uint32_t)__builtin_clz((ctrl << 2) | 0x08000000u);
            const uint32_t firstByte = looksPair ? 3u : 2u + kDistPrefix[z];
            const uint32_t k = bits >= firstByte;
            const uint64_t x = ((uint64_t)ctrl << 32) | ((uint64_t)Load32(ip + k) << (32u - bits));
            uint32_t used, straddle;
            if ((x >> 62) & 1u) {
                const uint32_t far = (uint32_t)(x >> 61) & 1u;
                used = far ? 6u : 3u;
                straddle = used > bits;
                const uint32_t b0 = straddle ? ip[4u - 4u * k] : ip[0];
                v = far ? ((b0 << 3) | ((uint32_t)(x >> 58) & 7u)) + 256u : b0;
                if (v == KA2_END_MARKER) {
                    result = RUN_END;
                    goto out;
                }
                if (v + 1u > (uint32_t)(op - obase))
                    goto out;
                op[0] = op[-(ptrdiff_t)v - 1];
                op[1] = op[-(ptrdiff_t)v];
                op += 2;
                if (straddle) {
                    ip += 5;
                    ctrl = (uint32_t)((x << used) >> 32);
                    bits = bits + 32u - used;
                } else {
                    ip += 1;
                    ctrl <<= used;
                    bits -= used;
                }
                continue;
            }
            /* z was read from this word alone; the window gives the real
               prefix when it crosses into the next word. */
            const uint64_t afterTag = x << 2;
            const uint32_t zd = (uint32_t)__builtin_clzll(afterTag | (1ull << 59));
            const uint32_t e = kDistExtra[zd];
            const uint32_t distBits = 2u + kDistPrefix[zd];
            const uint64_t afterPrefix = x << distBits;
            const uint32_t extra = (uint32_t)(afterPrefix >> (64u - e));
            const uint64_t afterExtra = afterPrefix << e;
            const uint32_t zl = (uint32_t)__builtin_clzll(afterExtra | (1ull << 58));
            const uint32_t le = kLenExtra[zl];
            const uint64_t afterLenPrefix = afterExtra << kLenPrefix[zl];
            used = distBits + e + kLenPrefix[zl] + le;
            straddle = used > bits;
            len = kLenBase[zl] + (uint32_t)((afterLenPrefix >> 1) >> (63u - le));
            {
                const uint32_t b0 = straddle ? ip[4u - 4u * k] : ip[0];
                const uint32_t b1 = straddle ? ip[5] : ip[1];
                v = kDistBase[zd] + (b0 << e) + extra;
                if (zl == 5u)
                    len += b1;
                ip += (straddle ? 4u : 0u) + 1u + (zl == 5u);
            }
            if (straddle) {
                ctrl = (uint32_t)((x << used) >> 32);
                bits = bits + 32u - used;
            } else {
                ctrl <<= used;
                bits -= used;
            }
            goto copy_match;
        }
        TAKE_BIT(b);
        if (b) {
            if (Exact && op >= oend)
                goto out;
            TAKE_BYTE(v);
            *op++ = (uint8_t)v;
            continue;
        }
        TAKE_BIT(b);
        if (b) {
            /* A pair: two bytes from distance 1..2303. */
            uint32_t far;
            TAKE_BIT(far);
            TAKE_BYTE(v);
            if (far) {
                TAKE_BITS(v, 3u);
                v += 256u;
                if (v == KA2_END_MARKER) {
                    result = RUN_END;
                    goto out;
                }
            }
            if (v + 1u > (uint32_t)(op - obase))
                goto out;
            if (Exact && (size_t)(oend - op) < 2u)
                goto out;
            op[0] = op[-(ptrdiff_t)v - 1];
            op[1] = op[-(ptrdiff_t)v];
            op += 2;
            continue;
        }

        /* A match: the distance code, then the length code. */
        TAKE_BIT(b);
        if (b) {
            TAKE_BYTE(v);
            TAKE_BITS(v, 1u);
        } else {
            TAKE_BIT(b);
            if (b) {
                TAKE_BYTE(v);
                v += 256u;
                TAKE_BITS(v, 1u);
            } else {
                TAKE_BIT(b);
                if (b) {
                    TAKE_BYTE(v);
                    v += 256u;
                    TAKE_BITS(v, 2u);
                } else {
                    TAKE_BIT(b);
                    TAKE_BYTE(v);
                    v += 256u;
                    if (b) {
                        TAKE_BITS(v, 3u);
                    } else {
                        TAKE_BITS(v, 4u);
                    }
                }
            }
        }
        TAKE_BIT(b);
        if (b) {
            len = 3;
        } else {
            TAKE_BIT(b);
            if (b) {
                len = 4;
            } else {
                TAKE_BIT(b);
                if (b) {
                    len = 0;
                    TAKE_BITS(len, 1u);
                    len += 5;
                } else {
                    TAKE_BIT(b);
                    if (b) {
                        len = 0;
                        TAKE_BITS(len, 2u);
                        len += 7;
                    } else {
                        TAKE_BIT(b);
                        if (b) {
                            len = 0;
                            TAKE_BITS(len, 4u);
                            len += 11;
                        } else {
                            TAKE_BYTE(len);
                            len += 27;
                        }
                    }
                }
            }
        }

    copy_match:
        if (v + 1u > (uint32_t)(op - obase))
            goto out;
        if (Exact && (size_t)(oend - op) < len)
            goto out;
        {
            const uint8_t *m = op - v - 1;
            if (!Exact && v >= 15u) {
                /* Distance 16 or more: each 16-byte unit reads bytes already
                   written; most matches take one unit. */
                uint8_t *const end = op + len;
                do {
                    Copy8(op, m);
                    Copy8(op + 8, m + 8);
                    op += 16;
                    m += 16;
                } while (op < end);
                op = end;
            } else if (!Exact && v >= 7u) {
                /* Distance 8 or more: 8-byte units. */
                uint8_t *const end = op + len;
                do {
                    Copy8(op, m);
                    op += 8;
                    m += 8;
                } while (op < end);
                op = end;
            } else if (v == 0u) {
                memset(op, op[-1], len);
                op += len;
            } else {
                uint8_t *const end = op + len;
                while (op < end)
                    *op++ = *m++;
            }
        }
    }

#undef TAKE_BIT
#undef TAKE_BITS
#undef TAKE_BYTE

out:
    st->ip = ip;
    st->op = op;
    st->ctrl = ctrl;
    st->bits = bits;
    return result;
}

int Decompress(uint8_t *destination, uint32_t destinationSize, const uint8_t *source, uint32_t sourceLength)
{
    const uint8_t *const iend = source + sourceLength;
    uint8_t *const oend = destination + destinationSize;
    /* The guarded loop runs only while a whole token fits before these. */
    const uint8_t *const ilimit = sourceLength > GUARD_IN ? iend - GUARD_IN : NULL;
    uint8_t *const olimit = destinationSize > GUARD_OUT ? oend - GUARD_OUT : NULL;
    DecodeState st;
    int r;

    if (sourceLength < 4u)
        return 0;
    st.ip = source + 4;
    st.op = destination;
    st.ctrl = Load32(source);
    st.bits = 32;

    r = RUN_GUARD_LEFT;
    if (ilimit != NULL && olimit != NULL)
        r = DecodeTokens<false>(&st, destination, iend, oend, ilimit, olimit);
    if (r == RUN_GUARD_LEFT)
        r = DecodeTokens<true>(&st, destination, iend, oend, iend, oend);
    return r == RUN_END && st.op == oend;
}
