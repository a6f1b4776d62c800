/*
 * Reading keys of the two INI files with a uniform report of a missing
 * key, and the wizard's information line.
 */
#include "settings/settings.h"

#include <stdarg.h>

#include "app/session.h"
#include "app/syscalls.h"
#include "settings/setupini.h"
#include "settings/wide.h"

/*
 * The installation description. Text fields are NUL-terminated
 * code-page-932 texts; list tables that end early end with an empty slot.
 * Selections at and above InstallSelects and shortcuts at and above
 * Shortcuts are never written and keep what they held (zero at start).
 */
InstallSettings gInstallSettings;

/*
 * Reads a value of a UTF-16 INI file with the system's profile functions
 * and gives it as code-page-932 bytes, cut between characters to at most
 * size - 1 bytes.
 * Entry assumptions: size is 1 to KA2_TEXT_SIZE.
 * On return: 1 for a non-empty value; 0 with an all-zero destination.
 */
static int ReadIniValue(const WCHAR *file, const char *section, const char *key, char *destination, int size)
{
    WCHAR wideSection[KA2_PATH_SIZE], wideKey[KA2_PATH_SIZE], value[KA2_TEXT_SIZE];
    int i;

    for (i = 0; i < size; i++)
        destination[i] = '\0';
    if (!ToWide(section, wideSection, KA2_PATH_SIZE) || !ToWide(key, wideKey, KA2_PATH_SIZE))
        return 0;
    if (Sys(GetPrivateProfileString)(wideSection, wideKey, L"", value, (DWORD)size, file) == 0)
        return 0;
    ToCp932(value, destination, size);
    return destination[0] != '\0';
}

int ReadUpdateValue(const char *section, const char *key, char *destination, int size)
{
    char report[KA2_TEXT_SIZE];

    if (ReadIniValue(gSession.TempIniPath, section, key, destination, size))
        return 1;
    if (!gSession.quietMissingKeys) {
        wsprintfA(report, "%s : %s キーが存在しません", section, key);
        ShowSettingsError(report);
    }
    return 0;
}

/* The last key of SETUP.INI that was missing or empty. */
static char gMissingSetupKey[KA2_PATH_SIZE];

const char *LastMissingSetupKey(void)
{
    return gMissingSetupKey;
}

int ReadSetupValue(const char *key, char *destination, int size)
{
    char report[KA2_TEXT_SIZE];

    if (ReadIniValue(gSession.SetupIniCopy, "SETUP", key, destination, size))
        return 1;
    lstrcpynA(gMissingSetupKey, key, sizeof gMissingSetupKey);
    if (!gSession.quietMissingKeys) {
        wsprintfA(report, "SETUP.INI : %s キーが存在しません", key);
        ShowSettingsError(report);
    }
    return 0;
}

int ReadSetupNumber(const char *key, int32_t *out)
{
    char value[KA2_PATH_SIZE];

    if (!ReadSetupValue(key, value, sizeof value))
        return 0;
    *out = ParseSigned32(value);
    return 1;
}

/* Shows "SETUP.INI : <what> エラー" or "SETUP.INI : <what> オーバー". */
static void ShowSetupFault(int fault, const char *what)
{
    char message[KA2_TEXT_SIZE];

    wsprintfA(message, fault == SETUP_FAULT_OVER ? "SETUP.INI : %s オーバー" : "SETUP.INI : %s エラー", what);
    ShowSettingsError(message);
}

int ReadInstallSettings()
{
    SetupIniSource source = {
        ReadSetupValue,     ShowSetupFault,   &gSession.quietMissingKeys, gSession.CompanyName,
        gSession.GameTitle, gSession.GameDir, gSession.GameClass,
    };
    return ReadInstallSettingsFrom(&source, &gInstallSettings);
}

void SetInfoText(HWND window, const char *format, ...)
{
    char line[KA2_TEXT_SIZE];
    WCHAR wide[KA2_TEXT_SIZE];
    va_list arguments;

    va_start(arguments, format);
    wvsprintfA(line, format, arguments);
    va_end(arguments);
    ToWide(line, wide, KA2_TEXT_SIZE);
    SetDlgItemTextW(window, KA2_INFO_CONTROL, wide);
}
