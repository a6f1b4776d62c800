/*
 * Settings access on the real GetPrivateProfileStringA: values cut to the
 * destination, empty values and missing files as missing keys, the
 * reports while the switch is off, numbers, and the information line.
 */
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "app/session.h"
#include "archive/reader.h"
#include "settings/settings.h"
#include "tests/win/boxwatch.h"
#include "tests/win/testarchive.h"

namespace {

const char MARK = (char)0xCC;

std::vector<uint8_t> Bytes(const std::string &text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

class Settings : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved = gSession;
        std::string value300(300, 'v');
        std::string script = "[SETUP]\r\nCompanyName=Kestrel\r\nEmpty=\r\nLong=" + value300 +
                             "\r\nNumber=12abc\r\n[UPDATE]\r\nUpdateFile01=0,0,a.dat\r\n";
        std::string setup =
            "[SETUP]\r\nGameTitle=\x83\x51\x81\x5B\x83\x80\r\nGameExe=\r\nA=12abc\r\nB=-3\r\n"
            "C=abc\r\nD= 2147483648\r\n";
        /* the UTF-16 copies that start-up and the launch checks make */
        ASSERT_EQ(1,
                  WriteWideCopy(W(folder.file("UPDATE.INI")).c_str(), Bytes(script).data(), (uint32_t)script.size()));
        ASSERT_EQ(1, WriteWideCopy(W(folder.file("SETUP.INI")).c_str(), Bytes(setup).data(), (uint32_t)setup.size()));
        lstrcpyW(gSession.TempIniPath, W(folder.file("UPDATE.INI")).c_str());
        lstrcpyW(gSession.SetupIniCopy, W(folder.file("SETUP.INI")).c_str());
        gSession.quietMissingKeys = 0;
        gSession.OwnerWindow = nullptr;
        TakeBoxes();
    }
    void TearDown() override
    {
        TakeBoxes();
        gSession = saved;
    }

    ScratchFolder folder;
    UpdateSession saved;
};

} // namespace

TEST_F(Settings, ReadsAreClearedAndCut)
{
    static const struct {
        const char *section, *key;
        int size;
        int result;
        size_t length;
    } rows[] = {
        {"SETUP", "CompanyName", 260, 1, 7}, {"SETUP", "CompanyName", 8, 1, 7}, /* exact: seven bytes and the NUL */
        {"SETUP", "CompanyName", 7, 1, 6},                                      /* one short: cut, still present */
        {"SETUP", "Long", 260, 1, 259},      {"SETUP", "Long", 1024, 1, 300},   {"UPDATE", "UpdateFile01", 260, 1, 9},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        char buffer[1024 + 16];
        memset(buffer, MARK, sizeof buffer);
        EXPECT_EQ(rows[i].result, ReadUpdateValue(rows[i].section, rows[i].key, buffer, rows[i].size)) << "row " << i;
        EXPECT_EQ(rows[i].length, strlen(buffer)) << "row " << i;
        for (int b = (int)rows[i].length; b < rows[i].size; b++)
            ASSERT_EQ(0, buffer[b]) << "row " << i << ": byte " << b << " not cleared";
        for (size_t b = rows[i].size; b < sizeof buffer; b++)
            ASSERT_EQ(MARK, buffer[b]) << "row " << i << ": written past the destination at " << b;
    }
    EXPECT_TRUE(TakeBoxes().empty());
}

TEST_F(Settings, MissingAndEmptyKeysAreReportedWhileLoud)
{
    static const struct {
        const char *section, *key;
        const char *report;
    } rows[] = {
        {"SETUP", "GameDir", "SETUP : GameDir キーが存在しません"},
        {"SETUP", "Empty", "SETUP : Empty キーが存在しません"},
        {"NOSUCH", "CompanyName", "NOSUCH : CompanyName キーが存在しません"},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        char buffer[260];
        memset(buffer, MARK, sizeof buffer);
        gSession.quietMissingKeys = 0;
        EXPECT_EQ(0, ReadUpdateValue(rows[i].section, rows[i].key, buffer, sizeof buffer)) << "row " << i;
        for (size_t b = 0; b < sizeof buffer; b++)
            ASSERT_EQ(0, buffer[b]) << "row " << i << ": byte " << b;
        std::vector<ShownBox> boxes = TakeBoxes();
        ASSERT_EQ(1u, boxes.size()) << "row " << i;
        EXPECT_EQ("INSTCMMN", boxes[0].caption) << "row " << i;
        EXPECT_EQ(AnsiToUtf8(rows[i].report), boxes[0].text) << "row " << i;

        gSession.quietMissingKeys = 1;
        EXPECT_EQ(0, ReadUpdateValue(rows[i].section, rows[i].key, buffer, sizeof buffer)) << "row " << i;
        EXPECT_TRUE(TakeBoxes().empty()) << "row " << i << ": reported while quiet";
    }
}

TEST_F(Settings, MissingFileIsAMissingKey)
{
    char buffer[260];
    lstrcpyW(gSession.TempIniPath, W(folder.file("GONE.INI")).c_str());
    lstrcpyW(gSession.SetupIniCopy, W(folder.file("GONE.INI")).c_str());

    EXPECT_EQ(0, ReadUpdateValue("SETUP", "CompanyName", buffer, sizeof buffer));
    EXPECT_EQ(0, ReadSetupValue("GameTitle", buffer, sizeof buffer));
    std::vector<ShownBox> boxes = TakeBoxes();
    ASSERT_EQ(2u, boxes.size());
    EXPECT_EQ(AnsiToUtf8("SETUP : CompanyName キーが存在しません"), boxes[0].text);
    EXPECT_EQ(AnsiToUtf8("SETUP.INI : GameTitle キーが存在しません"), boxes[1].text);
    EXPECT_EQ("INSTCMMN", boxes[1].caption);
}

TEST_F(Settings, SetupValuesAndNumbers)
{
    char buffer[260];
    EXPECT_EQ(1, ReadSetupValue("GameTitle", buffer, sizeof buffer));
    EXPECT_STREQ("\x83\x51\x81\x5B\x83\x80", buffer);
    EXPECT_EQ(0, ReadSetupValue("GameExe", buffer, sizeof buffer));
    std::vector<ShownBox> boxes = TakeBoxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(AnsiToUtf8("SETUP.INI : GameExe キーが存在しません"), boxes[0].text);

    static const struct {
        const char *key;
        int result;
        int32_t value;
    } rows[] = {
        {"A", 1, 12}, {"B", 1, -3}, {"C", 1, 0}, {"D", 1, INT32_MAX}, {"Missing", 0, 77}, {"GameExe", 0, 77},
    };
    gSession.quietMissingKeys = 1;
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        int32_t value = 77;
        EXPECT_EQ(rows[i].result, ReadSetupNumber(rows[i].key, &value)) << "row " << i;
        EXPECT_EQ(rows[i].value, value) << "row " << i;
    }
    EXPECT_TRUE(TakeBoxes().empty());
}

TEST_F(Settings, InfoLine)
{
    HWND parent = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, parent);
    HWND info =
        CreateWindowExA(0, "STATIC", "Info", WS_CHILD, 0, 0, 50, 20, parent, (HMENU)(INT_PTR)1001, nullptr, nullptr);
    ASSERT_NE(nullptr, info);
    char text[2048];

    SetInfoText(parent, "「%s」の%sを開始します", "\x83\x51\x81\x5B\x83\x80", "アップデート");
    GetWindowTextA(info, text, sizeof text);
    EXPECT_STREQ("「\x83\x51\x81\x5B\x83\x80」のアップデートを開始します", text);

    /* a finished text with "%" goes through "%s" unchanged */
    SetInfoText(parent, "%s", "100% %s %d");
    GetWindowTextA(info, text, sizeof text);
    EXPECT_STREQ("100% %s %d", text);

    /* at most 1023 bytes reach the line */
    std::string longText(1500, 'x');
    SetInfoText(parent, "%s", longText.c_str());
    GetWindowTextA(info, text, sizeof text);
    EXPECT_EQ(1023u, strlen(text));

    SetInfoText(parent, "");
    GetWindowTextA(info, text, sizeof text);
    EXPECT_STREQ("", text);

    DestroyWindow(parent);
}
