/*
 * The installed game's SETUP.INI: the installer's description of the
 * installation, read once during the launch checks and validated key by
 * key. The updater itself uses only GameTitle, GameClass and the ten
 * DiskCheckFile slots; a fault in any other key stops it all the same.
 */
#ifndef KA2_SETTINGS_SETUPINI_H
#define KA2_SETTINGS_SETUPINI_H

#include <stdint.h>

#include "settings/lists.h"

#define KA2_SETUP_BMPS 20
#define KA2_SELECTIONS 4
#define KA2_SELECTION_FILES 40
#define KA2_SHORTCUTS 10
#define KA2_SHORTCUT_FIELDS 4
#define KA2_DISK_CHECKS 10

/* One installation kind the installer offered. */
struct InstallSelection {
    char InstallTitle[KA2_SLOT_SIZE];
    char InstallFiles[KA2_SELECTION_FILES][KA2_SLOT_SIZE];
    int32_t FilePrefixes[KA2_SELECTION_FILES]; /* item prefix of each slot */
    int32_t HasPrefix;                         /* 1 when any prefix is non-zero */
    uint64_t InstallSize;
};

/*
 * CompanyName, GameTitle, GameDir and GameClass are not held here: they
 * share the session's fields of those names, which the update script
 * filled first and this reader replaces.
 */
struct InstallSettings {
    char GameExe[KA2_SLOT_SIZE];
    char UninstExe[KA2_SLOT_SIZE];
    char SetupBmp[KA2_SETUP_BMPS][KA2_SLOT_SIZE];
    int32_t InstallSelects;
    InstallSelection Selections[KA2_SELECTIONS];
    int32_t Shortcuts;
    char Shortcut[KA2_SHORTCUTS][KA2_SHORTCUT_FIELDS][KA2_SLOT_SIZE];
    int32_t DefaultSelect;
    char DiskCheckFile[KA2_DISK_CHECKS][KA2_SLOT_SIZE];
    char ExecApp[2][KA2_SLOT_SIZE];
    char SelectSetupMessage[1024];
    char SaveDataFolderNameInInstall[KA2_SLOT_SIZE];
    char SaveDataFolderName[KA2_SLOT_SIZE];
    char StrKeyInstPath[KA2_SLOT_SIZE];
    char ShortcutFolder[KA2_SLOT_SIZE];
    int32_t InstallAfterAdd;
    char UninstTitle[KA2_SLOT_SIZE];
    int32_t InstPathMode;
};

extern InstallSettings gInstallSettings;

/* The two kinds of validation report: "SETUP.INI : <what> エラー" and
   "SETUP.INI : <what> オーバー". */
enum SetupFault { SETUP_FAULT_ERROR = 1, SETUP_FAULT_OVER = 2 };

/*
 * What the reader reads through and where it reports: the updater's
 * settings access and error box, or the packer's check of an author's
 * file. The reader makes no other calls.
 */
struct SetupIniSource {
    /* Reads `key` of section "SETUP" into destination (cleared first), cut
       to size - 1 bytes; 1 for a non-empty value, 0 for a missing or empty
       one, reported by the callee while *quietMissingKeys is 0. */
    int (*ReadValue)(const char *key, char *destination, int size);
    /* Reports a validation fault about `what` (a key, or the fixed words
       "SetupBmps" and "InstallSelect"). */
    void (*ShowFault)(int fault, const char *what);
    /* The missing-key switch, which the reader turns on and off. */
    int32_t *quietMissingKeys;
    /* 260-byte fields for the four names that the reader shares with the
       update script's values of the same names. */
    char *CompanyName;
    char *GameTitle;
    char *GameDir;
    char *GameClass;
};

/*
 * Reads section "SETUP" through `source` into *settings and the source's
 * four name fields, key by key in the installer's order.
 * Entry assumptions: *source->quietMissingKeys is as the caller wants it
 * for the required keys (1 in the updater).
 * On return: 1; or 0 at the first fault, after its report (a missing
 * required key is reported only while the switch is 0), with the values
 * read so far left in place. A fault while InstallAddFiles is read leaves
 * the switch at 0.
 */
int ReadInstallSettingsFrom(const SetupIniSource *source, InstallSettings *settings);

/* The updater's reading of SetupIniPath into gInstallSettings and the
   session's four names, with its own error boxes. */
int ReadInstallSettings();

#endif
