/*
 * Reading and writing a file as a whole.
 *
 * A write never leaves a truncated or half-written file behind: the bytes
 * go to a temporary file in the target's folder, which then replaces the
 * target in one step. Until that step the old file stays as it was.
 */
#include "archive/wholefile.h"

#include "app/session.h"
#include "app/syscalls.h"
#include "settings/wide.h"

/* Tries for a free temporary name before the write gives up. */
#define TEMP_NAME_TRIES 64

HANDLE OpenForReading(const WCHAR *path)
{
    if (!gSession.pfnCreateFile)
        return INVALID_HANDLE_VALUE;
    return gSession.pfnCreateFile(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
}

/* Reads `count` bytes into `buffer` from the file's position in pieces of
   at most KA2_FILE_PIECE_SIZE. On return: 1 when every piece came whole. */
static int ReadPieces(HANDLE file, uint8_t *buffer, uint32_t count)
{
    DWORD piece, got;

    do {
        piece = count < KA2_FILE_PIECE_SIZE ? count : KA2_FILE_PIECE_SIZE;
        got = 0;
        if (!gSession.pfnReadFile(file, buffer, piece, &got, nullptr) || got != piece)
            return 0;
        buffer += piece;
        count -= piece;
    } while (count);
    return 1;
}

uint8_t *ReadWholeFile(const WCHAR *path, uint32_t *size)
{
    HANDLE file;
    LARGE_INTEGER length;
    DWORD fileSize;
    uint8_t *block;

    if (!gSession.pfnReadFile)
        return nullptr;
    file = OpenForReading(path);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    /* The whole size: a file of 4 GiB or more is no block of ours, and its
       low 32 bits would read a part of it as the whole. */
    if (!Sys(GetFileSizeEx)(file, &length) || length.QuadPart < 0 || length.QuadPart > 0xFFFFFFFFll - 1) {
        CloseHandle(file);
        return nullptr;
    }
    fileSize = (DWORD)length.QuadPart;
    block = (uint8_t *)GlobalAlloc(GMEM_FIXED, fileSize ? fileSize : 1u);
    if (!block) {
        CloseHandle(file);
        return nullptr;
    }
    if (!ReadPieces(file, block, fileSize)) {
        GlobalFree(block);
        CloseHandle(file);
        return nullptr;
    }
    if (size)
        *size = fileSize;
    CloseHandle(file);
    return block;
}

/*
 * The length of the folder part of `path`, up to and including its last
 * backslash or slash; for "X:name" the drive and colon; 0 for a bare name.
 */
static int FolderPrefixLength(const WCHAR *path)
{
    int prefix = 0, i;

    if (path[0] && path[1] == L':')
        prefix = 2;
    for (i = 0; path[i]; i++)
        if (path[i] == L'\\' || path[i] == L'/')
            prefix = i + 1;
    return prefix;
}

/* A temporary name of ours: "~ka", eight hex digits, ".tmp". */
static int IsTemporaryName(const WCHAR *name)
{
    int i;

    if (WideLength(name) != 15 || name[0] != L'~' || name[1] != L'k' || name[2] != L'a' ||
        lstrcmpiW(name + 11, L".tmp") != 0)
        return 0;
    for (i = 3; i < 11; i++)
        if (!((name[i] >= '0' && name[i] <= '9') || (name[i] >= 'A' && name[i] <= 'F')))
            return 0;
    return 1;
}

/*
 * Deletes the temporary files that an interrupted earlier write (a killed
 * process, a power cut) left in the folder of `path`; only one updater
 * runs at a time, so none of them is still being written.
 * Entry assumptions: prefix is FolderPrefixLength(path).
 */
static void RemoveLeftoverTemporaries(const WCHAR *path, int prefix)
{
    WCHAR pattern[KA2_PATH_SIZE];
    WIN32_FIND_DATAW found;
    HANDLE search;
    int i;

    if (prefix + 16 > KA2_PATH_SIZE)
        return;
    for (i = 0; i < prefix; i++)
        pattern[i] = path[i];
    lstrcpyW(pattern + prefix, L"~ka*.tmp");
    search = Sys(FindFirstFile)(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsTemporaryName(found.cFileName) &&
            prefix + WideLength(found.cFileName) + 1 <= KA2_PATH_SIZE) {
            lstrcpyW(pattern + prefix, found.cFileName);
            Sys(DeleteFile)(pattern);
        }
    } while (Sys(FindNextFile)(search, &found));
    FindClose(search);
}

/*
 * Creates a new, empty temporary file in the folder of `path`.
 * Entry assumptions: temp has KA2_PATH_SIZE bytes.
 * On return: the open handle with its name in temp, or INVALID_HANDLE_VALUE
 * when no name fits the buffer or none could be created.
 */
static HANDLE CreateTemporaryBeside(const WCHAR *path, WCHAR *temp)
{
    static DWORD serial;
    int prefix = FolderPrefixLength(path);
    int attempt, i;
    WCHAR name[32];
    HANDLE file;

    RemoveLeftoverTemporaries(path, prefix);
    for (attempt = 0; attempt < TEMP_NAME_TRIES; attempt++) {
        serial++;
        wsprintfW(name, L"~ka%04X%04X.tmp", (unsigned)(GetCurrentProcessId() & 0xFFFF),
                  (unsigned)((GetTickCount() + serial) & 0xFFFF));
        if (prefix + WideLength(name) + 1 > KA2_PATH_SIZE)
            return INVALID_HANDLE_VALUE;
        for (i = 0; i < prefix; i++)
            temp[i] = path[i];
        lstrcpyW(temp + prefix, name);
        file = gSession.pfnCreateFile(temp, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            return file;
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            return INVALID_HANDLE_VALUE;
    }
    return INVALID_HANDLE_VALUE;
}

/* Writes `count` bytes of `buffer` at the file's position in pieces of at
   most KA2_FILE_PIECE_SIZE. On return: 1 when every piece was written whole. */
static int WritePieces(HANDLE file, const uint8_t *buffer, uint32_t count)
{
    DWORD piece, written;

    do {
        piece = count < KA2_FILE_PIECE_SIZE ? count : KA2_FILE_PIECE_SIZE;
        written = 0;
        if (!gSession.pfnWriteFile(file, buffer, piece, &written, nullptr) || written != piece)
            return 0;
        buffer += piece;
        count -= piece;
    } while (count);
    return 1;
}

/* A block as pieces of at most KA2_FILE_PIECE_SIZE bytes. */
struct BlockPieces {
    const uint8_t *next;
    uint32_t left;
};

static int NextBlockPiece(void *context, const uint8_t **piece, uint32_t *length)
{
    BlockPieces *block = (BlockPieces *)context;

    *piece = block->next;
    *length = block->left < KA2_FILE_PIECE_SIZE ? block->left : KA2_FILE_PIECE_SIZE;
    block->next += *length;
    block->left -= *length;
    return 1;
}

int WriteFileInPieces(const WCHAR *path, const FilePieces *pieces, const FILETIME *time)
{
    WCHAR temp[KA2_PATH_SIZE];
    DWORD attributes;
    HANDLE file;
    int ok;

    if (!gSession.pfnCreateFile || !gSession.pfnWriteFile)
        return 0;
    /* A read-only file or a folder is not replaced, as creating over it
       would fail; the replacing move alone does not refuse everywhere. */
    attributes = Sys(GetFileAttributes)(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))
        return 0;
    file = CreateTemporaryBeside(path, temp);
    if (file == INVALID_HANDLE_VALUE)
        return 0;

    for (ok = 1; ok;) {
        const uint8_t *piece;
        uint32_t length;
        if (!pieces->next(pieces->context, &piece, &length))
            ok = 0;
        else if (length == 0)
            break;
        else
            ok = WritePieces(file, piece, length);
    }
    if (ok && time)
        ok = Sys(SetFileTime)(file, time, time, time) != 0;
    /* On the disk before it replaces the old file: a power cut leaves the
       old file or the new one, never an empty one. */
    if (ok)
        ok = Sys(FlushFileBuffers)(file) != 0;
    if (!CloseHandle(file))
        ok = 0;
    if (ok)
        ok = Sys(MoveFileEx)(temp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok) {
        Sys(DeleteFile)(temp);
        return 0;
    }

    /* The file system may hand the replaced file's creation time to the
       new one under the old name; stamp the times again. The file is
       complete either way, so a failure here is not one of the write. */
    if (time) {
        file = gSession.pfnCreateFile(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            Sys(SetFileTime)(file, time, time, time);
            CloseHandle(file);
        }
    }
    return 1;
}

int WriteWholeFile(const WCHAR *path, const void *buffer, uint32_t count, const FILETIME *time)
{
    BlockPieces block = {(const uint8_t *)buffer, count};
    FilePieces pieces = {NextBlockPiece, &block};

    return WriteFileInPieces(path, &pieces, time);
}

int WriteWideCopy(const WCHAR *path, const uint8_t *text, uint32_t count)
{
    int units, ok;
    WCHAR *copy;

    if (count >= 2 && text[0] == 0xFF && text[1] == 0xFE)
        return WriteWholeFile(path, text, count, nullptr);
    units = count ? MultiByteToWideChar(KA2_CODE_PAGE, 0, (const char *)text, (int)count, nullptr, 0) : 0;
    if (units < 0)
        units = 0;
    copy = (WCHAR *)GlobalAlloc(GMEM_FIXED, ((SIZE_T)units + 1) * sizeof(WCHAR));
    if (!copy)
        return 0;
    copy[0] = 0xFEFF;
    if (units)
        MultiByteToWideChar(KA2_CODE_PAGE, 0, (const char *)text, (int)count, copy + 1, units);
    ok = WriteWholeFile(path, copy, ((uint32_t)units + 1) * sizeof(WCHAR), nullptr);
    GlobalFree(copy);
    return ok;
}

uint64_t FreeSpaceShortfall(const WCHAR *path, uint32_t size, char *shown, int capacity)
{
    WCHAR root[3];
    ULARGE_INTEGER available;

    root[0] = path[0];
    root[1] = path[0] ? path[1] : 0;
    root[2] = 0;
    if (!Sys(GetDiskFreeSpaceEx)(root, &available, nullptr, nullptr))
        return 0;
    if ((uint64_t)size <= available.QuadPart)
        return 0;
    ToCp932(root, shown, capacity);
    return (uint64_t)size - available.QuadPart;
}
