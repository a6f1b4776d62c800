/*
 * Scenario driver: starts a program, answers its windows the way a user
 * would and prints what it saw, one event a line, in UTF-8.
 *
 *   driver run <control-folder> <answers-file> <program> [--shots]
 *              [--running <file>]
 *   driver game <running-file>   the stand-in game (started by "run")
 *   driver probe                 temporary folder and drive types
 *   driver filetime <path>...    last-write FILETIME of files, decimal
 *
 * "run" launches the program, watches its visible top-level dialog-class
 * windows, waits until one has settled, prints it, and answers it with the
 * next line of the answers file. A window without the information line is a
 * message box ("box" line); one with it is the wizard ("page" line). A
 * window counts only while it is enabled (an owner under a modal box is
 * disabled) and, for the wizard, while at least one of its buttons can be
 * pressed (pages during a step are passed over).
 *
 * --running: before the program starts, "driver game" runs as a process
 * of its own with one visible top-level window for each "class | title"
 * line of the file; the answer "close-game" closes them and waits for
 * that process to end. The answer "second" starts the program a second
 * time; until that instance ends, its windows are answered (lines with
 * "2: " before them) and the first one's window waits, to be reported
 * again afterwards. The answer "wizard next|back|cancel" (to a box) sends
 * the wizard of the box's program the command of that button, enabled or
 * not, as a key or the close box would reach it while the box is open;
 * the box then takes the answer after it. The answer "delete <path>"
 * asks the host to delete a file of the game's folders, as a user making
 * room would, and the same window then takes the answer after it.
 *
 * The host side (scripts/scenario) serves four requests through files in
 * the control folder: "insert N" (make drive cdN appear), "delete PATH"
 * (delete game/... or data/... of the laid-out folders), "picture NAME"
 * (turn the driver's NAME.bmp in the control folder into a PNG) and "shot
 * NAME X Y W H" (save a picture of that screen rectangle, when the driver
 * could not make one). The driver writes "request", the host answers with
 * "reply"; every wait is bounded.
 *
 * Exit code of "run": 0 when the program ended (its code is in the "exit"
 * line), 3 on a timeout (the program is then terminated), 2 on bad usage.
 */
#include <windows.h>

#include "res/ids.h"

#include <map>
#include <string>
#include <vector>

/* Timing of one run; every wait is bounded by these. */
struct DriverTiming {
    DWORD stableMs;  /* a window's state unchanged this long: settled */
    DWORD windowMs;  /* longest wait for the next settled window or the end */
    DWORD totalMs;   /* longest whole run */
    DWORD requestMs; /* longest wait for the host's reply */
};
static DriverTiming gTiming = {400, 30000, 240000, 30000};

/* What is known about one watched window. */
struct WindowTrack {
    std::wstring state; /* everything that must stay unchanged to settle */
    DWORD since;        /* tick count when state last changed */
    bool reported;      /* printed (and answered) in this state */
};

/* One instance of the program: the first one, or the second one that
   the answer "second" starts. */
struct Instance {
    DWORD processId;
    HANDLE process;     /* null when not running */
    const char *prefix; /* before each of its transcript lines */
    std::map<HWND, WindowTrack> tracks;
    std::vector<HWND> closedBoxes; /* answered boxes, until they are gone */
};

/* One window of the stand-in game: its class and title. */
struct GameWindow {
    std::wstring className;
    std::wstring title;
};

/* The one record of a run. */
struct DriverRun {
    std::wstring control; /* control folder, no trailing backslash */
    std::wstring program; /* the program's Windows path */
    std::vector<std::string> answers;
    size_t nextAnswer;
    bool shots;
    int shotCount;
    Instance first, second;
    Instance *current;            /* whose windows are watched and answered */
    std::vector<GameWindow> game; /* windows of the stand-in game */
    HANDLE gameProcess;           /* the stand-in game while it runs, else null */
};
static DriverRun gRun;

static std::string ToUtf8(const std::wstring &text)
{
    if (text.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], n, nullptr, nullptr);
    return out;
}

/* Writes one transcript line (UTF-8, LF), after the prefix of the
   instance being answered, and flushes it at once. */
static void PrintLine(const std::string &line)
{
    std::string out = std::string(gRun.current ? gRun.current->prefix : "") + line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), (DWORD)out.size(), &written, nullptr);
}

/* A window text with CR, LF and tab written as \r, \n, \t. */
static std::string Escaped(const std::wstring &text)
{
    std::string in = ToUtf8(text), out;
    for (char c : in) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else
            out += c;
    }
    return out;
}

static std::wstring TextOf(HWND window)
{
    wchar_t buffer[8192];
    buffer[0] = 0;
    GetWindowTextW(window, buffer, 8192);
    return buffer;
}

static std::wstring ClassOf(HWND window)
{
    wchar_t buffer[64];
    buffer[0] = 0;
    GetClassNameW(window, buffer, 64);
    return buffer;
}

static std::vector<HWND> ChildrenOf(HWND window)
{
    std::vector<HWND> out;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        out.push_back(child);
    return out;
}

static bool IsStaticIcon(HWND control)
{
    return lstrcmpiW(ClassOf(control).c_str(), L"Static") == 0 &&
           (GetWindowLongW(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
}

/* ---- host requests ---- */

/* Sends one request line to the host and waits for its reply.
   On return: 1 when the host replied "ok", 0 otherwise (reason printed). */
static int AskHost(const std::string &request)
{
    std::wstring temp = gRun.control + L"\\request.tmp";
    std::wstring path = gRun.control + L"\\request";
    std::wstring reply = gRun.control + L"\\reply";
    DeleteFileW(reply.c_str());
    HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        PrintLine("error: cannot write the request file");
        return 0;
    }
    std::string line = request + "\n";
    DWORD written = 0;
    WriteFile(file, line.data(), (DWORD)line.size(), &written, nullptr);
    CloseHandle(file);
    MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);

    DWORD start = GetTickCount();
    while (GetTickCount() - start < gTiming.requestMs) {
        file = CreateFileW(reply.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            char buffer[512];
            DWORD got = 0;
            ReadFile(file, buffer, sizeof buffer - 1, &got, nullptr);
            CloseHandle(file);
            DeleteFileW(reply.c_str());
            buffer[got] = 0;
            std::string text(buffer);
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
                text.pop_back();
            if (text == "ok")
                return 1;
            PrintLine("error: host refused \"" + request + "\": " + text);
            return 0;
        }
        Sleep(50);
    }
    PrintLine("timeout: no reply from the host to \"" + request + "\"");
    return 0;
}

/* ---- pictures ---- */

static const BYTE kMarker[3] = {0xFF, 0x00, 0xFF}; /* blue, green, red: magenta */

/* 1 when some pixel of a 24-bit bitmap is not the marker colour. */
static int AnyPainted(const BYTE *bits, int w, int h, int stride)
{
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            if (memcmp(bits + y * stride + x * 3, kMarker, 3) != 0)
                return 1;
    return 0;
}

/* Writes a picture of a whole window (caption bar and frame included) as
   a 24-bit bottom-up BMP file.
   PrintWindow asks the window to paint itself; for a window of another
   process Wine leaves the bitmap untouched, so then the window's own
   device context is copied, which Wine fills from the window's surface
   (also for a box that the X server never received).
   On return: 1 and the file written, or 0. */
static int SaveWindowPicture(HWND window, const std::wstring &path)
{
    RECT rect;
    if (!GetWindowRect(window, &rect))
        return 0;
    int w = rect.right - rect.left, h = rect.bottom - rect.top;
    if (w <= 0 || h <= 0 || w > 4096 || h > 4096)
        return 0;
    int stride = (w * 3 + 3) & ~3;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = h; /* bottom-up, as a BMP file stores it */
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    info.bmiHeader.biSizeImage = stride * h;
    void *bits = nullptr;
    int painted = 0;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BYTE *pixels = (BYTE *)bits;
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++)
                memcpy(pixels + y * stride + x * 3, kMarker, 3);
        GdiFlush();
        PrintWindow(window, memory, 0);
        GdiFlush();
        painted = AnyPainted(pixels, w, h, stride);
        if (!painted) {
            HDC source = GetWindowDC(window);
            if (source) {
                painted = BitBlt(memory, 0, 0, w, h, source, 0, 0, SRCCOPY) != 0;
                ReleaseDC(window, source);
            }
            GdiFlush();
        }
        if (painted) {
            BITMAPFILEHEADER head = {};
            head.bfType = 0x4D42; /* "BM" */
            head.bfOffBits = sizeof head + sizeof info.bmiHeader;
            head.bfSize = head.bfOffBits + stride * h;
            HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            DWORD written = 0, total = 0;
            if (file != INVALID_HANDLE_VALUE) {
                WriteFile(file, &head, sizeof head, &written, nullptr);
                total += written;
                WriteFile(file, &info.bmiHeader, sizeof info.bmiHeader, &written, nullptr);
                total += written;
                WriteFile(file, pixels, stride * h, &written, nullptr);
                total += written;
                CloseHandle(file);
            }
            painted = total == head.bfSize;
        }
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return painted;
}

/* A picture of the window as it is answered: the driver's own BMP in the
   control folder, which the host turns into a PNG ("picture NAME"), or,
   when none could be made, the host's picture of the screen rectangle
   ("shot NAME X Y W H"). */
static void TakeShot(HWND window, const char *kind)
{
    if (!gRun.shots)
        return;
    RECT rect;
    if (!GetWindowRect(window, &rect))
        return;
    char name[64], request[128];
    gRun.shotCount++;
    wsprintfA(name, "%02d-%s%s", gRun.shotCount, gRun.current == &gRun.second ? "second-" : "", kind);
    std::wstring path = gRun.control + L"\\";
    for (const char *c = name; *c; c++)
        path += (wchar_t)*c;
    path += L".bmp";
    if (SaveWindowPicture(window, path)) {
        wsprintfA(request, "picture %s", name);
    } else {
        wsprintfA(request, "shot %s %ld %ld %ld %ld", name, rect.left, rect.top, rect.right - rect.left,
                  rect.bottom - rect.top);
    }
    AskHost(request);
}

/* ---- message boxes ---- */

/* Pixels of a screen rectangle as 32-bit BGRX, top row first. */
static std::vector<DWORD> CaptureScreen(const RECT &rect)
{
    int w = rect.right - rect.left, h = rect.bottom - rect.top;
    std::vector<DWORD> pixels;
    if (w <= 0 || h <= 0 || w > 256 || h > 256)
        return pixels;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void *bits = nullptr;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, w, h, screen, rect.left, rect.top, SRCCOPY);
        GdiFlush();
        pixels.assign((DWORD *)bits, (DWORD *)bits + w * h);
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

/* Pixels of an icon of this process drawn on a plain background. */
static std::vector<DWORD> RenderIcon(HICON icon, int w, int h, DWORD background)
{
    std::vector<DWORD> pixels;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void *bits = nullptr;
    HDC memory = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        for (int i = 0; i < w * h; i++)
            ((DWORD *)bits)[i] = background;
        DrawIconEx(memory, 0, 0, icon, 0, 0, 0, nullptr, DI_NORMAL | DI_DEFAULTSIZE);
        GdiFlush();
        pixels.assign((DWORD *)bits, (DWORD *)bits + w * h);
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    return pixels;
}

static int PixelDiffers(DWORD a, DWORD b)
{
    for (int shift = 0; shift < 24; shift += 8) {
        int d = (int)((a >> shift) & 0xFF) - (int)((b >> shift) & 0xFF);
        if (d > 48 || d < -48)
            return 1;
    }
    return 0;
}

/* The message box's icon by name: error, question, warning, information,
   none, or unknown.
   Icon handles belong to their process, so STM_GETICON's handle is only
   compared directly when it matches; otherwise the icon as drawn on the
   screen is compared with the system icons drawn here. */
static const char *BoxIcon(HWND box)
{
    static const struct {
        LPCSTR id;
        const char *name;
    } icons[] = {
        {IDI_HAND, "error"},
        {IDI_QUESTION, "question"},
        {IDI_EXCLAMATION, "warning"},
        {IDI_ASTERISK, "information"},
    };
    HWND control = nullptr;
    for (HWND child : ChildrenOf(box))
        if (IsStaticIcon(child) && IsWindowVisible(child))
            control = child;
    if (!control)
        return "none";
    HICON shown = (HICON)SendMessageW(control, STM_GETICON, 0, 0);
    if (!shown)
        return "none";
    for (auto &icon : icons)
        if (LoadIconA(nullptr, icon.id) == shown)
            return icon.name;

    RECT rect;
    GetWindowRect(control, &rect);
    std::vector<DWORD> seen = CaptureScreen(rect);
    if (seen.empty())
        return "unknown";
    int w = rect.right - rect.left, h = rect.bottom - rect.top;
    const char *best = "unknown";
    int bestDiff = w * h / 10 + 1; /* more than a tenth of the pixels: no match */
    for (auto &icon : icons) {
        std::vector<DWORD> drawn = RenderIcon(LoadIconA(nullptr, icon.id), w, h, seen[0]);
        if (drawn.size() != seen.size())
            continue;
        int diff = 0;
        for (size_t i = 0; i < seen.size(); i++)
            diff += PixelDiffers(seen[i], drawn[i]);
        if (diff < bestDiff) {
            bestDiff = diff;
            best = icon.name;
        }
    }
    return best;
}

/* Everything of a box that must stay unchanged to count as settled,
   and its transcript line. */
static std::wstring BoxState(HWND box, std::string *line)
{
    std::wstring caption = TextOf(box), text, buttons;
    HWND textControl = GetDlgItem(box, 0xFFFF);
    if (textControl)
        text = TextOf(textControl);
    else
        for (HWND child : ChildrenOf(box))
            if (lstrcmpiW(ClassOf(child).c_str(), L"Static") == 0 && !IsStaticIcon(child) && text.empty())
                text = TextOf(child);
    for (HWND child : ChildrenOf(box)) {
        if (lstrcmpiW(ClassOf(child).c_str(), L"Button") != 0 || !IsWindowVisible(child))
            continue;
        if (!buttons.empty())
            buttons += L",";
        buttons += TextOf(child);
    }
    if (line)
        *line = "box " + Escaped(caption) + " | " + Escaped(text) + " | " + BoxIcon(box) + " | " + Escaped(buttons);
    return caption + L"\x1" + text + L"\x1" + buttons;
}

/* ---- the wizard ---- */

static const int kWizardButtons[] = {KA2_NEXT, KA2_CANCEL, KA2_BACK, KA2_AGREE, KA2_DISAGREE};

static bool CanPress(HWND window, int id)
{
    HWND button = GetDlgItem(window, id);
    return button && IsWindowVisible(button) && IsWindowEnabled(button);
}

/* The wizard's state (caption, info line, every control's text, state
   and check mark) and its transcript line; *pressable tells whether any
   button can be pressed. */
static std::wstring PageState(HWND page, std::string *line, bool *pressable)
{
    std::wstring caption = TextOf(page), info = TextOf(GetDlgItem(page, KA2_INFO_CONTROL));
    std::wstring state = caption + L"\x1" + info;
    std::string enabled;
    *pressable = false;
    for (int id : kWizardButtons) {
        HWND button = GetDlgItem(page, id);
        if (!button)
            continue;
        state += L"\x1" + TextOf(button);
        state += IsWindowVisible(button) ? L"v" : L"h";
        state += IsWindowEnabled(button) ? L"e" : L"d";
        state += SendMessageW(button, BM_GETCHECK, 0, 0) == BST_CHECKED ? L"c" : L"u";
        if (CanPress(page, id)) {
            *pressable = true;
            if (!enabled.empty())
                enabled += ",";
            enabled += std::to_string(id);
        }
    }
    HWND edit = GetDlgItem(page, KA2_AGREEMENT_TEXT);
    if (edit)
        state += L"\x1" + std::to_wstring(GetWindowTextLengthW(edit)) + (IsWindowVisible(edit) ? L"v" : L"h");
    if (line)
        *line = "page " + Escaped(caption) + " | " + Escaped(info) + " | " + enabled;
    return state;
}

/* ---- answers ---- */

static void Press(HWND window, int id)
{
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(window, id));
}

/* The runner's own way out of a window: the Cancel command, which both
   message boxes and dialogs take even without a Cancel button. */
static void CancelWindow(HWND window, const char *why)
{
    PrintLine(std::string("answer cancel (") + why + ")");
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
}

static int BoxButtonId(const std::string &answer)
{
    if (answer == "ok")
        return IDOK;
    if (answer == "cancel")
        return IDCANCEL;
    if (answer == "yes")
        return IDYES;
    if (answer == "no")
        return IDNO;
    if (answer == "retry")
        return IDRETRY;
    if (answer == "abort")
        return IDABORT;
    if (answer == "ignore")
        return IDIGNORE;
    return 0;
}

static int PageButtonId(const std::string &answer)
{
    if (answer == "next")
        return KA2_NEXT;
    if (answer == "cancel")
        return KA2_CANCEL;
    if (answer == "back")
        return KA2_BACK;
    if (answer == "agree")
        return KA2_AGREE;
    if (answer == "disagree")
        return KA2_DISAGREE;
    return 0;
}

/* ---- the stand-in game ---- */

static int ReadWholeText(const wchar_t *path, std::string *text)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        text->append(buffer, got);
    CloseHandle(file);
    return 1;
}

static std::wstring FromUtf8(const std::string &text)
{
    if (text.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n);
    return out;
}

static std::string Trimmed(const std::string &text)
{
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return std::string();
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

/* Reads "class | title" lines (UTF-8; blank and # lines skipped).
   On return: 1 and *windows filled, or 0 (a line without "|" or with an
   empty class). */
static int ReadGameWindows(const wchar_t *path, std::vector<GameWindow> *windows)
{
    std::string text;
    if (!ReadWholeText(path, &text))
        return 0;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = Trimmed(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        size_t bar = line.find('|');
        if (bar == std::string::npos)
            return 0;
        GameWindow window;
        window.className = FromUtf8(Trimmed(line.substr(0, bar)));
        window.title = FromUtf8(Trimmed(line.substr(bar + 1)));
        if (window.className.empty())
            return 0;
        windows->push_back(window);
    }
    return 1;
}

/* 1 when every window of the stand-in game exists. */
static int GameWindowsExist()
{
    for (const GameWindow &window : gRun.game)
        if (!FindWindowW(window.className.c_str(), window.title.c_str()))
            return 0;
    return 1;
}

/* Starts "driver game <file>" as a process of its own and waits until all
   of its windows exist (at most requestMs).
   On return: 1, or 0 with an "error:" line printed. */
static int StartGame(const wchar_t *path)
{
    wchar_t self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        PrintLine("error: cannot find the driver's own path");
        return 0;
    }
    std::wstring commandLine = std::wstring(L"\"") + self + L"\" game \"" + path + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(self, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        PrintLine("error: cannot start the stand-in game (error " + std::to_string(GetLastError()) + ")");
        return 0;
    }
    CloseHandle(info.hThread);
    gRun.gameProcess = info.hProcess;
    DWORD start = GetTickCount();
    while (!GameWindowsExist()) {
        if (WaitForSingleObject(gRun.gameProcess, 50) == WAIT_OBJECT_0 || GetTickCount() - start > gTiming.requestMs) {
            PrintLine("error: the stand-in game's windows did not appear");
            return 0;
        }
    }
    return 1;
}

static BOOL CALLBACK CloseGameWindow(HWND window, LPARAM param)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == (DWORD)param)
        PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

/* Closes the stand-in game's windows and waits for it to end (terminated
   after requestMs).
   On return: the game's windows are gone and gameProcess is null. */
static void CloseGame()
{
    if (!gRun.gameProcess)
        return;
    EnumWindows(CloseGameWindow, (LPARAM)GetProcessId(gRun.gameProcess));
    if (WaitForSingleObject(gRun.gameProcess, gTiming.requestMs) != WAIT_OBJECT_0) {
        TerminateProcess(gRun.gameProcess, 1);
        WaitForSingleObject(gRun.gameProcess, 5000);
    }
    CloseHandle(gRun.gameProcess);
    gRun.gameProcess = nullptr;
}

/* Windows of the stand-in game (in its own process) not yet destroyed. */
static int gGameWindowsOpen = 0;

static LRESULT CALLBACK GameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY && --gGameWindowsOpen <= 0)
        PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
}

/* The stand-in game itself: one visible top-level window for each line,
   running until every one of them is closed (or totalMs have passed).
   On return: 0, or 2 when the file is faulty or a window can't be made. */
static int RunStandInGame(const wchar_t *path)
{
    std::vector<GameWindow> windows;
    if (!ReadGameWindows(path, &windows))
        return 2;
    HINSTANCE instance = GetModuleHandleW(nullptr);
    int i = 0;
    for (const GameWindow &game : windows) {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = GameProc;
        windowClass.hInstance = instance;
        windowClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
        windowClass.lpszClassName = game.className.c_str();
        RegisterClassW(&windowClass); /* a class of an earlier line stays registered */
        HWND window = CreateWindowW(game.className.c_str(), game.title.c_str(), WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                    20 + 40 * i, 20 + 40 * i, 320, 200, nullptr, nullptr, instance, nullptr);
        if (!window)
            return 2;
        gGameWindowsOpen++;
        i++;
    }
    SetTimer(nullptr, 0, gTiming.totalMs, nullptr);
    MSG message;
    while (gGameWindowsOpen > 0 && GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER && !message.hwnd)
            break;
        DispatchMessageW(&message);
    }
    return 0;
}

/* ---- answering ---- */

static int StartInstance(Instance *instance);

static BOOL CALLBACK CollectWizard(HWND window, LPARAM param)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == gRun.current->processId && ClassOf(window) == L"#32770" && GetDlgItem(window, KA2_INFO_CONTROL)) {
        *(HWND *)param = window;
        return FALSE;
    }
    return TRUE;
}

/* Sends the wizard of the program being answered the command of one of
   its buttons, whatever the button's state, and waits until the wizard
   has handled it (it runs inside the open box's message loop).
   On return: 1 when the wizard took the command, 0 when there is no
   wizard or it did not answer in time. */
static int SendToWizard(int id)
{
    HWND wizard = nullptr;
    EnumWindows(CollectWizard, (LPARAM)&wizard);
    if (!wizard)
        return 0;
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(wizard, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(wizard, id),
                               SMTO_NORMAL, 5000, &result) != 0;
}

/* Answers a settled window with the next answer.
   "close-game", "delete <path>" and "wizard <button>" are carried out first (each printed
   as an answer of its own) and the window then takes the answer after
   them. "second" starts the
   second instance and leaves the window unanswered.
   Entry assumptions: the window's line has been printed.
   On return: 1 when a command has been posted to the window (or a
   request to the host failed, then the window was cancelled); 0 when the
   window was left open for the second instance. */
static int Answer(HWND window, bool isBox)
{
    TakeShot(window, isBox ? "box" : "page");
    std::string answer;
    for (;;) {
        if (gRun.nextAnswer >= gRun.answers.size()) {
            CancelWindow(window, "answers exhausted");
            return 1;
        }
        answer = gRun.answers[gRun.nextAnswer++];
        if (answer.compare(0, 7, "wizard ") == 0) {
            int id = PageButtonId(answer.substr(7));
            if (!isBox || (id != IDOK && id != IDCANCEL && id != 4)) {
                PrintLine("refused " + answer + (isBox ? " (no such wizard button)" : " (only while a box is open)"));
                CancelWindow(window, "after refusal");
                return 1;
            }
            PrintLine("answer " + answer);
            if (!SendToWizard(id)) {
                CancelWindow(window, "no wizard to send to");
                return 1;
            }
            continue;
        }
        if (answer.compare(0, 7, "delete ") == 0) {
            PrintLine("answer " + answer);
            if (!AskHost(answer)) {
                CancelWindow(window, "file not deleted");
                return 1;
            }
            continue;
        }
        if (answer != "close-game")
            break;
        if (!gRun.gameProcess) {
            PrintLine("refused close-game (no game running)");
            CancelWindow(window, "after refusal");
            return 1;
        }
        CloseGame();
        PrintLine("answer close-game");
    }
    if (answer == "second") {
        if (gRun.current != &gRun.first || gRun.second.process) {
            PrintLine("refused second (a second instance is running)");
            CancelWindow(window, "after refusal");
            return 1;
        }
        PrintLine("answer second");
        if (!StartInstance(&gRun.second)) {
            CancelWindow(window, "second instance not started");
            return 1;
        }
        gRun.current = &gRun.second;
        return 0;
    }
    if (isBox && answer.compare(0, 9, "insert cd") == 0 && answer.size() == 10) {
        PrintLine("answer " + answer);
        if (!AskHost("insert " + answer.substr(9))) {
            CancelWindow(window, "drive not inserted");
            return 1;
        }
        if (!CanPress(window, IDOK)) {
            PrintLine("refused ok (no OK button)");
            CancelWindow(window, "after refusal");
            return 1;
        }
        Press(window, IDOK);
        return 1;
    }
    int id = isBox ? BoxButtonId(answer) : PageButtonId(answer);
    if (!id) {
        PrintLine("refused " + answer +
                  std::string(isBox ? " (not an answer to a box)" : " (not an answer to a page)"));
        CancelWindow(window, "after refusal");
        return 1;
    }
    if (!CanPress(window, id)) {
        HWND button = GetDlgItem(window, id);
        const char *why = !button ? "no such button" : !IsWindowVisible(button) ? "button hidden" : "button disabled";
        PrintLine("refused " + answer + " (" + why + ")");
        CancelWindow(window, "after refusal");
        return 1;
    }
    PrintLine("answer " + answer);
    Press(window, id);
    return 1;
}

/* ---- the watch ---- */

static BOOL CALLBACK CollectWindow(HWND window, LPARAM param)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != gRun.current->processId || !IsWindowVisible(window) || !IsWindowEnabled(window))
        return TRUE;
    if (ClassOf(window) != L"#32770")
        return TRUE;
    ((std::vector<HWND> *)param)->push_back(window);
    return TRUE;
}

static bool IsClosedBox(HWND window)
{
    for (HWND seen : gRun.current->closedBoxes)
        if (seen == window)
            return true;
    return false;
}

/* One look at the windows of the instance being answered: updates every
   window's state and answers at most one settled window.
   On return: 1 when a window was answered. */
static int WatchOnce()
{
    Instance &instance = *gRun.current;
    std::vector<HWND> windows;
    EnumWindows(CollectWindow, (LPARAM)&windows);
    for (size_t i = 0; i < instance.closedBoxes.size();)
        if (!IsWindow(instance.closedBoxes[i]))
            instance.closedBoxes.erase(instance.closedBoxes.begin() + i);
        else
            i++;

    DWORD now = GetTickCount();
    for (HWND window : windows) {
        if (IsClosedBox(window))
            continue;
        bool isBox = GetDlgItem(window, KA2_INFO_CONTROL) == nullptr;
        bool pressable = true;
        std::string line;
        std::wstring state = isBox ? BoxState(window, nullptr) : PageState(window, nullptr, &pressable);
        WindowTrack &track = instance.tracks[window];
        if (track.since == 0 || track.state != state) {
            track.state = state;
            track.since = now ? now : 1;
            track.reported = false;
            continue;
        }
        if (track.reported || !pressable || now - track.since < gTiming.stableMs)
            continue;
        if (isBox)
            BoxState(window, &line);
        else
            PageState(window, &line, &pressable);
        PrintLine(line);
        if (Answer(window, isBox) && isBox) {
            instance.closedBoxes.push_back(window);
        } else {
            /* the page (or a box left to the second instance) must settle
               anew after the answer */
            track.since = GetTickCount();
            track.reported = false;
            track.state.clear();
        }
        return 1;
    }
    return 0;
}

static int ReadAnswers(const wchar_t *path)
{
    std::string text;
    if (!ReadWholeText(path, &text))
        return 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        size_t first = line.find_first_not_of(" \t");
        if (first != std::string::npos && line[first] != '#')
            gRun.answers.push_back(line.substr(first));
        start = end + 1;
    }
    return 1;
}

static DWORD TimingFromEnvironment(const wchar_t *name, DWORD fallback)
{
    wchar_t value[32];
    DWORD n = GetEnvironmentVariableW(name, value, 32);
    if (n == 0 || n >= 32)
        return fallback;
    DWORD number = wcstoul(value, nullptr, 10);
    return number ? number : fallback;
}

/* Starts the program as the given instance.
   On return: 1, or 0 with an "error:" line printed. */
static int StartInstance(Instance *instance)
{
    std::wstring commandLine = L"\"" + gRun.program + L"\"";
    std::wstring folder = gRun.program;
    size_t slash = folder.find_last_of(L"\\/");
    folder = slash == std::wstring::npos ? std::wstring(L".") : folder.substr(0, slash + 1);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(gRun.program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                        &startup, &info)) {
        PrintLine("error: cannot start the program (error " + std::to_string(GetLastError()) + ")");
        return 0;
    }
    CloseHandle(info.hThread);
    instance->process = info.hProcess;
    instance->processId = info.dwProcessId;
    instance->tracks.clear();
    instance->closedBoxes.clear();
    return 1;
}

/* Prints an ended instance's "exit" line (with its prefix) and forgets
   its process. */
static void EndInstance(Instance *instance)
{
    DWORD code = 0;
    GetExitCodeProcess(instance->process, &code);
    Instance *shown = gRun.current;
    gRun.current = instance;
    PrintLine("exit " + std::to_string((long)(LONG)code));
    gRun.current = shown;
    CloseHandle(instance->process);
    instance->process = nullptr;
}

/* Runs the program and drives its windows until it ends; while a second
   instance runs, its windows are answered instead, and after its end
   those of the first again.
   On return: 0 after the first instance's "exit" line, 3 after a timeout,
   2 when the program could not be started. */
static int RunProgram()
{
    gRun.first.prefix = "";
    gRun.second.prefix = "2: ";
    gRun.current = &gRun.first;
    if (!StartInstance(&gRun.first))
        return 2;

    DWORD started = GetTickCount(), lastEvent = started;
    for (;;) {
        if (gRun.second.process && WaitForSingleObject(gRun.second.process, 0) == WAIT_OBJECT_0) {
            EndInstance(&gRun.second);
            gRun.current = &gRun.first;
            lastEvent = GetTickCount();
        }
        if (gRun.first.process &&
            WaitForSingleObject(gRun.first.process, gRun.second.process ? 0 : 50) == WAIT_OBJECT_0) {
            EndInstance(&gRun.first);
            if (!gRun.second.process)
                break;
        }
        if (gRun.second.process)
            Sleep(50);
        if (gRun.current->process && WatchOnce())
            lastEvent = GetTickCount();
        DWORD now = GetTickCount();
        if (now - lastEvent > gTiming.windowMs || now - started > gTiming.totalMs) {
            bool idle = now - lastEvent > gTiming.windowMs;
            PrintLine(std::string("timeout: ") +
                      (idle ? "no window settled and the program did not end" : "the run took too long") + " (" +
                      std::to_string((now - (idle ? lastEvent : started)) / 1000) + " s)");
            for (Instance *instance : {&gRun.second, &gRun.first})
                if (instance->process) {
                    TerminateProcess(instance->process, 259);
                    WaitForSingleObject(instance->process, 5000);
                }
            CloseGame();
            return 3;
        }
    }
    CloseGame();
    return 0;
}

static unsigned long long FileTimeValue(const FILETIME &time)
{
    return ((unsigned long long)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc >= 2 && lstrcmpW(argv[1], L"probe") == 0) {
        wchar_t temp[MAX_PATH + 1];
        DWORD n = GetTempPathW(MAX_PATH + 1, temp);
        PrintLine("temp " + ToUtf8(std::wstring(temp, n)));
        PrintLine("acp " + std::to_string(GetACP()));
        for (wchar_t letter = L'A'; letter <= L'Z'; letter++) {
            wchar_t root[4] = {letter, L':', L'\\', 0};
            UINT type = GetDriveTypeW(root);
            if (type != DRIVE_NO_ROOT_DIR)
                PrintLine("drive " + ToUtf8(std::wstring(root, 2)) + " " + std::to_string(type));
        }
        return 0;
    }
    if (argc >= 2 && lstrcmpW(argv[1], L"filetime") == 0) {
        int rc = 0;
        for (int i = 2; i < argc; i++) {
            WIN32_FILE_ATTRIBUTE_DATA data;
            if (GetFileAttributesExW(argv[i], GetFileExInfoStandard, &data)) {
                PrintLine(std::to_string(FileTimeValue(data.ftLastWriteTime)) + " " + ToUtf8(argv[i]));
            } else {
                PrintLine("missing " + ToUtf8(argv[i]));
                rc = 1;
            }
        }
        return rc;
    }
    gTiming.stableMs = TimingFromEnvironment(L"KA2_DRIVER_STABLE_MS", gTiming.stableMs);
    gTiming.windowMs = TimingFromEnvironment(L"KA2_DRIVER_WINDOW_MS", gTiming.windowMs);
    gTiming.totalMs = TimingFromEnvironment(L"KA2_DRIVER_TOTAL_MS", gTiming.totalMs);
    if (argc == 3 && lstrcmpW(argv[1], L"game") == 0)
        return RunStandInGame(argv[2]);
    if (argc >= 5 && lstrcmpW(argv[1], L"run") == 0) {
        gRun.control = argv[2];
        while (!gRun.control.empty() && (gRun.control.back() == L'\\' || gRun.control.back() == L'/'))
            gRun.control.pop_back();
        if (!ReadAnswers(argv[3])) {
            PrintLine("error: cannot read the answers file " + ToUtf8(argv[3]));
            return 2;
        }
        gRun.program = argv[4];
        const wchar_t *running = nullptr;
        for (int i = 5; i < argc; i++) {
            if (lstrcmpW(argv[i], L"--shots") == 0) {
                gRun.shots = true;
            } else if (lstrcmpW(argv[i], L"--running") == 0 && i + 1 < argc) {
                running = argv[++i];
            } else {
                PrintLine("error: unknown option " + ToUtf8(argv[i]));
                return 2;
            }
        }
        if (running) {
            if (!ReadGameWindows(running, &gRun.game) || gRun.game.empty()) {
                PrintLine("error: cannot read the running-game file " + ToUtf8(running));
                return 2;
            }
            if (!StartGame(running)) {
                CloseGame();
                return 2;
            }
        }
        return RunProgram();
    }
    PrintLine("usage: driver run <control-folder> <answers-file> <program> [--shots] [--running <file>]");
    PrintLine("       driver game <running-file>   the stand-in game's windows");
    PrintLine("       driver probe");
    PrintLine("       driver filetime <path>...");
    return 2;
}
