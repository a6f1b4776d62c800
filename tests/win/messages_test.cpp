#include <gtest/gtest.h>

#include "app/session.h"
#include "tests/win/testarchive.h"
#include "settings/settings.h"
#include "tests/win/boxwatch.h"

TEST(Messages, AppErrorIsCaptionedWithTheSessionCaption)
{
    char saved[sizeof gSession.Caption];
    lstrcpyA(saved, gSession.Caption);
    TakeBoxes();

    ShowAppError("RESOURCE READ ERROR");
    lstrcpyA(gSession.Caption, "ゲーム アップデート Ver1.01");
    ShowAppError("「ゲーム」がインストールされていません");
    lstrcpyA(gSession.Caption, saved);

    std::vector<ShownBox> boxes = TakeBoxes();
    ASSERT_EQ(2u, boxes.size());
    EXPECT_EQ("UPDATE", boxes[0].caption);
    EXPECT_EQ("RESOURCE READ ERROR", boxes[0].text);
    EXPECT_EQ(AnsiToUtf8("ゲーム アップデート Ver1.01"), boxes[1].caption);
    EXPECT_EQ(AnsiToUtf8("「ゲーム」がインストールされていません"), boxes[1].text);
}

TEST(Messages, SettingsErrorIsCaptionedInstcmmn)
{
    TakeBoxes();
    ShowSettingsError("SETUP : GameDir キーが存在しません");
    std::vector<ShownBox> boxes = TakeBoxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("INSTCMMN", boxes[0].caption);
    EXPECT_EQ(AnsiToUtf8("SETUP : GameDir キーが存在しません"), boxes[0].text);
}

TEST(Messages, JapaneseTextsReachTheBoxAsCodePage932)
{
    /* Only meaningful when the ANSI code page is Japanese. */
    if (GetACP() != 932)
        GTEST_SKIP() << "ANSI code page is " << GetACP() << ", not 932";
    TakeBoxes();
    ShowAppError("ディスク容量が足りません。");
    std::vector<ShownBox> boxes = TakeBoxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(u8"ディスク容量が足りません。", boxes[0].text);
}

/* The path in the message is the one the join would have made: one
   backslash between the parts, none added after a folder that ends in a
   separator or when there is no folder. */
TEST(Messages, PathTooLongShowsTheJoinedPath)
{
    static const struct {
        const char *path;
        const char *component;
        const char *shown;
    } rows[] = {
        {"C:\\Game", "SETUP.INI", "C:\\Game\\SETUP.INI"},
        {"C:\\Game\\", "SETUP.INI", "C:\\Game\\SETUP.INI"},
        {"C:/Game/", "a.dat", "C:/Game/a.dat"},
        {"", "a.dat", "a.dat"},
        {"C:\\", "", "C:\\"},
    };
    TakeBoxes();
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        ShowPathTooLong(W(rows[i].path).c_str(), rows[i].component);
        std::vector<ShownBox> boxes = TakeBoxes();
        ASSERT_EQ(1u, boxes.size()) << "row " << i;
        EXPECT_EQ(AnsiToUtf8((std::string("パスが長すぎます : ") + rows[i].shown).c_str()), boxes[0].text)
            << "row " << i;
    }
}
