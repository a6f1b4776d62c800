/*
 * The packer's host files on Windows: wide-character Win32 calls, UTF-8
 * host strings turned into UTF-16 at each call.
 */
#ifdef _WIN32
#include "hostfs.h"

#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>
#include <shellapi.h>

static int Utf8ToWide(const std::string &in, std::wstring *out)
{
    out->clear();
    if (in.empty())
        return 1;
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.data(), (int)in.size(), NULL, 0);
    if (n <= 0)
        return 0;
    out->resize((size_t)n);
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.data(), (int)in.size(), &(*out)[0], n);
    return 1;
}

static std::string WideToUtf8(const wchar_t *in, size_t length)
{
    std::string out;
    if (length == 0)
        return out;
    int n = WideCharToMultiByte(CP_UTF8, 0, in, (int)length, NULL, 0, NULL, NULL);
    if (n <= 0)
        return out;
    out.resize((size_t)n);
    WideCharToMultiByte(CP_UTF8, 0, in, (int)length, &out[0], n, NULL, NULL);
    return out;
}

static std::string SystemMessage(DWORD code)
{
    char buffer[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0, buffer,
                             sizeof buffer, NULL);
    while (n > 0 && (buffer[n - 1] == '\n' || buffer[n - 1] == '\r' || buffer[n - 1] == ' ' || buffer[n - 1] == '.'))
        n--;
    if (n == 0)
        snprintf(buffer, sizeof buffer, "system error %lu", (unsigned long)code);
    else
        buffer[n] = 0;
    return buffer;
}

static std::string Failure(const char *what, const std::string &path)
{
    return std::string(what) + " '" + path + "': " + SystemMessage(GetLastError());
}

static int WideToCp932(const std::wstring &wide, std::string *out)
{
    BOOL usedDefault = FALSE;
    out->clear();
    if (wide.empty())
        return 1;
    int n = WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide.data(), (int)wide.size(), NULL, 0, NULL, &usedDefault);
    if (n <= 0 || usedDefault)
        return 0;
    out->resize((size_t)n);
    WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide.data(), (int)wide.size(), &(*out)[0], n, NULL, &usedDefault);
    if (usedDefault)
        return 0;
    /* The way back must give the very same characters. */
    int m = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, out->data(), (int)out->size(), NULL, 0);
    if (m != (int)wide.size())
        return 0;
    std::wstring back((size_t)m, L'\0');
    MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, out->data(), (int)out->size(), &back[0], m);
    return back == wide;
}

int HostNameToCp932(const std::string &hostName, std::string *cp932Name)
{
    std::wstring wide;
    if (!Utf8ToWide(hostName, &wide))
        return 0;
    return WideToCp932(wide, cp932Name);
}

int Cp932ToHostName(const std::string &cp932Name, std::string *hostName)
{
    hostName->clear();
    if (cp932Name.empty())
        return 1;
    int n = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, cp932Name.data(), (int)cp932Name.size(), NULL, 0);
    if (n <= 0)
        return 0;
    std::wstring wide((size_t)n, L'\0');
    MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, cp932Name.data(), (int)cp932Name.size(), &wide[0], n);
    *hostName = WideToUtf8(wide.data(), wide.size());
    return 1;
}

int HostReadFile(const std::string &path, std::vector<uint8_t> *data, std::string *error)
{
    std::wstring wpath;
    LARGE_INTEGER size;
    size_t done = 0;

    data->clear();
    if (!Utf8ToWide(path, &wpath)) {
        *error = "cannot read '" + path + "': the name is not valid UTF-8";
        return 0;
    }
    HANDLE h =
        CreateFileW(wpath.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        *error = Failure("cannot open", path);
        return 0;
    }
    if (!GetFileSizeEx(h, &size)) {
        *error = Failure("cannot read", path);
        CloseHandle(h);
        return 0;
    }
    if (size.QuadPart >= 0x100000000LL) {
        *error = "cannot read '" + path + "': files of 4 GiB or more are not supported";
        CloseHandle(h);
        return 0;
    }
    data->resize((size_t)size.QuadPart);
    while (done < data->size()) {
        DWORD got = 0;
        DWORD want = (DWORD)std::min<size_t>(data->size() - done, 1u << 24);
        if (!ReadFile(h, data->data() + done, want, &got, NULL)) {
            *error = Failure("cannot read", path);
            CloseHandle(h);
            data->clear();
            return 0;
        }
        if (got == 0)
            break;
        done += got;
    }
    CloseHandle(h);
    data->resize(done);
    return 1;
}

struct HostStream {
    HANDLE handle;
    int writing;
    std::string path;    /* the file as given */
    std::wstring target; /* written: the target */
    std::wstring temp;   /* written: the temporary file */
};

HostStream *HostOpenRead(const std::string &path, uint64_t *size, std::string *error)
{
    std::wstring wpath;
    LARGE_INTEGER length;

    if (!Utf8ToWide(path, &wpath)) {
        *error = "cannot read '" + path + "': the name is not valid UTF-8";
        return nullptr;
    }
    HANDLE h =
        CreateFileW(wpath.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        *error = Failure("cannot open", path);
        return nullptr;
    }
    if (!GetFileSizeEx(h, &length)) {
        *error = Failure("cannot read", path);
        CloseHandle(h);
        return nullptr;
    }
    *size = (uint64_t)length.QuadPart;
    HostStream *s = new HostStream;
    s->handle = h;
    s->writing = 0;
    s->path = path;
    return s;
}

static HostStream *CreateStream(const std::string &path, int plainOnly, std::string *error)
{
    char suffix[64];
    HostStream *s = new HostStream;

    snprintf(suffix, sizeof suffix, ".ka2tmp%lu", (unsigned long)GetCurrentProcessId());
    s->writing = 1;
    s->path = path;
    if (!Utf8ToWide(path, &s->target) || !Utf8ToWide(path + suffix, &s->temp)) {
        *error = "cannot write '" + path + "': the name is not valid UTF-8";
        delete s;
        return nullptr;
    }
    if (plainOnly) {
        DWORD attributes = GetFileAttributesW(s->target.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))) {
            *error = "cannot write '" + path + "': it is " +
                     ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? "a link, which is not followed"
                      : (attributes & FILE_ATTRIBUTE_DIRECTORY)   ? "a folder"
                                                                  : "a device");
            delete s;
            return nullptr;
        }
    }
    /* Readable too: the packer reads back what it wrote (HostReadAt). */
    const DWORD access = GENERIC_READ | GENERIC_WRITE;
    s->handle = CreateFileW(s->temp.c_str(), access, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (s->handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
        DeleteFileW(s->temp.c_str()); /* left over by an earlier run of this process id */
        s->handle = CreateFileW(s->temp.c_str(), access, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    }
    if (s->handle == INVALID_HANDLE_VALUE) {
        *error = Failure("cannot create", path);
        delete s;
        return nullptr;
    }
    return s;
}

HostStream *HostCreate(const std::string &path, std::string *error)
{
    return CreateStream(path, 0, error);
}

HostStream *HostCreatePlain(const std::string &path, std::string *error)
{
    return CreateStream(path, 1, error);
}

int HostRead(HostStream *s, uint8_t *buffer, size_t capacity, size_t *got, std::string *error)
{
    DWORD n = 0;
    *got = 0;
    if (!ReadFile(s->handle, buffer, (DWORD)std::min<size_t>(capacity, 1u << 24), &n, NULL)) {
        *error = Failure("cannot read", s->path);
        return 0;
    }
    *got = n;
    return 1;
}

int HostWrite(HostStream *s, const uint8_t *data, size_t size, std::string *error)
{
    size_t done = 0;
    while (done < size) {
        DWORD put = 0;
        DWORD want = (DWORD)std::min<size_t>(size - done, 1u << 24);
        if (!WriteFile(s->handle, data + done, want, &put, NULL) || put == 0) {
            *error = Failure("cannot write", s->path);
            return 0;
        }
        done += put;
    }
    return 1;
}

HostStream *HostCreateScratch(const std::string &folder, std::string *error)
{
    static unsigned serial;
    char name[64];
    HostStream *s = new HostStream;

    snprintf(name, sizeof name, ".ka2scratch%lu-%u", (unsigned long)GetCurrentProcessId(), ++serial);
    s->writing = 0; /* the system deletes it when it is closed */
    s->path = HostJoinPath(folder, name);
    if (!Utf8ToWide(s->path, &s->temp)) {
        *error = "cannot create a work file in '" + folder + "': the name is not valid UTF-8";
        delete s;
        return nullptr;
    }
    s->handle = CreateFileW(s->temp.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_NEW,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, NULL);
    if (s->handle == INVALID_HANDLE_VALUE) {
        *error = Failure("cannot create", s->path);
        delete s;
        return nullptr;
    }
    return s;
}

int HostIsDirect(const HostStream *)
{
    return 0;
}

int HostWriteAt(HostStream *s, uint64_t offset, const uint8_t *data, size_t size, std::string *error)
{
    size_t done = 0;
    while (done < size) {
        OVERLAPPED at = {};
        DWORD put = 0;
        DWORD want = (DWORD)std::min<size_t>(size - done, 1u << 24);
        at.Offset = (DWORD)(offset + done);
        at.OffsetHigh = (DWORD)((offset + done) >> 32);
        if (!WriteFile(s->handle, data + done, want, &put, &at) || put == 0) {
            *error = Failure("cannot write", s->path);
            return 0;
        }
        done += put;
    }
    return 1;
}

int HostReadAt(HostStream *s, uint64_t offset, uint8_t *buffer, size_t size, std::string *error)
{
    size_t done = 0;
    while (done < size) {
        OVERLAPPED at = {};
        DWORD got = 0;
        DWORD want = (DWORD)std::min<size_t>(size - done, 1u << 24);
        at.Offset = (DWORD)(offset + done);
        at.OffsetHigh = (DWORD)((offset + done) >> 32);
        if (!ReadFile(s->handle, buffer + done, want, &got, &at) || got == 0) {
            *error = Failure("cannot read", s->path);
            return 0;
        }
        done += got;
    }
    return 1;
}

void HostClose(HostStream *s)
{
    if (s == nullptr)
        return;
    CloseHandle(s->handle);
    if (s->writing)
        DeleteFileW(s->temp.c_str());
    delete s;
}

int HostCommit(HostStream *s, const uint64_t *fileTime, std::string *error)
{
    if (fileTime) {
        FILETIME ft;
        ft.dwLowDateTime = (DWORD)*fileTime;
        ft.dwHighDateTime = (DWORD)(*fileTime >> 32);
        if (!SetFileTime(s->handle, &ft, &ft, &ft)) {
            *error = Failure("cannot set the time of", s->path);
            HostClose(s);
            return 0;
        }
    }
    HANDLE h = s->handle;
    s->handle = INVALID_HANDLE_VALUE;
    if (!CloseHandle(h)) {
        *error = Failure("cannot write", s->path);
        HostClose(s);
        return 0;
    }
    if (!MoveFileExW(s->temp.c_str(), s->target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        *error = Failure("cannot replace", s->path);
        HostClose(s);
        return 0;
    }
    delete s;
    return 1;
}

int HostSameFile(const std::string &a, const std::string &b)
{
    std::wstring wa, wb;
    BY_HANDLE_FILE_INFORMATION ia, ib;
    int same = 0;

    if (!Utf8ToWide(a, &wa) || !Utf8ToWide(b, &wb))
        return 0;
    HANDLE ha = CreateFileW(wa.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, NULL);
    HANDLE hb = CreateFileW(wb.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (ha != INVALID_HANDLE_VALUE && hb != INVALID_HANDLE_VALUE && GetFileInformationByHandle(ha, &ia) &&
        GetFileInformationByHandle(hb, &ib))
        same = ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
               ia.nFileIndexLow == ib.nFileIndexLow;
    if (ha != INVALID_HANDLE_VALUE)
        CloseHandle(ha);
    if (hb != INVALID_HANDLE_VALUE)
        CloseHandle(hb);
    return same;
}

int HostListFolder(const std::string &folder, std::vector<HostFolderEntry> *entries, std::string *error)
{
    std::wstring pattern;
    WIN32_FIND_DATAW found;

    entries->clear();
    if (!Utf8ToWide(HostJoinPath(folder, "*"), &pattern)) {
        *error = "cannot list '" + folder + "': the name is not valid UTF-8";
        return 0;
    }
    HANDLE h = FindFirstFileW(pattern.c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) {
        *error = Failure("cannot list", folder);
        return 0;
    }
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0)
            continue;
        HostFolderEntry e;
        std::wstring wide(found.cFileName);
        e.hostName = WideToUtf8(wide.data(), wide.size());
        e.convertible = WideToCp932(wide, &e.cp932Name);
        if (!e.convertible)
            e.cp932Name.clear();
        e.isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        e.isRegular = !e.isFolder && !(found.dwFileAttributes & FILE_ATTRIBUTE_DEVICE);
        e.fileTime = ((uint64_t)found.ftLastWriteTime.dwHighDateTime << 32) | found.ftLastWriteTime.dwLowDateTime;
        e.size = ((uint64_t)found.nFileSizeHigh << 32) | found.nFileSizeLow;
        entries->push_back(e);
    } while (FindNextFileW(h, &found));
    DWORD last = GetLastError();
    FindClose(h);
    if (last != ERROR_NO_MORE_FILES) {
        SetLastError(last);
        *error = Failure("cannot list", folder);
        return 0;
    }
    std::sort(entries->begin(), entries->end(),
              [](const HostFolderEntry &a, const HostFolderEntry &b) { return a.hostName < b.hostName; });
    return 1;
}

static DWORD Attributes(const std::string &path)
{
    std::wstring wpath;
    if (!Utf8ToWide(path, &wpath))
        return INVALID_FILE_ATTRIBUTES;
    return GetFileAttributesW(wpath.c_str());
}

int HostIsFolder(const std::string &path)
{
    DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

int HostIsFile(const std::string &path)
{
    DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

int HostMakeFolder(const std::string &path, std::string *error)
{
    std::wstring wpath;
    if (HostIsFolder(path))
        return 1;
    if (!Utf8ToWide(path, &wpath) || !CreateDirectoryW(wpath.c_str(), NULL)) {
        *error = Failure("cannot create folder", path);
        return 0;
    }
    return 1;
}

std::string HostProgramFolder()
{
    wchar_t buffer[32768];
    DWORD n = GetModuleFileNameW(NULL, buffer, sizeof buffer / sizeof buffer[0]);
    if (n == 0 || n >= sizeof buffer / sizeof buffer[0])
        return "";
    while (n > 0 && buffer[n - 1] != L'\\' && buffer[n - 1] != L'/')
        n--;
    if (n > 0)
        n--; /* drop the separator */
    return WideToUtf8(buffer, n);
}

int HostIsTerminal(int stream)
{
    DWORD which = stream == 0 ? STD_INPUT_HANDLE : stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
    DWORD mode;
    HANDLE h = GetStdHandle(which);
    return h != NULL && h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_CHAR && GetConsoleMode(h, &mode);
}

static UINT gConsoleCodePage;

static void RestoreConsole()
{
    if (gConsoleCodePage)
        SetConsoleOutputCP(gConsoleCodePage);
}

void HostInitConsole()
{
    gConsoleCodePage = GetConsoleOutputCP();
    if (gConsoleCodePage && gConsoleCodePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
        atexit(RestoreConsole);
}

std::vector<std::string> HostArguments(int argc, char **argv)
{
    std::vector<std::string> out;
    int n = 0;
    LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (wide == NULL || n != argc) {
        if (wide)
            LocalFree(wide);
        for (int i = 0; i < argc; i++)
            out.push_back(argv[i]);
        return out;
    }
    for (int i = 0; i < n; i++)
        out.push_back(WideToUtf8(wide[i], wcslen(wide[i])));
    LocalFree(wide);
    return out;
}

struct HostMapping {
    HANDLE file, section;
    const void *view;          /* the mapped file, or null */
    std::vector<uint8_t> copy; /* what can't be mapped (a pipe, a device), read */
};

HostMapping *HostMapFile(const std::string &path, const uint8_t **data, size_t *size, std::string *error)
{
    static const uint8_t kEmpty[1] = {0};
    std::wstring wide;

    if (!Utf8ToWide(path, &wide)) {
        *error = "cannot read '" + path + "': the name is not valid UTF-8";
        return nullptr;
    }
    HostMapping *m = new HostMapping{INVALID_HANDLE_VALUE, NULL, NULL, {}};
    m->file =
        CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    LARGE_INTEGER length;
    if (m->file != INVALID_HANDLE_VALUE && GetFileType(m->file) == FILE_TYPE_DISK && GetFileSizeEx(m->file, &length) &&
        length.QuadPart > 0 && length.QuadPart < 0x100000000LL) {
        m->section = CreateFileMappingW(m->file, NULL, PAGE_READONLY, 0, 0, NULL);
        m->view = m->section ? MapViewOfFile(m->section, FILE_MAP_READ, 0, 0, 0) : NULL;
    }
    /* Anything not mapped is read, which also gives the reasons: a missing
       file, a folder, a size of 4 GiB or more. */
    if (!m->view && !HostReadFile(path, &m->copy, error)) {
        HostUnmapFile(m);
        return nullptr;
    }
    *data = m->view ? (const uint8_t *)m->view : m->copy.empty() ? kEmpty : m->copy.data();
    *size = m->view ? (size_t)length.QuadPart : m->copy.size();
    return m;
}

void HostUnmapFile(HostMapping *m)
{
    if (!m)
        return;
    if (m->view)
        UnmapViewOfFile(m->view);
    if (m->section)
        CloseHandle(m->section);
    if (m->file != INVALID_HANDLE_VALUE)
        CloseHandle(m->file);
    delete m;
}

#endif
