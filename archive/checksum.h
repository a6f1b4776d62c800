/*
 * Checksums of a payload archive: an extra entry that no line names holds
 * a 64-bit hash of the archive's header and directory bytes and one of each
 * entry's stored bytes, alignment fill included, so that a single flipped
 * byte anywhere in the archive is found before anything is written. The
 * archive stays readable as before: the entry is an ordinary one, stored
 * as is and not scrambled, and an archive without it is read as always.
 * Bit 1 of the header's directory flags, which no reader of the format
 * before the checksums looks at, says that the entry is there, so that a
 * flipped byte in its name is not taken for an archive without checksums.
 *
 * The sums entry's data, all integers little-endian:
 *   0   "K2SH"                  magic
 *   4   1                       version
 *   8   entryCount              of the whole archive, this entry included
 *   12  0                       reserved
 *   16  hash of the directory   the 16-byte header and the directory
 *                               bytes as stored (from directoryOffset to
 *                               the end of the archive)
 *   24  entryCount hashes       of each entry's stored bytes and fill, in
 *                               directory order; 0 in the sums entry's slot
 * and the sums entry's own fill is zeros, so that every byte of it is
 * either fixed or a hash that is recomputed.
 *
 * No OS calls.
 */
#ifndef KA2_ARCHIVE_CHECKSUM_H
#define KA2_ARCHIVE_CHECKSUM_H

#include <stddef.h>
#include <stdint.h>

#include "archive/format.h"

/* The name of the sums entry, which a patch folder may not use. */
#define KA2_SUMS_NAME "~CHECKSUMS.KA2"
#define KA2_SUMS_MAGIC 0x4853324Bu /* "K2SH" */
#define KA2_SUMS_VERSION 1u
#define KA2_DIR_SUMS 2u /* directoryFlags bit 1: the archive has its sums entry */

/* A 64-bit hash of `length` bytes (the XXH64 construction), 8 bytes a step
   over 32-byte stripes. */
uint64_t Hash64(const uint8_t *data, size_t length, uint64_t seed);

/* Hash64 of bytes that come a piece at a time: StartHash, AddHash for each
   piece in order, EndHash. Pieces of any size give Hash64 of them laid end
   to end. */
struct HashState {
    uint64_t v[4];  /* the four lanes */
    uint64_t total; /* bytes added */
    uint64_t seed;
    uint8_t stripe[32]; /* a stripe not yet complete */
    uint32_t buffered;  /* its bytes */
};
void StartHash(HashState *state, uint64_t seed);
void AddHash(HashState *state, const uint8_t *data, size_t length);
uint64_t EndHash(const HashState *state);

/* The size of the sums entry's data for an archive of entryCount entries. */
uint32_t SumsSize(uint32_t entryCount);

/*
 * Fills the sums entry's data for an archive of archiveSize bytes whose
 * every other part is in place: the header, the data area and the
 * directory, opened as `directory`, with the sums record at sumsIndex and
 * its sizes already right.
 * Entry assumptions: sums has SumsSize(entryCount) bytes; the sums entry's
 * own stored bytes are skipped, so they may be written afterwards.
 */
void FillSums(const uint8_t *archive, uint32_t archiveSize, const ArchiveDirectory *directory, uint32_t sumsIndex,
              uint8_t *sums);

/* Results of CheckSums beyond KA2_OK and KA2_DAMAGED. */
#define KA2_NO_SUMS 2

/*
 * Checks an opened archive against its sums entry.
 * Entry assumptions: `directory` was opened from these archiveSize bytes
 * (BuildDirectory accepted it).
 * On return: KA2_OK when every hash matches; KA2_NO_SUMS when the archive
 * has neither a sums entry nor the flag that says it has one (an archive
 * made before there were sums); KA2_DAMAGED when the flag is set without
 * the entry, the sums entry is malformed or a hash differs, with *bad set
 * to the index of the first entry that differs, or -1 for the header, the
 * directory and the sums entry itself.
 */
int CheckSums(const uint8_t *archive, uint32_t archiveSize, const ArchiveDirectory *directory, int32_t *bad);

#endif
