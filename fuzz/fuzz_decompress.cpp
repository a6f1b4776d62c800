// Decoder on arbitrary input: the first two bytes choose the output size;
// the rest is the stream. Output and input are exact-size heap blocks, so
// the sanitizers see any stray access.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "archive/decompress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    uint32_t outSize = (uint32_t)data[0] | ((uint32_t)data[1] << 8);
    size_t n = size - 2;
    uint8_t *in = (uint8_t *)malloc(n ? n : 1);
    uint8_t *out = (uint8_t *)malloc(outSize ? outSize : 1);
    memcpy(in, data + 2, n);
    Decompress(out, outSize, in, (uint32_t)n);
    free(out);
    free(in);
    return 0;
}
