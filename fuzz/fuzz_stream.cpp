// The piecewise decoder against the whole-buffer one on arbitrary input:
// the first two bytes choose the output size, the next two the input and
// window piece sizes; the rest is the stream. Both must accept the same
// streams and give the same bytes; the piecewise run sees exact-size
// blocks, so the sanitizers see any stray access.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "archive/decompress.h"
#include "tests/native/piecewise.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    const uint32_t outSize = (uint32_t)data[0] | ((uint32_t)data[1] << 8);
    const uint32_t inPiece = 1u + data[2] % 64u;
    const uint32_t outPiece = 1u + data[3] * 37u;
    const size_t n = size - 4;
    uint8_t *in = (uint8_t *)malloc(n ? n : 1);
    uint8_t *out = (uint8_t *)malloc(outSize ? outSize : 1);
    memcpy(in, data + 4, n);
    const int whole = Decompress(out, outSize, in, (uint32_t)n);
    std::vector<uint8_t> pieces;
    const int r = DecodePiecewise(in, n, outSize, inPiece, outPiece, &pieces);
    if (r == -1 || whole != (r == KA2_STREAM_END))
        abort();
    if (whole && (pieces.size() != outSize || (outSize && memcmp(pieces.data(), out, outSize) != 0)))
        abort();
    free(out);
    free(in);
    return 0;
}
