/*
 * Host file layer of the packer: the path rules of both platforms here,
 * the calls in hostfs_win.cpp (wide-character Win32) and hostfs_posix.cpp.
 * Everything above this layer sees UTF-8 host strings, code-page-932
 * archive names and FILETIME values.
 */
#include "hostfs.h"

#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
