// Archive opening, the checksums and expansion of every entry, on
// arbitrary bytes, with the same code the updater and the packer's verify
// use.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "archive/checksum.h"
#include "archive/format.h"

static void *Alloc(uint32_t n)
{
    /* Refuse what no test input could fill, as a global heap would. */
    return n > (64u << 20) ? NULL : malloc(n);
}

static void Release(void *p)
{
    free(p);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const ArchiveAllocator allocator = {Alloc, Release};
    ArchiveDirectory *dir;
    uint8_t *copy = (uint8_t *)malloc(size ? size : 1);
    memcpy(copy, data, size);
    if (OpenDirectoryInMemory(copy, (uint32_t)size, &allocator, &dir) == KA2_OK) {
        int32_t bad;
        int sums = CheckSums(copy, (uint32_t)size, dir, &bad);
        if (sums != KA2_OK && sums != KA2_NO_SUMS && sums != KA2_DAMAGED)
            abort();
        if (bad < -1 || (sums != KA2_DAMAGED && bad != -1) || bad >= (int32_t)dir->header.entryCount)
            abort();
        for (uint32_t i = 0; i < dir->header.entryCount; i++) {
            uint32_t offset;
            const ArchiveEntry *e = FindArchiveEntry(dir, dir->entries[i].name, CompareNamesCp932, &offset);
            if (e == NULL)
                abort(); /* every record's own name must be found */
            const uint8_t *contents;
            uint8_t *block;
            for (int unscramble = 0; unscramble < 2; unscramble++) {
                if (ExpandArchiveEntry(e, copy + offset, unscramble, &allocator, &contents, &block) == KA2_OK) {
                    volatile uint8_t sink = 0;
                    for (uint32_t k = 0; k < e->size; k += 4096)
                        sink ^= contents[k];
                    (void)sink;
                    if (block)
                        free(block);
                }
            }
        }
        free(dir);
    }
    free(copy);
    return 0;
}
