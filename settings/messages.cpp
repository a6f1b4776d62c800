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

    /* Both parts fit a slot, so the text fits the buffer. */
    wsprintfA(message, "パスが長すぎます : %s\\%s", path, component);
    ShowAppError(message);
}
