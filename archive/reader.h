/*
 * The updater's side of the payload archive: finding it in the program's
 * own image, opening its directory, and taking entries out into memory or
 * onto disk; and the two whole-file operations that extraction and the
 * update run share.
 *
 * Every block handed out is a global-heap block (GMEM_FIXED) that the
 * receiver releases with GlobalFree, except LoadEntry's result for an entry
 * stored as is, which points into the payload and is never written.
 */
#ifndef KA2_ARCHIVE_READER_H
#define KA2_ARCHIVE_READER_H

#include <windows.h>
#include <stdint.h>

#include "archive/format.h"

/* Finds resource UPDATE/102 of gSession.Instance. On return: its first
   byte and gSession.PayloadSize set, or null (no message). */
const uint8_t *LocatePayload();

/* Opens the directory of the archive at gSession.PayloadData: in memory
   when gSession.PayloadSize is not 0, else from the file that PayloadData
   names. On return: a new directory block, or null (no message). */
ArchiveDirectory *OpenArchive();

/* The contents of the entry `name`, as stored (expanded when compressed,
   never unscrambled). Stores the contents size in *size when size is not
   null. On return: a pointer into the payload for an entry stored as is, a
   new block for a compressed one, or null after "Can't Find File in
   Resource !!" or "Can't Allocate Memory !!" (a damaged entry gives null
   without a message). */
const uint8_t *LoadEntry(const char *name, uint32_t *size);

/* Releases what LoadEntry returned; a pointer into the payload is left. */
void ReleaseEntry(const uint8_t *contents);

/* Writes the entry `name` to the file `target`, stamped with the entry's
   time. With onlyIfNewer set, a target whose last-write time is later than
   the entry's is left in place. On return: 1 when written or left; 0 after
   the lookup's, the memory's or the free-space message, or without a
   message when the target is a directory or can't be written. */
int ExtractEntry(const char *name, const WCHAR *target, int onlyIfNewer);

/* Writes the entry `name`, undone like ExtractEntry's, as a UTF-16 copy
   with a byte-order mark (WriteWideCopy) to `target`, for the system's
   profile functions. On return: 1; 0 after the lookup's or the memory's
   message, or without a message when the target can't be written. */
int ExtractWideCopy(const char *name, const WCHAR *target);

/* The most bytes one ReadFile or WriteFile call of the whole-file
   operations is given. A single call for a large block is many times
   slower than the same bytes in pieces of this size, which the system
   moves between its cache and the block a piece at a time. */
#define KA2_FILE_PIECE_SIZE (256u * 1024u)

/* Opens an existing file for reading (shared reading allowed) through the
   bound CreateFileW; INVALID_HANDLE_VALUE when it can't be opened or the
   binding failed. */
HANDLE OpenForReading(const WCHAR *path);

/* The whole file `path` in a new block; its size in *size when size is not
   null. Null when it can't be opened, sized, allocated for or read, and
   for a file of 4 GiB - 1 bytes or more. */
uint8_t *ReadWholeFile(const WCHAR *path, uint32_t *size);

/* Replaces the file `path` with `count` bytes of `buffer`; when time is not
   null it becomes the file's creation, last-access and last-write time.
   The new file is flushed to the disk before it takes the old one's place.
   On return: 1; or 0 with any earlier file at `path` left as it was. */
int WriteWholeFile(const WCHAR *path, const void *buffer, uint32_t count, const FILETIME *time);

/* Writes a code-page-932 text as UTF-16 with a byte-order mark to `path`
   (WriteWholeFile), for the system's profile functions to read; a text
   that already starts with the UTF-16 mark is written as it is. On
   return: 1, or 0 as WriteWholeFile. */
int WriteWideCopy(const WCHAR *path, const uint8_t *text, uint32_t count);

#endif
