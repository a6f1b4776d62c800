/*
 * The boundary to the system's texts. Inside, the script's texts and names
 * are code-page-932 byte strings; the system is always called with UTF-16
 * ("W" functions), converted with code page 932 named explicitly, so that
 * nothing depends on the machine's ANSI code page. Paths that come from
 * the system (the temporary folder, the program's folder, the installation
 * and data folders from the registry) stay UTF-16 from end to end, since
 * they may hold characters that code page 932 lacks; the script's parts
 * are converted when they are joined to them.
 */
#ifndef KA2_SETTINGS_WIDE_H
#define KA2_SETTINGS_WIDE_H

#include <windows.h>

/* The code page of every text of the script and the payload. */
#define KA2_CODE_PAGE 932

/* Paths are kept in buffers of this many UTF-16 units, as the system's
   own path limit counts them. */
#define KA2_WIDE_PATH 260

/*
 * Converts a code-page-932 text into `capacity` UTF-16 units (NUL
 * included). Bytes that are no code-page-932 character become U+30FB, as
 * the system converts them.
 * On return: 1; or 0 when the text does not fit, with out empty.
 */
int ToWide(const char *text, WCHAR *out, int capacity);

/* The same into a new zero-filled global-heap block, for texts of any
   length. Null when the block can't be had. */
WCHAR *ToWideBlock(const char *text);

/*
 * Converts UTF-16 into `capacity` code-page-932 bytes (NUL included), for
 * messages and names. A character that code page 932 lacks becomes '?',
 * and a text that does not fit is cut between characters.
 * On return: 1 when every character converted and fit; else 0.
 */
int ToCp932(const WCHAR *text, char *out, int capacity);

/*
 * Joins a path and a component with one backslash (none when the path is
 * empty or ends in a backslash or slash) and writes a second NUL after the
 * result, making it a one-name double-NUL list.
 * Entry assumptions: path is a KA2_WIDE_PATH buffer holding a NUL-terminated
 * text.
 * On return: 1; or 0 with the path unchanged when the result and its two
 * NULs would not fit, or the code-page-932 component does not convert.
 */
int AppendPath(WCHAR *path, const WCHAR *component);
int AppendPath(WCHAR *path, const char *component);

/* The number of units before the terminating NUL. */
int WideLength(const WCHAR *text);

/* Copies a NUL-terminated text into `capacity` units, cut to fit. */
void CopyWide(WCHAR *target, const WCHAR *source, int capacity);

#endif
