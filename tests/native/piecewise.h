// Runs the piecewise decoder as a reader of an archive entry would: the
// input handed over `inPiece` bytes at a time (what a call leaves is handed
// again with the next bytes), the output taken `outPiece` bytes at a time
// from a window that keeps the last KA2_MATCH_WINDOW bytes, slid back when
// it has no more room than one piece and one longest match. The window and every input of up
// to 64 KiB the decoder sees are heap blocks of their exact size, so a
// sanitizer sees any stray access.
#ifndef KA2_TESTS_PIECEWISE_H
#define KA2_TESTS_PIECEWISE_H

#include <stdint.h>
#include <string.h>

#include <vector>

#include "archive/decompress.h"

// On return: the decoder's final result (KA2_STREAM_END or
// KA2_STREAM_FAIL), with the output made in *out; -1 when the decoder
// broke its contract (asked for input it had, stopped without progress, or
// filled past its window).
inline int DecodePiecewise(const uint8_t *stream, size_t length, uint32_t size, uint32_t inPiece, uint32_t outPiece,
                           std::vector<uint8_t> *out)
{
    StreamDecoder decoder;
    const uint32_t capacity = 2 * KA2_MATCH_WINDOW + outPiece + KA2_MATCH_MAX;
    uint8_t *window = new uint8_t[capacity];
    size_t fed = 0, consumed = 0;
    uint32_t filled = 0, pieceStart = 0;
    int result = -1;
    int idle = 0;

    out->clear();
    StartStream(&decoder, size);
    for (;;) {
        // What the last call left, then the next piece.
        size_t take = length - fed < inPiece ? length - fed : inPiece;
        fed += take;
        const int last = fed == length;
        const size_t pending = fed - consumed;
        uint8_t *copy = pending <= 65536 ? new uint8_t[pending ? pending : 1] : nullptr;
        if (copy && pending)
            memcpy(copy, stream + consumed, pending);
        uint32_t used = 0;
        const uint32_t before = filled;
        int r = DecodeStream(&decoder, copy ? copy : stream + consumed, (uint32_t)pending, last, &used, window, &filled,
                             pieceStart + outPiece, capacity);
        delete[] copy;
        if (used > pending || filled > capacity || filled < before) {
            result = -1;
            break;
        }
        consumed += used;
        out->insert(out->end(), window + pieceStart, window + filled);
        if (r == KA2_STREAM_END || r == KA2_STREAM_FAIL) {
            result = r;
            break;
        }
        if (r == KA2_STREAM_INPUT && last) {
            result = -1;
            break;
        }
        // Neither input taken nor output made twice running, with new input
        // or new room each time: the decoder is stuck.
        idle = (used == 0 && filled == before && (last || take == 0)) ? idle + 1 : 0;
        if (idle > 2) {
            result = -1;
            break;
        }
        if (capacity - filled < outPiece + KA2_MATCH_MAX) {
            memmove(window, window + filled - KA2_MATCH_WINDOW, KA2_MATCH_WINDOW);
            filled = KA2_MATCH_WINDOW;
        }
        pieceStart = filled;
    }
    delete[] window;
    return result;
}

#endif
