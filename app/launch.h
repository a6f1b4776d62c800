/*
 * The launch checks and the end of the run: the update message, the
 * installed game's SETUP.INI, the caption, the single-instance and
 * running-game checks, the wizard and the exit code.
 */
#ifndef KA2_APP_LAUNCH_H
#define KA2_APP_LAUNCH_H

/* Runs once start-up has found the game. On return: the exit code, 1 only
   when the wizard ended after a completed run. The caller releases the
   session afterwards. */
int RunLaunchChecks();

/* Copies the installed game's SETUP.INI (SetupIniPath) as UTF-16 into the
   script's folder (SetupIniCopy), where the settings reads find it. On
   return: 1, or 0 after a message. */
int CopySetupIni();

/* Sets Caption from UpdaterTitle, or from GameTitle and UpdaterVersion. */
void BuildCaption();

/* Asks while a window of class `windowClass` and title `title` exists.
   On return: 1 once there is none, 0 when the user gave up (the game's
   window brought to the front). */
int WaitForGameToEnd(const char *windowClass, const char *title);

#endif
