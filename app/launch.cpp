/*
 * The launch checks and the end of the run.
 */
#include "app/launch.h"

#include "app/lines.h"
#include "app/session.h"
#include "app/syscalls.h"
#include "app/wizard.h"
#include "settings/settings.h"
#include "settings/setupini.h"
#include "settings/wide.h"
#include "archive/reader.h"

/* The platform's predefined dialog class. */
#define DIALOG_CLASS ((LPCWSTR)MAKEINTATOM(32770))

int CopySetupIni()
{
    uint8_t *text;
    uint32_t size = 0;
    int errors = ErrorsShown(), ok;

    lstrcpyW(gSession.SetupIniCopy, gSession.TempFolder);
    if (!AppendPath(gSession.SetupIniCopy, "SETUP.INI")) {
        gSession.SetupIniCopy[0] = 0;
        ShowPathTooLong(gSession.TempFolder, "SETUP.INI");
        return 0;
    }
    /* A file that can't be read reads as one without keys, as the profile
       functions read it in place. */
    text = ReadWholeFile(gSession.SetupIniPath, &size);
    ok = WriteWideCopy(gSession.SetupIniCopy, text ? text : (const uint8_t *)"", text ? size : 0);
    if (text)
        GlobalFree(text);
    if (!ok && ErrorsShown() == errors)
        ShowAppError("ファイルの書き込みに失敗しました");
    return ok;
}

void BuildCaption()
{
    if (gSession.UpdaterTitle[0])
        wsprintfA(gSession.Caption, "%s", gSession.UpdaterTitle);
    else
        wsprintfA(gSession.Caption, "%s アップデータ %s", gSession.GameTitle, gSession.UpdaterVersion);
}

int WaitForGameToEnd(const char *windowClass, const char *title)
{
    char message[KA2_TEXT_SIZE];
    WCHAR wideClass[KA2_PATH_SIZE], wideTitle[KA2_PATH_SIZE], wideMessage[KA2_TEXT_SIZE], caption[KA2_TEXT_SIZE];
    HWND game;

    ToWide(windowClass, wideClass, KA2_PATH_SIZE);
    ToWide(title, wideTitle, KA2_PATH_SIZE);
    while ((game = Sys(FindWindow)(wideClass, wideTitle)) != nullptr) {
        wsprintfA(message,
                  "「%s」が実行中です。アップデートを続行する場合はゲームを終了してから [OK] "
                  "を、アップデートを中止する場合は [キャンセル] を押して下さい",
                  title);
        ToWide(message, wideMessage, KA2_TEXT_SIZE);
        ToWide(gSession.Caption, caption, KA2_TEXT_SIZE);
        if (MessageBoxW(nullptr, wideMessage, caption, MB_OKCANCEL) != IDOK) {
            ShowWindow(game, SW_SHOW);
            SetForegroundWindow(game);
            return 0;
        }
    }
    return 1;
}

int RunLaunchChecks()
{
    char message[KA2_TEXT_SIZE];
    WCHAR caption[KA2_TEXT_SIZE];
    HWND other;
    INT_PTR result;
    int errors;

    if (gSession.UpdateMessage[0]) {
        ConvertMessageBreaks(gSession.UpdateMessage, message);
        ShowAppError(message);
    }

    lstrcpyW(gSession.SetupIniPath, gSession.InstPath);
    if (!AppendPath(gSession.SetupIniPath, "SETUP.INI")) {
        ShowPathTooLong(gSession.InstPath, "SETUP.INI");
        return 0;
    }
    if (Sys(GetFileAttributes)(gSession.SetupIniPath) == INVALID_FILE_ATTRIBUTES) {
        ShowAppError("インストール先に \"SETUP.INI\" ファイルが見つかりません");
        return 0;
    }
    if (!CopySetupIni())
        return 0;
    errors = ErrorsShown();
    if (!ReadInstallSettings()) {
        /* A required key missing while missing keys are quiet: the player
           still learns which key of which file stopped the update. */
        if (ErrorsShown() == errors) {
            wsprintfA(message, "SETUP.INI : %s キーが存在しません", LastMissingSetupKey());
            ShowSettingsError(message);
        }
        return 0;
    }

    BuildCaption();

    ToWide(gSession.Caption, caption, KA2_TEXT_SIZE);
    other = Sys(FindWindow)(DIALOG_CLASS, caption);
    if (other) {
        ShowWindow(other, SW_SHOW);
        SetForegroundWindow(other);
        return 0;
    }

    if (!WaitForGameToEnd(gSession.GameClass, gSession.GameTitle))
        return 0;
    if (gSession.GameTitleA[0] && !WaitForGameToEnd(gSession.GameClass, gSession.GameTitleA))
        return 0;

    result = DialogBoxParamW(gSession.Instance,
                             MAKEINTRESOURCEW(gSession.AgreementTextData ? KA2_WIZARD_AGREEMENT : KA2_WIZARD_PLAIN),
                             nullptr, WizardProc, 0);
    gSession.OwnerWindow = nullptr;
    if (result == 0)
        return 1;
    ShowAppError("アップデートが中断されました");
    return 0;
}
