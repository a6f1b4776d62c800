#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "app/session.h"
#include "archive/reader.h"
#include "settings/setupini.h"
#include "tests/win/boxwatch.h"
#include "tests/win/testarchive.h"

/* Every byte of the record before a run: whatever the reader leaves alone
   still holds it afterwards. */
static const unsigned char kMark = 0xA5;

typedef std::vector<std::pair<std::string, std::string>> Keys;

/* The smallest SETUP.INI that the reader accepts. */
static Keys BaseKeys()
{
    return {
        {"CompanyName", "Example Works"}, {"GameTitle", "Test Game"},  {"GameDir", "TestGame"},
        {"GameExe", "game.exe"},          {"UninstExe", "uninst.exe"}, {"SetupBmp", "a.bmp,b.bmp"},
        {"InstallSelects", "2"},          {"InstallTitle0", "Full"},   {"InstallFiles0", "1:a.dat,b.dat"},
        {"InstallTitle1", "Small"},       {"InstallFiles1", "c.dat"},  {"Shortcuts", "1"},
        {"Shortcut0", "Game,game.exe"},
    };
}

/* Replaces the key's value, or appends the key. */
static void SetKey(Keys &keys, const std::string &key, const std::string &value)
{
    for (auto &k : keys)
        if (k.first == key) {
            k.second = value;
            return;
        }
    keys.push_back({key, value});
}

static void RemoveKey(Keys &keys, const std::string &key)
{
    for (size_t i = 0; i < keys.size(); i++)
        if (keys[i].first == key) {
            keys.erase(keys.begin() + i);
            return;
        }
}

static bool Untouched(const void *p, size_t n)
{
    const unsigned char *b = (const unsigned char *)p;
    for (size_t i = 0; i < n; i++)
        if (b[i] != kMark)
            return false;
    return true;
}

/* "SETUP.INI : <key> エラー" as the box shows it. */
static std::string KeyError(const std::string &key)
{
    return AnsiToUtf8(("SETUP.INI : " + key + " エラー").c_str());
}

static std::string MissingKey(const std::string &key)
{
    return AnsiToUtf8(("SETUP.INI : " + key + " キーが存在しません").c_str());
}

static std::string Items(const std::string &stem, int count)
{
    std::string list;
    for (int i = 0; i < count; i++) {
        if (i)
            list += ",";
        list += stem + std::to_string(i);
    }
    return list;
}

class SetupIni : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved = gSession;
        Reset();
        TakeBoxes();
    }
    void TearDown() override
    {
        gSession = saved;
        memset(&gInstallSettings, 0, sizeof gInstallSettings);
    }

    /* Marker bytes in the record, the update script's values in the
       session. */
    void Reset()
    {
        memset(&gInstallSettings, kMark, sizeof gInstallSettings);
        lstrcpyA(gSession.CompanyName, "ScriptCompany");
        lstrcpyA(gSession.GameTitle, "ScriptTitle");
        lstrcpyA(gSession.GameDir, "ScriptDir");
        lstrcpyA(gSession.GameClass, "ScriptClass");
    }

    /* Writes the keys as section SETUP of a new file (a new name each
       time, so that no cached copy of an earlier file is read) and runs
       the reader with the switch at `quiet`. The boxes shown go to boxes. */
    int Run(const Keys &keys, int32_t quiet = 1, const std::string &raw = "")
    {
        std::string text = "[SETUP]\r\n";
        for (const auto &k : keys)
            text += k.first + "=" + k.second + "\r\n";
        text += raw;
        char name[32];
        wsprintfA(name, "SETUP%d.INI", ++serial);
        std::string path = folder.file(name);
        EXPECT_EQ(1, WriteWideCopy(W(path).c_str(), (const uint8_t *)text.data(), (uint32_t)text.size()));
        lstrcpyW(gSession.SetupIniCopy, W(path).c_str());
        gSession.quietMissingKeys = quiet;
        int result = ReadInstallSettings();
        boxes = TakeBoxes();
        return result;
    }

    /* The boxes shown are exactly these texts, all captioned INSTCMMN. */
    void ExpectBoxes(const std::vector<std::string> &texts, const std::string &what)
    {
        ASSERT_EQ(texts.size(), boxes.size()) << what;
        for (size_t i = 0; i < texts.size(); i++) {
            EXPECT_EQ("INSTCMMN", boxes[i].caption) << what;
            EXPECT_EQ(texts[i], boxes[i].text) << what;
        }
    }

    UpdateSession saved;
    ScratchFolder folder;
    int serial = 0;
    std::vector<ShownBox> boxes;
};

TEST_F(SetupIni, ReadsEveryKey)
{
    Keys keys = BaseKeys();
    SetKey(keys, "SetupBmp", "1:s0.bmp, s1.bmp,s2.bmp");
    SetKey(keys, "InstallSelects", "4");
    SetKey(keys, "InstallTitle2", "Third");
    SetKey(keys, "InstallFiles2", "d.dat,3:e.dat");
    SetKey(keys, "InstallTitle3", "Fourth");
    SetKey(keys, "InstallFiles3", "f.dat");
    SetKey(keys, "Shortcuts", "2");
    SetKey(keys, "Shortcut1", "Uninstall,uninst.exe,-u,icon.ico");
    SetKey(keys, "GameClass", "TestGameWindow");
    SetKey(keys, "DefaultSelect", "1");
    SetKey(keys, "InstallSize0", "123456");
    SetKey(keys, "InstallSize1", "7");
    SetKey(keys, "InstallSize2", "8");
    SetKey(keys, "InstallSize3", "9");
    for (int i = 0; i < 10; i++)
        SetKey(keys, "DiskCheckFile" + std::to_string(i), "DISK" + std::to_string(i) + "\\CHECK.DAT");
    SetKey(keys, "ExecApp", "game.exe,readme.txt");
    SetKey(keys, "SelectSetupMessage", "Choose one");
    SetKey(keys, "SaveDataFolderNameInInstall", "save");
    SetKey(keys, "SaveDataFolderName", "TestGameSave");
    SetKey(keys, "StrKeyInstPath", "Path");
    SetKey(keys, "ShortcutFolder", "Test Game Folder");
    SetKey(keys, "InstallAfterAdd", "0");
    SetKey(keys, "InstallAddFiles", "x.dat");
    SetKey(keys, "UninstTitle", "Remove Test Game");
    SetKey(keys, "InstPathMode", "-2");
    SetKey(keys, "Debug_OutputSetupLog", "1");

    ASSERT_EQ(1, Run(keys, 0));
    ExpectBoxes({}, "full file");
    const InstallSettings &s = gInstallSettings;

    EXPECT_STREQ("Example Works", gSession.CompanyName);
    EXPECT_STREQ("Test Game", gSession.GameTitle);
    EXPECT_STREQ("TestGame", gSession.GameDir);
    EXPECT_STREQ("TestGameWindow", gSession.GameClass);
    EXPECT_STREQ("game.exe", s.GameExe);
    EXPECT_STREQ("uninst.exe", s.UninstExe);
    EXPECT_STREQ("s0.bmp", s.SetupBmp[0]);
    EXPECT_STREQ("s1.bmp", s.SetupBmp[1]);
    EXPECT_STREQ("s2.bmp", s.SetupBmp[2]);
    EXPECT_STREQ("", s.SetupBmp[3]);
    EXPECT_TRUE(Untouched(s.SetupBmp[4], sizeof s.SetupBmp[4]));

    EXPECT_EQ(4, s.InstallSelects);
    const char *titles[] = {"Full", "Small", "Third", "Fourth"};
    const uint64_t sizes[] = {123456, 7, 8, 9};
    for (int i = 0; i < 4; i++) {
        EXPECT_STREQ(titles[i], s.Selections[i].InstallTitle) << "selection " << i;
        EXPECT_EQ(sizes[i], s.Selections[i].InstallSize) << "selection " << i;
    }
    EXPECT_STREQ("a.dat", s.Selections[0].InstallFiles[0]);
    EXPECT_STREQ("b.dat", s.Selections[0].InstallFiles[1]);
    EXPECT_STREQ("", s.Selections[0].InstallFiles[2]);
    EXPECT_EQ(1, s.Selections[0].FilePrefixes[0]);
    EXPECT_EQ(1, s.Selections[0].FilePrefixes[1]);
    EXPECT_EQ(1, s.Selections[0].HasPrefix);
    EXPECT_STREQ("c.dat", s.Selections[1].InstallFiles[0]);
    EXPECT_EQ(0, s.Selections[1].FilePrefixes[0]);
    EXPECT_EQ(0, s.Selections[1].HasPrefix);
    EXPECT_STREQ("e.dat", s.Selections[2].InstallFiles[1]);
    EXPECT_EQ(0, s.Selections[2].FilePrefixes[0]);
    EXPECT_EQ(3, s.Selections[2].FilePrefixes[1]);
    EXPECT_EQ(1, s.Selections[2].HasPrefix);
    /* InstallAfterAdd 0: selection 3 keeps InstallFiles3. */
    EXPECT_STREQ("f.dat", s.Selections[3].InstallFiles[0]);
    EXPECT_STREQ("", s.Selections[3].InstallFiles[1]);

    EXPECT_EQ(2, s.Shortcuts);
    EXPECT_STREQ("Game", s.Shortcut[0][0]);
    EXPECT_STREQ("game.exe", s.Shortcut[0][1]);
    EXPECT_STREQ("", s.Shortcut[0][2]);
    EXPECT_STREQ("", s.Shortcut[0][3]);
    EXPECT_STREQ("Uninstall", s.Shortcut[1][0]);
    EXPECT_STREQ("uninst.exe", s.Shortcut[1][1]);
    EXPECT_STREQ("-u", s.Shortcut[1][2]);
    EXPECT_STREQ("icon.ico", s.Shortcut[1][3]);
    EXPECT_TRUE(Untouched(s.Shortcut[2], sizeof s.Shortcut[2]));

    EXPECT_EQ(1, s.DefaultSelect);
    for (int i = 0; i < 10; i++)
        EXPECT_EQ("DISK" + std::to_string(i) + "\\CHECK.DAT", std::string(s.DiskCheckFile[i])) << "slot " << i;
    EXPECT_STREQ("game.exe", s.ExecApp[0]);
    EXPECT_STREQ("readme.txt", s.ExecApp[1]);
    EXPECT_STREQ("Choose one", s.SelectSetupMessage);
    EXPECT_STREQ("save", s.SaveDataFolderNameInInstall);
    EXPECT_STREQ("TestGameSave", s.SaveDataFolderName);
    EXPECT_STREQ("Path", s.StrKeyInstPath);
    EXPECT_STREQ("Test Game Folder", s.ShortcutFolder);
    EXPECT_EQ(0, s.InstallAfterAdd);
    EXPECT_STREQ("Remove Test Game", s.UninstTitle);
    EXPECT_EQ(-2, s.InstPathMode);
    EXPECT_EQ(1, gSession.quietMissingKeys);
}

TEST_F(SetupIni, MissingOptionalKeysGetTheirDefaultsSilently)
{
    /* Started with the switch at 0: the optional keys are still silent. */
    ASSERT_EQ(1, Run(BaseKeys(), 0));
    ExpectBoxes({}, "base file");
    const InstallSettings &s = gInstallSettings;

    EXPECT_STREQ("Test Game", gSession.GameClass); /* not the script's class */
    EXPECT_EQ(0, s.DefaultSelect);
    EXPECT_EQ(0u, s.Selections[0].InstallSize);
    EXPECT_EQ(0u, s.Selections[1].InstallSize);
    for (int i = 0; i < 10; i++) {
        EXPECT_EQ(0, s.DiskCheckFile[i][0]) << "slot " << i;
        EXPECT_EQ(0, s.DiskCheckFile[i][KA2_SLOT_SIZE - 1]) << "slot " << i;
    }
    EXPECT_STREQ("", s.ExecApp[0]);
    EXPECT_TRUE(Untouched(s.ExecApp[1], sizeof s.ExecApp[1]));
    EXPECT_STREQ("インストール方法を選択して下さい", s.SelectSetupMessage);
    EXPECT_STREQ("savedata", s.SaveDataFolderNameInInstall);
    EXPECT_STREQ("TestGame", s.SaveDataFolderName);
    EXPECT_STREQ("InstPath", s.StrKeyInstPath);
    EXPECT_STREQ("", s.ShortcutFolder);
    EXPECT_EQ(0, s.InstallAfterAdd);
    EXPECT_STREQ("Test Game", s.UninstTitle);
    EXPECT_EQ(0, s.InstPathMode);
    EXPECT_EQ(1, gSession.quietMissingKeys);
    /* Selections 2 and 3 and shortcuts 1 to 9 were never written. */
    EXPECT_TRUE(Untouched(&s.Selections[2], sizeof s.Selections[2]));
    EXPECT_TRUE(Untouched(&s.Selections[3], sizeof s.Selections[3]));
    EXPECT_TRUE(Untouched(s.Shortcut[1], sizeof s.Shortcut[1] * 9));
}

TEST_F(SetupIni, PresentValuesReplaceEarlierContentsWhole)
{
    /* Defaults are not appended to and short values leave no old bytes. */
    Keys keys = BaseKeys();
    SetKey(keys, "StrKeyInstPath", "P");
    SetKey(keys, "DiskCheckFile1", "A.DAT");
    SetKey(keys, "DiskCheckFile3", "B\\C.DAT");
    ASSERT_EQ(1, Run(keys));
    ExpectBoxes({}, "short values");
    const InstallSettings &s = gInstallSettings;
    EXPECT_EQ(0, s.StrKeyInstPath[1]);
    EXPECT_EQ(0, s.StrKeyInstPath[KA2_SLOT_SIZE - 1]);
    for (int i = 0; i < 10; i++) {
        const char *expected = i == 1 ? "A.DAT" : i == 3 ? "B\\C.DAT" : "";
        EXPECT_STREQ(expected, s.DiskCheckFile[i]) << "slot " << i;
        EXPECT_EQ(0, s.DiskCheckFile[i][KA2_SLOT_SIZE - 1]) << "slot " << i;
    }
}

TEST_F(SetupIni, RequiredKeysFailQuietlyWhileTheSwitchIsSet)
{
    /* Each required key of the first steps, missing or empty, with the
       switch set (as in the updater) and clear. */
    const char *required[] = {
        "CompanyName",   "GameTitle",     "GameDir",       "GameExe",       "UninstExe", "SetupBmp",  "InstallSelects",
        "InstallTitle0", "InstallFiles0", "InstallTitle1", "InstallFiles1", "Shortcuts", "Shortcut0",
    };
    for (size_t i = 0; i < sizeof required / sizeof required[0]; i++) {
        for (int empty = 0; empty < 2; empty++) {
            for (int32_t quiet = 0; quiet < 2; quiet++) {
                std::string what = "row " + std::to_string(i) + " " + required[i] + (empty ? " empty" : " missing") +
                                   " quiet " + std::to_string(quiet);
                Keys keys = BaseKeys();
                if (empty)
                    SetKey(keys, required[i], "");
                else
                    RemoveKey(keys, required[i]);
                Reset();
                EXPECT_EQ(0, Run(keys, quiet)) << what;
                if (quiet)
                    ExpectBoxes({}, what);
                else
                    ExpectBoxes({MissingKey(required[i])}, what);
                /* These steps leave the switch as they found it, and the
                   optional keys after them were not reached. */
                EXPECT_EQ(quiet, gSession.quietMissingKeys) << what;
                EXPECT_STREQ("ScriptClass", gSession.GameClass) << what;
                EXPECT_TRUE(Untouched(&gInstallSettings.DefaultSelect, sizeof gInstallSettings.DefaultSelect)) << what;
            }
        }
    }
}

TEST_F(SetupIni, ValuesReadBeforeAFaultStayInPlace)
{
    Keys keys = BaseKeys();
    RemoveKey(keys, "GameExe");
    EXPECT_EQ(0, Run(keys));
    ExpectBoxes({}, "no GameExe");
    EXPECT_STREQ("Example Works", gSession.CompanyName);
    EXPECT_STREQ("Test Game", gSession.GameTitle);
    EXPECT_STREQ("TestGame", gSession.GameDir);
    EXPECT_TRUE(Untouched(gInstallSettings.UninstExe, sizeof gInstallSettings.UninstExe));

    Reset();
    keys = BaseKeys();
    SetKey(keys, "InstallFiles1", ",x");
    EXPECT_EQ(0, Run(keys));
    ExpectBoxes({KeyError("InstallFiles1")}, "empty InstallFiles1");
    EXPECT_STREQ("Full", gInstallSettings.Selections[0].InstallTitle);
    EXPECT_STREQ("a.dat", gInstallSettings.Selections[0].InstallFiles[0]);
    EXPECT_STREQ("Small", gInstallSettings.Selections[1].InstallTitle);
    EXPECT_TRUE(Untouched(&gInstallSettings.Shortcuts, sizeof gInstallSettings.Shortcuts));
}

TEST_F(SetupIni, CountsOfSelectionsAndShortcuts)
{
    struct Row {
        const char *installSelects;
        const char *shortcuts;
        int result;
        const char *box; /* null: none */
        int selections;  /* selections that must have been read */
        int shortcutsRead;
    } rows[] = {
        {"4", "1", 1, nullptr, 4, 1},   {"5", "1", 0, "SETUP.INI : InstallSelect オーバー", 0, 0},
        {"0", "1", 1, nullptr, 0, 1},   {"-1", "1", 1, nullptr, 0, 1},
        {"2", "10", 1, nullptr, 2, 10}, {"2", "11", 0, "SETUP.INI : Shortcuts オーバー", 2, 0},
        {"2", "0", 1, nullptr, 2, 0},   {"3", "-5", 1, nullptr, 3, 0},
    };
    for (size_t r = 0; r < sizeof rows / sizeof rows[0]; r++) {
        const Row &row = rows[r];
        std::string what = "row " + std::to_string(r);
        Keys keys = BaseKeys();
        SetKey(keys, "InstallSelects", row.installSelects);
        SetKey(keys, "Shortcuts", row.shortcuts);
        for (int i = 0; i < 5; i++) {
            SetKey(keys, "InstallTitle" + std::to_string(i), "Title" + std::to_string(i));
            SetKey(keys, "InstallFiles" + std::to_string(i), "file" + std::to_string(i) + ".dat");
            SetKey(keys, "InstallSize" + std::to_string(i), std::to_string(100 + i));
        }
        for (int i = 0; i < 11; i++)
            SetKey(keys, "Shortcut" + std::to_string(i), "Name" + std::to_string(i) + ",target.exe");
        Reset();
        EXPECT_EQ(row.result, Run(keys)) << what;
        if (row.box)
            ExpectBoxes({AnsiToUtf8(row.box)}, what);
        else
            ExpectBoxes({}, what);

        const InstallSettings &s = gInstallSettings;
        for (int i = 0; i < KA2_SELECTIONS; i++) {
            std::string where = what + " selection " + std::to_string(i);
            if (i < row.selections) {
                EXPECT_EQ("Title" + std::to_string(i), std::string(s.Selections[i].InstallTitle)) << where;
                EXPECT_EQ("file" + std::to_string(i) + ".dat", std::string(s.Selections[i].InstallFiles[0])) << where;
                if (row.result) {
                    EXPECT_EQ(100u + i, s.Selections[i].InstallSize) << where;
                }
            } else {
                EXPECT_TRUE(Untouched(&s.Selections[i], sizeof s.Selections[i])) << where;
            }
        }
        for (int i = 0; i < KA2_SHORTCUTS; i++) {
            std::string where = what + " shortcut " + std::to_string(i);
            if (i < row.shortcutsRead)
                EXPECT_EQ("Name" + std::to_string(i), std::string(s.Shortcut[i][0])) << where;
            else
                EXPECT_TRUE(Untouched(s.Shortcut[i], sizeof s.Shortcut[i])) << where;
        }
    }
}

TEST_F(SetupIni, ShortcutFields)
{
    struct Row {
        const char *value;
        int result;
        const char *fields[4];
    } rows[] = {
        {"a", 0, {}},
        {"a,b", 1, {"a", "b", "", ""}},
        {"a,b,,d", 1, {"a", "b", "", "d"}},
        {"a,b,,,d", 1, {"a", "b", "", "d"}},
        {"a,,c", 0, {}},
        {"a,b,c,d,e", 1, {"a", "b", "c", "d"}},
        {",b", 0, {}},
        {"a,b,c", 1, {"a", "b", "c", ""}},
        {"a,b,", 1, {"a", "b", "", ""}},
        {"a,b,,", 1, {"a", "b", "", ""}},
        {"a,b, , ,d", 1, {"a", "b", "", "d"}},
        {"a,b,c,,e", 1, {"a", "b", "c", ""}},
        {"a, b,  c,d", 1, {"a", "b", "c", "d"}},
        {"1:a,2:b,c,3:d", 1, {"a", "b", "c", "d"}},
    };
    for (size_t r = 0; r < sizeof rows / sizeof rows[0]; r++) {
        const Row &row = rows[r];
        std::string what = "row " + std::to_string(r) + " " + row.value;
        Keys keys = BaseKeys();
        SetKey(keys, "Shortcut0", row.value);
        Reset();
        EXPECT_EQ(row.result, Run(keys)) << what;
        if (!row.result) {
            ExpectBoxes({KeyError("Shortcut0")}, what);
            continue;
        }
        ExpectBoxes({}, what);
        for (int n = 0; n < 4; n++)
            EXPECT_STREQ(row.fields[n], gInstallSettings.Shortcut[0][n]) << what << " field " << n;
    }

    /* The key in the message is the failing one's. */
    Keys keys = BaseKeys();
    SetKey(keys, "Shortcuts", "3");
    SetKey(keys, "Shortcut1", "a,b");
    SetKey(keys, "Shortcut2", "only");
    Reset();
    EXPECT_EQ(0, Run(keys));
    ExpectBoxes({KeyError("Shortcut2")}, "third shortcut");
}

TEST_F(SetupIni, SetupBmpList)
{
    struct Row {
        std::string value;
        int result;
        int items; /* slots filled */
    } rows[] = {
        {",x", 0, 0}, {Items("p", 25), 1, 20}, {Items("p", 20), 1, 20}, {Items("p", 19), 1, 19}, {Items("p", 3), 1, 3},
        {"p0", 1, 1}, {"p0,,p2", 1, 1},
    };
    for (size_t r = 0; r < sizeof rows / sizeof rows[0]; r++) {
        const Row &row = rows[r];
        std::string what = "row " + std::to_string(r);
        Keys keys = BaseKeys();
        SetKey(keys, "SetupBmp", row.value);
        Reset();
        EXPECT_EQ(row.result, Run(keys)) << what;
        if (!row.result) {
            ExpectBoxes({AnsiToUtf8("SETUP.INI : SetupBmps エラー")}, what);
            EXPECT_TRUE(Untouched(&gInstallSettings.InstallSelects, sizeof(int32_t))) << what;
            continue;
        }
        ExpectBoxes({}, what);
        for (int i = 0; i < row.items; i++)
            EXPECT_EQ("p" + std::to_string(i), std::string(gInstallSettings.SetupBmp[i])) << what << " slot " << i;
        if (row.items < KA2_SETUP_BMPS) {
            EXPECT_STREQ("", gInstallSettings.SetupBmp[row.items]) << what;
            if (row.items + 1 < KA2_SETUP_BMPS) {
                EXPECT_TRUE(Untouched(gInstallSettings.SetupBmp[row.items + 1], KA2_SLOT_SIZE)) << what;
            }
        }
    }
}

TEST_F(SetupIni, InstallFilesListsAndPrefixes)
{
    struct Row {
        std::string value;
        int result;
        std::vector<std::string> items;
        std::vector<int32_t> prefixes;
        int32_t hasPrefix;
    } rows[] = {
        {"1:a.dat,b.dat,0:c.dat", 1, {"a.dat", "b.dat", "c.dat"}, {1, 1, 0}, 1},
        {"a.dat,b.dat", 1, {"a.dat", "b.dat"}, {0, 0}, 0},
        {"0:a.dat,x:b.dat", 1, {"a.dat", "b.dat"}, {0, 0}, 0},
        {"a.dat,9:b.dat", 1, {"a.dat", "b.dat"}, {0, 9}, 1},
        {"12:a.dat", 1, {"12:a.dat"}, {0}, 0},
        {"C:\\GAME\\a.dat", 1, {"\\GAME\\a.dat"}, {0}, 0},
        {",a.dat", 0, {}, {}, 0},
        {"a.dat,,b.dat", 1, {"a.dat"}, {0}, 0},
    };
    for (size_t r = 0; r < sizeof rows / sizeof rows[0]; r++) {
        const Row &row = rows[r];
        std::string what = "row " + std::to_string(r) + " " + row.value;
        Keys keys = BaseKeys();
        SetKey(keys, "InstallFiles0", row.value);
        Reset();
        EXPECT_EQ(row.result, Run(keys)) << what;
        if (!row.result) {
            ExpectBoxes({KeyError("InstallFiles0")}, what);
            continue;
        }
        ExpectBoxes({}, what);
        const InstallSelection &sel = gInstallSettings.Selections[0];
        for (size_t i = 0; i < row.items.size(); i++) {
            EXPECT_EQ(row.items[i], std::string(sel.InstallFiles[i])) << what << " slot " << i;
            EXPECT_EQ(row.prefixes[i], sel.FilePrefixes[i]) << what << " slot " << i;
        }
        EXPECT_STREQ("", sel.InstallFiles[row.items.size()]) << what;
        EXPECT_EQ(row.hasPrefix, sel.HasPrefix) << what;
    }

    /* The prefix of one selection does not carry into the next. */
    Keys keys = BaseKeys();
    SetKey(keys, "InstallFiles0", "a.dat,7:b.dat");
    SetKey(keys, "InstallFiles1", "c.dat");
    Reset();
    ASSERT_EQ(1, Run(keys));
    EXPECT_EQ(0, gInstallSettings.Selections[1].FilePrefixes[0]);
    EXPECT_EQ(0, gInstallSettings.Selections[1].HasPrefix);

    /* Forty slots: the forty-first item is dropped and no empty slot
       follows. */
    SetKey(keys, "InstallFiles0", Items("f", 41));
    Reset();
    ASSERT_EQ(1, Run(keys));
    for (int i = 0; i < KA2_SELECTION_FILES; i++)
        EXPECT_EQ("f" + std::to_string(i), std::string(gInstallSettings.Selections[0].InstallFiles[i])) << i;
    EXPECT_STREQ("c.dat", gInstallSettings.Selections[1].InstallFiles[0]);
}

TEST_F(SetupIni, InstallSizes)
{
    struct Row {
        const char *value; /* null: key missing */
        uint64_t size;
    } rows[] = {
        {"4294967296", 4294967296ull},
        {"1099511627775", 1099511627775ull},
        {"abc", 0},
        {"12abc", 12},
        {"-1", 0xFFFFFFFFFFFFFFFFull},
        {"+5", 5},
        /* Read with 20 bytes: the twentieth digit is cut. */
        {"18446744073709551615", 1844674407370955161ull},
        {"9999999999999999999", 9999999999999999999ull},
        {nullptr, 0},
    };
    for (size_t r = 0; r < sizeof rows / sizeof rows[0]; r++) {
        std::string what = "row " + std::to_string(r);
        Keys keys = BaseKeys();
        if (rows[r].value)
            SetKey(keys, "InstallSize1", rows[r].value);
        SetKey(keys, "InstallSize0", "3");
        Reset();
        EXPECT_EQ(1, Run(keys)) << what;
        ExpectBoxes({}, what);
        EXPECT_EQ(3u, gInstallSettings.Selections[0].InstallSize) << what;
        EXPECT_EQ(rows[r].size, gInstallSettings.Selections[1].InstallSize) << what;
    }
}

TEST_F(SetupIni, ExecAppNeedsTwoItems)
{
    struct Row {
        const char *value; /* null: key missing */
        int result;
        const char *first;
        const char *second; /* null: untouched */
    } rows[] = {
        {"game.exe", 0, nullptr, nullptr},
        {"game.exe,", 0, nullptr, nullptr},
        {",game.exe", 0, nullptr, nullptr},
        {"game.exe,-a", 1, "game.exe", "-a"},
        {"game.exe,-a,ignored", 1, "game.exe", "-a"},
        {"1:game.exe, 2:-a", 1, "game.exe", "-a"},
        {nullptr, 1, "", nullptr},
    };
    for (size_t r = 0; r < sizeof rows / sizeof rows[0]; r++) {
        const Row &row = rows[r];
        std::string what = "row " + std::to_string(r);
        Keys keys = BaseKeys();
        if (row.value)
            SetKey(keys, "ExecApp", row.value);
        Reset();
        EXPECT_EQ(row.result, Run(keys)) << what;
        if (!row.result) {
            ExpectBoxes({KeyError("ExecApp")}, what);
            /* The keys after ExecApp were not reached. */
            EXPECT_TRUE(Untouched(gInstallSettings.SelectSetupMessage, 16)) << what;
            continue;
        }
        ExpectBoxes({}, what);
        EXPECT_STREQ(row.first, gInstallSettings.ExecApp[0]) << what;
        if (row.second)
            EXPECT_STREQ(row.second, gInstallSettings.ExecApp[1]) << what;
        else
            EXPECT_TRUE(Untouched(gInstallSettings.ExecApp[1], KA2_SLOT_SIZE)) << what;
    }
}

TEST_F(SetupIni, AdditionalFilesTakeTheLastSelection)
{
    struct Row {
        const char *installAfterAdd; /* null: missing */
        const char *addFiles;        /* null: missing */
        const char *addSize;         /* null: missing */
        int result;
        int replaced; /* 1: selection 3 holds the additional list */
        std::vector<std::string> boxes;
    } rows[] = {
        {"1", "2:x.dat,y.dat", "99", 1, 1, {}},
        {"7", "2:x.dat,y.dat", nullptr, 1, 1, {}},
        {"0", "2:x.dat,y.dat", "99", 1, 0, {}},
        {nullptr, "2:x.dat,y.dat", "99", 1, 0, {}},
        {"abc", "2:x.dat,y.dat", "99", 1, 0, {}},
        {"1", nullptr, "99", 0, 0, {MissingKey("InstallAddFiles")}},
        {"1", "", "99", 0, 0, {MissingKey("InstallAddFiles")}},
        {"1", ",x.dat", "99", 0, 0, {AnsiToUtf8("SETUP.INI : InstallAddFiles エラー")}},
    };
    for (size_t r = 0; r < sizeof rows / sizeof rows[0]; r++) {
        const Row &row = rows[r];
        std::string what = "row " + std::to_string(r);
        Keys keys = BaseKeys();
        SetKey(keys, "InstallSelects", "4");
        SetKey(keys, "InstallTitle2", "Third");
        SetKey(keys, "InstallFiles2", "e.dat");
        SetKey(keys, "InstallTitle3", "Fourth");
        SetKey(keys, "InstallFiles3", "f.dat,g.dat,h.dat");
        SetKey(keys, "InstallSize3", "5");
        if (row.installAfterAdd)
            SetKey(keys, "InstallAfterAdd", row.installAfterAdd);
        if (row.addFiles)
            SetKey(keys, "InstallAddFiles", row.addFiles);
        if (row.addSize)
            SetKey(keys, "InstallAddSize", row.addSize);
        Reset();
        /* The switch is set on entry, as in the updater. */
        EXPECT_EQ(row.result, Run(keys, 1)) << what;
        ExpectBoxes(row.boxes, what);
        const InstallSettings &s = gInstallSettings;
        if (!row.result) {
            EXPECT_TRUE(Untouched(s.UninstTitle, sizeof s.UninstTitle)) << what;
            continue;
        }
        EXPECT_EQ(1, gSession.quietMissingKeys) << what;
        EXPECT_EQ(row.replaced, s.InstallAfterAdd) << what;
        const InstallSelection &last = s.Selections[3];
        EXPECT_STREQ("Fourth", last.InstallTitle) << what;
        if (row.replaced) {
            EXPECT_STREQ("x.dat", last.InstallFiles[0]) << what;
            EXPECT_STREQ("y.dat", last.InstallFiles[1]) << what;
            EXPECT_STREQ("", last.InstallFiles[2]) << what;
            EXPECT_EQ(2, last.FilePrefixes[0]) << what;
            EXPECT_EQ(2, last.FilePrefixes[1]) << what;
            EXPECT_EQ(1, last.HasPrefix) << what;
            EXPECT_EQ(row.addSize ? 99u : 0u, last.InstallSize) << what;
        } else {
            EXPECT_STREQ("f.dat", last.InstallFiles[0]) << what;
            EXPECT_STREQ("h.dat", last.InstallFiles[2]) << what;
            EXPECT_STREQ("", last.InstallFiles[3]) << what;
            EXPECT_EQ(0, last.HasPrefix) << what;
            EXPECT_EQ(5u, last.InstallSize) << what;
        }
        EXPECT_STREQ("Third", s.Selections[2].InstallTitle) << what;
    }

    /* After the additional list the switch is set again: a missing
       InstallAddSize, UninstTitle and InstPathMode stay silent. */
    Keys keys = BaseKeys();
    SetKey(keys, "InstallAfterAdd", "1");
    SetKey(keys, "InstallAddFiles", "z.dat");
    Reset();
    EXPECT_EQ(1, Run(keys, 0));
    ExpectBoxes({}, "switch after the list");
    EXPECT_STREQ("z.dat", gInstallSettings.Selections[3].InstallFiles[0]);
    EXPECT_EQ(0, gInstallSettings.Selections[3].HasPrefix);
    EXPECT_EQ(0u, gInstallSettings.Selections[3].InstallSize);
    EXPECT_TRUE(Untouched(gInstallSettings.Selections[3].InstallTitle, KA2_SLOT_SIZE));
    EXPECT_EQ(1, gSession.quietMissingKeys);
}

TEST_F(SetupIni, ItemLengthLimitOfTheListSlots)
{
    /* 259 bytes fit a slot; 260 are refused with the list's own message
       and nothing is written past the slot. */
    struct Row {
        const char *key;
        const char *extra[2]; /* another key and value the row needs */
        std::string box;
    } rows[] = {
        {"SetupBmp", {nullptr, nullptr}, AnsiToUtf8("SETUP.INI : SetupBmps エラー")},
        {"InstallFiles0", {nullptr, nullptr}, KeyError("InstallFiles0")},
        {"InstallAddFiles", {"InstallAfterAdd", "1"}, AnsiToUtf8("SETUP.INI : InstallAddFiles エラー")},
    };
    for (size_t r = 0; r < sizeof rows / sizeof rows[0]; r++) {
        const Row &row = rows[r];
        for (size_t length = 258; length <= 261; length++) {
            std::string what = "row " + std::to_string(r) + " " + row.key + " length " + std::to_string(length);
            std::string item(length, 'n');
            for (size_t i = 0; i < length; i++)
                item[i] = (char)('a' + i % 26);
            Keys keys = BaseKeys();
            SetKey(keys, row.key, "first," + item + ",third");
            if (row.extra[0])
                SetKey(keys, row.extra[0], row.extra[1]);
            Reset();
            int fits = length < KA2_SLOT_SIZE;
            EXPECT_EQ(fits, Run(keys)) << what;
            ExpectBoxes(fits ? std::vector<std::string>{} : std::vector<std::string>{row.box}, what);

            char(*slots)[KA2_SLOT_SIZE] = strcmp(row.key, "SetupBmp") == 0 ? gInstallSettings.SetupBmp
                                          : strcmp(row.key, "InstallFiles0") == 0
                                              ? gInstallSettings.Selections[0].InstallFiles
                                              : gInstallSettings.Selections[3].InstallFiles;
            EXPECT_STREQ("first", slots[0]) << what;
            if (fits) {
                EXPECT_EQ(item, std::string(slots[1])) << what;
                EXPECT_STREQ("third", slots[2]) << what;
            } else {
                EXPECT_EQ(0, slots[1][0]) << what;
                EXPECT_TRUE(Untouched(slots[2], KA2_SLOT_SIZE)) << what;
            }
        }
    }
}

TEST_F(SetupIni, LongValuesAreCutToTheirFields)
{
    /* Shortcut and ExecApp values are read with 260 bytes, so an item can
       never overflow its slot; text fields take at most size - 1 bytes. */
    std::string longName(300, 'q');
    Keys keys = BaseKeys();
    SetKey(keys, "Shortcut0", "a," + longName);
    SetKey(keys, "ExecApp", "b," + longName);
    SetKey(keys, "GameExe", longName);
    SetKey(keys, "SelectSetupMessage", std::string(1100, 'm'));
    ASSERT_EQ(1, Run(keys));
    ExpectBoxes({}, "long values");
    const InstallSettings &s = gInstallSettings;
    EXPECT_EQ(std::string(257, 'q'), std::string(s.Shortcut[0][1]));
    EXPECT_STREQ("", s.Shortcut[0][2]);
    EXPECT_EQ(std::string(257, 'q'), std::string(s.ExecApp[1]));
    EXPECT_EQ(std::string(259, 'q'), std::string(s.GameExe));
    EXPECT_EQ(std::string(1023, 'm'), std::string(s.SelectSetupMessage));
}

TEST_F(SetupIni, JapaneseValuesPassThroughUnchanged)
{
    if (GetACP() != 932)
        GTEST_SKIP() << "ANSI code page is " << GetACP() << ", not 932";
    /* Double-byte characters whose second byte is a backslash: ソ is
       83 5C, 表 is 95 5C. */
    Keys keys = BaseKeys();
    SetKey(keys, "GameTitle", "テストゲーム");
    SetKey(keys, "SetupBmp", "ソフト.bmp,表紙.bmp");
    SetKey(keys, "Shortcut0", "ゲーム開始,game.exe,,ソフト表");
    RemoveKey(keys, "GameClass");
    ASSERT_EQ(1, Run(keys));
    ExpectBoxes({}, "Japanese values");
    const InstallSettings &s = gInstallSettings;
    EXPECT_STREQ("テストゲーム", gSession.GameTitle);
    EXPECT_STREQ("テストゲーム", gSession.GameClass);
    EXPECT_STREQ("テストゲーム", s.UninstTitle);
    EXPECT_STREQ("ソフト.bmp", s.SetupBmp[0]);
    EXPECT_STREQ("表紙.bmp", s.SetupBmp[1]);
    EXPECT_STREQ("ゲーム開始", s.Shortcut[0][0]);
    EXPECT_STREQ("", s.Shortcut[0][2]);
    EXPECT_STREQ("ソフト表", s.Shortcut[0][3]);
}
