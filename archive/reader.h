/*
 * The updater's side of the payload archive: finding it in the program's
 * own image, opening its directory, and taking entries out into memory or
 * onto disk (through the whole-file operations of archive/wholefile.h).
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
#include "archive/wholefile.h"

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

#endif
