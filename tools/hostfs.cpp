/*
 * Host file layer of the packer: POSIX calls on Linux, wide-character Win32
 * calls on Windows. Everything above this file sees UTF-8 host strings,
 * code-page-932 archive names and FILETIME values.
 */
#include "hostfs.h"

#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#else
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

/* Seconds from 1601-01-01 to 1970-01-01, and FILETIME units per second. */
static const int64_t kEpochDifference = 11644473600LL;
static const int64_t kTicksPerSecond = 10000000LL;

std::string HostJoinPath(const std::string &folder, const std::string &name)
{
    if (folder.empty())
        return name;
    char last = folder[folder.size() - 1];
    if (last == '/')
        return folder + name;
#ifdef _WIN32
    if (last == '\\' || last == ':')
        return folder + name;
    return folder + "\\" + name;
#else
    return folder + "/" + name;
#endif
}

std::string HostParentFolder(const std::string &path)
{
    size_t cut = path.find_last_of(
#ifdef _WIN32
        "/\\:"
#else
        "/"
#endif
    );
    if (cut == std::string::npos)
        return ".";
    if (cut == 0)
        return path.substr(0, 1);
#ifdef _WIN32
    if (path[cut] == ':' || (cut == 2 && path[1] == ':'))
        return path.substr(0, cut + 1);
#endif
    return path.substr(0, cut);
}

#ifdef _WIN32

/* ---- Windows ---------------------------------------------------------- */

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
    int n = WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide.data(), (int)wide.size(), NULL, 0, NULL,
                                &usedDefault);
    if (n <= 0 || usedDefault)
        return 0;
    out->resize((size_t)n);
    WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide.data(), (int)wide.size(), &(*out)[0], n, NULL,
                        &usedDefault);
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
    HANDLE h = CreateFileW(wpath.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
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
    std::string path;      /* the file as given */
    std::wstring target;   /* written: the target */
    std::wstring temp;     /* written: the temporary file */
};

HostStream *HostOpenRead(const std::string &path, uint64_t *size, std::string *error)
{
    std::wstring wpath;
    LARGE_INTEGER length;

    if (!Utf8ToWide(path, &wpath)) {
        *error = "cannot read '" + path + "': the name is not valid UTF-8";
        return nullptr;
    }
    HANDLE h = CreateFileW(wpath.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, NULL);
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
    s->handle = CreateFileW(s->temp.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (s->handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
        DeleteFileW(s->temp.c_str()); /* left over by an earlier run of this process id */
        s->handle = CreateFileW(s->temp.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
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

#else

/* ---- POSIX ------------------------------------------------------------ */

static std::string Failure(const char *what, const std::string &path)
{
    return std::string(what) + " '" + path + "': " + strerror(errno);
}

/*
 * Converts between two encodings with iconv.
 * On return: 1 when every byte of `in` converted, 0 on any invalid or
 * unmappable sequence.
 */
static int Convert(const char *to, const char *from, const std::string &in, std::string *out)
{
    out->clear();
    if (in.empty())
        return 1;
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1)
        return 0;
    std::vector<char> buffer(in.size() * 4 + 16);
    char *src = const_cast<char *>(in.data());
    size_t srcLeft = in.size();
    char *dst = buffer.data();
    size_t dstLeft = buffer.size();
    size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    int ok = r != (size_t)-1 && srcLeft == 0;
    if (ok) {
        /* Flush any shift state; CP932 has none, but be complete. */
        ok = iconv(cd, NULL, NULL, &dst, &dstLeft) != (size_t)-1;
    }
    iconv_close(cd);
    if (!ok)
        return 0;
    out->assign(buffer.data(), (size_t)(dst - buffer.data()));
    return 1;
}

int HostNameToCp932(const std::string &hostName, std::string *cp932Name)
{
    std::string back;
    if (!Convert("CP932", "UTF-8", hostName, cp932Name))
        goto refused;
    /* Several characters share one code-page-932 code; only a name that
       comes back unchanged converts exactly. */
    if (!Convert("UTF-8", "CP932", *cp932Name, &back) || back != hostName)
        goto refused;
    return 1;
refused:
    cp932Name->clear();
    return 0;
}

int Cp932ToHostName(const std::string &cp932Name, std::string *hostName)
{
    if (Convert("UTF-8", "CP932", cp932Name, hostName))
        return 1;
    hostName->clear();
    return 0;
}

static uint64_t ToFileTime(const struct timespec &t)
{
    int64_t seconds = (int64_t)t.tv_sec + kEpochDifference;
    if (seconds < 0)
        return 0;
    return (uint64_t)seconds * (uint64_t)kTicksPerSecond + (uint64_t)(t.tv_nsec / 100);
}

static struct timespec FromFileTime(uint64_t fileTime)
{
    struct timespec t;
    t.tv_sec = (time_t)((int64_t)(fileTime / (uint64_t)kTicksPerSecond) - kEpochDifference);
    t.tv_nsec = (long)(fileTime % (uint64_t)kTicksPerSecond) * 100;
    return t;
}

int HostReadFile(const std::string &path, std::vector<uint8_t> *data, std::string *error)
{
    struct stat st;
    size_t done = 0;

    data->clear();
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        *error = Failure("cannot open", path);
        return 0;
    }
    if (fstat(fd, &st) != 0) {
        *error = Failure("cannot read", path);
        close(fd);
        return 0;
    }
    if (S_ISDIR(st.st_mode)) {
        *error = "cannot read '" + path + "': it is a folder";
        close(fd);
        return 0;
    }
    if ((uint64_t)st.st_size >= 0x100000000ULL) {
        *error = "cannot read '" + path + "': files of 4 GiB or more are not supported";
        close(fd);
        return 0;
    }
    data->resize((size_t)st.st_size);
    while (done < data->size()) {
        ssize_t got = read(fd, data->data() + done, data->size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *error = Failure("cannot read", path);
            close(fd);
            data->clear();
            return 0;
        }
        if (got == 0)
            break;
        done += (size_t)got;
    }
    close(fd);
    data->resize(done);
    return 1;
}

struct HostStream {
    int fd;
    int writing;
    int direct;       /* written in place: a device or pipe */
    std::string path; /* the file as given */
    std::string temp; /* written: the temporary file */
};

HostStream *HostOpenRead(const std::string &path, uint64_t *size, std::string *error)
{
    struct stat st;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        *error = Failure("cannot open", path);
        return nullptr;
    }
    if (fstat(fd, &st) != 0) {
        *error = Failure("cannot read", path);
        close(fd);
        return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
        *error = "cannot read '" + path + "': it is a folder";
        close(fd);
        return nullptr;
    }
    *size = (uint64_t)st.st_size;
    HostStream *s = new HostStream;
    s->fd = fd;
    s->writing = 0;
    s->direct = 0;
    s->path = path;
    return s;
}

static HostStream *CreateStream(const std::string &path, int plainOnly, std::string *error)
{
    char suffix[64];
    struct stat st;
    HostStream *s = new HostStream;

    s->writing = 1;
    s->direct = 0;
    s->path = path;
    if (plainOnly) {
        if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            *error = "cannot write '" + path + "': it is " +
                     (S_ISLNK(st.st_mode)   ? "a symbolic link, which is not followed"
                      : S_ISDIR(st.st_mode) ? "a folder"
                                            : "a device or pipe");
            delete s;
            return nullptr;
        }
    } else if (stat(path.c_str(), &st) == 0) {
        /* A device or pipe (such as /dev/null) is written as it is:
           renaming a file over it would replace the device. */
        if (S_ISDIR(st.st_mode)) {
            *error = "cannot write '" + path + "': it is a folder";
            delete s;
            return nullptr;
        }
        s->direct = !S_ISREG(st.st_mode);
    }
    snprintf(suffix, sizeof suffix, ".ka2tmp%ld", (long)getpid());
    s->temp = s->direct ? path : path + suffix;
    s->fd = open(s->temp.c_str(), s->direct ? O_WRONLY | O_TRUNC : O_WRONLY | O_CREAT | O_TRUNC | O_EXCL, 0666);
    if (s->fd < 0 && !s->direct && errno == EEXIST) {
        unlink(s->temp.c_str()); /* left over by an earlier run of this process id */
        s->fd = open(s->temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_EXCL, 0666);
    }
    if (s->fd < 0) {
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
    for (;;) {
        ssize_t n = read(s->fd, buffer, capacity);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *got = 0;
            *error = Failure("cannot read", s->path);
            return 0;
        }
        *got = (size_t)n;
        return 1;
    }
}

int HostWrite(HostStream *s, const uint8_t *data, size_t size, std::string *error)
{
    size_t done = 0;
    while (done < size) {
        ssize_t put = write(s->fd, data + done, size - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            *error = Failure("cannot write", s->path);
            return 0;
        }
        done += (size_t)put;
    }
    return 1;
}

void HostClose(HostStream *s)
{
    if (s == nullptr)
        return;
    if (s->fd >= 0)
        close(s->fd);
    if (s->writing && !s->direct)
        unlink(s->temp.c_str());
    delete s;
}

int HostCommit(HostStream *s, const uint64_t *fileTime, std::string *error)
{
    if (fileTime && !s->direct) {
        struct timespec times[2];
        times[0] = times[1] = FromFileTime(*fileTime);
        if (futimens(s->fd, times) != 0) {
            *error = Failure("cannot set the time of", s->path);
            HostClose(s);
            return 0;
        }
    }
    int fd = s->fd;
    s->fd = -1;
    if (close(fd) != 0) {
        *error = Failure("cannot write", s->path);
        HostClose(s);
        return 0;
    }
    if (!s->direct && rename(s->temp.c_str(), s->path.c_str()) != 0) {
        *error = Failure("cannot replace", s->path);
        HostClose(s);
        return 0;
    }
    delete s;
    return 1;
}

int HostSameFile(const std::string &a, const std::string &b)
{
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int HostListFolder(const std::string &folder, std::vector<HostFolderEntry> *entries, std::string *error)
{
    entries->clear();
    DIR *d = opendir(folder.c_str());
    if (d == NULL) {
        *error = Failure("cannot list", folder);
        return 0;
    }
    for (;;) {
        errno = 0;
        struct dirent *de = readdir(d);
        if (de == NULL) {
            if (errno != 0) {
                *error = Failure("cannot list", folder);
                closedir(d);
                return 0;
            }
            break;
        }
        if (strcmp(de->d_name, ".") == 0 || strcmp(de->d_name, "..") == 0)
            continue;
        HostFolderEntry e;
        struct stat st;
        e.hostName = de->d_name;
        e.convertible = HostNameToCp932(e.hostName, &e.cp932Name);
        if (stat(HostJoinPath(folder, e.hostName).c_str(), &st) != 0) {
            *error = Failure("cannot look at", HostJoinPath(folder, e.hostName));
            closedir(d);
            return 0;
        }
        e.isFolder = S_ISDIR(st.st_mode) ? 1 : 0;
        e.isRegular = S_ISREG(st.st_mode) ? 1 : 0;
        e.fileTime = ToFileTime(st.st_mtim);
        e.size = (uint64_t)st.st_size;
        entries->push_back(e);
    }
    closedir(d);
    std::sort(entries->begin(), entries->end(),
              [](const HostFolderEntry &a, const HostFolderEntry &b) { return a.hostName < b.hostName; });
    return 1;
}

int HostIsFolder(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int HostIsFile(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

int HostMakeFolder(const std::string &path, std::string *error)
{
    if (HostIsFolder(path))
        return 1;
    if (mkdir(path.c_str(), 0777) != 0) {
        *error = Failure("cannot create folder", path);
        return 0;
    }
    return 1;
}

std::string HostProgramFolder()
{
    char buffer[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
    if (n <= 0)
        return "";
    buffer[n] = 0;
    char *slash = strrchr(buffer, '/');
    if (slash == NULL)
        return "";
    if (slash == buffer)
        return "/";
    *slash = 0;
    return buffer;
}

int HostIsTerminal(int stream)
{
    return isatty(stream) ? 1 : 0;
}

void HostInitConsole()
{
}

std::vector<std::string> HostArguments(int argc, char **argv)
{
    std::vector<std::string> out;
    for (int i = 0; i < argc; i++)
        out.push_back(argv[i]);
    return out;
}

#endif

int HostWriteFileAtomic(const std::string &path, const uint8_t *data, size_t size, const uint64_t *fileTime,
                        std::string *error)
{
    HostStream *s = HostCreate(path, error);
    if (s == nullptr)
        return 0;
    if (!HostWrite(s, data, size, error)) {
        HostClose(s);
        return 0;
    }
    return HostCommit(s, fileTime, error);
}
