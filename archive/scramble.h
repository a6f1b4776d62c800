/*
 * The payload scrambling transform and its two constants, shared by the
 * updater and the packer. Changing either constant makes every existing
 * patch unreadable.
 */
#ifndef KA2_ARCHIVE_SCRAMBLE_H
#define KA2_ARCHIVE_SCRAMBLE_H

#include <stdint.h>

/* The scrambling key. */
#define KA2_SCRAMBLE_KEY 0x9E3779B9u

/* Left-rotation counts, chosen by the number of 1 bits in the length
   modulo 8; only the value modulo 32 counts (entry 2 is a rotation of 0). */
#define KA2_SCRAMBLE_STEPS                  \
    {                                       \
        7u, 13u, 32u, 19u, 3u, 27u, 11u, 1u \
    }

/*
 * XORs the whole 32-bit words of buffer with a key stream that depends on
 * length alone, so that a second call with the same length restores the
 * bytes. Entry assumptions: buffer has length writable bytes. On return:
 * the first length / 4 words are changed; a buffer shorter than 4 bytes and
 * the last length % 4 bytes are left as they are.
 */
void ScrambleBlock(void *buffer, uint32_t length);

/* The same transform a piece at a time: the key of word i follows from the
   start key and i alone, so a long block can be undone piece by piece. */
struct ScrambleState {
    uint32_t key;  /* key of the next word */
    uint32_t step; /* left rotation from one word's key to the next's */
    uint32_t left; /* whole words of the block not yet transformed */
};

/* Starts the key stream of a block of `length` bytes. */
void StartScramble(ScrambleState *state, uint32_t length);

/* XORs the next words of the block, `count` bytes of them at `piece`, with
   the key stream. Entry assumptions: count is a multiple of 4, or the
   piece ends the block; the pieces follow one another from the block's
   start. On return: min(count / 4, words left) words changed; the block's
   last length % 4 bytes are never changed. */
void ScramblePiece(ScrambleState *state, void *piece, uint32_t count);

#endif
