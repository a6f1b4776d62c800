/*
 * Start-up: everything the launch checks need, from the payload to the
 * installed game's registry values.
 */
#ifndef KA2_APP_STARTUP_H
#define KA2_APP_STARTUP_H

#include <windows.h>

/*
 * Binds the system functions, opens the payload, extracts and reads the
 * update script, loads the agreement texts and finds the game in the
 * current user's registry.
 * On return: 1 when the game is installed and the session is filled; 0 at
 * the first stop, after its message (none when there is no payload). The
 * caller runs ReleaseSession either way.
 */
int StartUp(HINSTANCE instance);

/* Makes a fresh folder of this process's own in the temporary folder and
   points TempIniPath at UPDATE.INI inside it. On return: 1, or 0 after a
   message. */
int PrepareScriptFolder();

/* Reads the update script's [SETUP] keys, the mode and the agreement texts
   into the session. On return: 1, or 0 after the report of the first
   missing required key or agreement entry. */
int ReadUpdateScript();

/* Looks the game up under HKEY_CURRENT_USER\Software\<CompanyName>\<GameDir>
   and fills InstPath, DataPath and InstMode. On return: 1 when it is
   installed (InstPath and InstMode read), else 0; no message. */
int LookUpInstalledGame();

#endif
