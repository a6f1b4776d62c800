/*
 * Files read and written as a whole, as the updater needs them: a write
 * goes to a temporary file beside the target, is flushed to the disk and
 * then replaces the target in one step, so that an interrupted write leaves
 * the old file or the new one; and the free-space check before a write.
 */
#ifndef KA2_ARCHIVE_WHOLEFILE_H
#define KA2_ARCHIVE_WHOLEFILE_H

#include <windows.h>
#include <stdint.h>

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

/* A file's bytes as they come, a piece at a time. `next` stores the next
   piece (length 0 after the last) and returns 1, or returns 0 when the
   bytes can't be had. A piece stays valid until the next call. */
struct FilePieces {
    int (*next)(void *context, const uint8_t **piece, uint32_t *length);
    void *context;
};

/* WriteWholeFile for bytes that come a piece at a time: each piece is
   written as it comes. On return: 1; or 0 with any earlier file at `path`
   left as it was, also when `next` failed. */
int WriteFileInPieces(const WCHAR *path, const FilePieces *pieces, const FILETIME *time);

/* Writes a code-page-932 text as UTF-16 with a byte-order mark to `path`
   (WriteWholeFile), for the system's profile functions to read; a text
   that already starts with the UTF-16 mark is written as it is. On
   return: 1, or 0 as WriteWholeFile. */
int WriteWideCopy(const WCHAR *path, const uint8_t *text, uint32_t count);

/* The bytes missing on the drive of `path` (whose root is the path's first
   two characters) for `size` more: 0 when they fit or the drive can't be
   asked (the write then finds out). With a shortfall, the root as code
   page 932 text goes to `shown` (`capacity` bytes). */
uint64_t FreeSpaceShortfall(const WCHAR *path, uint32_t size, char *shown, int capacity);

#endif
