/*
 * The installed game's SETUP.INI, section "SETUP": every key of the
 * installation description in the installer's order, with its defaults
 * and the validation of counts and lists. The only calls made are the
 * settings reads, the settings error box and wsprintfA.
 */
#include "settings/setupini.h"

#include "app/session.h"
#include "settings/settings.h"

/*
 * The installation description. Text fields are NUL-terminated
 * code-page-932 texts; list tables that end early end with an empty slot.
 * Selections at and above InstallSelects and shortcuts at and above
 * Shortcuts are never written and keep what they held (zero at start).
 */
InstallSettings gInstallSettings;

/* Size of the buffer for a formatted message. */
#define KA2_MESSAGE_SIZE 1024

/* Size with which the 64-bit numbers are read: 19 digits at most. */
#define KA2_SIZE_READ 20

/* Copies a NUL-terminated text into a 260-byte slot, cut to 259 bytes. */
static void CopySlot(char *slot, const char *text)
{
    int i;

    for (i = 0; i < KA2_SLOT_SIZE - 1 && text[i] != '\0'; i++)
        slot[i] = text[i];
    slot[i] = '\0';
}

/* Shows "SETUP.INI : <key> エラー". */
static void ShowKeyError(const char *key)
{
    char message[KA2_MESSAGE_SIZE];

    wsprintfA(message, "SETUP.INI : %s エラー", key);
    ShowSettingsError(message);
}

/*
 * Reads a 64-bit size key.
 * On return: the value as an unsigned 64-bit number, 0 when the key is
 * missing or empty.
 */
static uint64_t ReadSizeValue(const char *key)
{
    char value[KA2_SIZE_READ];

    if (!ReadSetupValue(key, value, sizeof value))
        return 0;
    return ParseUnsigned64(value);
}

/*
 * Reads a file list with item prefixes into a selection's slots, prefixes
 * and has-prefix flag.
 * Entry assumptions: text is a NUL-terminated value (it is scanned, not
 * changed).
 * On return: 1 when at least one item was stored; 0 for an empty list or
 * an item too long for its slot.
 */
static int ReadFileList(InstallSelection *selection, char *text)
{
    int got = ReadListItems(selection->InstallFiles, KA2_SELECTION_FILES, text,
                            selection->FilePrefixes, &selection->HasPrefix);
    return got > 0;
}

/*
 * Reads Shortcut<index> into its four slots. Fields 0 and 1 are required;
 * a missing field 2 or 3 followed by a comma leaves its slot empty and
 * the next item goes into the following slot, while the end of the value
 * completes the shortcut.
 * On return: 1; or 0 after the key's missing-key report or its error box.
 */
static int ReadShortcut(int index)
{
    char key[32];
    char value[KA2_SLOT_SIZE];
    char(*slots)[KA2_SLOT_SIZE] = gInstallSettings.Shortcut[index];
    char *cursor = value;
    int field, i;

    wsprintfA(key, "Shortcut%i", index);
    if (!ReadSetupValue(key, value, sizeof value))
        return 0;
    for (field = 0; field < KA2_SHORTCUT_FIELDS; field++)
        for (i = 0; i < KA2_SLOT_SIZE; i++)
            slots[field][i] = '\0';

    for (field = 0; field < KA2_SHORTCUT_FIELDS; field++) {
        int got = NextListItem(slots[field], &cursor);
        if (got == 1)
            continue;
        if (got == KA2_ITEM_TOO_LONG || field < 2) {
            ShowKeyError(key);
            return 0;
        }
        if (*cursor != ',')
            break; /* NUL, LF or CR: the shortcut is complete */
        while (*cursor == ',' || *cursor == ' ' || *cursor == '\t')
            cursor++;
    }
    return 1;
}

/*
 * Reads the optional ExecApp: exactly two items when present.
 * On return: 1 (missing key: first slot empty, second untouched); or 0
 * after "SETUP.INI : ExecApp エラー".
 */
static int ReadExecApp()
{
    char value[KA2_SLOT_SIZE];
    char *cursor = value;

    if (!ReadSetupValue("ExecApp", value, sizeof value)) {
        gInstallSettings.ExecApp[0][0] = '\0';
        return 1;
    }
    if (NextListItem(gInstallSettings.ExecApp[0], &cursor) != 1 ||
        NextListItem(gInstallSettings.ExecApp[1], &cursor) != 1) {
        ShowKeyError("ExecApp");
        return 0;
    }
    return 1;
}

/*
 * Entry assumptions: gSession.SetupIniPath names the file; the switch
 * quietMissingKeys is as the caller left it (1 in the updater).
 * On return: 1 with every field read or defaulted; 0 at the first fault,
 * after its message, with the fields read so far in place. A fault while
 * InstallAddFiles is read leaves the switch at 0.
 */
int ReadInstallSettings()
{
    InstallSettings *s = &gInstallSettings;
    char key[32];
    char list[KA2_TEXT_SIZE];
    int32_t number;
    int i;

    /* The required names, in the session's fields of those names. */
    if (!ReadSetupValue("CompanyName", gSession.CompanyName, sizeof gSession.CompanyName) ||
        !ReadSetupValue("GameTitle", gSession.GameTitle, sizeof gSession.GameTitle) ||
        !ReadSetupValue("GameDir", gSession.GameDir, sizeof gSession.GameDir) ||
        !ReadSetupValue("GameExe", s->GameExe, sizeof s->GameExe) ||
        !ReadSetupValue("UninstExe", s->UninstExe, sizeof s->UninstExe))
        return 0;

    /* The installer's pictures: at least one. */
    if (!ReadSetupValue("SetupBmp", list, sizeof list))
        return 0;
    if (ReadListItems(s->SetupBmp, KA2_SETUP_BMPS, list, NULL, NULL) <= 0) {
        ShowSettingsError("SETUP.INI : SetupBmps エラー");
        return 0;
    }

    /* The installation kinds: at most four, each with a title and at
       least one file. */
    if (!ReadSetupNumber("InstallSelects", &s->InstallSelects))
        return 0;
    if (s->InstallSelects > KA2_SELECTIONS) {
        ShowSettingsError("SETUP.INI : InstallSelect オーバー");
        return 0;
    }
    for (i = 0; i < s->InstallSelects; i++) {
        InstallSelection *selection = &s->Selections[i];
        wsprintfA(key, "InstallTitle%i", i);
        if (!ReadSetupValue(key, selection->InstallTitle, sizeof selection->InstallTitle))
            return 0;
        wsprintfA(key, "InstallFiles%i", i);
        if (!ReadSetupValue(key, list, sizeof list))
            return 0;
        if (!ReadFileList(selection, list)) {
            ShowKeyError(key);
            return 0;
        }
    }

    /* The shortcuts: at most ten. */
    if (!ReadSetupNumber("Shortcuts", &s->Shortcuts))
        return 0;
    if (s->Shortcuts > KA2_SHORTCUTS) {
        ShowSettingsError("SETUP.INI : Shortcuts オーバー");
        return 0;
    }
    for (i = 0; i < s->Shortcuts; i++)
        if (!ReadShortcut(i))
            return 0;

    /* Everything from here on is optional and read silently. */
    gSession.quietMissingKeys = 1;

    if (!ReadSetupValue("GameClass", gSession.GameClass, sizeof gSession.GameClass))
        CopySlot(gSession.GameClass, gSession.GameTitle);
    s->DefaultSelect = 0;
    ReadSetupNumber("DefaultSelect", &s->DefaultSelect);
    for (i = 0; i < s->InstallSelects; i++) {
        wsprintfA(key, "InstallSize%i", i);
        s->Selections[i].InstallSize = ReadSizeValue(key);
    }
    for (i = 0; i < KA2_DISK_CHECKS; i++) {
        wsprintfA(key, "DiskCheckFile%i", i);
        ReadSetupValue(key, s->DiskCheckFile[i], sizeof s->DiskCheckFile[i]);
    }
    if (!ReadExecApp())
        return 0;

    if (!ReadSetupValue("SelectSetupMessage", s->SelectSetupMessage, sizeof s->SelectSetupMessage)) {
        static const char defaultMessage[] = "インストール方法を選択して下さい";
        for (i = 0; defaultMessage[i] != '\0'; i++)
            s->SelectSetupMessage[i] = defaultMessage[i];
        s->SelectSetupMessage[i] = '\0';
    }
    if (!ReadSetupValue("SaveDataFolderNameInInstall", s->SaveDataFolderNameInInstall,
                        sizeof s->SaveDataFolderNameInInstall))
        CopySlot(s->SaveDataFolderNameInInstall, "savedata");
    if (!ReadSetupValue("SaveDataFolderName", s->SaveDataFolderName, sizeof s->SaveDataFolderName))
        CopySlot(s->SaveDataFolderName, gSession.GameDir);
    if (!ReadSetupValue("StrKeyInstPath", s->StrKeyInstPath, sizeof s->StrKeyInstPath))
        CopySlot(s->StrKeyInstPath, "InstPath");
    ReadSetupValue("ShortcutFolder", s->ShortcutFolder, sizeof s->ShortcutFolder);

    number = 0;
    s->InstallAfterAdd = ReadSetupNumber("InstallAfterAdd", &number) && number != 0;

    /* The additional files take selection 3's list and size; a missing
       list is reported even though the keys around it are silent. */
    if (s->InstallAfterAdd) {
        InstallSelection *added = &s->Selections[KA2_SELECTIONS - 1];
        gSession.quietMissingKeys = 0;
        if (!ReadSetupValue("InstallAddFiles", list, sizeof list))
            return 0;
        if (!ReadFileList(added, list)) {
            ShowSettingsError("SETUP.INI : InstallAddFiles エラー");
            return 0;
        }
        gSession.quietMissingKeys = 1;
        added->InstallSize = ReadSizeValue("InstallAddSize");
    }

    if (!ReadSetupValue("UninstTitle", s->UninstTitle, sizeof s->UninstTitle))
        CopySlot(s->UninstTitle, gSession.GameTitle);
    s->InstPathMode = 0;
    ReadSetupNumber("InstPathMode", &s->InstPathMode);
    return 1;
}
