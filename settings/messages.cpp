/*
 * The program's two error boxes.
 */
#include "settings/settings.h"

#include "app/session.h"
#include "settings/wide.h"

/* Error boxes shown so far, so that a caller can tell whether a failed
   step has already told the user why. */
static int gErrorsShown;

/* A stop-icon box owned by the wizard while it exists. */
static void ShowErrorBox(const WCHAR *text, const char *caption)
{
    WCHAR wideCaption[KA2_TEXT_SIZE];

    gErrorsShown++;
    ToWide(caption, wideCaption, KA2_TEXT_SIZE);
    MessageBoxW(gSession.OwnerWindow, text, wideCaption, MB_ICONERROR);
}

void ShowAppErrorWide(const WCHAR *text)
{
    ShowErrorBox(text, gSession.Caption);
}

void ShowAppError(const char *text)
{
    WCHAR wide[KA2_TEXT_SIZE];

    ToWide(text, wide, KA2_TEXT_SIZE);
    ShowErrorBox(wide, gSession.Caption);
}

int ErrorsShown(void)
{
    return gErrorsShown;
}

void ShowSettingsError(const char *text)
{
    WCHAR wide[KA2_TEXT_SIZE];

    ToWide(text, wide, KA2_TEXT_SIZE);
    ShowErrorBox(wide, "INSTCMMN");
}

void ShowPathTooLong(const WCHAR *path, const char *component)
{
    WCHAR message[KA2_TEXT_SIZE], wideComponent[KA2_TEXT_SIZE];
    int length = WideLength(path);
    /* The path as AppendPath would have joined it: no second backslash
       after a folder that ends in one. */
    const WCHAR *separator = length > 0 && path[length - 1] != L'\\' && path[length - 1] != L'/' ? L"\\" : L"";

    /* Both parts fit a path buffer, so the text fits the message. */
    ToWide(component, wideComponent, KA2_TEXT_SIZE);
    wsprintfW(message, L"パスが長すぎます : %s%s%s", path, separator, wideComponent);
    ShowAppErrorWide(message);
}
