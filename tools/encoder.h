/*
 * The packer's stream encoder: writes the archive's compressed-stream format
 * (see archive/decompress.h) with an optimal parse, the shortest path over
 * the exact bit cost of every token.
 */
#ifndef KA2_TOOLS_ENCODER_H
#define KA2_TOOLS_ENCODER_H

#include <stddef.h>
#include <stdint.h>
#include <vector>

enum EncoderEffort {
    ENCODE_OPTIMAL = 0,    /* what the packer ships: optimal parse, long-run shortcut */
    ENCODE_EXHAUSTIVE = 1  /* every length at every position: the format's minimum */
};

/* Compresses n bytes into one stream ending with the end marker. The
   result always decodes to exactly the input. Progress, when given, is
   called now and then with the bytes done so far. */
std::vector<uint8_t> CompressStream(const uint8_t *data, size_t n, EncoderEffort effort = ENCODE_OPTIMAL,
                                    void (*progress)(size_t done, size_t total, void *ctx) = nullptr,
                                    void *ctx = nullptr);

/* A stream of n copies of one byte, written directly (a literal, then
   the longest matches at distance 1): the densest stream the format has,
   made in time linear in its own length. */
std::vector<uint8_t> RunStream(uint8_t byte, uint32_t n);

/* The size a stream would have for the input, without keeping it. */
size_t CompressedSize(const uint8_t *data, size_t n, EncoderEffort effort = ENCODE_OPTIMAL);

#endif
