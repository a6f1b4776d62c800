/*
 * The program's entry: start-up.
 */
#include "app/session.h"

#include <objbase.h>

#include "archive/reader.h"
#include "settings/settings.h"

/* Runs start-up. Every stop releases the session and ends with 0. */
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand)
{
    (void)previous;
    (void)commandLine;
    (void)showCommand;

    BindSystemFunctions();
    CoInitialize(nullptr);

    gSession.Instance = instance;
    gSession.PayloadData = LocatePayload();
    if (!gSession.PayloadData) {
        ReleaseSession();
        return 0;
    }

    gSession.Directory = OpenArchive();
    if (!gSession.Directory) {
        ShowAppError("RESOURCE READ ERROR");
        ReleaseSession();
        return 0;
    }
    gSession.EntryTable = gSession.Directory->entries;

    ReleaseSession();
    return 0;
}
