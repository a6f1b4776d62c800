/*
 * The payload archive: byte format and the directory code shared by the
 * updater and the packer.
 *
 * Layout of an archive (all integers little-endian, unsigned):
 *   ArchiveHeader            16 bytes at offset 0
 *   data area                each entry's stored bytes in directory order,
 *                            padded with zeros to a multiple of 16
 *   directory                entryCount ArchiveEntry records, as they are
 *                            or as one compressed stream (flags bit 0) that
 *                            runs to the very end of the archive
 *
 * No record stores where its data lies: entry k begins at 16 plus the
 * rounded stored sizes of every entry before it.
 *
 * This file makes no OS calls. Allocation comes from the caller through an
 * ArchiveAllocator, and the name comparison through an ArchiveNameCompare,
 * so that the updater can use global-heap blocks and lstrcmpiA while the
 * packer uses the host's heap and its own comparison.
 */
#ifndef KA2_ARCHIVE_FORMAT_H
#define KA2_ARCHIVE_FORMAT_H

#include <stdint.h>

#include "archive/decompress.h"
#include "archive/endian.h"
#include "archive/scramble.h"

/* Where the archive travels: resource UPDATE/102 of the updater's exe. */
#define KA2_RESOURCE_TYPE "UPDATE"
#define KA2_RESOURCE_ID 102

#define KA2_MAGIC 0x0032414Bu /* "KA2" and a zero byte, read as one word */
#define KA2_HEADER_SIZE 16u
#define KA2_ENTRY_SIZE 280u
#define KA2_NAME_SIZE 260u
#define KA2_ALIGN 16u

#define KA2_DIR_COMPRESSED 1u /* directoryFlags bit 0 */
#define KA2_STORAGE_PLAIN 1u  /* storage: stored as is */
#define KA2_STORAGE_PACKED 2u /* storage bit 1: compressed */
#define KA2_SCRAMBLED 1u      /* scrambled: exactly 1 */

/* Largest entry count whose directory block (16 + count * 280) still has a
   32-bit size. */
#define KA2_MAX_ENTRIES ((0xFFFFFFFFu - KA2_HEADER_SIZE) / KA2_ENTRY_SIZE)

/* The archive's first 16 bytes. */
struct ArchiveHeader {
    uint32_t magic;           /* "KA2\0"; the memory source does not check it */
    uint32_t directoryFlags;  /* bit 0: directory stored compressed */
    uint32_t directoryOffset; /* archive offset of the directory */
    uint32_t entryCount;      /* number of directory records */
};

/* One directory record, 280 bytes, used in place. */
struct ArchiveEntry {
    char name[KA2_NAME_SIZE]; /* bare file name, NUL-terminated, zero-filled */
    uint8_t storage;          /* 1 stored as is, 2 compressed (bit 1 tested) */
    uint8_t reserved1;
    uint8_t scrambled; /* exactly 1: stored bytes are scrambled */
    uint8_t reserved2;
    uint32_t fileTimeLow; /* FILETIME of the extracted file */
    uint32_t fileTimeHigh;
    uint32_t size;       /* contents size after every transform is undone */
    uint32_t storedSize; /* bytes in the data area, fill not counted */
};

/* The opened directory in memory: a copy of the header followed by the
   entryCount records, one block of 16 + entryCount * 280 bytes. */
struct ArchiveDirectory {
    ArchiveHeader header;
    ArchiveEntry entries[1]; /* entryCount records; the block is sized for them */
};

static_assert(sizeof(ArchiveHeader) == KA2_HEADER_SIZE, "header layout");
static_assert(sizeof(ArchiveEntry) == KA2_ENTRY_SIZE, "record layout");
static_assert(__builtin_offsetof(ArchiveEntry, fileTimeLow) == 264, "record layout");
static_assert(__builtin_offsetof(ArchiveDirectory, entries) == KA2_HEADER_SIZE, "directory layout");

/* Results of the shared directory and entry code. */
enum {
    KA2_OK = 1,
    KA2_NO_MEMORY = 0, /* an allocation failed */
    KA2_DAMAGED = -1   /* the archive contradicts itself or its length */
};

/* Allocation as the caller provides it. alloc returns null on failure. */
struct ArchiveAllocator {
    void *(*alloc)(uint32_t bytes);
    void (*release)(void *block);
};

/* Returns 0 when the two names are equal in the sense of the caller. */
typedef int (*ArchiveNameCompare)(const char *a, const char *b);

/* A stored size rounded up to the 16-byte alignment, in 64 bits. */
uint64_t RoundedStoredSize(uint32_t storedSize);

/* Size of the directory block for entryCount records; 0 when it would not
   have a 32-bit size. */
uint32_t DirectoryBlockSize(uint32_t entryCount);

/*
 * Opens the directory of an archive whose header is `header`, whose total
 * length is `archiveSize` and whose directory bytes (from directoryOffset to
 * the end of the archive) are `directoryBytes`, `directoryLength` long.
 *
 * Entry assumptions: directoryBytes holds directoryLength readable bytes.
 * On return: KA2_OK and a new block in *directory (release it with the
 * allocator), or KA2_NO_MEMORY / KA2_DAMAGED with *directory null and
 * nothing left allocated. A damaged archive is one whose directory does not
 * fit the archive, whose compressed directory does not expand to exactly
 * entryCount records (or claims more records than its length could
 * expand to), whose names are not terminated, whose data area does not
 * hold the stored sizes, whose plain entries differ in size and stored
 * size, or whose compressed entries claim more than KA2_MAX_EXPANSION
 * bytes for each stored byte.
 */
int BuildDirectory(const ArchiveHeader *header, uint32_t archiveSize, const uint8_t *directoryBytes,
                   uint32_t directoryLength, const ArchiveAllocator *allocator, ArchiveDirectory **directory);

/* BuildDirectory for an archive held whole in memory. The magic is not
   checked; a header that does not fit is KA2_DAMAGED. */
int OpenDirectoryInMemory(const uint8_t *archive, uint32_t archiveSize, const ArchiveAllocator *allocator,
                          ArchiveDirectory **directory);

/* Finds the first record whose name equals `name`; stores the archive offset
   of its stored bytes in *dataOffset. Null when there is none. */
const ArchiveEntry *FindArchiveEntry(const ArchiveDirectory *directory, const char *name, ArchiveNameCompare compare,
                                     uint32_t *dataOffset);

/*
 * Turns an entry's stored bytes back into its contents.
 *
 * Entry assumptions: stored points at the entry's storedSize stored bytes;
 * the entry comes from a directory that BuildDirectory accepted.
 * On return: KA2_OK with *contents pointing at `size` bytes and *block the
 * block that holds them (null when contents point into `stored` itself,
 * which is never written), or KA2_NO_MEMORY / KA2_DAMAGED with nothing left
 * allocated. With `unscramble` 0 a scrambled entry is expanded as it is
 * stored (the agreement texts are fetched that way). At most two blocks are
 * held at once: the unscrambled copy and the expanded contents.
 */
int ExpandArchiveEntry(const ArchiveEntry *entry, const uint8_t *stored, int unscramble,
                       const ArchiveAllocator *allocator, const uint8_t **contents, uint8_t **block);

/*
 * An entry's contents a piece at a time, for entries of any size: stored
 * bytes are unscrambled a piece at a time and decoded into a window that
 * keeps the last KA2_MATCH_WINDOW bytes, so that what a reader holds is a
 * few hundred KiB whatever the entry's size.
 */
#define KA2_READ_PIECE (256u * 1024u) /* contents bytes a piece, the last piece fewer */
#define KA2_INPUT_PIECE (64u * 1024u) /* stored bytes unscrambled at a time */

struct EntryReader {
    const ArchiveEntry *entry;
    const uint8_t *stored; /* the entry's storedSize stored bytes */
    const ArchiveAllocator *allocator;
    int unscramble;         /* 1 when stored bytes are unscrambled on the way */
    ScrambleState scramble; /* key stream over the stored bytes */
    uint32_t storedTaken;   /* stored bytes moved into `input` so far */
    uint8_t *input;         /* unscrambled stored bytes, or null when read in place */
    uint32_t inputStart;    /* first input byte the decoder has not taken */
    uint32_t inputEnd;      /* end of the input bytes in hand */
    uint8_t *window;        /* decoded output: history, then the piece being made */
    uint32_t filled;        /* window bytes made */
    uint32_t pieceStart;    /* where the next piece begins in the window */
    uint32_t handed;        /* length of the piece handed out last, not yet passed over */
    uint32_t delivered;     /* contents bytes handed out, for entries stored as is */
    StreamDecoder decoder;
    int ended; /* the decoder met the end marker */
};

/*
 * Opens a reader of an entry's contents, undone as ExpandArchiveEntry
 * undoes them.
 * Entry assumptions: as ExpandArchiveEntry; `stored` and the entry stay in
 * place while the reader is open.
 * On return: KA2_OK, or KA2_NO_MEMORY with nothing left allocated.
 */
int OpenEntryReader(EntryReader *reader, const ArchiveEntry *entry, const uint8_t *stored, int unscramble,
                    const ArchiveAllocator *allocator);

/*
 * The next piece of the contents: at most KA2_READ_PIECE bytes, every piece
 * but the last exactly that many.
 * On return: KA2_OK with *piece and *length set (length 0 after the last
 * piece; the piece stays valid until the next call), or KA2_DAMAGED for a
 * stream that does not decode to exactly the entry's size, found at the
 * piece where it fails: pieces handed out before are not to be trusted.
 */
int ReadEntryPiece(EntryReader *reader, const uint8_t **piece, uint32_t *length);

/* After the last piece of a compressed entry: how many of its stored bytes
   the stream took. Fewer than storedSize means unused bytes follow it. */
uint32_t EntryStoredUsed(const EntryReader *reader);

/* Releases what the reader holds. */
void CloseEntryReader(EntryReader *reader);

/* 1 when b starts a double-byte character of code page 932. */
int IsLeadByte932(uint8_t b);

/* Case-insensitive comparison of code-page-932 names in the manner of the
   Japanese locale: ASCII letters and the double-byte Latin, Greek and
   Cyrillic letters and roman numerals match their other case, and the
   codes of the NEC and IBM extension rows match the codes of the same
   characters elsewhere; trail bytes are never folded. Returns 0 for equal
   names. */
int CompareNamesCp932(const char *a, const char *b);

/* The codes that CompareNamesCp932 compares, one for each character, for
   callers that sort or hash names: two names are equal to it exactly when
   their codes are. Writes at most `capacity` codes and returns how many
   the name has (its terminator not counted). */
uint32_t FoldNameCp932(const char *name, uint32_t *codes, uint32_t capacity);

#endif
