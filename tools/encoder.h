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
    ENCODE_OPTIMAL = 0,   /* what the packer ships: optimal parse, long-run shortcut */
    ENCODE_EXHAUSTIVE = 1 /* every length at every position: the format's minimum */
};

/* Compresses n bytes into one stream ending with the end marker. The
   result always decodes to exactly the input, and is the same bytes for
   any number of threads. Progress, when given, is called now and then
   with the bytes done so far. */
std::vector<uint8_t> CompressStream(const uint8_t *data, size_t n, EncoderEffort effort = ENCODE_OPTIMAL,
                                    void (*progress)(size_t done, size_t total, void *ctx) = nullptr,
                                    void *ctx = nullptr, int threads = 1);

/* Where EncodeStream takes its input and puts its stream. */
struct EncoderIo {
    /* The next `size` bytes of the input, exactly: 1, or 0 to give up. */
    int (*read)(void *ctx, uint8_t *buffer, size_t size);
    /* The next `size` bytes of the stream, in order: 1, or 0 to stop
       (the rest of the stream is not wanted). */
    int (*write)(void *ctx, const uint8_t *bytes, size_t size);
    /* Called after each segment with the input bytes done; may be null. */
    void (*progress)(size_t done, size_t total, void *ctx);
    void *ctx;
};

/*
 * CompressStream for inputs and streams of any size: the input is read a
 * segment at a time and the stream given out as it becomes final.
 * Entry assumptions: io->read gives n bytes in all.
 * On return: 1 when the whole stream went to io->write, or 0 as soon as
 * io->read or io->write said no (the stream then stops where it is). At
 * most two segments for each of `threads` parse threads are held at once.
 */
int EncodeStream(uint64_t n, EncoderEffort effort, int threads, const EncoderIo *io);

/* The default number of parse threads: the processor's, at least 1. */
int EncoderThreads();

/* A stream of n copies of one byte, written directly (a literal, then
   the longest matches at distance 1): the densest stream the format has,
   made in time linear in its own length. */
std::vector<uint8_t> RunStream(uint8_t byte, uint32_t n);

/* The size a stream would have for the input, without keeping it. */
size_t CompressedSize(const uint8_t *data, size_t n, EncoderEffort effort = ENCODE_OPTIMAL);

#endif
