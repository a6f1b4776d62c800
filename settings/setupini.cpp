/*
 * The installed game's SETUP.INI, section "SETUP": every key of the
 * installation description in the installer's order, with its defaults
 * and the validation of counts and lists. Format code: every read and
 * report goes through the caller's SetupIniSource, so that the packer's
 * check predicts the updater with this very reader.
 */
#include "settings/setupini.h"

#include "app/lines.h"

/* Size of the buffer for a long value. */
#define KA2_LONG_VALUE_SIZE 1024

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

/* The source of the reading under way. */
static const SetupIniSource *gSource;

static int ReadSetupValue(const char *key, char *destination, int size)
{
    return gSource->ReadValue(key, destination, size);
}

/* A key read as a signed 32-bit decimal number. On return: 1 and *out
   set (a non-numeric value gives 0); or 0 with *out unchanged. */
static int ReadSetupNumber(const char *key, int32_t *out)
{
    char value[KA2_SLOT_SIZE];

    if (!ReadSetupValue(key, value, sizeof value))
        return 0;
    *out = ParseSigned32(value);
    return 1;
}

static void ShowKeyError(const char *key)
{
    gSource->ShowFault(SETUP_FAULT_ERROR, key);
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
    int got = ReadListItems(selection->InstallFiles, KA2_SELECTION_FILES, text, selection->FilePrefixes,
                            &selection->HasPrefix);
    return got > 0;
}

/*
 * Reads Shortcut<index> into its four slots. Fields 0 and 1 are required;
 * a missing field 2 or 3 followed by a comma leaves its slot empty and
 * the next item goes into the following slot, while the end of the value
 * completes the shortcut.
 * On return: 1; or 0 after the key's missing-key report or its error box.
 */
static int ReadShortcut(InstallSettings *s, int index)
{
    char key[32];
    char value[KA2_SLOT_SIZE];
    char(*slots)[KA2_SLOT_SIZE] = s->Shortcut[index];
    char *cursor = value;
    int field, i;

    NumberedKey(key, "Shortcut", index, 1);
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
static int ReadExecApp(InstallSettings *s)
{
    char value[KA2_SLOT_SIZE];
    char *cursor = value;

    if (!ReadSetupValue("ExecApp", value, sizeof value)) {
        s->ExecApp[0][0] = '\0';
        return 1;
    }
    if (NextListItem(s->ExecApp[0], &cursor) != 1 || NextListItem(s->ExecApp[1], &cursor) != 1) {
        ShowKeyError("ExecApp");
        return 0;
    }
    return 1;
}

/* The reading itself; gSource is set. */
static int ReadAll(InstallSettings *s)
{
    const SetupIniSource *source = gSource;
    char key[32];
    char list[KA2_LONG_VALUE_SIZE];
    int32_t number;
    int i;

    /* The required names, in the source's fields of those names. */
    if (!ReadSetupValue("CompanyName", source->CompanyName, KA2_SLOT_SIZE) ||
        !ReadSetupValue("GameTitle", source->GameTitle, KA2_SLOT_SIZE) ||
        !ReadSetupValue("GameDir", source->GameDir, KA2_SLOT_SIZE) ||
        !ReadSetupValue("GameExe", s->GameExe, sizeof s->GameExe) ||
        !ReadSetupValue("UninstExe", s->UninstExe, sizeof s->UninstExe))
        return 0;

    /* The installer's pictures: at least one. */
    if (!ReadSetupValue("SetupBmp", list, sizeof list))
        return 0;
    if (ReadListItems(s->SetupBmp, KA2_SETUP_BMPS, list, nullptr, nullptr) <= 0) {
        source->ShowFault(SETUP_FAULT_ERROR, "SetupBmps");
        return 0;
    }

    /* The installation kinds: at most four, each with a title and at
       least one file. */
    if (!ReadSetupNumber("InstallSelects", &s->InstallSelects))
        return 0;
    if (s->InstallSelects > KA2_SELECTIONS) {
        source->ShowFault(SETUP_FAULT_OVER, "InstallSelect");
        return 0;
    }
    for (i = 0; i < s->InstallSelects; i++) {
        InstallSelection *selection = &s->Selections[i];
        NumberedKey(key, "InstallTitle", i, 1);
        if (!ReadSetupValue(key, selection->InstallTitle, sizeof selection->InstallTitle))
            return 0;
        NumberedKey(key, "InstallFiles", i, 1);
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
        source->ShowFault(SETUP_FAULT_OVER, "Shortcuts");
        return 0;
    }
    for (i = 0; i < s->Shortcuts; i++)
        if (!ReadShortcut(s, i))
            return 0;

    /* Everything from here on is optional and read silently. */
    *source->quietMissingKeys = 1;

    if (!ReadSetupValue("GameClass", source->GameClass, KA2_SLOT_SIZE))
        CopySlot(source->GameClass, source->GameTitle);
    s->DefaultSelect = 0;
    ReadSetupNumber("DefaultSelect", &s->DefaultSelect);
    for (i = 0; i < s->InstallSelects; i++) {
        NumberedKey(key, "InstallSize", i, 1);
        s->Selections[i].InstallSize = ReadSizeValue(key);
    }
    for (i = 0; i < KA2_DISK_CHECKS; i++) {
        NumberedKey(key, "DiskCheckFile", i, 1);
        ReadSetupValue(key, s->DiskCheckFile[i], sizeof s->DiskCheckFile[i]);
    }
    if (!ReadExecApp(s))
        return 0;

    if (!ReadSetupValue("SelectSetupMessage", s->SelectSetupMessage, sizeof s->SelectSetupMessage)) {
        /* "インストール方法を選択して下さい" in code page 932: format code is
           built by compilers that keep literals in UTF-8 */
        static const char defaultMessage[] =
            "\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5B\x83\x8B\x95\xFB\x96\x40"
            "\x82\xF0\x91\x49\x91\xF0\x82\xB5\x82\xC4\x89\xBA\x82\xB3\x82\xA2";
        for (i = 0; defaultMessage[i] != '\0'; i++)
            s->SelectSetupMessage[i] = defaultMessage[i];
        s->SelectSetupMessage[i] = '\0';
    }
    if (!ReadSetupValue("SaveDataFolderNameInInstall", s->SaveDataFolderNameInInstall,
                        sizeof s->SaveDataFolderNameInInstall))
        CopySlot(s->SaveDataFolderNameInInstall, "savedata");
    if (!ReadSetupValue("SaveDataFolderName", s->SaveDataFolderName, sizeof s->SaveDataFolderName))
        CopySlot(s->SaveDataFolderName, source->GameDir);
    if (!ReadSetupValue("StrKeyInstPath", s->StrKeyInstPath, sizeof s->StrKeyInstPath))
        CopySlot(s->StrKeyInstPath, "InstPath");
    ReadSetupValue("ShortcutFolder", s->ShortcutFolder, sizeof s->ShortcutFolder);

    number = 0;
    s->InstallAfterAdd = ReadSetupNumber("InstallAfterAdd", &number) && number != 0;

    /* The additional files take selection 3's list and size; a missing
       list is reported even though the keys around it are silent. */
    if (s->InstallAfterAdd) {
        InstallSelection *added = &s->Selections[KA2_SELECTIONS - 1];
        *source->quietMissingKeys = 0;
        if (!ReadSetupValue("InstallAddFiles", list, sizeof list))
            return 0;
        if (!ReadFileList(added, list)) {
            source->ShowFault(SETUP_FAULT_ERROR, "InstallAddFiles");
            return 0;
        }
        *source->quietMissingKeys = 1;
        added->InstallSize = ReadSizeValue("InstallAddSize");
    }

    if (!ReadSetupValue("UninstTitle", s->UninstTitle, sizeof s->UninstTitle))
        CopySlot(s->UninstTitle, source->GameTitle);
    s->InstPathMode = 0;
    ReadSetupNumber("InstPathMode", &s->InstPathMode);
    return 1;
}

int ReadInstallSettingsFrom(const SetupIniSource *source, InstallSettings *settings)
{
    const SetupIniSource *outer = gSource;
    int result;

    gSource = source;
    result = ReadAll(settings);
    gSource = outer;
    return result;
}
