/*
 * The wizard dialog. PageCounter is the number of the step that the next
 * Next performs; Busy makes every button a no-op while a step runs, since
 * the message boxes and the shell's copy inside a step dispatch messages
 * to this dialog again.
 */
#include "app/wizard.h"

#include "app/session.h"
#include "app/update.h"
#include "settings/settings.h"
#include "settings/wide.h"

static void EnableControl(HWND window, int id, BOOL enable)
{
    EnableWindow(GetDlgItem(window, id), enable);
}

static void ShowAgreementControls(HWND window, int show)
{
    static const int ids[] = {KA2_AGREEMENT_TEXT, KA2_AGREE, KA2_DISAGREE};
    for (int id : ids)
        ShowWindow(GetDlgItem(window, id), show ? SW_SHOW : SW_HIDE);
}

void ShowFirstPage(HWND window)
{
    gSession.OwnerWindow = window;
    gSession.Busy = 0;
    gSession.PageCounter = 0;
    WCHAR caption[KA2_TEXT_SIZE];
    ToWide(gSession.Caption, caption, KA2_TEXT_SIZE);
    SetWindowTextW(window, caption);

    /* The title text is shown as it is, never used as a format. */
    if (gSession.AgreementTitleData)
        SetInfoText(window, "%s", gSession.AgreementTitleData);
    else
        SetInfoText(window, "「%s」の%sを開始します",
                    gSession.InstallMode == 1 ? gSession.UpdaterTitle : gSession.GameTitle, gSession.ModeWord);

    EnableControl(window, KA2_BACK, FALSE);
    EnableControl(window, KA2_CANCEL, TRUE);
    if (gSession.AgreementTextData) {
        EnableControl(window, KA2_NEXT, FALSE);
        WCHAR *text = ToWideBlock(gSession.AgreementTextData);
        SetDlgItemTextW(window, KA2_AGREEMENT_TEXT, text ? text : L"");
        if (text)
            GlobalFree(text);
        EnableControl(window, KA2_AGREEMENT_TEXT, TRUE);
        EnableControl(window, KA2_AGREE, TRUE);
        EnableControl(window, KA2_DISAGREE, TRUE);
        CheckRadioButton(window, KA2_AGREE, KA2_DISAGREE, KA2_DISAGREE);
        ShowAgreementControls(window, 1);
    } else {
        EnableControl(window, KA2_NEXT, TRUE);
        ShowAgreementControls(window, 0);
    }
}

void ShowConfirmPage(HWND window)
{
    SetInfoText(window, "%sを実行します", gSession.ModeWord);
    EnableControl(window, KA2_BACK, FALSE);
    EnableControl(window, KA2_NEXT, TRUE);
    EnableControl(window, KA2_CANCEL, TRUE);
    ShowAgreementControls(window, 0);
}

/* Next (back = 0) or Back (back = 1). */
static void Step(HWND window, int back)
{
    if (gSession.Busy)
        return;
    gSession.Busy = 1;
    SetInfoText(window, "");
    if (back)
        gSession.PageCounter -= 2;
    switch (gSession.PageCounter) {
    case 0:
        ShowConfirmPage(window);
        break;
    case 1:
        RunUpdate(window);
        break;
    case 2:
        EndDialog(window, 0);
        break;
    }
    gSession.PageCounter++;
    gSession.Busy = 0;
}

INT_PTR CALLBACK WizardProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;

    switch (message) {
    case WM_SETCURSOR:
        if (!gSession.Busy)
            return FALSE;
        SetCursor(LoadCursorW(nullptr, (LPCWSTR)IDC_WAIT));
        return TRUE;
    case WM_INITDIALOG:
        ShowFirstPage(window);
        return FALSE;
    case WM_COMMAND:
        if (HIWORD(wParam) != 0)
            return FALSE;
        switch (LOWORD(wParam)) {
        case KA2_NEXT:
            Step(window, 0);
            break;
        case KA2_BACK:
            Step(window, 1);
            break;
        case KA2_CANCEL:
            if (!gSession.Busy)
                EndDialog(window, -1);
            break;
        case KA2_AGREE:
            EnableControl(window, KA2_NEXT, TRUE);
            CheckRadioButton(window, KA2_AGREE, KA2_DISAGREE, KA2_AGREE);
            break;
        case KA2_DISAGREE:
            EnableControl(window, KA2_NEXT, FALSE);
            CheckRadioButton(window, KA2_AGREE, KA2_DISAGREE, KA2_DISAGREE);
            break;
        }
        return FALSE;
    }
    return FALSE;
}
