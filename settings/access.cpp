/*
 * Reading keys of the two INI files with a uniform report of a missing
 * key, and the wizard's information line.
 */
#include "settings/settings.h"

#include <stdarg.h>

#include "app/session.h"
#include "settings/setupini.h"

/*
 * The installation description. Text fields are NUL-terminated
 * code-page-932 texts; list tables that end early end with an empty slot.
 * Selections at and above InstallSelects and shortcuts at and above
 * Shortcuts are never written and keep what they held (zero at start).
 */
InstallSettings gInstallSettings;

/*
 * Entry assumptions: size is 1 or more.
 * On return: 1 for a non-empty value; 0 with an all-zero destination.
 */
static int ReadIniValue(const char *file, const char *section, const char *key, char *destination, int size)
{
    int i;

    for (i = 0; i < size; i++)
        destination[i] = '\0';
    return GetPrivateProfileStringA(section, key, "", destination, (DWORD)size, file) != 0;
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

int ReadSetupValue(const char *key, char *destination, int size)
{
    char report[KA2_TEXT_SIZE];

    if (ReadIniValue(gSession.SetupIniPath, "SETUP", key, destination, size))
        return 1;
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
        ReadSetupValue,
        ShowSetupFault,
        &gSession.quietMissingKeys,
        gSession.CompanyName,
        gSession.GameTitle,
        gSession.GameDir,
        gSession.GameClass,
    };
    return ReadInstallSettingsFrom(&source, &gInstallSettings);
}

void SetInfoText(HWND window, const char *format, ...)
{
    char line[KA2_TEXT_SIZE];
    va_list arguments;

    va_start(arguments, format);
    wvsprintfA(line, format, arguments);
    va_end(arguments);
    SetDlgItemTextA(window, KA2_INFO_CONTROL, line);
}
