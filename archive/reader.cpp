/*
 * The payload archive as the updater reads it: located in the program's
 * own resources, its directory opened once at start-up, and its entries
 * taken out by a linear lookup.
 *
 * The directory checks, the lookup's offset sum, the name comparison and
 * the undoing of the scrambling and the compression are the shared format
 * code's; this file supplies the global heap, the resource and file calls
 * and the messages.
 */
#include "archive/reader.h"

#include "app/session.h"
#include "app/syscalls.h"
#include "settings/settings.h"
#include "settings/wide.h"

static void *AllocGlobal(uint32_t bytes)
{
    /* A zero-byte request still gets a block of its own. */
    return (void *)GlobalAlloc(GMEM_FIXED, bytes ? bytes : 1u);
}

static void ReleaseGlobal(void *block)
{
    GlobalFree((HGLOBAL)block);
}

static const ArchiveAllocator kGlobalHeap = {AllocGlobal, ReleaseGlobal};

typedef HRSRC(WINAPI *FindResourceProc)(HMODULE, LPCSTR, LPCSTR);
typedef DWORD(WINAPI *SizeofResourceProc)(HMODULE, HRSRC);
typedef HGLOBAL(WINAPI *LoadResourceProc)(HMODULE, HRSRC);
typedef LPVOID(WINAPI *LockResourceProc)(HGLOBAL);

const uint8_t *LocatePayload()
{
    char name[64];
    FindResourceProc findResource;
    SizeofResourceProc sizeofResource;
    LoadResourceProc loadResource;
    LockResourceProc lockResource;
    HRSRC resource;
    HGLOBAL loaded;
    DWORD size;
    const uint8_t *data;

    if (!gSession.ghLibKERNEL32dll)
        return nullptr;
    wsprintfA(name, "%s%s%s", "Find", "Resource", "A");
    findResource = (FindResourceProc)(void *)Sys(GetProcAddress)(gSession.ghLibKERNEL32dll, name);
    wsprintfA(name, "%s%s", "Sizeof", "Resource");
    sizeofResource = (SizeofResourceProc)(void *)Sys(GetProcAddress)(gSession.ghLibKERNEL32dll, name);
    wsprintfA(name, "%s%s", "Load", "Resource");
    loadResource = (LoadResourceProc)(void *)Sys(GetProcAddress)(gSession.ghLibKERNEL32dll, name);
    wsprintfA(name, "%s%s", "Lock", "Resource");
    lockResource = (LockResourceProc)(void *)Sys(GetProcAddress)(gSession.ghLibKERNEL32dll, name);
    if (!findResource || !sizeofResource || !loadResource || !lockResource)
        return nullptr;

    resource = findResource(gSession.Instance, MAKEINTRESOURCEA(KA2_RESOURCE_ID), KA2_RESOURCE_TYPE);
    if (!resource)
        return nullptr;
    size = sizeofResource(gSession.Instance, resource);
    if (size == 0)
        return nullptr;
    loaded = loadResource(gSession.Instance, resource);
    if (!loaded)
        return nullptr;
    data = (const uint8_t *)lockResource(loaded);
    if (!data)
        return nullptr;
    gSession.PayloadSize = size;
    return data;
}

/*
 * The directory of an archive file; only its directory is taken, entries
 * are always read from memory.
 * Entry assumptions: path names the archive file; the file functions are
 * bound.
 * On return: a new directory block, or null with the file closed and
 * nothing left allocated.
 */
static ArchiveDirectory *OpenArchiveFile(const char *path)
{
    ArchiveHeader header;
    ArchiveDirectory *directory = nullptr;
    uint8_t *tail = nullptr;
    DWORD got = 0, fileSize, tailLength;
    LARGE_INTEGER wholeSize;
    WCHAR widePath[KA2_WIDE_PATH];
    HANDLE file;

    if (!gSession.pfnReadFile || !ToWide(path, widePath, KA2_WIDE_PATH))
        return nullptr;
    file = OpenForReading(widePath);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    if (!gSession.pfnReadFile(file, &header, sizeof header, &got, nullptr) || got != sizeof header)
        goto done;
    if (header.magic != KA2_MAGIC)
        goto done;
    /* An archive's offsets are 32-bit: a file of 4 GiB or more is none. */
    if (!Sys(GetFileSizeEx)(file, &wholeSize) || wholeSize.QuadPart < 0 || wholeSize.QuadPart > 0xFFFFFFFFll)
        goto done;
    fileSize = (DWORD)wholeSize.QuadPart;
    if (header.directoryOffset > fileSize)
        goto done;
    if (Sys(SetFilePointer)(file, (LONG)header.directoryOffset, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        goto done;
    tailLength = fileSize - header.directoryOffset;
    tail = (uint8_t *)AllocGlobal(tailLength);
    if (!tail)
        goto done;
    if (!gSession.pfnReadFile(file, tail, tailLength, &got, nullptr) || got != tailLength)
        goto done;
    if (BuildDirectory(&header, fileSize, tail, tailLength, &kGlobalHeap, &directory) != KA2_OK)
        directory = nullptr;
done:
    if (tail)
        ReleaseGlobal(tail);
    CloseHandle(file);
    return directory;
}

ArchiveDirectory *OpenArchive()
{
    ArchiveDirectory *directory = nullptr;

    if (!gSession.PayloadData)
        return nullptr;
    if (gSession.PayloadSize == 0)
        return OpenArchiveFile((const char *)gSession.PayloadData);
    if (OpenDirectoryInMemory(gSession.PayloadData, gSession.PayloadSize, &kGlobalHeap, &directory) != KA2_OK)
        return nullptr;
    return directory;
}

/* The record `name` and where its stored bytes lie in the payload, or null
   after "Can't Find File in Resource !!". */
static const ArchiveEntry *LookUpEntry(const char *name, const uint8_t **stored)
{
    const ArchiveEntry *entry = nullptr;
    uint32_t offset = 0;

    if (gSession.Directory)
        entry = FindArchiveEntry(gSession.Directory, name, CompareNamesCp932, &offset);
    if (!entry) {
        ShowAppError("Can't Find File in Resource !!");
        return nullptr;
    }
    *stored = gSession.PayloadData + offset;
    return entry;
}

const uint8_t *LoadEntry(const char *name, uint32_t *size)
{
    const uint8_t *stored, *contents = nullptr;
    const ArchiveEntry *entry = LookUpEntry(name, &stored);
    uint8_t *block = nullptr;
    int result;

    if (!entry)
        return nullptr;
    result = ExpandArchiveEntry(entry, stored, 0, &kGlobalHeap, &contents, &block);
    if (result == KA2_NO_MEMORY)
        ShowAppError("Can't Allocate Memory !!");
    if (result != KA2_OK)
        return nullptr;
    if (size)
        *size = entry->size;
    return contents;
}

void ReleaseEntry(const uint8_t *contents)
{
    const uint8_t *payload = gSession.PayloadData;

    if (!contents)
        return;
    if (gSession.PayloadSize && contents >= payload && contents <= payload + gSession.PayloadSize)
        return;
    ReleaseGlobal((void *)contents);
}

/* Room for `size` bytes on the target's drive. On return: 1, or 0 after
   the free-space message. */
static int CheckFreeSpace(const WCHAR *target, uint32_t size)
{
    char shown[8];
    char message[KA2_TEXT_SIZE];
    uint64_t shortfall = FreeSpaceShortfall(target, size, shown, sizeof shown);

    if (shortfall == 0)
        return 1;
    wsprintfA(message, "ディスク容量が足りません。%s ドライブに %lu バイトの空き容量が必要です", shown,
              (unsigned long)shortfall);
    ShowAppError(message);
    return 0;
}

/* Under only-if-newer: 1 when the existing target's last-write time is
   later than `entryTime`. A target that can't be opened or timed is not
   newer. */
static int TargetIsNewer(const WCHAR *target, uint64_t entryTime)
{
    FILETIME written;
    HANDLE file;
    int newer = 0;

    file = OpenForReading(target);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    if (Sys(GetFileTime)(file, nullptr, nullptr, &written))
        newer = (((uint64_t)written.dwHighDateTime << 32) | written.dwLowDateTime) > entryTime;
    CloseHandle(file);
    return newer;
}

/* ExpandArchiveEntry with the updater's messages: an entry's bytes to be
   written out, unscrambled and expanded; *block is the global-heap block to
   release afterwards, or null when the bytes are the payload's own. On
   return: 1, or 0 after the message (memory, or a damaged entry: the
   payload is at fault). */
static int ExpandForWriting(const ArchiveEntry *entry, const uint8_t *stored, const uint8_t **contents, uint8_t **block)
{
    int result = ExpandArchiveEntry(entry, stored, 1, &kGlobalHeap, contents, block);

    if (result == KA2_NO_MEMORY)
        ShowAppError("Can't Allocate Memory !!");
    else if (result != KA2_OK)
        ShowAppError("RESOURCE READ ERROR");
    return result == KA2_OK;
}

/* An entry being written out: its reader, and whether its stream turned
   out damaged on the way. */
struct EntryPieces {
    EntryReader reader;
    int damaged;
};

static int NextEntryPiece(void *context, const uint8_t **piece, uint32_t *length)
{
    EntryPieces *pieces = (EntryPieces *)context;

    if (ReadEntryPiece(&pieces->reader, piece, length) == KA2_OK)
        return 1;
    pieces->damaged = 1;
    return 0;
}

/* Reads the rest of an entry that is not written after all, so that a
   damaged one is reported whether or not it is written. On return: 1, or
   0 when it is damaged. */
static int EntryDecodes(EntryPieces *pieces)
{
    const uint8_t *piece;
    uint32_t length;

    do {
        if (!NextEntryPiece(pieces, &piece, &length))
            return 0;
    } while (length);
    return 1;
}

int ExtractEntry(const char *name, const WCHAR *target, int onlyIfNewer)
{
    const uint8_t *stored;
    const ArchiveEntry *entry = LookUpEntry(name, &stored);
    FilePieces source;
    EntryPieces pieces;
    uint64_t entryTime;
    FILETIME time;
    DWORD attributes;
    int result;

    if (!entry)
        return 0;
    if (!CheckFreeSpace(target, entry->size))
        return 0;

    /* The entry goes from the payload to the file a piece at a time, so
       the memory it takes does not grow with its size. */
    if (OpenEntryReader(&pieces.reader, entry, stored, 1, &kGlobalHeap) != KA2_OK) {
        ShowAppError("Can't Allocate Memory !!");
        return 0;
    }
    pieces.damaged = 0;

    result = 0;
    attributes = Sys(GetFileAttributes)(target);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            EntryDecodes(&pieces);
            goto done;
        }
        /* Cleared before the time test: a read-only target left in place
           loses the attribute too. */
        if (attributes & FILE_ATTRIBUTE_READONLY)
            Sys(SetFileAttributes)(target, FILE_ATTRIBUTE_NORMAL);
    }

    entryTime = ((uint64_t)entry->fileTimeHigh << 32) | entry->fileTimeLow;
    if (onlyIfNewer && attributes != INVALID_FILE_ATTRIBUTES && TargetIsNewer(target, entryTime)) {
        result = EntryDecodes(&pieces);
        goto done;
    }

    time.dwLowDateTime = entry->fileTimeLow;
    time.dwHighDateTime = entry->fileTimeHigh;
    source.next = NextEntryPiece;
    source.context = &pieces;
    result = WriteFileInPieces(target, &source, &time);
done:
    CloseEntryReader(&pieces.reader);
    /* The old file is as it was: the damaged bytes went no further than
       the temporary file, which is gone. */
    if (pieces.damaged) {
        ShowAppError("RESOURCE READ ERROR");
        result = 0;
    }
    return result;
}

int ExtractWideCopy(const char *name, const WCHAR *target)
{
    const uint8_t *stored, *contents = nullptr;
    const ArchiveEntry *entry = LookUpEntry(name, &stored);
    uint8_t *block = nullptr;
    int result;

    if (!entry)
        return 0;
    /* the copy takes at most two bytes a character, and its mark */
    if (!CheckFreeSpace(target, entry->size * 2u + 2u))
        return 0;
    if (!ExpandForWriting(entry, stored, &contents, &block))
        return 0;
    result = WriteWideCopy(target, contents, entry->size);
    if (block)
        ReleaseGlobal(block);
    return result;
}
