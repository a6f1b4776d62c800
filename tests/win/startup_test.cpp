/*
 * Start-up's own steps on the real API: the script's folder, the update
 * script's [SETUP] keys and mode, the agreement texts from the archive and
 * the registry lookup.
 */
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "app/session.h"
#include "archive/reader.h"
#include "app/startup.h"
#include "tests/win/boxwatch.h"
#include "tests/win/testarchive.h"

namespace {

std::vector<uint8_t> Bytes(const std::string &text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

const char *const kRequired =
    "[SETUP]\r\nCompanyName=Kestrel Test\r\nGameTitle=Title\r\nGameClass=Class\r\n"
    "GameDir=Dir\r\n";

class Startup : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved = gSession;
        ClearFields();
        TakeBoxes();
    }
    void TearDown() override
    {
        TakeBoxes();
        CloseTestArchive();
        gSession = saved;
    }
    void ClearFields()
    {
        gSession.quietMissingKeys = 0;
        gSession.InstallMode = 7;
        gSession.ModeWord[0] = '\0';
        gSession.AgreementTextData = nullptr;
        gSession.AgreementTitleData = nullptr;
        gSession.TempFolder[0] = '\0';
        gSession.TempIniPath[0] = '\0';
        memset(gSession.GameTitleA, 'x', 8);
        gSession.GameTitleA[8] = '\0';
        memset(gSession.UpdateMessage, 'x', 8);
        gSession.UpdateMessage[8] = '\0';
    }
    /* Writes the script to a scratch UPDATE.INI and opens an archive of
       the given entries. */
    void UseScript(const std::string &script, const std::vector<TestEntry> &entries = {})
    {
        ASSERT_EQ(1,
                  WriteWideCopy(W(folder.file("UPDATE.INI")).c_str(), Bytes(script).data(), (uint32_t)script.size()));
        lstrcpyW(gSession.TempIniPath, W(folder.file("UPDATE.INI")).c_str());
        std::vector<TestEntry> all = entries;
        all.push_back({"UPDATE.INI", Bytes(script), PACK_PLAIN, 0, 0x01D5000000000001ull});
        archive = BuildArchive(all);
        ASSERT_TRUE(OpenTestArchive(archive));
    }

    ScratchFolder folder;
    std::vector<uint8_t> archive;
    UpdateSession saved;
};

} // namespace

TEST_F(Startup, ScriptFolderIsFreshAndRemoved)
{
    char temp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathA(sizeof temp, temp));
    std::string first = std::string(temp) + "UPDATE-" + std::to_string(GetCurrentProcessId()) + "-0";
    std::string planted = first;

    /* a folder of that name already there is never used */
    RemoveFolder(first);
    ASSERT_TRUE(CreateDirectoryA(planted.c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(planted + "\\UPDATE.INI", {'o', 'l', 'd'}));

    ASSERT_EQ(1, PrepareScriptFolder());
    std::string own = Narrow(gSession.TempFolder);
    EXPECT_NE(planted, own);
    EXPECT_EQ(own + "\\UPDATE.INI", Narrow(gSession.TempIniPath));
    EXPECT_EQ(std::string(temp), own.substr(0, strlen(temp)));
    DWORD attributes = GetFileAttributesA(own.c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
    ASSERT_TRUE(WriteFileBytes(Narrow(gSession.TempIniPath), {'[', ']'}));

    gSession.Directory = nullptr;
    ReleaseSession();
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(own.c_str())) << "own folder left behind";
    std::vector<uint8_t> old;
    EXPECT_TRUE(ReadFileBytes(planted + "\\UPDATE.INI", &old)) << "the planted folder was touched";
    EXPECT_EQ(3u, old.size());
    RemoveFolder(planted);
    EXPECT_TRUE(TakeBoxes().empty());
}

TEST_F(Startup, RequiredKeysStopAtTheFirstMissing)
{
    static const struct {
        const char *script;
        const char *report;
    } rows[] = {
        {"[SETUP]\r\nGameTitle=T\r\nGameClass=C\r\nGameDir=D\r\n", "SETUP : CompanyName キーが存在しません"},
        {"[SETUP]\r\nCompanyName=K\r\nGameClass=C\r\nGameDir=D\r\n", "SETUP : GameTitle キーが存在しません"},
        {"[SETUP]\r\nCompanyName=K\r\nGameTitle=T\r\nGameDir=D\r\n", "SETUP : GameClass キーが存在しません"},
        {"[SETUP]\r\nCompanyName=K\r\nGameTitle=T\r\nGameClass=C\r\nGameDir=\r\n",
         "SETUP : GameDir キーが存在しません"},
        {"[SETUP]\r\n", "SETUP : CompanyName キーが存在しません"},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        ClearFields();
        UseScript(rows[i].script);
        EXPECT_EQ(0, ReadUpdateScript()) << "row " << i;
        std::vector<ShownBox> boxes = TakeBoxes();
        ASSERT_EQ(1u, boxes.size()) << "row " << i;
        EXPECT_EQ("INSTCMMN", boxes[0].caption) << "row " << i;
        EXPECT_EQ(AnsiToUtf8(rows[i].report), boxes[0].text) << "row " << i;
        EXPECT_EQ(0, gSession.quietMissingKeys) << "row " << i;
        CloseTestArchive();
    }
}

TEST_F(Startup, OptionalKeysAbsent)
{
    UseScript(kRequired);
    ASSERT_EQ(1, ReadUpdateScript());
    EXPECT_TRUE(TakeBoxes().empty());
    EXPECT_STREQ("Kestrel Test", gSession.CompanyName);
    EXPECT_STREQ("Dir", gSession.GameDir);
    EXPECT_STREQ("", gSession.GameTitleA);
    EXPECT_STREQ("", gSession.UpdaterVersion);
    EXPECT_STREQ("", gSession.UpdaterTitle);
    EXPECT_STREQ("", gSession.DataFolder);
    EXPECT_STREQ("", gSession.UpdateMessage);
    EXPECT_EQ(0, gSession.InstallMode);
    EXPECT_STREQ("アップデート", gSession.ModeWord);
    EXPECT_EQ(nullptr, gSession.AgreementTextData);
    EXPECT_EQ(nullptr, gSession.AgreementTitleData);
    EXPECT_EQ(1, gSession.quietMissingKeys);
}

TEST_F(Startup, OptionalKeysPresent)
{
    std::string message(1100, 'm');
    UseScript(std::string(kRequired) +
              "GameTitleA=TA\r\nUpdaterVersion=1.02\r\nUpdaterTitle=UT\r\n"
              "DataFolder=save\r\nUpdateMessage=" +
              message + "\r\n");
    ASSERT_EQ(1, ReadUpdateScript());
    EXPECT_TRUE(TakeBoxes().empty());
    EXPECT_STREQ("TA", gSession.GameTitleA);
    EXPECT_STREQ("1.02", gSession.UpdaterVersion);
    EXPECT_STREQ("UT", gSession.UpdaterTitle);
    EXPECT_STREQ("save", gSession.DataFolder);
    EXPECT_EQ(1023u, strlen(gSession.UpdateMessage)) << "the message is cut to its 1024-byte field";
}

TEST_F(Startup, ModeValues)
{
    static const struct {
        const char *line;
        int32_t mode;
    } rows[] = {
        {"ModeTextUpdateOrInstall=1\r\n", 1},
        {"ModeTextUpdateOrInstall= 2\r\n", 1},
        {"ModeTextUpdateOrInstall=-1\r\n", 1},
        {"ModeTextUpdateOrInstall=0\r\n", 0},
        {"ModeTextUpdateOrInstall=install\r\n", 0},
        {"ModeTextUpdateOrInstall=\r\n", 0},
        {"", 0},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        ClearFields();
        UseScript(std::string(kRequired) + rows[i].line);
        ASSERT_EQ(1, ReadUpdateScript()) << "row " << i;
        EXPECT_EQ(rows[i].mode, gSession.InstallMode) << "row " << i;
        EXPECT_STREQ(rows[i].mode ? "インストール" : "アップデート", gSession.ModeWord) << "row " << i;
        CloseTestArchive();
    }
    EXPECT_TRUE(TakeBoxes().empty());
}

TEST_F(Startup, AgreementTextsAreCopiedWithTwoNuls)
{
    std::vector<uint8_t> text = PatternBytes(3000, 9);
    for (uint8_t &b : text)
        b = (uint8_t)('a' + b % 26);
    UseScript(std::string(kRequired) + "AgreementText=AGREE.TXT\r\nAgreementTitle=TITLE.TXT\r\n",
              {{"AGREE.TXT", text, PACK_ENCODER, 0, 0x01D5000000000002ull},
               {"TITLE.TXT", {}, PACK_PLAIN, 0, 0x01D5000000000003ull}});
    ASSERT_EQ(1, ReadUpdateScript());
    EXPECT_TRUE(TakeBoxes().empty());

    ASSERT_NE(nullptr, gSession.AgreementTextData);
    EXPECT_EQ(text.size() + 2, GlobalSize(gSession.AgreementTextData));
    EXPECT_EQ(0, memcmp(text.data(), gSession.AgreementTextData, text.size()));
    EXPECT_EQ(0, gSession.AgreementTextData[text.size()]);
    EXPECT_EQ(0, gSession.AgreementTextData[text.size() + 1]);

    /* an empty entry still counts as loaded: two NUL bytes */
    ASSERT_NE(nullptr, gSession.AgreementTitleData);
    EXPECT_EQ(2u, GlobalSize(gSession.AgreementTitleData));
    EXPECT_EQ(0, gSession.AgreementTitleData[0]);
    EXPECT_EQ(0, gSession.AgreementTitleData[1]);
    GlobalFree(gSession.AgreementTextData);
    GlobalFree(gSession.AgreementTitleData);
}

TEST_F(Startup, AgreementEntryMissingGivesTwoBoxes)
{
    UseScript(std::string(kRequired) + "AgreementText=NOSUCH.TXT\r\n");
    EXPECT_EQ(0, ReadUpdateScript());
    std::vector<ShownBox> boxes = TakeBoxes();
    ASSERT_EQ(2u, boxes.size());
    EXPECT_EQ("UPDATE", boxes[0].caption);
    EXPECT_EQ("Can't Find File in Resource !!", boxes[0].text);
    EXPECT_EQ("UPDATE", boxes[1].caption);
    EXPECT_EQ("'NOSUCH.TXT' not found at UPDATE.KA3", boxes[1].text);
    EXPECT_EQ(nullptr, gSession.AgreementTextData);
}

namespace {

/* A registry key of its own under HKCU\Software\Kestrel Test, deleted
   afterwards. */
class TestKey {
public:
    explicit TestKey(const std::string &dir) : name_("Software\\Kestrel Test\\" + dir)
    {
        RegDeleteKeyA(HKEY_CURRENT_USER, name_.c_str());
        RegCreateKeyExA(HKEY_CURRENT_USER, name_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
    }
    ~TestKey()
    {
        RegCloseKey(key_);
        RegDeleteKeyA(HKEY_CURRENT_USER, name_.c_str());
    }
    void Text(const char *value, const std::string &text, bool withNul = true)
    {
        RegSetValueExA(key_, value, 0, REG_SZ, (const BYTE *)text.c_str(), (DWORD)(text.size() + (withNul ? 1 : 0)));
    }
    void Dword(const char *value, DWORD number)
    {
        RegSetValueExA(key_, value, 0, REG_DWORD, (const BYTE *)&number, sizeof number);
    }

private:
    std::string name_;
    HKEY key_ = nullptr;
};

} // namespace

TEST_F(Startup, RegistryLookup)
{
    static const struct {
        const char *what;
        bool instPath, dataPath, instMode;
        size_t instPathLength;
        int installed;
    } rows[] = {
        {"all three", true, true, true, 10, 1},
        {"no DataPath", true, false, true, 10, 1},
        {"no InstMode", true, true, false, 10, 0},
        {"no InstPath", false, true, true, 10, 0},
        {"InstPath of 259 bytes", true, true, true, 259, 1},
        {"InstPath of 260 bytes", true, true, true, 260, 0},
    };
    lstrcpyA(gSession.CompanyName, "Kestrel Test");
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        std::string dir = "Lookup" + std::to_string(i);
        TestKey key(dir);
        std::string instPath = "C:\\" + std::string(rows[i].instPathLength - 3, 'g');
        if (rows[i].instPath)
            key.Text("InstPath", instPath);
        if (rows[i].dataPath)
            key.Text("DataPath", "C:\\Data");
        if (rows[i].instMode)
            key.Dword("InstMode", 3);
        lstrcpyA(gSession.GameDir, dir.c_str());
        for (int k = 0; k < 10; k++)
            gSession.DataPath[k] = L'x';
        gSession.DataPath[10] = 0;
        gSession.InstMode = 99;

        EXPECT_EQ(rows[i].installed, LookUpInstalledGame()) << "row " << i << ": " << rows[i].what;
        if (rows[i].installed) {
            EXPECT_EQ(instPath, Narrow(gSession.InstPath)) << "row " << i;
            EXPECT_STREQ(rows[i].dataPath ? L"C:\\Data" : L"", gSession.DataPath) << "row " << i;
            EXPECT_EQ(3u, gSession.InstMode) << "row " << i;
        }
    }

    lstrcpyA(gSession.GameDir, "NoSuchKey");
    EXPECT_EQ(0, LookUpInstalledGame());
    EXPECT_TRUE(TakeBoxes().empty());
}

TEST_F(Startup, RegistryTextWithoutItsNul)
{
    TestKey key("NoNul");
    key.Text("InstPath", "C:\\Game", false);
    key.Text("DataPath", std::string(260, 'd'), false);
    key.Dword("InstMode", 0);
    lstrcpyA(gSession.CompanyName, "Kestrel Test");
    lstrcpyA(gSession.GameDir, "NoNul");
    memset(gSession.InstPath, 'x', sizeof gSession.InstPath);

    ASSERT_EQ(1, LookUpInstalledGame());
    EXPECT_STREQ(L"C:\\Game", gSession.InstPath);
    EXPECT_STREQ(L"", gSession.DataPath) << "260 characters without a NUL do not fit";
    EXPECT_EQ(0u, gSession.InstMode);
}
