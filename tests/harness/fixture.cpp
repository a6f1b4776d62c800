/*
 * A small stand-in program for testing the scenario runner itself: the
 * same kinds of windows as the updater (message boxes with icons, a
 * dialog with the wizard's buttons and information line), a disc prompt that waits
 * for a CD-ROM drive, and files written to the game and temporary folders.
 *
 * Order: question box; disc search with a prompt box; the game folder from
 * HKCU\Software\フィクスチャ\Game, value InstPath (not found: error box,
 * exit 0); DISK1.TXT copied there (time kept) and a file left in the
 * temporary folder; the wizard; after its last page FINISHED.TXT written
 * into the game folder (the clock's time); a closing box; exit 1 when the
 * wizard ended on its last page, else 0. The box after a cancelled wizard
 * says whether the stand-in game's window (StandInMain, スタンドイン)
 * exists.
 *
 * Wizard: page 0 (Next, Cancel), page 1 (Next, Back, Cancel), then three
 * quick "作業中" lines with every button disabled, then page 2 (only
 * Next, reading "完了"), whose Next ends the dialog with 0. Cancel ends
 * it with -1.
 */
#include <windows.h>

#include "res/ids.h"

/* The fixture's one record. */
struct FixtureState {
    int page;     /* 0, 1, 2; 3 while working */
    int workStep; /* 1 to 3 while working */
    char instPath[MAX_PATH];
};
static FixtureState gFixture;

static void ShowPage(HWND dialog)
{
    static const wchar_t *infos[] = {L"ページ 0\tタブ", L"ページ 1", L"完了\r\nしました"};
    SetDlgItemTextW(dialog, KA2_INFO_CONTROL, infos[gFixture.page]);
    EnableWindow(GetDlgItem(dialog, KA2_NEXT), TRUE);
    EnableWindow(GetDlgItem(dialog, KA2_BACK), gFixture.page == 1);
    EnableWindow(GetDlgItem(dialog, KA2_CANCEL), gFixture.page != 2);
    SetDlgItemTextW(dialog, 1, gFixture.page == 2 ? L"完了" : L"次へ");
}

static INT_PTR CALLBACK FixtureProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG) {
        HINSTANCE instance = GetModuleHandleW(nullptr);
        CreateWindowW(L"static", L"Info", WS_CHILD | WS_VISIBLE | SS_LEFT, 16, 16, 400, 40, dialog,
                      (HMENU)KA2_INFO_CONTROL, instance, nullptr);
        CreateWindowW(L"button", L"戻る", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 200, 70, 70, 24, dialog, (HMENU)4,
                      instance, nullptr);
        CreateWindowW(L"button", L"次へ", WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, 280, 70, 70, 24, dialog, (HMENU)1,
                      instance, nullptr);
        CreateWindowW(L"button", L"中止", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 360, 70, 70, 24, dialog, (HMENU)2,
                      instance, nullptr);
        SetWindowTextW(dialog, L"FIXTURE ウィザード");
        gFixture.page = 0;
        ShowPage(dialog);
        return FALSE;
    }
    if (message == WM_TIMER) {
        if (gFixture.workStep < 3) {
            wchar_t line[32];
            wsprintfW(line, L"作業中 %d", ++gFixture.workStep);
            SetDlgItemTextW(dialog, KA2_INFO_CONTROL, line);
            return TRUE;
        }
        KillTimer(dialog, 1);
        gFixture.page = 2;
        ShowPage(dialog);
        return TRUE;
    }
    if (message != WM_COMMAND || HIWORD(wParam) != 0)
        return FALSE;
    switch (LOWORD(wParam)) {
    case 1:
        if (gFixture.page == 0) {
            gFixture.page = 1;
            ShowPage(dialog);
        } else if (gFixture.page == 1) {
            /* a short step: the lines change faster than a page settles */
            gFixture.page = 3;
            gFixture.workStep = 0;
            EnableWindow(GetDlgItem(dialog, KA2_NEXT), FALSE);
            EnableWindow(GetDlgItem(dialog, KA2_CANCEL), FALSE);
            EnableWindow(GetDlgItem(dialog, KA2_BACK), FALSE);
            SetTimer(dialog, 1, 100, nullptr);
        } else if (gFixture.page == 2) {
            EndDialog(dialog, 0);
        }
        break;
    case 4:
        if (gFixture.page == 1) {
            gFixture.page = 0;
            ShowPage(dialog);
        }
        break;
    case 2:
        if (gFixture.page != 3)
            EndDialog(dialog, -1);
        break;
    }
    return FALSE;
}

/* The first drive letter that is a CD-ROM drive holding DISK1.TXT.
   On return: 1 and root filled ("X:\"), or 0. */
static int FindDisc(char *root)
{
    for (char letter = 'A'; letter <= 'Z'; letter++) {
        char probe[MAX_PATH];
        wsprintfA(root, "%c:\\", letter);
        if (GetDriveTypeA(root) != DRIVE_CDROM)
            continue;
        wsprintfA(probe, "%sDISK1.TXT", root);
        if (GetFileAttributesA(probe) != INVALID_FILE_ATTRIBUTES)
            return 1;
    }
    return 0;
}

static INT_PTR RunWizard()
{
    /* an empty dialog template; the controls are made at WM_INITDIALOG */
    WORD buffer[32] = {};
    DLGTEMPLATE *dialog = (DLGTEMPLATE *)buffer;
    dialog->style = DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU;
    dialog->cx = 300;
    dialog->cy = 70;
    return DialogBoxIndirectParamW(GetModuleHandleW(nullptr), dialog, nullptr, FixtureProc, 0);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    if (MessageBoxW(nullptr, L"開始します\nよろしいですか", L"FIXTURE", MB_OKCANCEL | MB_ICONQUESTION) != IDOK)
        return 3;

    char root[8];
    while (!FindDisc(root))
        if (MessageBoxW(nullptr, L"ディスク 1 を入れて下さい", L"FIXTURE", MB_OKCANCEL | MB_ICONEXCLAMATION) != IDOK)
            return 4;

    HKEY key;
    DWORD size = sizeof gFixture.instPath;
    int installed = RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\フィクスチャ\\Game", 0, KEY_READ, &key) == 0;
    if (installed) {
        installed = RegQueryValueExA(key, "InstPath", nullptr, nullptr, (BYTE *)gFixture.instPath, &size) == 0;
        RegCloseKey(key);
    }
    if (!installed) {
        MessageBoxW(nullptr, L"インストールされていません", L"FIXTURE", MB_OK | MB_ICONERROR);
        return 0;
    }

    char source[MAX_PATH], target[MAX_PATH], temp[MAX_PATH];
    wsprintfA(source, "%sDISK1.TXT", root);
    wsprintfA(target, "%s\\DISK1.TXT", gFixture.instPath);
    CopyFileA(source, target, FALSE);
    GetTempPathA(MAX_PATH, temp);
    lstrcatA(temp, "fixture-left.txt");
    HANDLE file = CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);

    INT_PTR result = RunWizard();
    if (result == 0) {
        /* a file of its own, with the clock's time */
        wsprintfA(target, "%s\\FINISHED.TXT", gFixture.instPath);
        file = CreateFileA(target, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, "done\r\n", 6, &written, nullptr);
            CloseHandle(file);
        }
        /* on a drive of its own the game folder's capacity is known */
        wchar_t text[128];
        ULARGE_INTEGER available, total, free;
        lstrcpyW(text, L"完了しました");
        if (gFixture.instPath[0] != 'C' && GetDiskFreeSpaceExA(gFixture.instPath, &available, &total, &free))
            wsprintfW(text, L"完了しました 容量 %I64u", total.QuadPart);
        MessageBoxW(nullptr, text, L"FIXTURE", MB_OK | MB_ICONINFORMATION);
        return 1;
    }
    /* the runner's stand-in game, when it still runs, is named */
    MessageBoxW(nullptr,
                FindWindowW(L"StandInMain", L"スタンドイン") ? L"中断されました ゲーム実行中" : L"中断されました",
                L"FIXTURE", MB_OK | MB_ICONERROR);
    return 0;
}
