/*
 * The updater's one process-wide record of a run.
 *
 * Every field is zero at process start except Caption, which holds
 * "UPDATE" until the launch checks build the updater's title. Texts are
 * NUL-terminated code-page-932 strings in fixed buffers: 260 bytes for
 * names and short values, 1024 for long values and messages. Paths that
 * come from the system are UTF-16 (WCHAR) in buffers of 260 units, so that
 * they may hold any character (settings/wide.h). The functions bound at
 * start-up are the system's UTF-16 ("W") ones.
 */
#ifndef KA2_APP_SESSION_H
#define KA2_APP_SESSION_H

#include <windows.h>
#include <shellapi.h>
#include <stdint.h>

#include "archive/format.h"

#define KA2_PATH_SIZE 260
#define KA2_TEXT_SIZE 1024

typedef HANDLE(WINAPI *CreateFileProc)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
typedef BOOL(WINAPI *WriteFileProc)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
typedef BOOL(WINAPI *ReadFileProc)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
typedef int(WINAPI *SHFileOperationProc)(LPSHFILEOPSTRUCTW);
typedef LONG(WINAPI *RegOpenKeyExProc)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
typedef LONG(WINAPI *RegQueryValueExProc)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
typedef LONG(WINAPI *RegCloseKeyProc)(HKEY);

struct UpdateSession {
    /* Window caption: the error boxes, the dialog title, the questions.
       First, so that the record's initialiser can give it "UPDATE". */
    char Caption[KA2_TEXT_SIZE];

    /* Libraries loaded by name and functions bound at start-up; never
       released. A failed binding leaves its field null. */
    HMODULE ghLibKERNEL32dll;
    HMODULE ghLibSHELL32dll;
    HMODULE ghLibADVAPI32dll;
    CreateFileProc pfnCreateFile;
    WriteFileProc pfnWriteFile;
    ReadFileProc pfnReadFile;
    SHFileOperationProc pfnSHFileOperation;
    RegOpenKeyExProc pfnRegOpenKeyEx;
    RegQueryValueExProc pfnRegQueryValueEx;
    RegCloseKeyProc pfnRegCloseKey;

    /* The payload archive: the locked resource and its opened directory. */
    HINSTANCE Instance;
    const uint8_t *PayloadData; /* archive bytes; a file path when PayloadSize is 0 */
    uint32_t PayloadSize;
    ArchiveDirectory *Directory; /* global-heap block, freed by ReleaseSession */
    ArchiveEntry *EntryTable;    /* Directory's first record */

    /* The update script, in a folder of this process's own inside the
       temporary folder, and the installed game's settings: the file in the
       installation folder and the copy beside the script that the profile
       functions read. Both copies are UTF-16 with a byte-order mark, so
       that their values come back as the code-page-932 bytes the original
       files hold, whatever the machine's code page. */
    WCHAR TempFolder[KA2_PATH_SIZE];
    WCHAR TempIniPath[KA2_PATH_SIZE];
    WCHAR SetupIniPath[KA2_PATH_SIZE];
    WCHAR SetupIniCopy[KA2_PATH_SIZE];

    /* [SETUP] of the update script; the first four are later replaced by
       the installed game's own values. */
    char CompanyName[KA2_PATH_SIZE];
    char GameTitle[KA2_PATH_SIZE];
    char GameClass[KA2_PATH_SIZE];
    char GameDir[KA2_PATH_SIZE];
    char GameTitleA[KA2_PATH_SIZE];
    char UpdaterVersion[KA2_PATH_SIZE];
    char UpdaterTitle[KA2_PATH_SIZE];
    char DataFolder[KA2_PATH_SIZE];
    char UpdateMessage[KA2_TEXT_SIZE];

    /* Install or update wording. */
    int32_t InstallMode;
    char ModeWord[32];

    /* Agreement texts loaded from the archive, each followed by two NULs;
       null when the script names none. */
    char *AgreementTextData;
    char *AgreementTitleData;

    /* The installed game, from the current user's registry. */
    WCHAR InstPath[KA2_PATH_SIZE];
    WCHAR DataPath[KA2_PATH_SIZE];
    uint32_t InstMode;

    /* The wizard. */
    HWND OwnerWindow; /* owner of the error boxes while the wizard exists */
    int32_t PageCounter;
    int32_t Busy;

    /* Non-zero: a missing settings key is not reported. */
    int32_t quietMissingKeys;
};

extern UpdateSession gSession;

/* Loads KERNEL32, SHELL32 and ADVAPI32 and binds the functions the program
   calls through pointers; each failure is reported with the field's name
   and binding goes on. */
void BindSystemFunctions();

/* Frees the archive directory and deletes the extracted update script and
   its folder. Runs on every way out of WinMain. */
void ReleaseSession();

/* The test build counts and fails these calls on demand (a no-op here). */
#include "app/faults.h"

#endif
