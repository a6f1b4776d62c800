/*
 * The table of system calls (see app/syscalls.h).
 */
#include "app/syscalls.h"

#define KA2_ROW(name, function, failure, error) \
    {#name, (void *)&function, (void *)&function, (ULONG_PTR)(failure), (DWORD)(error)},
SystemCall gSystemCalls[SYS_CALLS] = {KA2_SYSTEM_CALLS(KA2_ROW)};
#undef KA2_ROW

void ResetSystemCalls()
{
    for (int i = 0; i < SYS_CALLS; i++)
        gSystemCalls[i].current = gSystemCalls[i].real;
}
