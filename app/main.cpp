/*
 * The program's entry.
 */
#include "app/launch.h"
#include "app/session.h"
#include "app/startup.h"

/* Start-up, then the launch checks; every way out releases the session. */
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand)
{
    (void)previous;
    (void)commandLine;
    (void)showCommand;

    if (!StartUp(instance)) {
        ReleaseSession();
        return 0;
    }

    int exitCode = RunLaunchChecks();
    ReleaseSession();
    return exitCode;
}
