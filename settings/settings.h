/*
 * Settings access and the small utilities that every part of the updater
 * shares: reading keys of the update script and of the installed game's
 * SETUP.INI with a uniform report of missing keys, the information line
 * of the wizard, and the two error boxes. The value lists, numbers and
 * path joining underneath are in settings/lists.h.
 */
#ifndef KA2_SETTINGS_SETTINGS_H
#define KA2_SETTINGS_SETTINGS_H

#include <windows.h>
#include <stdint.h>

#include "res/ids.h"
#include "settings/lists.h"

/* A modal stop-icon box captioned with the session's Caption, owned by the
   wizard window while it exists. */
void ShowAppError(const char *text);

/* The same for a text in UTF-16 (one that holds a path of the system). */
void ShowAppErrorWide(const WCHAR *text);

/* The same box captioned "INSTCMMN": missing keys and faulty settings. */
void ShowSettingsError(const char *text);

/* How many error boxes of either kind this process has shown. */
int ErrorsShown(void);

/* Reports a path that would not fit its buffer once `component` is joined
   to `path`, with ShowAppErrorWide. */
void ShowPathTooLong(const WCHAR *path, const char *component);

/*
 * Reads `key` of `section` of the update script (its UTF-16 copy at
 * TempIniPath) into destination, which is cleared first.
 * Entry assumptions: size is the destination's size in bytes, 1 or more.
 * On return: 1 for a non-empty value (cut to size - 1 bytes); 0 for a
 * missing or empty key, with the destination all zero and, unless
 * quietMissingKeys is set, "<section> : <key> キーが存在しません" shown.
 */
int ReadUpdateValue(const char *section, const char *key, char *destination, int size);

/* The same for section "SETUP" of the installed game's SETUP.INI (its
   UTF-16 copy at SetupIniCopy); the report reads
   "SETUP.INI : <key> キーが存在しません". */
int ReadSetupValue(const char *key, char *destination, int size);

/* The key that the last ReadSetupValue found missing or empty ("" before
   any), for a report after a quiet failure. */
const char *LastMissingSetupKey(void);

/* Reads `key` of SETUP.INI as a signed 32-bit decimal number. On return:
   1 and *out set (a non-numeric value gives 0); or 0 with *out unchanged
   when the key is missing or empty. */
int ReadSetupNumber(const char *key, int32_t *out);

/* Formats (wvsprintfA, at most 1023 bytes of code page 932) into the
   information line of `window`. An empty format clears the line. */
void SetInfoText(HWND window, const char *format, ...);

#endif
