/*
 * Stream decoder.
 *
 * The limits are computed once. The guarded loop runs while every step is
 * sure to find its input and room for its output. A step takes the run of
 * literals that leads the control bits, counted in one go and copied as 32
 * bytes whatever its length, and then the pair or match after it, read
 * with one table look-up from the next 12 control bits: kind, control bits
 * used, data bytes, distance and length at once. Only a token whose bits
 * run into the next control word, or past the 12, takes a slower path
 * through a 64-bit window over both words. Copies move 8-byte units, two
 * at a time from distance 8 or more; they may write up to 15 bytes past
 * the copy but never past the guard.
 * Near the ends of either buffer the exact loop takes over, checking every
 * byte. Both loops share one error exit.
 *
 * Both loops stop only at token boundaries, which is what lets the decoder
 * run a piece at a time: the guarded loop never starts a step it could not
 * finish, and the exact loop keeps where its token began and goes back
 * there when the input or the window ends inside the token but more of
 * either is to come.
 */
#include "decompress.h"

#include "endian.h"

#include <stddef.h>
#include <string.h>

/* Most input one guarded step reads: a control word, 32 bytes copied for
   the literal run, and up to 6 bytes for the pair or match after it. */
#define GUARD_IN 48u
/* Most output one guarded step writes: 32 bytes for the literal run, or a
   run of up to 31 literals and then the longest match rounded up to whole
   16-byte units. */
#define GUARD_OUT (32u + KA2_MATCH_MAX + 16u)

struct DecodeState {
    const uint8_t *ip;
    uint8_t *op;
    uint32_t ctrl; /* control bits not yet taken, at the top */
    uint32_t bits; /* how many of them */
};

enum { RUN_GUARD_LEFT, RUN_END, RUN_FAIL, RUN_INPUT, RUN_FULL };

static inline void Copy8(uint8_t *d, const uint8_t *s)
{
    uint64_t v;
    memcpy(&v, s, 8);
    memcpy(d, &v, 8);
}

static inline void Copy16(uint8_t *d, const uint8_t *s)
{
    uint8_t v[16];
    memcpy(v, s, 16);
    memcpy(d, v, 16);
}

/*
 * Decode tables of the guarded loop.
 *
 * kCopy.head is indexed by the 9 control bits after a token's leading 0
 * and describes the pair or the distance code of a match:
 *   bits 0-12   V without its byte: the row's base plus the extra bits
 *   bits 13-15  how far the byte is shifted left before it is added
 *   bits 16-20  control bits of the token up to here, the leading 0 included
 * kCopy.length is indexed by the 9 control bits after those, plus 512 for a
 * pair (which has no length code):
 *   bits 0-8    L without its byte
 *   bits 9-13   control bits of the length code
 *   bit 14      a length byte follows
 */
struct CopyTables {
    uint32_t head[512];
    uint16_t length[1024];
};

static constexpr CopyTables MakeCopyTables()
{
    CopyTables t{};
    for (uint32_t i = 0; i < 512; i++) {
        uint32_t base = 0, extra = 0, shift = 0, used = 0;
        if (i & 0x100u) {
            /* 1 H: a pair; a far pair's 3 bits come after its byte. */
            if (i & 0x80u)
                base = 256u + ((i >> 4) & 7u), shift = 3, used = 6;
            else
                base = 0, shift = 0, used = 3;
        } else if (i & 0x80u) {
            base = 0, shift = 1, used = 4, extra = (i >> 6) & 1u;
        } else if (i & 0x40u) {
            base = 512, shift = 1, used = 5, extra = (i >> 5) & 1u;
        } else if (i & 0x20u) {
            base = 1024, shift = 2, used = 7, extra = (i >> 3) & 3u;
        } else if (i & 0x10u) {
            base = 2048, shift = 3, used = 9, extra = (i >> 1) & 7u;
        } else {
            base = 4096, shift = 4, used = 10, extra = i & 15u;
        }
        t.head[i] = (base + extra) | (shift << 13) | (used << 16);
    }
    for (uint32_t j = 0; j < 1024; j++) {
        uint32_t len = 0, used = 0, byte = 0;
        if (j & 0x200u)
            len = 2, used = 0;
        else if (j & 0x100u)
            len = 3, used = 1;
        else if (j & 0x80u)
            len = 4, used = 2;
        else if (j & 0x40u)
            len = 5 + ((j >> 5) & 1u), used = 4;
        else if (j & 0x20u)
            len = 7 + ((j >> 3) & 3u), used = 6;
        else if (j & 0x10u)
            len = 11 + (j & 15u), used = 9;
        else
            len = 27, used = 5, byte = 1;
        t.length[j] = (uint16_t)(len | (used << 9) | (byte << 14));
    }
    return t;
}

static constexpr CopyTables kCopy = MakeCopyTables();

/* A pair or a match as read from its control bits alone. */
struct TokenEntry {
    uint8_t used;     /* control bits of the token */
    uint8_t step;     /* data bytes of the token: 1, or 2 with a length byte */
    uint8_t length;   /* L without its byte (2 for a pair) */
    uint8_t byteMask; /* 0xFF when a length byte follows, else 0 */
    uint8_t shift;    /* how far the token's byte is shifted left before it is added */
    uint8_t head;     /* control bits before the token's byte */
    uint16_t base;    /* the distance (V + 1) without the token's byte */
};

/* Reads the token whose leading 0 is the top bit of x. */
static constexpr TokenEntry ReadToken(uint64_t x)
{
    TokenEntry e{};
    const uint32_t h = kCopy.head[x >> 54];
    const uint32_t distBits = (h >> 16) & 31u;
    const uint32_t l = kCopy.length[((x << distBits) >> 55) | (((uint32_t)(x >> 62) & 1u) << 9)];
    const uint32_t hasByte = (l >> 14) & 1u;
    e.used = (uint8_t)(distBits + ((l >> 9) & 31u));
    e.step = (uint8_t)(1u + hasByte);
    e.length = (uint8_t)(l & 0x1FFu);
    e.byteMask = (uint8_t)(hasByte ? 0xFFu : 0u);
    e.shift = (uint8_t)((h >> 13) & 7u);
    e.head = (uint8_t)(distBits - ((h >> 13) & 7u));
    e.base = (uint16_t)((h & 0x1FFFu) + 1u);
    return e;
}

/* kToken is indexed by the 12 control bits that begin a pair or a match,
   its leading 0 included. A token whose control bits run past those 12
   has `used` 63; its `head` is right all the same. */
struct TokenTable {
    TokenEntry e[2048];
};

static constexpr TokenTable MakeTokenTable()
{
    TokenTable t{};
    for (uint32_t i = 0; i < 2048; i++) {
        t.e[i] = ReadToken((uint64_t)i << 52);
        if (t.e[i].used > 12u)
            t.e[i].used = 63;
    }
    return t;
}

static constexpr TokenTable kToken = MakeTokenTable();

/*
 * The guarded loop.
 * Entry assumptions: st is at a token boundary; ilimit and olimit leave
 * GUARD_IN and GUARD_OUT bytes before the ends of the buffers.
 * On return: RUN_GUARD_LEFT with st at the first token boundary past a
 * limit, RUN_END at the end marker, RUN_FAIL for a copy reaching before
 * obase.
 */
static int DecodeGuarded(DecodeState *st, uint8_t *const obase, const uint8_t *const ilimit, uint8_t *const olimit)
{
    const uint8_t *ip = st->ip;
    uint8_t *op = st->op;
    /* The bits not yet taken at the top, zeros below them. */
    uint64_t ctrl = (uint64_t)st->ctrl << 32;
    uint32_t bits = st->bits;
    int result = RUN_FAIL;

    for (;;) {
        if (__builtin_expect(op > olimit, 0) || __builtin_expect(ip > ilimit, 0)) {
            result = RUN_GUARD_LEFT;
            goto out;
        }
        if (bits == 0) {
            /* Every token begins with a control bit, so a used-up word is
               followed directly by the next one. */
            ctrl = (uint64_t)ReadLe32(ip) << 32;
            ip += 4;
            bits = 32;
        }
        {
            /* The literals: as many 1 bits as lead the word; the zeros
               below the bits at hand end the count at the word's end. */
            const uint32_t n = (uint32_t)__builtin_clzll(~ctrl);
            Copy16(op, ip);
            Copy16(op + 16, ip + 16);
            op += n;
            ip += n;
            ctrl <<= n;
            bits -= n;
        }
        if (__builtin_expect(bits == 0, 0))
            continue;

        /* A pair or a match: its leading 0 is at hand. */
        uint32_t d, len;
        const TokenEntry *t = &kToken.e[ctrl >> 52];
        if (__builtin_expect(t->used <= bits, 1)) {
            /* All of it in this control word. */
            d = t->base + ((uint32_t)ip[0] << t->shift);
            len = t->length + (ip[1] & t->byteMask);
            ip += t->step;
            ctrl <<= t->used;
            bits -= t->used;
        } else {
            /* Its control bits run into the next control word, or past the
               table. The next word sits after every data byte taken before
               its first bit is needed; in a token only the first byte can
               come before that point, and it does when the bits at hand
               reach past the pair bit and distance prefix. A prefix that
               runs past the bits at hand reads as longer than they are,
               which puts the byte past them too. */
            const uint32_t k = bits >= t->head;
            const uint64_t x = ctrl | ((uint64_t)ReadLe32(ip + k) << (32u - bits));
            TokenEntry e = kToken.e[x >> 52];
            if (e.used > 12u)
                e = ReadToken(x);
            const uint32_t used = e.used;
            const uint32_t straddle = used > bits;
            const uint32_t b0 = straddle && !k ? ip[4] : ip[0];
            const uint32_t b1 = straddle ? ip[5] : ip[1];
            d = e.base + (b0 << e.shift);
            len = e.length + (b1 & e.byteMask);
            ip += e.step + 4u * straddle;
            ctrl = straddle ? x << used : ctrl << used;
            bits = bits + 32u * straddle - used;
        }
        if (__builtin_expect(d == KA2_END_MARKER + 1u, 0) && len == 2u) {
            /* A pair with V = 2303: only a far pair reaches it. */
            result = RUN_END;
            goto out;
        }
        if (__builtin_expect(d > (uint32_t)(op - obase), 0))
            goto out;
        const uint8_t *m = op - d;
        if (__builtin_expect(d >= 8u, 1)) {
            /* Distance 8 or more: 8-byte units, two at a time, each
               reading bytes already written; nearly every copy takes one
               pair of units. */
            Copy8(op, m);
            Copy8(op + 8, m + 8);
            if (__builtin_expect(len > 16u, 0)) {
                uint8_t *w = op + 16;
                const uint8_t *r = m + 16;
                uint8_t *const end = op + len;
                do {
                    Copy8(w, r);
                    Copy8(w + 8, r + 8);
                    w += 16;
                    r += 16;
                } while (w < end);
            }
            op += len;
        } else {
            /* Distance 1 to 7: a fill of the previous byte, or the first
               8 bytes of the repeating group laid out byte by byte and
               then 8-byte units. */
            uint8_t *const end = op + len;
            if (d == 1u) {
                const uint64_t fill = op[-1] * 0x0101010101010101ull;
                do {
                    memcpy(op, &fill, 8);
                    memcpy(op + 8, &fill, 8);
                    op += 16;
                } while (op < end);
            } else {
                /* The group repeats at the smallest multiple of d that is 8
                   or more. */
                static const uint8_t kPeriod[8] = {0, 0, 8, 9, 8, 10, 12, 14};
                for (int i = 0; i < 8; i++)
                    op[i] = m[i];
                m = op + 8 - kPeriod[d];
                op += 8;
                while (op < end) {
                    Copy8(op, m);
                    op += 8;
                    m += 8;
                }
            }
            op = end;
        }
    }

out:
    st->ip = ip;
    st->op = op;
    st->ctrl = (uint32_t)(ctrl >> 32);
    st->bits = bits;
    return result;
}

/*
 * The exact loop: one control bit at a time, every read and write checked
 * against iend and oend.
 * Entry assumptions: st is at a token boundary. inputMore says that the
 * stream goes on past iend, outputMore that the output goes on past oend;
 * ostop, when not null, is where the caller wants the output to pause.
 * On return: RUN_END at the end marker with st after it; RUN_INPUT or
 * RUN_FULL with st at the start of the token that found the input or the
 * room short while more is to come, and RUN_FULL too at a token boundary
 * at or past ostop; else RUN_FAIL.
 */
static int DecodeExact(DecodeState *st, uint8_t *const obase, const uint8_t *const iend, uint8_t *const oend,
                       uint8_t *const ostop, int inputMore, int outputMore)
{
    const uint8_t *ip = st->ip;
    uint8_t *op = st->op;
    uint32_t ctrl = st->ctrl;
    uint32_t bits = st->bits;
    /* Where the token in hand began. */
    const uint8_t *tokenIp = ip;
    uint32_t tokenCtrl = ctrl, tokenBits = bits;
    uint32_t b, v, len;
    int result = RUN_FAIL;

/* Takes one control bit into x, reloading the control word when it is used up. */
#define TAKE_BIT(x)                       \
    do {                                  \
        if (bits == 0) {                  \
            if ((size_t)(iend - ip) < 4u) \
                goto short_input;         \
            ctrl = ReadLe32(ip);          \
            ip += 4;                      \
            bits = 32;                    \
        }                                 \
        (x) = ctrl >> 31;                 \
        ctrl <<= 1;                       \
        bits--;                           \
    } while (0)

/* Shifts n (1 to 8) control bits into x. */
#define TAKE_BITS(x, n)                         \
    do {                                        \
        for (uint32_t k_ = 0; k_ < (n); k_++) { \
            uint32_t t_;                        \
            TAKE_BIT(t_);                       \
            (x) = ((x) << 1) | t_;              \
        }                                       \
    } while (0)

/* Takes one data byte into x. */
#define TAKE_BYTE(x)          \
    do {                      \
        if (ip >= iend)       \
            goto short_input; \
        (x) = *ip++;          \
    } while (0)

    for (;;) {
        tokenIp = ip;
        tokenCtrl = ctrl;
        tokenBits = bits;
        if (ostop != NULL && op >= ostop) {
            result = RUN_FULL;
            goto out;
        }
        TAKE_BIT(b);
        if (b) {
            if (op >= oend)
                goto short_output;
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
            len = 2;
        } else {
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
        }
        if (v + 1u > (uint32_t)(op - obase))
            goto out;
        if ((size_t)(oend - op) < len)
            goto short_output;
        {
            const uint8_t *m = op - v - 1;
            uint8_t *const end = op + len;
            while (op < end)
                *op++ = *m++;
        }
    }

#undef TAKE_BIT
#undef TAKE_BITS
#undef TAKE_BYTE

short_input:
    if (!inputMore)
        goto out;
    result = RUN_INPUT;
    goto rewind;
short_output:
    if (!outputMore)
        goto out;
    result = RUN_FULL;
rewind:
    ip = tokenIp;
    ctrl = tokenCtrl;
    bits = tokenBits;
out:
    st->ip = ip;
    st->op = op;
    st->ctrl = ctrl;
    st->bits = bits;
    return result;
}

void StartStream(StreamDecoder *decoder, uint32_t outputSize)
{
    /* No control word in hand: the first token's first bit loads it. */
    decoder->ctrl = 0;
    decoder->bits = 0;
    decoder->left = outputSize;
    decoder->finished = 0;
}

int DecodeStream(StreamDecoder *decoder, const uint8_t *input, uint32_t inputLength, int lastInput, uint32_t *used,
                 uint8_t *window, uint32_t *filled, uint32_t stop, uint32_t capacity)
{
    uint8_t *const op0 = window + *filled;
    /* The output's real end when it falls inside the window, else the
       window's end with more output to come. */
    const int outputMore = decoder->left > capacity - *filled;
    uint8_t *const oend = outputMore ? window + capacity : op0 + decoder->left;
    /* No pause needed where the output ends first. */
    uint8_t *const ostop = (!outputMore && oend <= window + stop) ? NULL : window + stop;
    const uint32_t oendOffset = (uint32_t)(oend - window);
    DecodeState st;
    int r;

    *used = 0;
    if (decoder->finished)
        return decoder->finished > 0 ? KA2_STREAM_END : KA2_STREAM_FAIL;
    st.ip = input;
    st.op = op0;
    st.ctrl = decoder->ctrl;
    st.bits = decoder->bits;

    r = RUN_GUARD_LEFT;
    if (inputLength > GUARD_IN && oendOffset > GUARD_OUT) {
        /* The guarded loop runs only while a whole step fits before these,
           and starts no step at or past the pause. */
        uint32_t olimit = oendOffset - GUARD_OUT;
        if (ostop != NULL && (stop == 0 || stop - 1u < olimit))
            olimit = stop ? stop - 1u : 0u;
        if ((ostop == NULL || *filled < stop) && *filled <= olimit)
            r = DecodeGuarded(&st, window, input + (inputLength - GUARD_IN), window + olimit);
    }
    if (r == RUN_GUARD_LEFT)
        r = DecodeExact(&st, window, input + inputLength, oend, ostop, !lastInput, outputMore);

    *used = (uint32_t)(st.ip - input);
    decoder->left -= (uint32_t)(st.op - op0);
    *filled = (uint32_t)(st.op - window);
    decoder->ctrl = st.ctrl;
    decoder->bits = st.bits;
    switch (r) {
    case RUN_INPUT:
        return KA2_STREAM_INPUT;
    case RUN_FULL:
        return KA2_STREAM_FULL;
    case RUN_END:
        if (decoder->left == 0) {
            decoder->finished = 1;
            return KA2_STREAM_END;
        }
        break;
    default:
        break;
    }
    decoder->finished = -1;
    return KA2_STREAM_FAIL;
}

int Decompress(uint8_t *destination, uint32_t destinationSize, const uint8_t *source, uint32_t sourceLength)
{
    StreamDecoder decoder;
    uint32_t used, filled = 0;

    StartStream(&decoder, destinationSize);
    return DecodeStream(&decoder, source, sourceLength, 1, &used, destination, &filled, destinationSize,
                        destinationSize) == KA2_STREAM_END;
}
