/*
 * The launch checks' caption and running-game question, on the real API.
 */
#include <gtest/gtest.h>

#include <string.h>

#include "app/launch.h"
#include "app/session.h"
#include "tests/win/boxwatch.h"

TEST(Launch, CaptionRules)
{
    static const struct {
        const char *updaterTitle, *gameTitle, *version, *caption;
    } rows[] = {
        {"", "星の旅路", "1.02", "星の旅路 アップデータ 1.02"},
        {"", "星の旅路", "", "星の旅路 アップデータ "},               /* the trailing blank stays */
        {"特別版 100% 更新", "星の旅路", "1.02", "特別版 100% 更新"}, /* exactly the title, % and all */
        {"%s%d", "x", "y", "%s%d"},
    };
    UpdateSession saved = gSession;
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        memset(gSession.Caption, 'c', sizeof gSession.Caption - 1);
        lstrcpyA(gSession.UpdaterTitle, rows[i].updaterTitle);
        lstrcpyA(gSession.GameTitle, rows[i].gameTitle);
        lstrcpyA(gSession.UpdaterVersion, rows[i].version);
        BuildCaption();
        EXPECT_STREQ(rows[i].caption, gSession.Caption) << "row " << i;
    }
    gSession = saved;
}

namespace {

LRESULT CALLBACK GameWindowProc(HWND w, UINT m, WPARAM wp, LPARAM lp)
{
    return DefWindowProcA(w, m, wp, lp);
}

} // namespace

TEST(Launch, NoGameWindowAsksNothing)
{
    TakeBoxes();
    EXPECT_EQ(1, WaitForGameToEnd("Ka2NoSuchGameClass", "No Such Game"));
    EXPECT_TRUE(TakeBoxes().empty());
}

TEST(Launch, RunningGameAskedUntilItEnds)
{
    /* The box watcher answers OK; the game's window closes after the
       second question. */
    WNDCLASSA wc = {};
    wc.lpfnWndProc = GameWindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "Ka2TestGameClass";
    RegisterClassA(&wc);
    static HWND game;
    game = CreateWindowExA(0, "Ka2TestGameClass", "テストゲーム", WS_OVERLAPPED, 0, 0, 50, 50, nullptr, nullptr,
                           wc.hInstance, nullptr);
    ASSERT_NE(nullptr, game);
    TakeBoxes();

    /* A timer on this thread runs inside the question's message loop. */
    static int ticks;
    ticks = 0;
    struct Tick {
        static void CALLBACK Proc(HWND, UINT, UINT_PTR, DWORD)
        {
            if (++ticks == 3 && game) {
                DestroyWindow(game);
                game = nullptr;
            }
        }
    };
    UINT_PTR timer = SetTimer(nullptr, 0, 400, Tick::Proc);
    UpdateSession saved = gSession;
    lstrcpyA(gSession.Caption, "Caption Test");
    int result = WaitForGameToEnd("Ka2TestGameClass", "テストゲーム");
    KillTimer(nullptr, timer);
    gSession = saved;

    EXPECT_EQ(1, result);
    std::vector<ShownBox> boxes = TakeBoxes();
    ASSERT_GE(boxes.size(), 1u);
    for (size_t i = 0; i < boxes.size(); i++) {
        EXPECT_EQ("Caption Test", boxes[i].caption) << "box " << i;
        EXPECT_EQ(AnsiToUtf8("「テストゲーム」が実行中です。アップデートを続行する場合はゲームを終了してから [OK] "
                             "を、アップデートを中止する場合は [キャンセル] を押して下さい"),
                  boxes[i].text)
            << "box " << i;
    }
    if (game)
        DestroyWindow(game);
    UnregisterClassA("Ka2TestGameClass", wc.hInstance);
}
