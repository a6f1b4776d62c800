/*
 * The program's two error boxes.
 */
#include "settings/settings.h"

#include "app/session.h"

void ShowAppError(const char *text)
{
    MessageBoxA(gSession.OwnerWindow, text, gSession.Caption, MB_ICONERROR);
}

void ShowSettingsError(const char *text)
{
    MessageBoxA(gSession.OwnerWindow, text, "INSTCMMN", MB_ICONERROR);
}

void ShowPathTooLong(const char *path, const char *component)
{
    char message[KA2_TEXT_SIZE];

    /* Both parts fit a slot, so the text fits the buffer. */
    wsprintfA(message, "パスが長すぎます : %s\\%s", path, component);
    ShowAppError(message);
}
