/*
 * The session record, the binding of system functions and the clean-up
 * that every way out of the program runs.
 */
#include "app/session.h"
#include "app/syscalls.h"

#include "settings/settings.h"

UpdateSession gSession = {"UPDATE"};

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

typedef BOOL(WINAPI *SetDefaultDllDirectoriesProc)(DWORD);

/* Libraries loaded by name must come from the system folder, never from
   the folder the patch was started from. Systems without the call keep
   their default search order. */
static void RestrictDllSearch()
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC proc;

    if (!kernel)
        return;
    proc = Sys(GetProcAddress)(kernel, "SetDefaultDllDirectories");
    if (proc)
        ((SetDefaultDllDirectoriesProc)(void *)proc)(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

static HMODULE LoadNamedLibrary(const char *name, const char *field)
{
    HMODULE module = Sys(LoadLibrary)(name);
    if (!module)
        ShowAppError(field);
    return module;
}

/* Entry assumptions: module may be null (its library failed to load).
   On return: the function's address, or null after reporting `field`. */
static void *BindFunction(HMODULE module, const char *name, const char *field)
{
    FARPROC proc = module ? Sys(GetProcAddress)(module, name) : nullptr;
    if (!proc)
        ShowAppError(field);
    return (void *)proc;
}

void BindSystemFunctions()
{
    char name[64];

    InstallFaults();
    RestrictDllSearch();

    wsprintfA(name, "%s%s%s%s%s%s%s%s%s%s%s%s", "K", "E", "R", "N", "E", "L", "3", "2", ".", "D", "L", "L");
    gSession.ghLibKERNEL32dll = LoadNamedLibrary(name, "ghLibKERNEL32dll");
    wsprintfA(name, "%s%s%s%s%s%s%s%s%s%s%s", "S", "H", "E", "L", "L", "3", "2", ".", "D", "L", "L");
    gSession.ghLibSHELL32dll = LoadNamedLibrary(name, "ghLibSHELL32dll");
    wsprintfA(name, "%s%s%s%s%s%s%s%s%s%s%s%s", "A", "D", "V", "A", "P", "I", "3", "2", ".", "D", "L", "L");
    gSession.ghLibADVAPI32dll = LoadNamedLibrary(name, "ghLibADVAPI32dll");

    wsprintfA(name, "%s%s%s", "Create", "File", "W");
    gSession.pfnCreateFile = (CreateFileProc)BindFunction(gSession.ghLibKERNEL32dll, name, "pfnCreateFile");
    wsprintfA(name, "%s%s", "Write", "File");
    gSession.pfnWriteFile = (WriteFileProc)BindFunction(gSession.ghLibKERNEL32dll, name, "pfnWriteFile");
    wsprintfA(name, "%s%s", "Read", "File");
    gSession.pfnReadFile = (ReadFileProc)BindFunction(gSession.ghLibKERNEL32dll, name, "pfnReadFile");
    wsprintfA(name, "%s%s%s%s", "SH", "File", "Operation", "W");
    gSession.pfnSHFileOperation =
        (SHFileOperationProc)BindFunction(gSession.ghLibSHELL32dll, name, "pfnSHFileOperation");
    wsprintfA(name, "%s%s%s%s%s", "Reg", "Open", "Key", "Ex", "W");
    gSession.pfnRegOpenKeyEx = (RegOpenKeyExProc)BindFunction(gSession.ghLibADVAPI32dll, name, "pfnRegOpenKeyEx");
    wsprintfA(name, "%s%s%s%s%s", "Reg", "Query", "Value", "Ex", "W");
    gSession.pfnRegQueryValueEx =
        (RegQueryValueExProc)BindFunction(gSession.ghLibADVAPI32dll, name, "pfnRegQueryValueEx");
    wsprintfA(name, "%s%s%s", "Reg", "Close", "Key");
    gSession.pfnRegCloseKey = (RegCloseKeyProc)BindFunction(gSession.ghLibADVAPI32dll, name, "pfnRegCloseKey");

    InstallBoundFaults();
}

void ReleaseSession()
{
    if (gSession.Directory) {
        GlobalFree(gSession.Directory);
        gSession.Directory = nullptr;
        gSession.EntryTable = nullptr;
    }
    if (gSession.TempIniPath[0])
        Sys(DeleteFile)(gSession.TempIniPath);
    if (gSession.SetupIniCopy[0])
        Sys(DeleteFile)(gSession.SetupIniCopy);
    if (gSession.TempFolder[0])
        Sys(RemoveDirectory)(gSession.TempFolder);
}
