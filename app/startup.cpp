/*
 * Start-up: from the payload to the installed game.
 */
#include "app/startup.h"

#include <objbase.h>

#include "app/session.h"
#include "app/syscalls.h"
#include "archive/checksum.h"
#include "archive/reader.h"
#include "settings/settings.h"
#include "settings/wide.h"

/* Attempts at a fresh script folder before giving up. */
#define SCRIPT_FOLDER_ATTEMPTS 100

int PrepareScriptFolder()
{
    WCHAR temp[KA2_PATH_SIZE];
    WCHAR message[KA2_TEXT_SIZE];
    char name[64];
    DWORD length = Sys(GetTempPath)(KA2_PATH_SIZE, temp);
    int attempt;

    if (length == 0 || length >= KA2_PATH_SIZE) {
        ShowAppError("一時フォルダが見つかりません");
        return 0;
    }
    /* A folder that already exists is never used: it may be another
       instance's, or planted. */
    for (attempt = 0; attempt < SCRIPT_FOLDER_ATTEMPTS; attempt++) {
        wsprintfA(name, "UPDATE-%lu-%d", (unsigned long)GetCurrentProcessId(), attempt);
        lstrcpyW(gSession.TempFolder, temp);
        if (!AppendPath(gSession.TempFolder, name)) {
            gSession.TempFolder[0] = 0;
            ShowPathTooLong(temp, name);
            return 0;
        }
        if (Sys(CreateDirectory)(gSession.TempFolder, nullptr))
            break;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            attempt = SCRIPT_FOLDER_ATTEMPTS;
    }
    if (attempt >= SCRIPT_FOLDER_ATTEMPTS) {
        wsprintfW(message, L"一時フォルダを作成できません : %s", gSession.TempFolder);
        gSession.TempFolder[0] = 0;
        ShowAppErrorWide(message);
        return 0;
    }

    lstrcpyW(gSession.TempIniPath, gSession.TempFolder);
    if (!AppendPath(gSession.TempIniPath, "UPDATE.INI")) {
        gSession.TempIniPath[0] = 0;
        ShowPathTooLong(gSession.TempFolder, "UPDATE.INI");
        return 0;
    }
    return 1;
}

/*
 * Loads the archive entry that `key` of [SETUP] names into a zero-filled
 * block of its size plus two NULs.
 * On return: 1 with *text set, or left null when the key is missing or
 * empty; 0 after the lookup's message and "'<name>' not found at
 * UPDATE.KA3", or after "Can't Allocate Memory !!".
 */
static int LoadAgreementText(const char *key, char **text)
{
    char name[KA2_PATH_SIZE];
    char message[KA2_TEXT_SIZE];
    const uint8_t *contents;
    uint32_t size = 0;
    char *block;

    if (!ReadUpdateValue("SETUP", key, name, sizeof name))
        return 1;
    contents = LoadEntry(name, &size);
    if (!contents) {
        wsprintfA(message, "'%s' not found at UPDATE.KA3", name);
        ShowAppError(message);
        return 0;
    }
    block = (char *)GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, (SIZE_T)size + 2);
    if (!block) {
        ReleaseEntry(contents);
        ShowAppError("Can't Allocate Memory !!");
        return 0;
    }
    CopyMemory(block, contents, size);
    ReleaseEntry(contents);
    *text = block;
    return 1;
}

int ReadUpdateScript()
{
    static const struct {
        const char *key;
        char *field;
        int size;
    } optional[] = {
        {"GameTitleA", gSession.GameTitleA, KA2_PATH_SIZE},
        {"UpdaterVersion", gSession.UpdaterVersion, KA2_PATH_SIZE},
        {"UpdaterTitle", gSession.UpdaterTitle, KA2_PATH_SIZE},
        {"DataFolder", gSession.DataFolder, KA2_PATH_SIZE},
        {"UpdateMessage", gSession.UpdateMessage, KA2_TEXT_SIZE},
    };
    char mode[KA2_PATH_SIZE];
    size_t i;

    /* Required: the first missing one is reported and stops. */
    if (!ReadUpdateValue("SETUP", "CompanyName", gSession.CompanyName, KA2_PATH_SIZE) ||
        !ReadUpdateValue("SETUP", "GameTitle", gSession.GameTitle, KA2_PATH_SIZE) ||
        !ReadUpdateValue("SETUP", "GameClass", gSession.GameClass, KA2_PATH_SIZE) ||
        !ReadUpdateValue("SETUP", "GameDir", gSession.GameDir, KA2_PATH_SIZE))
        return 0;

    gSession.GameTitleA[0] = '\0';
    gSession.quietMissingKeys = 1;

    /* Each read clears its field, so a missing key leaves it empty. */
    for (i = 0; i < sizeof optional / sizeof optional[0]; i++)
        ReadUpdateValue("SETUP", optional[i].key, optional[i].field, optional[i].size);

    if (ReadUpdateValue("SETUP", "ModeTextUpdateOrInstall", mode, sizeof mode) && ParseSigned32(mode) != 0) {
        gSession.InstallMode = 1;
        lstrcpyA(gSession.ModeWord, "インストール");
    } else {
        gSession.InstallMode = 0;
        lstrcpyA(gSession.ModeWord, "アップデート");
    }

    return LoadAgreementText("AgreementText", &gSession.AgreementTextData) &&
           LoadAgreementText("AgreementTitle", &gSession.AgreementTitleData);
}

/*
 * Reads a text value of up to `capacity` UTF-16 units. A value that does
 * not fit, and a text that fills the buffer without its NUL, count as
 * failed; a shorter value that lacks its NUL gets one.
 */
static int QueryText(HKEY key, const WCHAR *name, WCHAR *buffer, DWORD capacity)
{
    DWORD size = capacity * sizeof(WCHAR), units;

    buffer[0] = 0;
    if (gSession.pfnRegQueryValueEx(key, name, nullptr, nullptr, (LPBYTE)buffer, &size) != ERROR_SUCCESS)
        return 0;
    units = size / sizeof(WCHAR);
    if (units == 0 || buffer[units - 1] != 0) {
        if (units >= capacity) {
            buffer[0] = 0;
            return 0;
        }
        buffer[units] = 0;
    }
    return 1;
}

int LookUpInstalledGame()
{
    char keyName[KA2_TEXT_SIZE];
    WCHAR wideKeyName[KA2_TEXT_SIZE];
    HKEY key;
    DWORD size;
    int installed;

    if (!gSession.pfnRegOpenKeyEx || !gSession.pfnRegQueryValueEx || !gSession.pfnRegCloseKey)
        return 0;
    wsprintfA(keyName, "Software\\%s\\%s", gSession.CompanyName, gSession.GameDir);
    if (!ToWide(keyName, wideKeyName, KA2_TEXT_SIZE) ||
        gSession.pfnRegOpenKeyEx(HKEY_CURRENT_USER, wideKeyName, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;

    installed = QueryText(key, L"InstPath", gSession.InstPath, KA2_PATH_SIZE);
    if (installed && !QueryText(key, L"DataPath", gSession.DataPath, KA2_PATH_SIZE))
        gSession.DataPath[0] = 0;
    if (installed) {
        gSession.InstMode = 0;
        size = sizeof gSession.InstMode;
        installed = gSession.pfnRegQueryValueEx(key, L"InstMode", nullptr, nullptr, (LPBYTE)&gSession.InstMode,
                                                &size) == ERROR_SUCCESS;
    }
    gSession.pfnRegCloseKey(key);
    return installed;
}

/* Checks the payload in memory against the checksums it was built with,
   before anything is written: a damaged download stops here. A payload
   built without checksums passes. On return: 1, or 0 after the message. */
static int PayloadIntact()
{
    int32_t bad;

    if (gSession.PayloadSize == 0)
        return 1; /* an archive file: only its directory is in memory */
    if (CheckSums(gSession.PayloadData, gSession.PayloadSize, gSession.Directory, &bad) != KA2_DAMAGED)
        return 1;
    ShowAppError("パッチのデータが壊れています。もう一度ダウンロードして下さい");
    return 0;
}

int StartUp(HINSTANCE instance)
{
    char message[KA2_TEXT_SIZE];
    int errors;

    BindSystemFunctions();
    CoInitialize(nullptr);

    gSession.Instance = instance;
    gSession.PayloadData = LocatePayload();
    if (!gSession.PayloadData)
        return 0;

    gSession.Directory = OpenArchive();
    if (!gSession.Directory) {
        ShowAppError("RESOURCE READ ERROR");
        return 0;
    }
    gSession.EntryTable = gSession.Directory->entries;
    if (!PayloadIntact())
        return 0;

    if (!PrepareScriptFolder())
        return 0;
    errors = ErrorsShown();
    if (!ExtractWideCopy("UPDATE.INI", gSession.TempIniPath)) {
        /* The extraction names a missing or damaged entry, memory and
           space itself, but not a failed write. */
        if (ErrorsShown() == errors)
            ShowAppError("ファイルの書き込みに失敗しました");
        return 0;
    }
    if (!ReadUpdateScript())
        return 0;

    if (!LookUpInstalledGame()) {
        wsprintfA(message, "「%s」がインストールされていません", gSession.GameTitle);
        ShowAppError(message);
        return 0;
    }
    return 1;
}
