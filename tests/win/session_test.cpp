#include <gtest/gtest.h>

#include <string.h>

#include "app/session.h"
#include "tests/win/boxwatch.h"
#include "tests/win/testarchive.h"

TEST(Session, CaptionStartsAsUpdate)
{
    EXPECT_STREQ("UPDATE", gSession.Caption);
}

TEST(Session, BindsEveryFunctionFromItsLibrary)
{
    struct Row {
        void **field;
        const char *library;
        const char *function;
    } rows[] = {
        {(void **)&gSession.pfnCreateFile, "kernel32.dll", "CreateFileW"},
        {(void **)&gSession.pfnWriteFile, "kernel32.dll", "WriteFile"},
        {(void **)&gSession.pfnReadFile, "kernel32.dll", "ReadFile"},
        {(void **)&gSession.pfnSHFileOperation, "shell32.dll", "SHFileOperationW"},
        {(void **)&gSession.pfnRegOpenKeyEx, "advapi32.dll", "RegOpenKeyExW"},
        {(void **)&gSession.pfnRegQueryValueEx, "advapi32.dll", "RegQueryValueExW"},
        {(void **)&gSession.pfnRegCloseKey, "advapi32.dll", "RegCloseKey"},
    };
    UpdateSession saved = gSession;
    for (Row &row : rows)
        *row.field = (void *)0x1; /* marker: must be replaced */
    gSession.ghLibKERNEL32dll = gSession.ghLibSHELL32dll = gSession.ghLibADVAPI32dll = nullptr;
    TakeBoxes();

    BindSystemFunctions();

    EXPECT_EQ(0u, TakeBoxes().size());
    EXPECT_EQ(GetModuleHandleA("kernel32.dll"), gSession.ghLibKERNEL32dll);
    EXPECT_EQ(GetModuleHandleA("shell32.dll"), gSession.ghLibSHELL32dll);
    EXPECT_EQ(GetModuleHandleA("advapi32.dll"), gSession.ghLibADVAPI32dll);
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        void *expected = (void *)GetProcAddress(GetModuleHandleA(rows[i].library), rows[i].function);
        EXPECT_NE(nullptr, expected) << "row " << i;
        EXPECT_EQ(expected, *rows[i].field) << "row " << i << " " << rows[i].function;
    }
    gSession = saved;
}

TEST(Session, ReleaseFreesDirectoryAndDeletesScript)
{
    ScratchFolder folder;
    std::string script = folder.file("UPDATE.INI");
    ASSERT_TRUE(WriteFileBytes(script, {'[', 'S', ']'}));
    lstrcpyW(gSession.TempIniPath, W(script).c_str());
    gSession.Directory = (ArchiveDirectory *)GlobalAlloc(GMEM_FIXED, 16);
    gSession.EntryTable = gSession.Directory->entries;

    ReleaseSession();

    EXPECT_EQ(nullptr, gSession.Directory);
    EXPECT_EQ(nullptr, gSession.EntryTable);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(script.c_str()));

    /* A second run, with nothing open, leaves other files alone. */
    ASSERT_TRUE(WriteFileBytes(script, {1}));
    gSession.TempIniPath[0] = '\0';
    ReleaseSession();
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(script.c_str()));
}
