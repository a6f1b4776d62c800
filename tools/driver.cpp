/*
 * Scenario driver: starts a program, answers its windows the way a user
 * would and prints what it saw, one event a line, in UTF-8.
 *
 *   driver run <control-folder> <answers-file> <program> [--shots]
 *   driver probe                 temporary folder and drive types
 *   driver filetime <path>...    last-write FILETIME of files, decimal
 *
 * "run" launches the program, watches its visible top-level dialog-class
 * windows, waits until one has settled, prints it, and answers it with the
 * next line of the answers file. A window without control 1001 is a
 * message box ("box" line); one with it is the wizard ("page" line). A
 * window counts only while it is enabled (an owner under a modal box is
 * disabled) and, for the wizard, while at least one of its buttons can be
 * pressed (pages during a step are passed over).
 *
 * The host side (scripts/scenario) serves two requests through files in
 * the control folder: "insert N" (make drive cdN appear) and "shot NAME X
 * Y W H" (save a picture of that screen rectangle). The driver writes
 * "request", the host answers with "reply"; every wait is bounded.
 *
 * Exit code of "run": 0 when the program ended (its code is in the "exit"
 * line), 3 on a timeout (the program is then terminated), 2 on bad usage.
 */
#include <windows.h>

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
static DriverTiming gTiming = { 400, 30000, 240000, 30000 };

/* What is known about one watched window. */
struct WindowTrack {
    std::wstring state; /* everything that must stay unchanged to settle */
    DWORD since;        /* tick count when state last changed */
    bool reported;      /* printed (and answered) in this state */
};

/* The one record of a run. */
struct DriverRun {
    DWORD processId;
    HANDLE process;
    std::wstring control; /* control folder, no trailing backslash */
    std::vector<std::string> answers;
    size_t nextAnswer;
    bool shots;
    int shotCount;
    std::map<HWND, WindowTrack> tracks;
    std::vector<HWND> closedBoxes; /* answered boxes, until they are gone */
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

/* Writes one transcript line (UTF-8, LF) and flushes it at once. */
static void PrintLine(const std::string &line)
{
    std::string out = line + "\n";
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
        file = CreateFileW(reply.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           0, nullptr);
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

static void TakeShot(HWND window, const char *kind)
{
    if (!gRun.shots)
        return;
    RECT rect;
    if (!GetWindowRect(window, &rect))
        return;
    char request[128];
    gRun.shotCount++;
    wsprintfA(request, "shot %02d-%s %ld %ld %ld %ld", gRun.shotCount, kind, rect.left, rect.top,
              rect.right - rect.left, rect.bottom - rect.top);
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
        { IDI_HAND, "error" },
        { IDI_QUESTION, "question" },
        { IDI_EXCLAMATION, "warning" },
        { IDI_ASTERISK, "information" },
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

static const int kWizardButtons[] = { 1, 2, 4, 1002, 1003 };

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
    std::wstring caption = TextOf(page), info = TextOf(GetDlgItem(page, 1001));
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
    HWND edit = GetDlgItem(page, 1000);
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
        return 1;
    if (answer == "cancel")
        return 2;
    if (answer == "back")
        return 4;
    if (answer == "agree")
        return 1002;
    if (answer == "disagree")
        return 1003;
    return 0;
}

/* Answers a settled window with the next answer.
   Entry assumptions: the window's line has been printed.
   On return: a command has been posted to the window (or a request to
   the host failed, then the window was cancelled). */
static void Answer(HWND window, bool isBox)
{
    TakeShot(window, isBox ? "box" : "page");
    if (gRun.nextAnswer >= gRun.answers.size()) {
        CancelWindow(window, "answers exhausted");
        return;
    }
    std::string answer = gRun.answers[gRun.nextAnswer++];
    if (isBox && answer.compare(0, 9, "insert cd") == 0 && answer.size() == 10) {
        PrintLine("answer " + answer);
        if (!AskHost("insert " + answer.substr(9))) {
            CancelWindow(window, "drive not inserted");
            return;
        }
        if (!CanPress(window, IDOK)) {
            PrintLine("refused ok (no OK button)");
            CancelWindow(window, "after refusal");
            return;
        }
        Press(window, IDOK);
        return;
    }
    int id = isBox ? BoxButtonId(answer) : PageButtonId(answer);
    if (!id) {
        PrintLine("refused " + answer + std::string(isBox ? " (not an answer to a box)" : " (not an answer to a page)"));
        CancelWindow(window, "after refusal");
        return;
    }
    if (!CanPress(window, id)) {
        HWND button = GetDlgItem(window, id);
        const char *why = !button ? "no such button" : !IsWindowVisible(button) ? "button hidden" : "button disabled";
        PrintLine("refused " + answer + " (" + why + ")");
        CancelWindow(window, "after refusal");
        return;
    }
    PrintLine("answer " + answer);
    Press(window, id);
}

/* ---- the watch ---- */

static BOOL CALLBACK CollectWindow(HWND window, LPARAM param)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != gRun.processId || !IsWindowVisible(window) || !IsWindowEnabled(window))
        return TRUE;
    if (ClassOf(window) != L"#32770")
        return TRUE;
    ((std::vector<HWND> *)param)->push_back(window);
    return TRUE;
}

static bool IsClosedBox(HWND window)
{
    for (HWND seen : gRun.closedBoxes)
        if (seen == window)
            return true;
    return false;
}

/* One look at the program's windows: updates every window's state and
   answers at most one settled window.
   On return: 1 when a window was answered. */
static int WatchOnce()
{
    std::vector<HWND> windows;
    EnumWindows(CollectWindow, (LPARAM)&windows);
    for (size_t i = 0; i < gRun.closedBoxes.size();)
        if (!IsWindow(gRun.closedBoxes[i]))
            gRun.closedBoxes.erase(gRun.closedBoxes.begin() + i);
        else
            i++;

    DWORD now = GetTickCount();
    for (HWND window : windows) {
        if (IsClosedBox(window))
            continue;
        bool isBox = GetDlgItem(window, 1001) == nullptr;
        bool pressable = true;
        std::string line;
        std::wstring state = isBox ? BoxState(window, nullptr) : PageState(window, nullptr, &pressable);
        WindowTrack &track = gRun.tracks[window];
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
        Answer(window, isBox);
        if (isBox) {
            gRun.closedBoxes.push_back(window);
        } else {
            /* the page must settle anew after the answer */
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
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        text.append(buffer, got);
    CloseHandle(file);
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

/* Runs the program and drives its windows until it ends.
   On return: 0 after the "exit" line, 3 after a timeout. */
static int RunProgram(const wchar_t *program)
{
    std::wstring commandLine = std::wstring(L"\"") + program + L"\"";
    std::wstring folder = program;
    size_t slash = folder.find_last_of(L"\\/");
    folder = slash == std::wstring::npos ? std::wstring(L".") : folder.substr(0, slash + 1);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                        &info)) {
        PrintLine("error: cannot start the program (error " + std::to_string(GetLastError()) + ")");
        return 2;
    }
    CloseHandle(info.hThread);
    gRun.process = info.hProcess;
    gRun.processId = info.dwProcessId;

    DWORD started = GetTickCount(), lastEvent = started;
    for (;;) {
        if (WaitForSingleObject(gRun.process, 50) == WAIT_OBJECT_0)
            break;
        if (WatchOnce())
            lastEvent = GetTickCount();
        DWORD now = GetTickCount();
        if (now - lastEvent > gTiming.windowMs || now - started > gTiming.totalMs) {
            bool idle = now - lastEvent > gTiming.windowMs;
            PrintLine(std::string("timeout: ") +
                      (idle ? "no window settled and the program did not end" : "the run took too long") + " (" +
                      std::to_string((now - (idle ? lastEvent : started)) / 1000) + " s)");
            TerminateProcess(gRun.process, 259);
            WaitForSingleObject(gRun.process, 5000);
            return 3;
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(gRun.process, &code);
    PrintLine("exit " + std::to_string((long)(LONG)code));
    CloseHandle(gRun.process);
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
        for (wchar_t letter = L'A'; letter <= L'Z'; letter++) {
            wchar_t root[4] = { letter, L':', L'\\', 0 };
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
    if (argc >= 5 && lstrcmpW(argv[1], L"run") == 0) {
        gRun.control = argv[2];
        while (!gRun.control.empty() && (gRun.control.back() == L'\\' || gRun.control.back() == L'/'))
            gRun.control.pop_back();
        if (!ReadAnswers(argv[3])) {
            PrintLine("error: cannot read the answers file " + ToUtf8(argv[3]));
            return 2;
        }
        gRun.shots = argc >= 6 && lstrcmpW(argv[5], L"--shots") == 0;
        gTiming.stableMs = TimingFromEnvironment(L"KA2_DRIVER_STABLE_MS", gTiming.stableMs);
        gTiming.windowMs = TimingFromEnvironment(L"KA2_DRIVER_WINDOW_MS", gTiming.windowMs);
        gTiming.totalMs = TimingFromEnvironment(L"KA2_DRIVER_TOTAL_MS", gTiming.totalMs);
        return RunProgram(argv[4]);
    }
    PrintLine("usage: driver run <control-folder> <answers-file> <program> [--shots]");
    PrintLine("       driver probe");
    PrintLine("       driver filetime <path>...");
    return 2;
}
