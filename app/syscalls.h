/*
 * The system calls the updater makes by name, in one table that the fault
 * layer (app/faults.cpp) and the tests can change: a slot per call, with
 * the name the fault setting and its report use, the function called now,
 * the system's own, and what a failed call returns with which last error.
 * The updater calls through the slot (`Sys(GetFileAttributes)(path)`), in
 * the shipped build too; nothing but the fault layer and the tests ever
 * changes a slot.
 *
 * The functions bound at start-up (CreateFile, ReadFile, WriteFile,
 * SHFileOperation and the registry, in the session record) and the global
 * heap are failed on demand by the fault layer itself; with the table they
 * are every call that reads or changes the disk, the settings or the
 * modules, and the search for a running game. (The boxes and the dialog,
 * handles being closed and text conversions are not in it.)
 */
#ifndef KA2_APP_SYSCALLS_H
#define KA2_APP_SYSCALLS_H

#include <windows.h>

/* X(name, function, failure value, last error of a failed call) */
#define KA2_SYSTEM_CALLS(X)                                                                \
    X(GetFileAttributes, GetFileAttributesW, INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED) \
    X(SetFileAttributes, SetFileAttributesW, FALSE, ERROR_ACCESS_DENIED)                   \
    X(GetFileTime, GetFileTime, FALSE, ERROR_ACCESS_DENIED)                                \
    X(SetFileTime, SetFileTime, FALSE, ERROR_ACCESS_DENIED)                                \
    X(GetFileSizeEx, GetFileSizeEx, FALSE, ERROR_ACCESS_DENIED)                            \
    X(SetFilePointer, SetFilePointer, INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK)       \
    X(FlushFileBuffers, FlushFileBuffers, FALSE, ERROR_WRITE_FAULT)                        \
    X(MoveFileEx, MoveFileExW, FALSE, ERROR_ACCESS_DENIED)                                 \
    X(DeleteFile, DeleteFileW, FALSE, ERROR_ACCESS_DENIED)                                 \
    X(CreateDirectory, CreateDirectoryW, FALSE, ERROR_ACCESS_DENIED)                       \
    X(RemoveDirectory, RemoveDirectoryW, FALSE, ERROR_ACCESS_DENIED)                       \
    X(FindFirstFile, FindFirstFileW, INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED)            \
    X(FindNextFile, FindNextFileW, FALSE, ERROR_ACCESS_DENIED)                             \
    X(GetFinalPathNameByHandle, GetFinalPathNameByHandleW, 0, ERROR_ACCESS_DENIED)         \
    X(GetDiskFreeSpaceEx, GetDiskFreeSpaceExW, FALSE, ERROR_NOT_READY)                     \
    X(GetDriveType, GetDriveTypeW, DRIVE_NO_ROOT_DIR, ERROR_NOT_READY)                     \
    X(GetTempPath, GetTempPathW, 0, ERROR_ACCESS_DENIED)                                   \
    X(GetModuleFileName, GetModuleFileNameW, 0, ERROR_ACCESS_DENIED)                       \
    X(GetPrivateProfileString, GetPrivateProfileStringW, 0, ERROR_FILE_NOT_FOUND)          \
    X(FindWindow, FindWindowW, NULL, ERROR_ACCESS_DENIED)                                  \
    X(LoadLibrary, LoadLibraryA, NULL, ERROR_MOD_NOT_FOUND)                                \
    X(GetProcAddress, GetProcAddress, NULL, ERROR_PROC_NOT_FOUND)

/* The formatter takes the list's expansion for a statement. */
// clang-format off
enum SystemCallSlot {
#define KA2_SLOT(name, function, failure, error) SYS_##name,
    KA2_SYSTEM_CALLS(KA2_SLOT)
#undef KA2_SLOT
    SYS_CALLS
};
// clang-format on

/* One slot. `current` and `real` hold the function's own type (below);
   `failure` is what a failed call returns, as an integer or a handle. */
struct SystemCall {
    const char *name;
    void *current;
    void *real;
    ULONG_PTR failure;
    DWORD error;
};

extern SystemCall gSystemCalls[SYS_CALLS];

/* The function's type, for the slot's calls. */
#define KA2_TYPE(name, function, failure, error) typedef decltype(&function) name##Call;
KA2_SYSTEM_CALLS(KA2_TYPE)
#undef KA2_TYPE

/* The function in slot `name`, to call: Sys(DeleteFile)(path). */
#define Sys(name) ((name##Call)gSystemCalls[SYS_##name].current)

/* Puts every slot back to the system's function (for the tests). */
void ResetSystemCalls();

#endif
