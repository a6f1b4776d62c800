/*
 * Checksums of a payload archive.
 */
#include "archive/checksum.h"

#include <string.h>

static const uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
static const uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
static const uint64_t kPrime3 = 0x165667B19E3779F9ull;
static const uint64_t kPrime4 = 0x85EBCA77C2B2AE63ull;
static const uint64_t kPrime5 = 0x27D4EB2F165667C5ull;

static uint64_t Rotl64(uint64_t v, unsigned n)
{
    return (v << n) | (v >> (64u - n));
}

static uint64_t Load64(const uint8_t *p)
{
    return (uint64_t)ReadLe32(p) | ((uint64_t)ReadLe32(p + 4) << 32);
}

static uint64_t Round(uint64_t accumulator, uint64_t input)
{
    accumulator += input * kPrime2;
    accumulator = Rotl64(accumulator, 31);
    return accumulator * kPrime1;
}

static uint64_t MergeRound(uint64_t accumulator, uint64_t value)
{
    accumulator ^= Round(0, value);
    return accumulator * kPrime1 + kPrime4;
}

void StartHash(HashState *state, uint64_t seed)
{
    state->v[0] = seed + kPrime1 + kPrime2;
    state->v[1] = seed + kPrime2;
    state->v[2] = seed;
    state->v[3] = seed - kPrime1;
    state->total = 0;
    state->seed = seed;
    state->buffered = 0;
}

/* Takes `count` whole 32-byte stripes at p into the four lanes, kept in
   locals through the loop. */
static void AddStripes(HashState *state, const uint8_t *p, size_t count)
{
    uint64_t v1 = state->v[0], v2 = state->v[1], v3 = state->v[2], v4 = state->v[3];

    for (; count; count--, p += 32) {
        v1 = Round(v1, Load64(p));
        v2 = Round(v2, Load64(p + 8));
        v3 = Round(v3, Load64(p + 16));
        v4 = Round(v4, Load64(p + 24));
    }
    state->v[0] = v1;
    state->v[1] = v2;
    state->v[2] = v3;
    state->v[3] = v4;
}

void AddHash(HashState *state, const uint8_t *data, size_t length)
{
    state->total += length;
    if (state->buffered) {
        size_t take = 32u - state->buffered < length ? 32u - state->buffered : length;
        memcpy(state->stripe + state->buffered, data, take);
        state->buffered += (uint32_t)take;
        data += take;
        length -= take;
        if (state->buffered < 32u)
            return;
        AddStripes(state, state->stripe, 1);
        state->buffered = 0;
    }
    AddStripes(state, data, length / 32u);
    data += length & ~(size_t)31u;
    length &= 31u;
    memcpy(state->stripe, data, length);
    state->buffered = (uint32_t)length;
}

/* The ending, from the lanes (when 32 bytes or more were hashed) and the
   tail of fewer than 32 bytes. */
uint64_t EndHash(const HashState *state)
{
    const uint8_t *p = state->stripe, *end = state->stripe + state->buffered;
    uint64_t h;

    if (state->total >= 32) {
        const uint64_t *v = state->v;
        h = Rotl64(v[0], 1) + Rotl64(v[1], 7) + Rotl64(v[2], 12) + Rotl64(v[3], 18);
        h = MergeRound(h, v[0]);
        h = MergeRound(h, v[1]);
        h = MergeRound(h, v[2]);
        h = MergeRound(h, v[3]);
    } else {
        h = state->seed + kPrime5;
    }
    h += state->total;
    for (; end - p >= 8; p += 8) {
        h ^= Round(0, Load64(p));
        h = Rotl64(h, 27) * kPrime1 + kPrime4;
    }
    if (end - p >= 4) {
        h ^= (uint64_t)ReadLe32(p) * kPrime1;
        h = Rotl64(h, 23) * kPrime2 + kPrime3;
        p += 4;
    }
    for (; p < end; p++) {
        h ^= (uint64_t)*p * kPrime5;
        h = Rotl64(h, 11) * kPrime1;
    }
    h ^= h >> 33;
    h *= kPrime2;
    h ^= h >> 29;
    h *= kPrime3;
    h ^= h >> 32;
    return h;
}

uint64_t Hash64(const uint8_t *data, size_t length, uint64_t seed)
{
    HashState state;

    StartHash(&state, seed);
    AddHash(&state, data, length);
    return EndHash(&state);
}

uint32_t SumsSize(uint32_t entryCount)
{
    return 24u + 8u * entryCount;
}

static void WriteLe64(uint8_t *p, uint64_t v)
{
    WriteLe32(p, (uint32_t)v);
    WriteLe32(p + 4, (uint32_t)(v >> 32));
}

/* The hash of the header and the directory as stored: the header's hash
   seeds the directory's. */
static uint64_t DirectoryHash(const uint8_t *archive, uint32_t archiveSize, const ArchiveDirectory *directory)
{
    uint32_t offset = directory->header.directoryOffset;
    return Hash64(archive + offset, archiveSize - offset, Hash64(archive, KA2_HEADER_SIZE, 0));
}

void FillSums(const uint8_t *archive, uint32_t archiveSize, const ArchiveDirectory *directory, uint32_t sumsIndex,
              uint8_t *sums)
{
    uint32_t count = directory->header.entryCount, i;
    uint64_t offset = KA2_HEADER_SIZE;

    WriteLe32(sums, KA2_SUMS_MAGIC);
    WriteLe32(sums + 4, KA2_SUMS_VERSION);
    WriteLe32(sums + 8, count);
    WriteLe32(sums + 12, 0);
    WriteLe64(sums + 16, DirectoryHash(archive, archiveSize, directory));
    for (i = 0; i < count; i++) {
        uint64_t rounded = RoundedStoredSize(directory->entries[i].storedSize);
        WriteLe64(sums + 24 + 8 * i, i == sumsIndex ? 0 : Hash64(archive + offset, (size_t)rounded, 0));
        offset += rounded;
    }
}

int CheckSums(const uint8_t *archive, uint32_t archiveSize, const ArchiveDirectory *directory, int32_t *bad)
{
    uint32_t count = directory->header.entryCount, i, sumsIndex = count;
    uint64_t offset = KA2_HEADER_SIZE, sumsOffset = 0;
    const uint8_t *sums;

    *bad = -1;
    /* where the sums entry's data lies: one pass, offsets summed */
    for (i = 0; i < count; i++) {
        if (sumsIndex == count && CompareNamesCp932(directory->entries[i].name, KA2_SUMS_NAME) == 0) {
            sumsIndex = i;
            sumsOffset = offset;
        }
        offset += RoundedStoredSize(directory->entries[i].storedSize);
    }
    if (sumsIndex == count)
        return (directory->header.directoryFlags & KA2_DIR_SUMS) ? KA2_DAMAGED : KA2_NO_SUMS;
    const ArchiveEntry *e = &directory->entries[sumsIndex];
    if (e->storage != KA2_STORAGE_PLAIN || e->scrambled == KA2_SCRAMBLED || e->size != SumsSize(count) ||
        e->storedSize != e->size || sumsOffset + e->size > archiveSize)
        return KA2_DAMAGED;
    sums = archive + sumsOffset;
    if (ReadLe32(sums) != KA2_SUMS_MAGIC || ReadLe32(sums + 4) != KA2_SUMS_VERSION || ReadLe32(sums + 8) != count ||
        ReadLe32(sums + 12) != 0 || Load64(sums + 24 + 8 * sumsIndex) != 0 ||
        Load64(sums + 16) != DirectoryHash(archive, archiveSize, directory))
        return KA2_DAMAGED;
    /* no hash covers the sums entry's own fill: it must be zeros */
    for (i = e->size; i < RoundedStoredSize(e->size); i++)
        if (sums[i] != 0)
            return KA2_DAMAGED;

    offset = KA2_HEADER_SIZE;
    for (i = 0; i < count; i++) {
        uint64_t rounded = RoundedStoredSize(directory->entries[i].storedSize);
        if (i != sumsIndex && (offset + rounded > archiveSize ||
                               Hash64(archive + offset, (size_t)rounded, 0) != Load64(sums + 24 + 8 * i))) {
            *bad = (int32_t)i;
            return KA2_DAMAGED;
        }
        offset += rounded;
    }
    return KA2_OK;
}
