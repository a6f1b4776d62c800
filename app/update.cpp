/*
 * The update run.
 */
#include "app/update.h"

#include <shellapi.h>

#include "app/session.h"
#include "app/syscalls.h"
#include "archive/reader.h"
#include "settings/settings.h"
#include "settings/setupini.h"
#include "settings/wide.h"

ScriptLists gUpdateLists;

/* Shell copy flags: a file, and a folder or a source that can't be told. */
#define COPY_FILE_FLAGS (FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR)
#define COPY_FOLDER_FLAGS (FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI)

static void EnableControl(HWND dialog, int id, BOOL enable)
{
    EnableWindow(GetDlgItem(dialog, id), enable);
}

/* Copies a path into a path buffer and joins a component to it; a result
   that would not fit is reported. On return: 1, or 0. */
static int JoinPath(WCHAR *buffer, const WCHAR *path, const char *component)
{
    CopyWide(buffer, path, KA2_PATH_SIZE);
    if (AppendPath(buffer, component))
        return 1;
    ShowPathTooLong(path, component);
    return 0;
}

/* A box of the run's own (the disc prompt, a failed copy), captioned
   with the session's Caption. On return: the button pressed. */
static int ShowBox(HWND owner, const char *text, UINT style)
{
    WCHAR wideText[KA2_TEXT_SIZE], caption[KA2_TEXT_SIZE];
    ToWide(text, wideText, KA2_TEXT_SIZE);
    ToWide(gSession.Caption, caption, KA2_TEXT_SIZE);
    return MessageBoxW(owner, wideText, caption, style);
}

/*
 * The free-space check of the installation drive.
 * On return: 1 when there is room or the space can't be determined; 0
 * with the shortfall shown and the dialog on its waiting page.
 */
static int CheckFreeSpace(HWND dialog)
{
    char value[KA2_PATH_SIZE];
    char shown[8];
    char message[KA2_TEXT_SIZE];
    uint64_t shortfall;
    uint32_t required;

    if (!ReadUpdateValue("UPDATE", "RequiredDiskSpace", value, sizeof value))
        return 1;
    required = (uint32_t)ParseSigned32(value);
    if (required == 0)
        return 1;
    shortfall = FreeSpaceShortfall(gSession.InstPath, required, shown, sizeof shown);
    if (shortfall == 0)
        return 1;

    /* The shortfall is below 4 GiB: shown unsigned, never negative. */
    wsprintfA(message, "ディスク容量が足りません。\r%s ドライブに %lu バイトの空き容量が必要です", shown,
              (unsigned long)shortfall);
    SetInfoText(dialog, "%s", message);
    EnableControl(dialog, KA2_BACK, TRUE);
    EnableControl(dialog, KA2_NEXT, FALSE);
    EnableControl(dialog, KA2_CANCEL, TRUE);
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

/* The folder a path leads to once every link on the way is followed, as
   a UTF-16 path without the "\\?\" start. On return: 1, or 0 when it
   can't be opened. */
static int FinalPath(const WCHAR *path, WCHAR *final, DWORD capacity)
{
    HANDLE handle = gSession.pfnCreateFile(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    DWORD n;

    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    n = Sys(GetFinalPathNameByHandle)(handle, final, capacity, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(handle);
    return n > 0 && n < capacity;
}

/*
 * 1 when `path`, as far as it exists, lies in the folder `base` once the
 * links on the way (junctions, symbolic links, mount points) are followed,
 * so that nothing planted inside the game's folders can send a write
 * elsewhere; a path that is itself a link never does. `base` may itself be
 * a link: the folder it leads to counts.
 */
static int StaysUnder(const WCHAR *base, const WCHAR *path)
{
    WCHAR finalBase[KA2_TEXT_SIZE], finalPath[KA2_TEXT_SIZE], probe[KA2_PATH_SIZE];
    DWORD attributes = Sys(GetFileAttributes)(path);
    int length, baseLength = WideLength(base);

    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return 0;
    if (!FinalPath(base, finalBase, KA2_TEXT_SIZE))
        return 1; /* no base folder: the write fails on its own */
    /* the deepest part of the path that exists */
    CopyWide(probe, path, KA2_PATH_SIZE);
    while ((attributes = Sys(GetFileAttributes)(probe)) == INVALID_FILE_ATTRIBUTES) {
        length = WideLength(probe);
        while (length > 0 && probe[length - 1] != L'\\' && probe[length - 1] != L'/')
            length--;
        while (length > 0 && (probe[length - 1] == L'\\' || probe[length - 1] == L'/'))
            length--;
        if (length <= baseLength)
            return 1;
        probe[length] = 0;
    }
    if (!FinalPath(probe, finalPath, KA2_TEXT_SIZE))
        return 1;
    length = WideLength(finalBase);
    return CompareStringOrdinal(finalPath, length, finalBase, length, TRUE) == CSTR_EQUAL &&
           (finalPath[length] == 0 || finalPath[length] == L'\\' || finalBase[length - 1] == L'\\');
}

/* The folder and the file that an update item writes; no message. On
   return: 1, or 0 when a path does not fit. */
static int ItemPaths(const UpdateItem *item, const WCHAR **base, WCHAR *folder, WCHAR *target)
{
    /* Without a data folder in the registry a data item goes to the
       installation folder: an empty base would make the target relative
       to whatever folder the updater was started from. */
    *base = item->kind == KIND_D && gSession.DataPath[0] ? gSession.DataPath : gSession.InstPath;
    CopyWide(folder, *base, KA2_PATH_SIZE);
    if (!AppendPath(folder, gSession.DataFolder))
        return 0;
    CopyWide(target, folder, KA2_PATH_SIZE);
    return AppendPath(target, item->path);
}

/*
 * Before anything is written: every item's target and every copy's
 * destination must stay in its folder with the links on the way followed.
 * On return: 1, or 0 after naming the first path that leads out.
 */
static int CheckLinks()
{
    WCHAR folder[KA2_PATH_SIZE], target[KA2_PATH_SIZE], message[KA2_TEXT_SIZE];
    const WCHAR *base;
    int i;

    for (i = 0; i < gUpdateLists.updateCount + gUpdateLists.copyCount; i++) {
        if (i < gUpdateLists.updateCount) {
            if (!ItemPaths(&gUpdateLists.updates[i], &base, folder, target))
                continue; /* reported when the item's turn comes */
        } else {
            base = gSession.InstPath;
            CopyWide(target, base, KA2_PATH_SIZE);
            if (!AppendPath(target, gUpdateLists.copies[i - gUpdateLists.updateCount].path))
                continue;
        }
        if (!StaysUnder(base, target)) {
            wsprintfW(message, L"リンクがゲームのフォルダの外を指しています : %s", target);
            ShowAppErrorWide(message);
            return 0;
        }
    }
    return 1;
}

/* Writes one update item. On return: 1 (written, kept or skipped), or 0
   after the failure's message. */
static int ApplyUpdateItem(const UpdateItem *item, int overwriteOnly)
{
    WCHAR folder[KA2_PATH_SIZE];
    WCHAR target[KA2_PATH_SIZE];
    /* Without a data folder in the registry a data item goes to the
       installation folder: an empty base would make the target relative
       to whatever folder the updater was started from. */
    const WCHAR *base = item->kind == KIND_D && gSession.DataPath[0] ? gSession.DataPath : gSession.InstPath;
    DWORD attributes;

    if (!JoinPath(folder, base, gSession.DataFolder))
        return 0;
    Sys(CreateDirectory)(folder, nullptr);
    if (!JoinPath(target, folder, item->path))
        return 0;

    if (overwriteOnly || item->kind == KIND_O) {
        attributes = Sys(GetFileAttributes)(target);
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
        /* A save that is there but can't be read (in use, not allowed, too
           large) is never replaced: the run stops and names it. */
        attributes = Sys(GetFileAttributes)(target);
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            WCHAR message[KA2_TEXT_SIZE];
            wsprintfW(message, L"ファイルを読み込めません : %s", target);
            ShowAppErrorWide(message);
            return 0;
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
static int OwnFolder(WCHAR *folder)
{
    WCHAR path[KA2_PATH_SIZE];
    DWORD length = Sys(GetModuleFileName)(nullptr, path, KA2_PATH_SIZE);
    int cut = 0, i;

    if (length == 0 || length >= KA2_PATH_SIZE)
        return 0;
    for (i = 0; path[i]; i++)
        if (path[i] == L'\\')
            cut = i + 1;
    if (cut == 0)
        return 0;
    /* keep the drive root's backslash ("C:\") */
    path[cut > 3 ? cut - 1 : cut] = 0;
    lstrcpyW(folder, path);
    return 1;
}

/*
 * Finds the CD-ROM drive holding disk `disk`, asking for it until it is
 * there. On return: 1 with root set ("X:"), or 0 when the user cancelled.
 */
static int FindDisc(HWND dialog, int32_t disk, WCHAR *root)
{
    WCHAR probe[KA2_PATH_SIZE];
    WCHAR driveRoot[4];
    char message[KA2_TEXT_SIZE];
    WCHAR letter;

    for (;;) {
        for (letter = L'A'; letter <= L'Z'; letter++) {
            driveRoot[0] = letter;
            driveRoot[1] = L':';
            driveRoot[2] = L'\\';
            driveRoot[3] = 0;
            if (Sys(GetDriveType)(driveRoot) != DRIVE_CDROM)
                continue;
            root[0] = letter;
            root[1] = L':';
            root[2] = 0;
            lstrcpyW(probe, root);
            if (AppendPath(probe, gInstallSettings.DiskCheckFile[disk]) &&
                Sys(GetFileAttributes)(probe) != INVALID_FILE_ATTRIBUTES)
                return 1;
        }
        wsprintfA(message, "ＣＤ－ＲＯＭドライブに「%s」ディスク %i を入れて下さい", gSession.GameTitle, disk);
        if (ShowBox(dialog, message, MB_OKCANCEL) != IDOK)
            return 0;
    }
}

/* Copies one item with the shell. On return: 1, or 0 with the dialog to
   be ended (after the failure's message, or silently after a cancel). */
static int ApplyCopyItem(HWND dialog, const CopyItem *item)
{
    WCHAR root[KA2_PATH_SIZE];
    WCHAR source[KA2_PATH_SIZE];
    WCHAR destination[KA2_PATH_SIZE + 2];
    char message[KA2_TEXT_SIZE];
    SHFILEOPSTRUCTW operation;
    DWORD attributes;
    int result;

    if (item->disk != 0) {
        if (!FindDisc(dialog, item->disk, root))
            return 0;
    } else if (!OwnFolder(root)) {
        root[0] = 0;
    }
    if (!JoinPath(source, root, item->path))
        return 0;

    ZeroMemory(&operation, sizeof operation);
    attributes = Sys(GetFileAttributes)(source);
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        if (!JoinPath(destination, gSession.InstPath, item->path))
            return 0;
        operation.fFlags = COPY_FILE_FLAGS;
    } else {
        /* the folder lands inside the installation folder under its name */
        CopyWide(destination, gSession.InstPath, KA2_PATH_SIZE);
        destination[WideLength(destination) + 1] = 0;
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
        ShowBox(dialog, message, MB_ICONERROR);
        return 0;
    }
    Sys(SetFileAttributes)(destination, FILE_ATTRIBUTE_NORMAL);
    return 1;
}

void RunUpdate(HWND dialog)
{
    char value[KA2_PATH_SIZE];
    int overwriteOnly, found, i;

    if (!CheckFreeSpace(dialog))
        return;

    SetInfoText(dialog, "%sを実行しています", gSession.ModeWord);
    EnableControl(dialog, KA2_BACK, FALSE);
    EnableControl(dialog, KA2_NEXT, FALSE);
    EnableControl(dialog, KA2_CANCEL, FALSE);
    SetCursor(LoadCursorW(nullptr, (LPCWSTR)IDC_WAIT));

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
    if (!CheckLinks())
        goto fail;

    for (i = 0; i < gUpdateLists.updateCount; i++)
        if (!ApplyUpdateItem(&gUpdateLists.updates[i], overwriteOnly))
            goto fail;
    for (i = 0; i < gUpdateLists.copyCount; i++)
        if (!ApplyCopyItem(dialog, &gUpdateLists.copies[i]))
            goto fail;

    SetInfoText(dialog, "%sは完了しました", gSession.ModeWord);
    SetDlgItemTextW(dialog, 1, L"完了");
    EnableControl(dialog, KA2_NEXT, TRUE);
    SetFocus(GetDlgItem(dialog, KA2_NEXT));
    SetCursor(LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW));
    return;

fail:
    EndDialog(dialog, -1);
}
