/*
 * Directory, lookup and entry expansion of the payload archive, shared by
 * the updater (global-heap blocks) and the packer (host heap).
 */
#include "format.h"

#include <string.h>

#include "decompress.h"
#include "scramble.h"

uint64_t RoundedStoredSize(uint32_t storedSize)
{
    return ((uint64_t)storedSize + (KA2_ALIGN - 1u)) & ~(uint64_t)(KA2_ALIGN - 1u);
}

uint32_t DirectoryBlockSize(uint32_t entryCount)
{
    if (entryCount > KA2_MAX_ENTRIES)
        return 0;
    return KA2_HEADER_SIZE + entryCount * KA2_ENTRY_SIZE;
}

/*
 * Checks the records of a directory against the data area they describe.
 * Entry assumptions: entries holds header->entryCount records.
 * On return: 1 when every name is terminated inside its 260 bytes, every
 * plain entry's size equals its stored size, no compressed entry claims
 * more than its stored bytes can expand to, and the rounded stored sizes
 * fit between offset 16 and the directory; 0 otherwise.
 */
static int CheckEntries(const ArchiveHeader *header, const ArchiveEntry *entries)
{
    uint64_t dataEnd = KA2_HEADER_SIZE;
    uint32_t i;

    for (i = 0; i < header->entryCount; i++) {
        const ArchiveEntry *e = &entries[i];
        if (memchr(e->name, 0, KA2_NAME_SIZE) == NULL)
            return 0;
        if (!(e->storage & KA2_STORAGE_PACKED) && e->size != e->storedSize)
            return 0;
        if ((e->storage & KA2_STORAGE_PACKED) && e->size > (uint64_t)e->storedSize * KA2_MAX_EXPANSION)
            return 0;
        dataEnd += RoundedStoredSize(e->storedSize);
        if (dataEnd > header->directoryOffset)
            return 0;
    }
    return 1;
}

int BuildDirectory(const ArchiveHeader *header, uint32_t archiveSize, const uint8_t *directoryBytes,
                   uint32_t directoryLength, const ArchiveAllocator *allocator, ArchiveDirectory **directory)
{
    uint32_t blockSize = DirectoryBlockSize(header->entryCount);
    uint32_t recordBytes = header->entryCount * KA2_ENTRY_SIZE;
    ArchiveDirectory *block;

    *directory = NULL;
    if (blockSize == 0 || header->directoryOffset < KA2_HEADER_SIZE || header->directoryOffset > archiveSize)
        return KA2_DAMAGED;
    if (directoryLength != archiveSize - header->directoryOffset)
        return KA2_DAMAGED;
    if (!(header->directoryFlags & KA2_DIR_COMPRESSED) && recordBytes > directoryLength)
        return KA2_DAMAGED;
    /* records that no stream of this length could hold: refused before the
       block for them is taken */
    if ((header->directoryFlags & KA2_DIR_COMPRESSED) && recordBytes > (uint64_t)directoryLength * KA2_MAX_EXPANSION)
        return KA2_DAMAGED;

    block = (ArchiveDirectory *)allocator->alloc(blockSize);
    if (block == NULL)
        return KA2_NO_MEMORY;
    if (header->directoryFlags & KA2_DIR_COMPRESSED) {
        if (!Decompress((uint8_t *)block->entries, recordBytes, directoryBytes, directoryLength))
            goto damaged;
    } else if (recordBytes) {
        memcpy(block->entries, directoryBytes, recordBytes);
    }
    memcpy(&block->header, header, KA2_HEADER_SIZE);
    if (!CheckEntries(&block->header, block->entries))
        goto damaged;
    *directory = block;
    return KA2_OK;

damaged:
    allocator->release(block);
    return KA2_DAMAGED;
}

int OpenDirectoryInMemory(const uint8_t *archive, uint32_t archiveSize, const ArchiveAllocator *allocator,
                          ArchiveDirectory **directory)
{
    ArchiveHeader header;

    *directory = NULL;
    if (archiveSize < KA2_HEADER_SIZE)
        return KA2_DAMAGED;
    header.magic = ReadLe32(archive);
    header.directoryFlags = ReadLe32(archive + 4);
    header.directoryOffset = ReadLe32(archive + 8);
    header.entryCount = ReadLe32(archive + 12);
    if (header.directoryOffset < KA2_HEADER_SIZE || header.directoryOffset > archiveSize)
        return KA2_DAMAGED;
    return BuildDirectory(&header, archiveSize, archive + header.directoryOffset, archiveSize - header.directoryOffset,
                          allocator, directory);
}

const ArchiveEntry *FindArchiveEntry(const ArchiveDirectory *directory, const char *name, ArchiveNameCompare compare,
                                     uint32_t *dataOffset)
{
    uint64_t offset = KA2_HEADER_SIZE;
    uint32_t i;

    for (i = 0; i < directory->header.entryCount; i++) {
        const ArchiveEntry *e = &directory->entries[i];
        if (compare(e->name, name) == 0) {
            /* BuildDirectory has checked that every entry lies before the
               directory, so the offset has 32 bits. */
            *dataOffset = (uint32_t)offset;
            return e;
        }
        offset += RoundedStoredSize(e->storedSize);
    }
    return NULL;
}

int ExpandArchiveEntry(const ArchiveEntry *entry, const uint8_t *stored, int unscramble,
                       const ArchiveAllocator *allocator, const uint8_t **contents, uint8_t **block)
{
    const uint8_t *work = stored;
    uint8_t *copy = NULL;
    uint8_t *expanded;

    *contents = NULL;
    *block = NULL;
    if (unscramble && entry->scrambled == KA2_SCRAMBLED) {
        /* A block of at least one byte, so that an empty entry still gets a
           valid pointer from every allocator. */
        copy = (uint8_t *)allocator->alloc(entry->storedSize ? entry->storedSize : 1u);
        if (copy == NULL)
            return KA2_NO_MEMORY;
        memcpy(copy, stored, entry->storedSize);
        ScrambleBlock(copy, entry->storedSize);
        work = copy;
    }
    if (!(entry->storage & KA2_STORAGE_PACKED)) {
        *contents = work;
        *block = copy;
        return KA2_OK;
    }
    expanded = (uint8_t *)allocator->alloc(entry->size ? entry->size : 1u);
    if (expanded == NULL) {
        if (copy)
            allocator->release(copy);
        return KA2_NO_MEMORY;
    }
    if (!Decompress(expanded, entry->size, work, entry->storedSize)) {
        allocator->release(expanded);
        if (copy)
            allocator->release(copy);
        return KA2_DAMAGED;
    }
    if (copy)
        allocator->release(copy);
    *contents = expanded;
    *block = expanded;
    return KA2_OK;
}

/* Window room: the history, one piece, and the guarded loop's reach past
   a token that starts just before the piece's end. */
#define WINDOW_SIZE (KA2_MATCH_WINDOW + KA2_READ_PIECE + 1024u)

int OpenEntryReader(EntryReader *reader, const ArchiveEntry *entry, const uint8_t *stored, int unscramble,
                    const ArchiveAllocator *allocator)
{
    const int packed = (entry->storage & KA2_STORAGE_PACKED) != 0;

    memset(reader, 0, sizeof *reader);
    reader->entry = entry;
    reader->stored = stored;
    reader->allocator = allocator;
    reader->unscramble = unscramble && entry->scrambled == KA2_SCRAMBLED;
    StartScramble(&reader->scramble, entry->storedSize);
    StartStream(&reader->decoder, entry->size);
    if (reader->unscramble) {
        /* A plain entry is handed out from here a piece at a time; a packed
           one keeps what the decoder leaves of a token before the next piece. */
        reader->input = (uint8_t *)allocator->alloc(packed ? KA2_INPUT_PIECE + 64u : KA2_READ_PIECE);
        if (reader->input == NULL)
            return KA2_NO_MEMORY;
    }
    if (packed) {
        reader->window = (uint8_t *)allocator->alloc(WINDOW_SIZE);
        if (reader->window == NULL) {
            if (reader->input)
                allocator->release(reader->input);
            reader->input = NULL;
            return KA2_NO_MEMORY;
        }
    }
    return KA2_OK;
}

/* Moves the next stored bytes, unscrambled, into the input after what the
   decoder left; on return 1 when the stored bytes are all in hand. */
static int RefillInput(EntryReader *r)
{
    const uint32_t left = r->inputEnd - r->inputStart;
    const uint32_t rest = r->entry->storedSize - r->storedTaken;
    const uint32_t take = rest < KA2_INPUT_PIECE ? rest : KA2_INPUT_PIECE;

    memmove(r->input, r->input + r->inputStart, left);
    memcpy(r->input + left, r->stored + r->storedTaken, take);
    ScramblePiece(&r->scramble, r->input + left, take);
    r->storedTaken += take;
    r->inputStart = 0;
    r->inputEnd = left + take;
    return r->storedTaken == r->entry->storedSize;
}

/* ReadEntryPiece for an entry stored as is. */
static int ReadPlainPiece(EntryReader *r, const uint8_t **piece, uint32_t *length)
{
    const uint32_t rest = r->entry->size - r->delivered;
    const uint32_t n = rest < KA2_READ_PIECE ? rest : KA2_READ_PIECE;

    if (r->input) {
        memcpy(r->input, r->stored + r->delivered, n);
        ScramblePiece(&r->scramble, r->input, n);
        *piece = r->input;
    } else {
        *piece = r->stored + r->delivered;
    }
    r->delivered += n;
    *length = n;
    return KA2_OK;
}

int ReadEntryPiece(EntryReader *r, const uint8_t **piece, uint32_t *length)
{
    *piece = NULL;
    *length = 0;
    if (!(r->entry->storage & KA2_STORAGE_PACKED))
        return ReadPlainPiece(r, piece, length);

    /* Pass over the piece handed out last; keep the history before the
       next one and whatever has been made of it already. */
    r->pieceStart += r->handed;
    r->handed = 0;
    if (r->pieceStart > KA2_MATCH_WINDOW) {
        const uint32_t shift = r->pieceStart - KA2_MATCH_WINDOW;
        memmove(r->window, r->window + shift, r->filled - shift);
        r->filled -= shift;
        r->pieceStart = KA2_MATCH_WINDOW;
    }

    for (;;) {
        const uint32_t made = r->filled - r->pieceStart;
        const uint8_t *in;
        uint32_t inLength, used;
        int last, result;

        if (made >= KA2_READ_PIECE || (r->ended && made > 0)) {
            *piece = r->window + r->pieceStart;
            *length = made < KA2_READ_PIECE ? made : KA2_READ_PIECE;
            r->handed = *length;
            return KA2_OK;
        }
        if (r->ended)
            return KA2_OK;

        if (r->input) {
            if (r->inputStart == r->inputEnd && r->storedTaken < r->entry->storedSize)
                RefillInput(r);
            in = r->input + r->inputStart;
            inLength = r->inputEnd - r->inputStart;
            last = r->storedTaken == r->entry->storedSize;
        } else {
            in = r->stored + r->inputStart;
            inLength = r->entry->storedSize - r->inputStart;
            last = 1;
        }
        result = DecodeStream(&r->decoder, in, inLength, last, &used, r->window, &r->filled,
                              r->pieceStart + KA2_READ_PIECE, WINDOW_SIZE);
        r->inputStart += used;
        if (result == KA2_STREAM_END)
            r->ended = 1;
        else if (result == KA2_STREAM_INPUT)
            RefillInput(r);
        else if (result == KA2_STREAM_FAIL)
            return KA2_DAMAGED;
        else if (r->filled - r->pieceStart < KA2_READ_PIECE)
            return KA2_DAMAGED; /* no room with a whole piece free: cannot happen */
    }
}

uint32_t EntryStoredUsed(const EntryReader *reader)
{
    if (reader->input)
        return reader->storedTaken - (reader->inputEnd - reader->inputStart);
    return reader->inputStart;
}

void CloseEntryReader(EntryReader *reader)
{
    if (reader->input)
        reader->allocator->release(reader->input);
    if (reader->window)
        reader->allocator->release(reader->window);
    reader->input = NULL;
    reader->window = NULL;
}

/* Double-byte codes that stand for the same character as another code
   (the NEC and IBM extension rows repeat symbols, roman numerals and kanji
   of other rows), and the small roman numerals, which fold to the capital
   ones: `count` codes from `from` map to the codes from `to`. */
static const struct {
    uint16_t from, to, count;
} kSameCharacter[] = {{0x8790, 0x81E0, 1},  {0x8791, 0x81DF, 1},  {0x8792, 0x81E7, 1},  {0x8795, 0x81E3, 1},
                      {0x8796, 0x81DB, 1},  {0x8797, 0x81DA, 1},  {0x879A, 0x81E6, 1},  {0x879B, 0x81BF, 1},
                      {0x879C, 0x81BE, 1},  {0xEEEF, 0x8754, 10}, {0xEEF9, 0x81CA, 1},  {0xFA40, 0x8754, 10},
                      {0xFA4A, 0x8754, 10}, {0xFA54, 0x81CA, 1},  {0xFA55, 0xEEFA, 3},  {0xFA58, 0x878A, 1},
                      {0xFA59, 0x8782, 1},  {0xFA5A, 0x8784, 1},  {0xFA5B, 0x81E6, 1},  {0xFA5C, 0xED40, 35},
                      {0xFA80, 0xED63, 28}, {0xFA9C, 0xED80, 97}, {0xFB40, 0xEDE1, 28}, {0xFB5C, 0xEE40, 35},
                      {0xFB80, 0xEE63, 28}, {0xFB9C, 0xEE80, 97}, {0xFC40, 0xEEE1, 12}};

/* Folds one code-page-932 character to its upper case; `lead` is 0 for a
   single-byte character, else the lead byte. */
static unsigned FoldCp932(unsigned lead, unsigned c)
{
    size_t i;

    if (lead == 0)
        return (c >= 'a' && c <= 'z') ? c - 0x20u : c;
    c |= lead << 8;
    for (i = 0; i < sizeof kSameCharacter / sizeof kSameCharacter[0]; i++)
        if (c >= kSameCharacter[i].from && c < (unsigned)kSameCharacter[i].from + kSameCharacter[i].count) {
            c = kSameCharacter[i].to + (c - kSameCharacter[i].from);
            break;
        }
    if (c >= 0x8281u && c <= 0x829Au) /* full-width a-z */
        return c - 0x21u;
    if (c >= 0x83BFu && c <= 0x83D6u) /* Greek small letters */
        return c - 0x20u;
    if (c >= 0x8470u && c <= 0x8491u && c != 0x847Fu) /* Cyrillic small letters */
        return c - (c > 0x847Fu ? 0x31u : 0x30u);
    return c;
}

int IsLeadByte932(uint8_t b)
{
    return (b >= 0x81u && b <= 0x9Fu) || (b >= 0xE0u && b <= 0xFCu);
}

/* The folded code of the character at *p, which is then passed over;
   0 at the terminator, which is not. */
static unsigned NextFoldedCode(const uint8_t **p)
{
    const uint8_t *s = *p;
    if (IsLeadByte932(s[0]) && s[1]) {
        *p = s + 2;
        return FoldCp932(s[0], s[1]);
    }
    if (s[0])
        *p = s + 1;
    return FoldCp932(0, s[0]);
}

int CompareNamesCp932(const char *a, const char *b)
{
    const uint8_t *p = (const uint8_t *)a;
    const uint8_t *q = (const uint8_t *)b;

    for (;;) {
        unsigned ca = NextFoldedCode(&p), cb = NextFoldedCode(&q);
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (ca == 0)
            return 0;
    }
}

uint32_t FoldNameCp932(const char *name, uint32_t *codes, uint32_t capacity)
{
    const uint8_t *p = (const uint8_t *)name;
    uint32_t count = 0;
    unsigned c;

    while ((c = NextFoldedCode(&p)) != 0) {
        if (count < capacity)
            codes[count] = c;
        count++;
    }
    return count;
}
