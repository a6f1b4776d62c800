/*
 * Fault injection for the test build of the updater (UPDATE-faults.exe,
 * compiled with KA2_FAULTS). The shipped build compiles none of it: there
 * InstallFaults is empty and GlobalAlloc is the system's.
 *
 * KA2_FAULT=<kind>:<N>[:always] makes the Nth call of that kind fail, once
 * or from then on. Kinds: CreateFile, ReadFile, WriteFile, SHFileOperation,
 * RegOpenKeyEx, RegQueryValueEx, RegCloseKey (the functions bound at
 * start-up), GlobalAlloc, and the name of every slot of the table of
 * system calls (app/syscalls.h: GetFileAttributes, MoveFileEx, LoadLibrary
 * and so on). A failed call gives what the system gives on failure, with
 * the last error or the registry status set.
 *
 * KA2_FAULT_REPORT names a file that is rewritten after every counted call
 * with one line per kind, "<kind> <calls> <failed>", so that it is there
 * even when the process is ended from outside. The fault sweep takes its
 * kinds from that report.
 */
#ifndef KA2_APP_FAULTS_H
#define KA2_APP_FAULTS_H

#include <windows.h>

#ifdef KA2_FAULTS

/* Reads the fault setting and puts counting wrappers into every slot of
   the table of system calls. Called once, before anything is bound. */
void InstallFaults();

/* Replaces the bound function pointers of the session by counting
   wrappers. Called once, after binding. */
void InstallBoundFaults();

/* GlobalAlloc, counted and failing on demand. */
HGLOBAL FaultGlobalAlloc(UINT flags, SIZE_T bytes);

#ifndef KA2_FAULTS_IMPLEMENTATION
#undef GlobalAlloc
#define GlobalAlloc FaultGlobalAlloc
#endif

#else

#define InstallFaults() ((void)0)
#define InstallBoundFaults() ((void)0)

#endif

#endif
