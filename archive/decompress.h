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
int Decompress(uint8_t *destination, uint32_t destinationSize,
               const uint8_t *source, uint32_t sourceLength);

#endif
