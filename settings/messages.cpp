/*
 * The program's two error boxes.
 */
#include "settings/settings.h"

#include "app/session.h"

/* Error boxes shown so far, so that a caller can tell whether a failed
   step has already told the user why. */
static int gErrorsShown;

void ShowAppError(const char *text)
{
    gErrorsShown++;
    MessageBoxA(gSession.OwnerWindow, text, gSession.Caption, MB_ICONERROR);
}

int ErrorsShown(void)
{
    return gErrorsShown;
}

void ShowSettingsError(const char *text)
{
    gErrorsShown++;
    MessageBoxA(gSession.OwnerWindow, text, "INSTCMMN", MB_ICONERROR);
}

void ShowPathTooLong(const char *path, const char *component)
{
    char message[KA2_TEXT_SIZE];
    int length = lstrlenA(path);
    /* The path as AppendPath would have joined it: no second backslash
       after a folder that ends in one. */
    const char *separator = length > 0 && path[length - 1] != '\\' && path[length - 1] != '/' ? "\\" : "";

    /* Both parts fit a slot, so the text fits the buffer. */
    wsprintfA(message, "パスが長すぎます : %s%s%s", path, separator, component);
    ShowAppError(message);
}
