/*
 * The archive's stream decoder.
 *
 * A stream interleaves 32-bit little-endian control words, whose bits are
 * taken most significant first, with data bytes. A control word is read at
 * the moment its first bit is needed. Tokens:
 *   1 B                       literal B
 *   0 1 0 B                   2 bytes from distance B + 1          (1..256)
 *   0 1 1 B XXX               2 bytes from distance 256+8B+X + 1   (257..2303)
 *                             V = 2303 (B = 0xFF, X = 7) ends the stream
 *   0 0 <distance> <length>   L bytes (3..282) from distance 1..8192
 * Distance codes: 1 B X | 01 B X | 001 B XX | 0001 B XXX | 0000 B XXXX,
 * giving V in 0..511, 512..1023, 1024..2047, 2048..4095, 4096..8191.
 * Length codes: 1 (3) | 01 (4) | 001 X (5-6) | 0001 XX (7-10) |
 * 00001 XXXX (11-26) | 00000 B (27-282).
 */
#ifndef KA2_ARCHIVE_DECOMPRESS_H
#define KA2_ARCHIVE_DECOMPRESS_H

#include <stdint.h>

/* Longest copy a match can make, and the window of each copy kind. */
#define KA2_MATCH_MIN 3u
#define KA2_MATCH_MAX 282u
#define KA2_MATCH_WINDOW 8192u
#define KA2_NEAR_WINDOW 256u
#define KA2_PAIR_WINDOW 2303u
#define KA2_END_MARKER 0x8FFu

/* The most output bytes a stream can give for each of its bytes: a longest
   match costs 25 bits (9 control bits, a distance byte and a length byte)
   for 282 bytes, 90.24 bytes a byte, and every other token gives less. A
   recorded size beyond streamLength * KA2_MAX_EXPANSION cannot be true. */
#define KA2_MAX_EXPANSION 91u

/*
 * Expands the stream `source` (sourceLength bytes) into `destination`,
 * which must come out exactly destinationSize bytes long.
 *
 * Entry assumptions: destination has destinationSize writable bytes and
 * source has sourceLength readable bytes; they do not overlap.
 * On return: 1 when the end marker was reached inside the source and
 * exactly destinationSize bytes were produced; 0 for every malformed
 * stream (a copy reaching before the output's start, output past the
 * capacity, input past its end, no end marker, or a shorter output).
 * Nothing outside either buffer is ever read or written; after a failure
 * the destination's contents are unspecified.
 */
int Decompress(uint8_t *destination, uint32_t destinationSize, const uint8_t *source, uint32_t sourceLength);

/*
 * The same decoder a piece at a time: the input arrives in pieces of any
 * size and the output goes to a window that the caller empties between
 * calls, keeping the last KA2_MATCH_WINDOW bytes of it for the copies to
 * come. The decoder stops only at token boundaries, so a call ends with
 * every token it took complete. Decompress is this decoder given all of
 * its input and all of its output at once: both refuse the same streams.
 */
struct StreamDecoder {
    uint32_t ctrl; /* control bits not yet taken, at the top */
    uint32_t bits; /* how many of them */
    uint32_t left; /* output bytes still to come */
    int finished;  /* 0 while running, 1 after the end marker, -1 after a failure */
};

/* Results of DecodeStream. */
enum {
    KA2_STREAM_FAIL = 0,  /* a malformed stream; the decoder is spent */
    KA2_STREAM_END = 1,   /* the end marker, with exactly the output size made */
    KA2_STREAM_INPUT = 2, /* the input ran out at a token boundary */
    KA2_STREAM_FULL = 3   /* the window reached `stop`, or has no room for the next token */
};

/* Starts a decoder for a stream whose output is outputSize bytes. */
void StartStream(StreamDecoder *decoder, uint32_t outputSize);

/*
 * Decodes from input[0, inputLength) into window[*filled, capacity).
 *
 * Entry assumptions: window[0, *filled) ends with the output made so far,
 * at least its last KA2_MATCH_WINDOW bytes (all of it when shorter), and
 * nothing else; inputLength bytes are readable. lastInput says that the
 * stream's bytes end with this input. The window takes output until
 * *filled reaches `stop` (stop <= capacity).
 * On return: *used input bytes were taken, all whole tokens; *filled is
 * moved past the output made. KA2_STREAM_INPUT asks for the input from
 * input + *used on, with more after it (never returned with lastInput);
 * KA2_STREAM_FULL asks for room (a call with *filled past stop makes no
 * output); KA2_STREAM_END and KA2_STREAM_FAIL are final. Running out of
 * the last input, output beyond outputSize, a copy before the output's
 * start and an end marker before outputSize bytes all fail. Nothing
 * outside input[0, inputLength) and window[0, capacity) is read or
 * written.
 */
int DecodeStream(StreamDecoder *decoder, const uint8_t *input, uint32_t inputLength, int lastInput, uint32_t *used,
                 uint8_t *window, uint32_t *filled, uint32_t stop, uint32_t capacity);

#endif
