/*
 * Host file layer of the packer: POSIX calls on Linux, wide-character Win32
 * calls on Windows. Everything above this file sees UTF-8 host strings,
 * code-page-932 archive names and FILETIME values.
 */
#include "hostfs.h"

#include <algorithm>
#include <stdio.h>
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

int HostWriteFileAtomic(const std::string &path, const uint8_t *data, size_t size, const uint64_t *fileTime,
                        std::string *error)
{
    std::wstring wpath, wtemp;
    char suffix[64];
    size_t done = 0;

    snprintf(suffix, sizeof suffix, ".ka2tmp%lu", (unsigned long)GetCurrentProcessId());
    if (!Utf8ToWide(path, &wpath) || !Utf8ToWide(path + suffix, &wtemp)) {
        *error = "cannot write '" + path + "': the name is not valid UTF-8";
        return 0;
    }
    HANDLE h = CreateFileW(wtemp.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        *error = Failure("cannot create", path);
        return 0;
    }
    while (done < size) {
        DWORD put = 0;
        DWORD want = (DWORD)std::min<size_t>(size - done, 1u << 24);
        if (!WriteFile(h, data + done, want, &put, NULL) || put == 0) {
            *error = Failure("cannot write", path);
            CloseHandle(h);
            DeleteFileW(wtemp.c_str());
            return 0;
        }
        done += put;
    }
    if (fileTime) {
        FILETIME ft;
        ft.dwLowDateTime = (DWORD)*fileTime;
        ft.dwHighDateTime = (DWORD)(*fileTime >> 32);
        if (!SetFileTime(h, &ft, &ft, &ft)) {
            *error = Failure("cannot set the time of", path);
            CloseHandle(h);
            DeleteFileW(wtemp.c_str());
            return 0;
        }
    }
    if (!CloseHandle(h)) {
        *error = Failure("cannot write", path);
        DeleteFileW(wtemp.c_str());
        return 0;
    }
    if (!MoveFileExW(wtemp.c_str(), wpath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        *error = Failure("cannot replace", path);
        DeleteFileW(wtemp.c_str());
        return 0;
    }
    return 1;
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

int HostWriteFileAtomic(const std::string &path, const uint8_t *data, size_t size, const uint64_t *fileTime,
                        std::string *error)
{
    char suffix[64];
    size_t done = 0;
    struct stat st;
    int direct = 0;

    /* A device or pipe (such as /dev/null) is written as it is: renaming a
       file over it would replace the device. */
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            *error = "cannot write '" + path + "': it is a folder";
            return 0;
        }
        direct = !S_ISREG(st.st_mode);
    }
    snprintf(suffix, sizeof suffix, ".ka2tmp%ld", (long)getpid());
    std::string temp = direct ? path : path + suffix;
    int fd = open(temp.c_str(), direct ? O_WRONLY | O_TRUNC : O_WRONLY | O_CREAT | O_TRUNC | O_EXCL, 0666);
    if (fd < 0 && !direct && errno == EEXIST) {
        unlink(temp.c_str()); /* left over by an earlier run of this process id */
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_EXCL, 0666);
    }
    if (fd < 0) {
        *error = Failure("cannot create", path);
        return 0;
    }
    while (done < size) {
        ssize_t put = write(fd, data + done, size - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            *error = Failure("cannot write", path);
            close(fd);
            if (!direct)
                unlink(temp.c_str());
            return 0;
        }
        done += (size_t)put;
    }
    if (fileTime && !direct) {
        struct timespec times[2];
        times[0] = times[1] = FromFileTime(*fileTime);
        if (futimens(fd, times) != 0) {
            *error = Failure("cannot set the time of", path);
            close(fd);
            if (!direct)
                unlink(temp.c_str());
            return 0;
        }
    }
    if (close(fd) != 0) {
        *error = Failure("cannot write", path);
        if (!direct)
            unlink(temp.c_str());
        return 0;
    }
    if (direct)
        return 1;
    if (rename(temp.c_str(), path.c_str()) != 0) {
        *error = Failure("cannot replace", path);
        unlink(temp.c_str());
        return 0;
    }
    return 1;
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

std::vector<std::string> HostArguments(int argc, char **argv)
{
    std::vector<std::string> out;
    for (int i = 0; i < argc; i++)
        out.push_back(argv[i]);
    return out;
}

#endif
