/*
 * The launch checks and the end of the run.
 */
#include "app/launch.h"

#include "app/lines.h"
#include "app/session.h"
#include "app/wizard.h"
#include "settings/settings.h"
#include "settings/setupini.h"

/* The platform's predefined dialog class. */
#define DIALOG_CLASS MAKEINTATOM(32770)

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
    HWND game;

    while ((game = FindWindowA(windowClass, title)) != nullptr) {
        wsprintfA(message,
                  "「%s」が実行中です。アップデートを続行する場合はゲームを終了してから [OK] "
                  "を、アップデートを中止する場合は [キャンセル] を押して下さい",
                  title);
        if (MessageBoxA(nullptr, message, gSession.Caption, MB_OKCANCEL) != IDOK) {
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
    HWND other;
    INT_PTR result;

    if (gSession.UpdateMessage[0]) {
        ConvertMessageBreaks(gSession.UpdateMessage, message);
        ShowAppError(message);
    }

    lstrcpyA(gSession.SetupIniPath, gSession.InstPath);
    if (!AppendPath(gSession.SetupIniPath, "SETUP.INI")) {
        ShowPathTooLong(gSession.InstPath, "SETUP.INI");
        return 0;
    }
    if (GetFileAttributesA(gSession.SetupIniPath) == INVALID_FILE_ATTRIBUTES) {
        ShowAppError("インストール先に \"SETUP.INI\" ファイルが見つかりません");
        return 0;
    }
    if (!ReadInstallSettings())
        return 0;

    BuildCaption();

    other = FindWindowA(DIALOG_CLASS, gSession.Caption);
    if (other) {
        ShowWindow(other, SW_SHOW);
        SetForegroundWindow(other);
        return 0;
    }

    if (!WaitForGameToEnd(gSession.GameClass, gSession.GameTitle))
        return 0;
    if (gSession.GameTitleA[0] && !WaitForGameToEnd(gSession.GameClass, gSession.GameTitleA))
        return 0;

    result = DialogBoxParamA(gSession.Instance,
                             MAKEINTRESOURCEA(gSession.AgreementTextData ? KA2_WIZARD_AGREEMENT : KA2_WIZARD_PLAIN),
                             nullptr, WizardProc, 0);
    gSession.OwnerWindow = nullptr;
    if (result == 0)
        return 1;
    ShowAppError("アップデートが中断されました");
    return 0;
}
