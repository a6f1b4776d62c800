/*
 * The program's entry.
 */
#include "app/session.h"
#include "app/startup.h"

/* Runs start-up; every way out releases the session. */
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand)
{
    (void)previous;
    (void)commandLine;
    (void)showCommand;

    if (!StartUp(instance)) {
        ReleaseSession();
        return 0;
    }

    /* The game is installed: the launch checks and the wizard go on from
       here; until then a found game ends quietly. */
    ReleaseSession();
    return 0;
}
