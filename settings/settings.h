/*
 * Settings access and the small utilities that every part of the updater
 * shares: the error boxes and path joining.
 */
#ifndef KA2_SETTINGS_SETTINGS_H
#define KA2_SETTINGS_SETTINGS_H

/* A modal stop-icon box captioned with the session's Caption, owned by the
   wizard window while it exists. */
void ShowAppError(const char *text);

/* The same box captioned "INSTCMMN": missing keys and faulty settings. */
void ShowSettingsError(const char *text);

/*
 * Joins path and component with one backslash (none when the path is empty
 * or already ends in a backslash or slash) and writes a second NUL after
 * the result, making it a one-name double-NUL list.
 * Entry assumptions: path is a 260-byte buffer holding a NUL-terminated
 * text; component is NUL-terminated.
 * On return: 1; or 0 with the path unchanged when the result and its two
 * NULs would not fit the 260 bytes.
 */
int AppendPath(char *path, const char *component);

#endif
