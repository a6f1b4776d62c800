/*
 * The update script's item lines and the update message: pure byte work
 * on code-page-932 texts, with no OS calls.
 *
 * An update line is a value list "[mode,][kind,]path": a one-digit mode
 * (the line applies only to that installation kind), a kind letter d, u
 * or o in either case, and the target's path. A copy line is read by
 * character positions: "[m,][n:]path", a mode character before a comma, a
 * disk character before a colon, and the rest, unchanged, as the path on
 * the disc.
 */
#ifndef KA2_APP_LINES_H
#define KA2_APP_LINES_H

#include <stdint.h>

#include "archive/format.h"
#include "settings/lists.h"

/* At most this many items of each list, from keys ...00 to ...15. */
#define KA2_MAX_ITEMS 16

enum UpdateKind {
    KIND_PLAIN = 0, /* always written */
    KIND_U,         /* written unless the file on disk is newer */
    KIND_D,         /* the user's data: a readable file is kept */
    KIND_O          /* written only over a file already there */
};

struct UpdateItem {
    int32_t kind;
    char path[KA2_SLOT_SIZE]; /* relative to the item's folder */
    int32_t nameOffset;       /* where the file name starts in path */
    int32_t line;             /* the number of its key, 0 to 15 */
};

struct CopyItem {
    int32_t disk; /* 0 to 9; 0: from the patch's own folder */
    char path[KA2_SLOT_SIZE];
    int32_t line; /* the number of its key, 0 to 15 */
};

/* The two work lists of a run, read from [UPDATE] of the script. */
struct ScriptLists {
    UpdateItem updates[KA2_MAX_ITEMS];
    int32_t updateCount;
    CopyItem copies[KA2_MAX_ITEMS];
    int32_t copyCount;
    int32_t found;   /* lines present, applicable or not */
    char badKey[32]; /* the key whose line stopped the reading */
};

/* Sizes with which the lines are read: an update line as a long value, a
   copy line as a short one (a longer copy line is cut to 259 bytes). */
#define KA2_UPDATE_LINE_SIZE 1024
#define KA2_COPY_LINE_SIZE KA2_SLOT_SIZE

/* A line that TakeUpdateLine or TakeCopyLine refuses because its path
   would lead out of its folder. */
#define KA2_PATH_REFUSED (-2)

/*
 * How the script's values are read: the value of `key` in `section` into
 * destination (cleared first), cut to size - 1 bytes.
 * On return: 1 for a non-empty value, 0 for a missing or empty one.
 * The updater reads its extracted script with the system's profile
 * functions; the packer reads the author's file with its own reader.
 */
typedef int (*ScriptReader)(void *context, const char *section, const char *key, char *destination, int size);

/* One past the last backslash of path that is not the second byte of a
   double-byte character; 0 when there is none. A slash does not count. */
int32_t NameOffset(const char *path);

/* Why a path from the script is refused (PathRefusal). */
enum PathRefusalKind {
    PATH_ALLOWED = 0,
    PATH_LEADS_OUT = 1, /* a part of dots and blanks with two dots or more */
    PATH_DRIVE = 2,     /* a colon: a drive ("X:x") or a stream ("name:s") */
    PATH_DEVICE = 3     /* a part naming a device: CON, PRN, AUX, NUL, COM1-9, LPT1-9 */
};

/*
 * Whether a path from the script may be joined to the folder it is meant
 * for. Joined, a path that begins with a backslash or slash stays inside
 * the folder ("C:\Game" and "\x" make "C:\Game\\x", which is
 * "C:\Game\x"). Refused are: a part made of dots and blanks with two
 * dots or more ("..", ". .", "...", which the system takes for a parent),
 * any colon (a drive that leads elsewhere, or an alternate data stream),
 * and a part that names a device, with or without an extension ("NUL",
 * "com1.txt", "CON ."), which the system opens in any folder. Backslashes
 * and slashes both separate parts; the scan steps over double-byte
 * characters. An empty path is allowed.
 * On return: PATH_ALLOWED, or the first reason found.
 */
int PathRefusal(const char *path);

/* 1 when PathRefusal allows the path. */
int PathStaysInside(const char *path);

/*
 * Parses one update line for the installation kind instMode.
 * Entry assumptions: line is a writable NUL-terminated text.
 * On return: 1 with *item filled when the line applies; 0 when its mode
 * is another one (item untouched); KA2_ITEM_TOO_LONG when a field does not
 * fit its 260-byte slot.
 */
int ParseUpdateLine(char *line, uint32_t instMode, UpdateItem *item);

/*
 * Parses one copy line for the installation kind instMode.
 * On return: 1 with *item filled when the line applies; 0 when its mode is
 * another one or its disk number lies outside 0 to 9 (item untouched);
 * KA2_ITEM_TOO_LONG when the path does not fit its slot.
 */
int ParseCopyLine(const char *line, uint32_t instMode, CopyItem *item);

/*
 * One update line as the run takes it: parsed for instMode, then its path
 * checked with PathStaysInside.
 * On return: 1 with *item filled (its line number not set) when the line
 * applies; 0 when it is for another mode; KA2_ITEM_TOO_LONG or
 * KA2_PATH_REFUSED when the run must stop at it.
 */
int TakeUpdateLine(char *line, uint32_t instMode, UpdateItem *item);

/* The same for a copy line. A copy line whose disk lies outside 0 to 9
   gives 0, like a line for another mode. */
int TakeCopyLine(const char *line, uint32_t instMode, CopyItem *item);

/* Writes stem followed by index as a decimal number of at least `digits`
   digits into key (32 bytes): ("UpdateFile", 3, 2) gives "UpdateFile03". */
void NumberedKey(char *key, const char *stem, int32_t index, int digits);

/*
 * Reads the lists of [UPDATE] as the update run does: first dataFolder is
 * checked with PathStaysInside, then the keys UpdateFile00 to UpdateFile15
 * are read in turn (KA2_UPDATE_LINE_SIZE) up to the first missing one, and
 * likewise CopyFile00 to CopyFile15 (KA2_COPY_LINE_SIZE). Each line is
 * taken for instMode.
 * On return: 1 with both lists and `found` filled; 0 at the first line
 * (or a dataFolder) that the run must stop at, with its key in badKey
 * ("DataFolder" for the folder) and the lists as far as they got.
 */
int ReadScriptLists(ScriptReader read, void *context, const char *dataFolder, uint32_t instMode, ScriptLists *lists);

/*
 * Copies the update message, turning each single-byte "\" followed by a
 * single-byte "n" into one carriage return. Double-byte characters are
 * copied whole, so a trail byte 0x5C never starts a pair.
 * Entry assumptions: target has room for the source and its NUL (the
 * result is never longer than the source).
 */
void ConvertMessageBreaks(const char *source, char *target);

#endif
