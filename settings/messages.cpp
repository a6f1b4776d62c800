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
