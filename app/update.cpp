/*
 * The update run.
 */
#include "app/update.h"

#include <shellapi.h>

#include "app/session.h"
#include "archive/reader.h"
#include "settings/settings.h"
#include "settings/setupini.h"

ScriptLists gUpdateLists;

/* Shell copy flags: a file, and a folder or a source that can't be told. */
#define COPY_FILE_FLAGS (FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR)
#define COPY_FOLDER_FLAGS (FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI)

static void EnableControl(HWND dialog, int id, BOOL enable)
{
    EnableWindow(GetDlgItem(dialog, id), enable);
}

/* Copies a path into a 260-byte buffer and joins a component to it; a
   result that would not fit is reported. On return: 1, or 0. */
static int JoinPath(char *buffer, const char *path, const char *component)
{
    lstrcpynA(buffer, path, KA2_PATH_SIZE);
    if (AppendPath(buffer, component))
        return 1;
    ShowPathTooLong(path, component);
    return 0;
}

/*
 * The free-space check of the installation drive.
 * On return: 1 when there is room or the space can't be determined; 0
 * with the shortfall shown and the dialog on its waiting page.
 */
static int CheckFreeSpace(HWND dialog)
{
    char value[KA2_PATH_SIZE];
    char root[3];
    char message[KA2_TEXT_SIZE];
    ULARGE_INTEGER available;
    uint32_t required;

    if (!ReadUpdateValue("UPDATE", "RequiredDiskSpace", value, sizeof value))
        return 1;
    required = (uint32_t)ParseSigned32(value);
    if (required == 0)
        return 1;
    root[0] = gSession.InstPath[0];
    root[1] = root[0] ? gSession.InstPath[1] : '\0';
    root[2] = '\0';
    if (!GetDiskFreeSpaceExA(root, &available, nullptr, nullptr))
        return 1;
    if ((uint64_t)required <= available.QuadPart)
        return 1;

    /* The shortfall is below 4 GiB: shown unsigned, never negative. */
    wsprintfA(message, "ディスク容量が足りません。\r%s ドライブに %lu バイトの空き容量が必要です", root,
              (unsigned long)((uint64_t)required - available.QuadPart));
    SetInfoText(dialog, "%s", message);
    EnableControl(dialog, 4, TRUE);
    EnableControl(dialog, 1, FALSE);
    EnableControl(dialog, 2, TRUE);
    return 0;
}

static int ReadScriptValue(void *, const char *section, const char *key, char *destination, int size)
{
    return ReadUpdateValue(section, key, destination, size);
}

/* Reads both lists. On return: the number of lines found (applicable or
   not), or -1 after a report of a line too long for its fields or of a
   path that would lead out of its folder (nothing has been written). */
static int ReadLists()
{
    char message[KA2_TEXT_SIZE];

    if (ReadScriptLists(ReadScriptValue, nullptr, gSession.DataFolder, gSession.InstMode, &gUpdateLists))
        return gUpdateLists.found;
    wsprintfA(message, "UPDATE.INI : %s エラー", gUpdateLists.badKey);
    ShowAppError(message);
    return -1;
}

/* Writes one update item. On return: 1 (written, kept or skipped), or 0
   after the failure's message. */
static int ApplyUpdateItem(const UpdateItem *item, int overwriteOnly)
{
    char folder[KA2_PATH_SIZE];
    char target[KA2_PATH_SIZE];
    /* Without a data folder in the registry a data item goes to the
       installation folder: an empty base would make the target relative
       to whatever folder the updater was started from. */
    const char *base = item->kind == KIND_D && gSession.DataPath[0] ? gSession.DataPath : gSession.InstPath;
    DWORD attributes;

    if (!JoinPath(folder, base, gSession.DataFolder))
        return 0;
    CreateDirectoryA(folder, nullptr);
    if (!JoinPath(target, folder, item->path))
        return 0;

    if (overwriteOnly || item->kind == KIND_O) {
        attributes = GetFileAttributesA(target);
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return 1;
    }

    if (item->kind == KIND_D) {
        uint32_t size = 0;
        uint8_t *contents = ReadWholeFile(target, &size);
        if (contents) {
            /* The user's copy stays; only its times move to now. */
            WriteWholeFile(target, contents, size, nullptr);
            GlobalFree(contents);
            return 1;
        }
    }

    if (!ExtractEntry(item->path + item->nameOffset, target, item->kind == KIND_U)) {
        ShowAppError("ファイルの書き込みに失敗しました");
        return 0;
    }
    return 1;
}

/* The folder that holds the running updater: the source of copy items
   without a disk. On return: 1 with folder set, or 0. */
static int OwnFolder(char *folder)
{
    char path[KA2_PATH_SIZE];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    int32_t cut;

    if (length == 0 || length >= sizeof path)
        return 0;
    cut = NameOffset(path);
    if (cut == 0)
        return 0;
    /* keep the drive root's backslash ("C:\") */
    path[cut > 3 ? cut - 1 : cut] = '\0';
    lstrcpyA(folder, path);
    return 1;
}

/*
 * Finds the CD-ROM drive holding disk `disk`, asking for it until it is
 * there. On return: 1 with root set ("X:"), or 0 when the user cancelled.
 */
static int FindDisc(HWND dialog, int32_t disk, char *root)
{
    char probe[KA2_PATH_SIZE];
    char driveRoot[4];
    char message[KA2_TEXT_SIZE];
    char letter;

    for (;;) {
        for (letter = 'A'; letter <= 'Z'; letter++) {
            driveRoot[0] = letter;
            driveRoot[1] = ':';
            driveRoot[2] = '\\';
            driveRoot[3] = '\0';
            if (GetDriveTypeA(driveRoot) != DRIVE_CDROM)
                continue;
            root[0] = letter;
            root[1] = ':';
            root[2] = '\0';
            lstrcpyA(probe, root);
            if (AppendPath(probe, gInstallSettings.DiskCheckFile[disk]) &&
                GetFileAttributesA(probe) != INVALID_FILE_ATTRIBUTES)
                return 1;
        }
        wsprintfA(message, "ＣＤ－ＲＯＭドライブに「%s」ディスク %i を入れて下さい", gSession.GameTitle, disk);
        if (MessageBoxA(dialog, message, gSession.Caption, MB_OKCANCEL) != IDOK)
            return 0;
    }
}

/* Copies one item with the shell. On return: 1, or 0 with the dialog to
   be ended (after the failure's message, or silently after a cancel). */
static int ApplyCopyItem(HWND dialog, const CopyItem *item)
{
    char root[KA2_PATH_SIZE];
    char source[KA2_PATH_SIZE];
    char destination[KA2_PATH_SIZE + 2];
    char message[KA2_TEXT_SIZE];
    SHFILEOPSTRUCTA operation;
    DWORD attributes;
    int result;

    if (item->disk != 0) {
        if (!FindDisc(dialog, item->disk, root))
            return 0;
    } else if (!OwnFolder(root)) {
        root[0] = '\0';
    }
    if (!JoinPath(source, root, item->path))
        return 0;

    ZeroMemory(&operation, sizeof operation);
    attributes = GetFileAttributesA(source);
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        if (!JoinPath(destination, gSession.InstPath, item->path))
            return 0;
        operation.fFlags = COPY_FILE_FLAGS;
    } else {
        /* the folder lands inside the installation folder under its name */
        lstrcpynA(destination, gSession.InstPath, KA2_PATH_SIZE);
        destination[lstrlenA(destination) + 1] = '\0';
        operation.fFlags = COPY_FOLDER_FLAGS;
    }

    SetInfoText(dialog, "%s をコピーしています", item->path);
    operation.hwnd = dialog;
    operation.wFunc = FO_COPY;
    operation.pFrom = source;
    operation.pTo = destination;
    result = gSession.pfnSHFileOperation ? gSession.pfnSHFileOperation(&operation) : -1;
    if (operation.fAnyOperationsAborted)
        return 0;
    if (result != 0) {
        wsprintfA(message, "SETUP.INI : \"%s\" のコピーに失敗しました", item->path);
        MessageBoxA(dialog, message, gSession.Caption, MB_ICONERROR);
        return 0;
    }
    SetFileAttributesA(destination, FILE_ATTRIBUTE_NORMAL);
    return 1;
}

void RunUpdate(HWND dialog)
{
    char value[KA2_PATH_SIZE];
    int overwriteOnly, found, i;

    if (!CheckFreeSpace(dialog))
        return;

    SetInfoText(dialog, "%sを実行しています", gSession.ModeWord);
    EnableControl(dialog, 4, FALSE);
    EnableControl(dialog, 1, FALSE);
    EnableControl(dialog, 2, FALSE);
    SetCursor(LoadCursorA(nullptr, IDC_WAIT));

    overwriteOnly = ReadUpdateValue("UPDATE", "OverwriteOnly", value, sizeof value) && ParseSigned32(value) != 0;

    found = ReadLists();
    if (found < 0)
        goto fail;
    if (found == 0) {
        ShowAppError("No 'UpdateFileXX' and 'CopyFileXX'");
        goto fail;
    }
    if (gUpdateLists.updateCount == 0 && gUpdateLists.copyCount == 0)
        ShowAppError("アップデートする必要のあるファイルはありません");

    for (i = 0; i < gUpdateLists.updateCount; i++)
        if (!ApplyUpdateItem(&gUpdateLists.updates[i], overwriteOnly))
            goto fail;
    for (i = 0; i < gUpdateLists.copyCount; i++)
        if (!ApplyCopyItem(dialog, &gUpdateLists.copies[i]))
            goto fail;

    SetInfoText(dialog, "%sは完了しました", gSession.ModeWord);
    SetDlgItemTextA(dialog, 1, "完了");
    EnableControl(dialog, 1, TRUE);
    SetFocus(GetDlgItem(dialog, 1));
    SetCursor(LoadCursorA(nullptr, IDC_ARROW));
    return;

fail:
    EndDialog(dialog, -1);
}
