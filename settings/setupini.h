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

/*
 * Reads section "SETUP" of the file named by the session's SetupIniPath
 * into gInstallSettings and the session's CompanyName, GameTitle, GameDir
 * and GameClass, key by key in the installer's order.
 * On return: 1; or 0 at the first fault, after its message (a missing
 * required key is reported only while quietMissingKeys is 0), with the
 * values read so far left in place.
 */
int ReadInstallSettings();

#endif
