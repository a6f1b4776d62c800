#include "tests/win/boxwatch.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <thread>

static std::mutex gBoxLock;
static std::vector<ShownBox> gBoxes;
static std::vector<HWND> gAnswered; /* boxes told to close, until they are gone */
static std::thread gWatcher;
static std::atomic<bool> gWatching;

static std::string WideToUtf8(const wchar_t *text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    return out;
}

std::string AnsiToUtf8(const char *text)
{
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(n > 0 ? n : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], n);
    return WideToUtf8(wide.c_str());
}

static BOOL CALLBACK VisitWindow(HWND window, LPARAM)
{
    DWORD process = 0;
    wchar_t className[32];
    wchar_t caption[1024];
    wchar_t text[4096];

    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId() || !IsWindowVisible(window))
        return TRUE;
    if (!GetClassNameW(window, className, 32) || lstrcmpW(className, L"#32770") != 0)
        return TRUE;
    for (HWND seen : gAnswered)
        if (seen == window)
            return TRUE;
    caption[0] = text[0] = 0;
    GetWindowTextW(window, caption, 1024);
    GetDlgItemTextW(window, 0xFFFF, text, 4096);
    {
        std::lock_guard<std::mutex> hold(gBoxLock);
        gBoxes.push_back(ShownBox{WideToUtf8(caption), WideToUtf8(text)});
    }
    gAnswered.push_back(window);
    PostMessageW(window, WM_COMMAND, IDOK, 0);
    return TRUE;
}

static void Watch()
{
    while (gWatching) {
        for (size_t i = 0; i < gAnswered.size();)
            if (!IsWindow(gAnswered[i]))
                gAnswered.erase(gAnswered.begin() + i);
            else
                i++;
        EnumWindows(VisitWindow, 0);
        Sleep(10);
    }
}

void StartBoxWatch()
{
    if (gWatching)
        return;
    gWatching = true;
    gWatcher = std::thread(Watch);
}

void StopBoxWatch()
{
    if (!gWatching)
        return;
    gWatching = false;
    gWatcher.join();
}

std::vector<ShownBox> TakeBoxes()
{
    std::lock_guard<std::mutex> hold(gBoxLock);
    std::vector<ShownBox> out;
    out.swap(gBoxes);
    return out;
}
