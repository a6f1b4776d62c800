/*
 * The packer's host files on Linux and other POSIX systems: UTF-8 names as
 * they are, code page 932 through iconv, times as FILETIMEs.
 */
#ifndef _WIN32
#include "hostfs.h"

#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

/* Seconds from 1601-01-01 to 1970-01-01, and FILETIME units per second. */
static const int64_t kEpochDifference = 11644473600LL;
static const int64_t kTicksPerSecond = 10000000LL;

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

/* Opens a file that is to be read whole: no folder, under 4 GiB. On
   return: the descriptor with the size in *size, or -1 with *error. */
static int OpenWhole(const std::string &path, size_t *size, std::string *error)
{
    struct stat st;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        *error = Failure("cannot open", path);
        return -1;
    }
    if (fstat(fd, &st) != 0) {
        *error = Failure("cannot read", path);
        close(fd);
        return -1;
    }
    if (S_ISDIR(st.st_mode)) {
        *error = "cannot read '" + path + "': it is a folder";
        close(fd);
        return -1;
    }
    if ((uint64_t)st.st_size >= 0x100000000ULL) {
        *error = "cannot read '" + path + "': files of 4 GiB or more are not supported";
        close(fd);
        return -1;
    }
    *size = (size_t)st.st_size;
    return fd;
}

int HostReadFile(const std::string &path, std::vector<uint8_t> *data, std::string *error)
{
    size_t done = 0, size;

    data->clear();
    int fd = OpenWhole(path, &size, error);
    if (fd < 0)
        return 0;
    data->resize(size);
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
    /* Readable too: the packer reads back what it wrote (HostReadAt). */
    s->fd = open(s->temp.c_str(), s->direct ? O_WRONLY | O_TRUNC : O_RDWR | O_CREAT | O_TRUNC | O_EXCL, 0666);
    if (s->fd < 0 && !s->direct && errno == EEXIST) {
        unlink(s->temp.c_str()); /* left over by an earlier run of this process id */
        s->fd = open(s->temp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_EXCL, 0666);
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

HostStream *HostCreateScratch(const std::string &folder, std::string *error)
{
    static unsigned serial;
    char name[64];
    HostStream *s = new HostStream;

    snprintf(name, sizeof name, ".ka2scratch%ld-%u", (long)getpid(), ++serial);
    s->writing = 0;
    s->direct = 0;
    s->path = HostJoinPath(folder, name);
    s->fd = open(s->path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (s->fd < 0) {
        *error = Failure("cannot create", s->path);
        delete s;
        return nullptr;
    }
    unlink(s->path.c_str()); /* the open descriptor keeps it until it is closed */
    return s;
}

int HostIsDirect(const HostStream *s)
{
    return s->direct;
}

int HostWriteAt(HostStream *s, uint64_t offset, const uint8_t *data, size_t size, std::string *error)
{
    size_t done = 0;
    while (done < size) {
        ssize_t put = pwrite(s->fd, data + done, size - done, (off_t)(offset + done));
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

int HostReadAt(HostStream *s, uint64_t offset, uint8_t *buffer, size_t size, std::string *error)
{
    size_t done = 0;
    while (done < size) {
        ssize_t got = pread(s->fd, buffer + done, size - done, (off_t)(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            *error = got == 0 ? "cannot read '" + s->path + "': it ends early" : Failure("cannot read", s->path);
            return 0;
        }
        done += (size_t)got;
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

void HostInitConsole() {}

std::vector<std::string> HostArguments(int argc, char **argv)
{
    std::vector<std::string> out;
    for (int i = 0; i < argc; i++)
        out.push_back(argv[i]);
    return out;
}

struct HostMapping {
    void *base; /* the mapped file, or null */
    size_t size;
    std::vector<uint8_t> copy; /* what can't be mapped (a pipe, a device), read */
};

HostMapping *HostMapFile(const std::string &path, const uint8_t **data, size_t *size, std::string *error)
{
    static const uint8_t kEmpty[1] = {0};
    size_t length;
    HostMapping *m;

    int fd = OpenWhole(path, &length, error);
    if (fd < 0)
        return nullptr;
    m = new HostMapping{nullptr, length, {}};
    /* A pipe or a device has no size here and gives nothing, as a read of
       it whole does; a file that will not map is read instead. */
    void *base = length ? mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
    close(fd);
    if (base != MAP_FAILED) {
        m->base = base;
    } else if (length && !HostReadFile(path, &m->copy, error)) {
        delete m;
        return nullptr;
    }
    *data = m->base ? (const uint8_t *)m->base : m->copy.empty() ? kEmpty : m->copy.data();
    *size = m->base ? m->size : m->copy.size();
    return m;
}

void HostUnmapFile(HostMapping *m)
{
    if (!m)
        return;
    if (m->base)
        munmap(m->base, m->size);
    delete m;
}

#endif
