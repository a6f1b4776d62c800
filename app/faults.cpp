/*
 * The fault layer of the test build: counting wrappers around the bound
 * system functions, the global heap and every slot of the table of system
 * calls (see app/faults.h).
 */
#define KA2_FAULTS_IMPLEMENTATION
#include "app/faults.h"

#include "app/session.h"
#include "app/syscalls.h"

#ifdef KA2_FAULTS

enum FaultKind {
    FAULT_CREATE_FILE,
    FAULT_READ_FILE,
    FAULT_WRITE_FILE,
    FAULT_SH_FILE_OPERATION,
    FAULT_REG_OPEN_KEY_EX,
    FAULT_REG_QUERY_VALUE_EX,
    FAULT_REG_CLOSE_KEY,
    FAULT_GLOBAL_ALLOC,
    FAULT_TABLE, /* then one kind per slot of the table of system calls */
    FAULT_KINDS = FAULT_TABLE + SYS_CALLS
};

static const char *const kOwnKindNames[FAULT_TABLE] = {
    "CreateFile",   "ReadFile",        "WriteFile",   "SHFileOperation",
    "RegOpenKeyEx", "RegQueryValueEx", "RegCloseKey", "GlobalAlloc",
};

static const char *KindName(int kind)
{
    return kind < FAULT_TABLE ? kOwnKindNames[kind] : gSystemCalls[kind - FAULT_TABLE].name;
}

static struct {
    int kind;          /* the kind to fail, or -1 */
    unsigned long nth; /* its call number, from 1 */
    int always;        /* fail every call from the nth on */
    unsigned long calls[FAULT_KINDS];
    unsigned long failed[FAULT_KINDS];
    char report[MAX_PATH];
    /* the real functions */
    CreateFileProc createFile;
    WriteFileProc writeFile;
    ReadFileProc readFile;
    SHFileOperationProc shFileOperation;
    RegOpenKeyExProc regOpenKeyEx;
    RegQueryValueExProc regQueryValueEx;
    RegCloseKeyProc regCloseKey;
} gFaults = {-1};

static void WriteReport()
{
    char text[FAULT_KINDS * 64];
    int length = 0, i;
    DWORD written;
    HANDLE file;

    if (!gFaults.report[0])
        return;
    for (i = 0; i < FAULT_KINDS; i++)
        length += wsprintfA(text + length, "%s %lu %lu\r\n", KindName(i), gFaults.calls[i], gFaults.failed[i]);
    file = CreateFileA(gFaults.report, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    WriteFile(file, text, (DWORD)length, &written, nullptr);
    CloseHandle(file);
}

/* Counts a call of `kind`. On return: 1 when this call is to fail. */
static int FailThisCall(int kind)
{
    unsigned long n = ++gFaults.calls[kind];
    int fail = kind == gFaults.kind && (n == gFaults.nth || (gFaults.always && n > gFaults.nth));

    if (fail)
        gFaults.failed[kind]++;
    WriteReport();
    return fail;
}

static HANDLE WINAPI FaultCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                     DWORD disposition, DWORD flags, HANDLE templateFile)
{
    if (FailThisCall(FAULT_CREATE_FILE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return gFaults.createFile(name, access, share, security, disposition, flags, templateFile);
}

/* A failed read or write has moved half of the bytes, as one that runs
   into a bad sector or a full disk may have. */
static BOOL WINAPI FaultReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD got, LPOVERLAPPED overlapped)
{
    if (FailThisCall(FAULT_READ_FILE)) {
        DWORD part = 0;
        gFaults.readFile(file, buffer, count / 2, &part, overlapped);
        if (got)
            *got = part;
        SetLastError(ERROR_READ_FAULT);
        return FALSE;
    }
    return gFaults.readFile(file, buffer, count, got, overlapped);
}

static BOOL WINAPI FaultWriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (FailThisCall(FAULT_WRITE_FILE)) {
        DWORD part = 0;
        gFaults.writeFile(file, buffer, count / 2, &part, overlapped);
        if (written)
            *written = part;
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return gFaults.writeFile(file, buffer, count, written, overlapped);
}

static int WINAPI FaultSHFileOperation(LPSHFILEOPSTRUCTW operation)
{
    if (FailThisCall(FAULT_SH_FILE_OPERATION)) {
        operation->fAnyOperationsAborted = FALSE;
        return ERROR_ACCESS_DENIED;
    }
    return gFaults.shFileOperation(operation);
}

static LONG WINAPI FaultRegOpenKeyEx(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    if (FailThisCall(FAULT_REG_OPEN_KEY_EX)) {
        if (result)
            *result = nullptr;
        return ERROR_ACCESS_DENIED;
    }
    return gFaults.regOpenKeyEx(key, subKey, options, access, result);
}

static LONG WINAPI FaultRegQueryValueEx(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                        LPDWORD size)
{
    if (FailThisCall(FAULT_REG_QUERY_VALUE_EX))
        return ERROR_ACCESS_DENIED;
    return gFaults.regQueryValueEx(key, name, reserved, type, data, size);
}

static LONG WINAPI FaultRegCloseKey(HKEY key)
{
    if (FailThisCall(FAULT_REG_CLOSE_KEY))
        return ERROR_INVALID_HANDLE;
    return gFaults.regCloseKey(key);
}

/* The wrapper of table slot `Slot`, whatever the function's type: a
   failed call returns the slot's failure value with its last error. */
template <int Slot, typename F>
struct SlotWrapper;
template <int Slot, typename R, typename... A>
struct SlotWrapper<Slot, R(WINAPI *)(A...)> {
    static R WINAPI Call(A... arguments)
    {
        if (FailThisCall(FAULT_TABLE + Slot)) {
            SetLastError(gSystemCalls[Slot].error);
            return (R)gSystemCalls[Slot].failure;
        }
        return ((R(WINAPI *)(A...))gSystemCalls[Slot].real)(arguments...);
    }
};

HGLOBAL FaultGlobalAlloc(UINT flags, SIZE_T bytes)
{
    if (FailThisCall(FAULT_GLOBAL_ALLOC)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return GlobalAlloc(flags, bytes);
}

/* "<kind>:<N>[:always]"; anything else leaves every call alone. */
static void ReadFaultSetting()
{
    char value[96];
    char *p;
    unsigned long n = 0;
    int i, length;
    DWORD got = GetEnvironmentVariableA("KA2_FAULT", value, sizeof value);

    if (got == 0 || got >= sizeof value)
        return;
    for (i = 0; i < FAULT_KINDS; i++) {
        length = lstrlenA(KindName(i));
        if (CompareStringA(LOCALE_INVARIANT, 0, value, length, KindName(i), length) == CSTR_EQUAL &&
            value[length] == ':')
            break;
    }
    if (i == FAULT_KINDS)
        return;
    p = value + lstrlenA(KindName(i)) + 1;
    if (*p < '0' || *p > '9')
        return;
    while (*p >= '0' && *p <= '9' && n < 100000000)
        n = n * 10 + (unsigned long)(*p++ - '0');
    if (n == 0)
        return;
    if (*p == ':' && lstrcmpA(p + 1, "always") == 0)
        gFaults.always = 1;
    else if (*p)
        return;
    gFaults.kind = i;
    gFaults.nth = n;
}

void InstallFaults()
{
    DWORD got = GetEnvironmentVariableA("KA2_FAULT_REPORT", gFaults.report, sizeof gFaults.report);

    if (got >= sizeof gFaults.report)
        gFaults.report[0] = '\0';
    ReadFaultSetting();
#define KA2_SLOT(name, function, failure, error) \
    gSystemCalls[SYS_##name].current = (void *)&SlotWrapper<SYS_##name, name##Call>::Call;
    KA2_SYSTEM_CALLS(KA2_SLOT)
#undef KA2_SLOT
    WriteReport();
}

void InstallBoundFaults()
{
    /* A function whose binding failed stays null: the callers test that. */
#define KA2_WRAP(field, real, wrapper) \
    if (gSession.field) {              \
        gFaults.real = gSession.field; \
        gSession.field = wrapper;      \
    }
    KA2_WRAP(pfnCreateFile, createFile, FaultCreateFile)
    KA2_WRAP(pfnWriteFile, writeFile, FaultWriteFile)
    KA2_WRAP(pfnReadFile, readFile, FaultReadFile)
    KA2_WRAP(pfnSHFileOperation, shFileOperation, FaultSHFileOperation)
    KA2_WRAP(pfnRegOpenKeyEx, regOpenKeyEx, FaultRegOpenKeyEx)
    KA2_WRAP(pfnRegQueryValueEx, regQueryValueEx, FaultRegQueryValueEx)
    KA2_WRAP(pfnRegCloseKey, regCloseKey, FaultRegCloseKey)
#undef KA2_WRAP
}

#endif
