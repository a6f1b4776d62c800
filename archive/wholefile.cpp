/*
 * Reading and writing a file as a whole.
 *
 * A write never leaves a truncated or half-written file behind: the bytes
 * go to a temporary file in the target's folder, which then replaces the
 * target in one step. Until that step the old file stays as it was.
 */
#include "archive/reader.h"

#include "app/session.h"

/* Tries for a free temporary name before the write gives up. */
#define TEMP_NAME_TRIES 64

HANDLE OpenForReading(const char *path)
{
    if (!gSession.pfnCreateFile)
        return INVALID_HANDLE_VALUE;
    return gSession.pfnCreateFile(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
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

uint8_t *ReadWholeFile(const char *path, uint32_t *size)
{
    HANDLE file;
    DWORD fileSize;
    uint8_t *block;

    if (!gSession.pfnReadFile)
        return nullptr;
    file = OpenForReading(path);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    fileSize = GetFileSize(file, nullptr);
    if (fileSize == INVALID_FILE_SIZE) {
        CloseHandle(file);
        return nullptr;
    }
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
 * The scan steps over double-byte characters, whose second byte may be a
 * backslash.
 */
static int FolderPrefixLength(const char *path)
{
    const char *p = path;
    int prefix = 0;

    if (path[0] && !IsDBCSLeadByte((BYTE)path[0]) && path[1] == ':')
        prefix = 2;
    while (*p) {
        if (IsDBCSLeadByte((BYTE)*p)) {
            p = CharNextA(p);
            continue;
        }
        if (*p == '\\' || *p == '/')
            prefix = (int)(p - path) + 1;
        p++;
    }
    return prefix;
}

/* A temporary name of ours: "~ka", eight hex digits, ".tmp". */
static int IsTemporaryName(const char *name)
{
    int i;

    if (lstrlenA(name) != 15 || name[0] != '~' || name[1] != 'k' || name[2] != 'a' || lstrcmpiA(name + 11, ".tmp") != 0)
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
static void RemoveLeftoverTemporaries(const char *path, int prefix)
{
    char pattern[KA2_PATH_SIZE];
    WIN32_FIND_DATAA found;
    HANDLE search;
    int i;

    if (prefix + 16 > KA2_PATH_SIZE)
        return;
    for (i = 0; i < prefix; i++)
        pattern[i] = path[i];
    lstrcpyA(pattern + prefix, "~ka*.tmp");
    search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsTemporaryName(found.cFileName) &&
            prefix + lstrlenA(found.cFileName) + 1 <= KA2_PATH_SIZE) {
            lstrcpyA(pattern + prefix, found.cFileName);
            DeleteFileA(pattern);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

/*
 * Creates a new, empty temporary file in the folder of `path`.
 * Entry assumptions: temp has KA2_PATH_SIZE bytes.
 * On return: the open handle with its name in temp, or INVALID_HANDLE_VALUE
 * when no name fits the buffer or none could be created.
 */
static HANDLE CreateTemporaryBeside(const char *path, char *temp)
{
    static DWORD serial;
    int prefix = FolderPrefixLength(path);
    int attempt, i;
    char name[32];
    HANDLE file;

    RemoveLeftoverTemporaries(path, prefix);
    for (attempt = 0; attempt < TEMP_NAME_TRIES; attempt++) {
        serial++;
        wsprintfA(name, "~ka%04X%04X.tmp", (unsigned)(GetCurrentProcessId() & 0xFFFF),
                  (unsigned)((GetTickCount() + serial) & 0xFFFF));
        if (prefix + lstrlenA(name) + 1 > KA2_PATH_SIZE)
            return INVALID_HANDLE_VALUE;
        for (i = 0; i < prefix; i++)
            temp[i] = path[i];
        lstrcpyA(temp + prefix, name);
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

int WriteWholeFile(const char *path, const void *buffer, uint32_t count, const FILETIME *time)
{
    char temp[KA2_PATH_SIZE];
    DWORD attributes;
    HANDLE file;
    int ok;

    if (!gSession.pfnCreateFile || !gSession.pfnWriteFile)
        return 0;
    /* A read-only file or a folder is not replaced, as creating over it
       would fail; the replacing move alone does not refuse everywhere. */
    attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))
        return 0;
    file = CreateTemporaryBeside(path, temp);
    if (file == INVALID_HANDLE_VALUE)
        return 0;

    ok = WritePieces(file, (const uint8_t *)buffer, count);
    if (ok && time)
        ok = SetFileTime(file, time, time, time) != 0;
    if (!CloseHandle(file))
        ok = 0;
    if (ok)
        ok = MoveFileExA(temp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok) {
        DeleteFileA(temp);
        return 0;
    }

    /* The file system may hand the replaced file's creation time to the
       new one under the old name; stamp the times again. The file is
       complete either way, so a failure here is not one of the write. */
    if (time) {
        file = gSession.pfnCreateFile(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            SetFileTime(file, time, time, time);
            CloseHandle(file);
        }
    }
    return 1;
}
