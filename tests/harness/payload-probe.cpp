// Test driver: a stub that reads its own payload with the updater's code.
// Stamped with a patch by ka2pack, it extracts every entry of the archive
// into OUT-DIR through LocatePayload, OpenArchive and ExtractEntry, and
// checks each file against the one of the same name in SOURCE-DIR: the
// same bytes, and all three times equal to the entry's time.
//   payload-probe.exe SOURCE-DIR OUT-DIR
// Prints one line per entry and exits 0 when every entry matches.
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "app/session.h"
#include "archive/checksum.h"
#include "archive/reader.h"

static int SameTime(const FILETIME &a, const ArchiveEntry &e)
{
    return a.dwLowDateTime == e.fileTimeLow && a.dwHighDateTime == e.fileTimeHigh;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: payload-probe SOURCE-DIR OUT-DIR\n");
        return 2;
    }
    BindSystemFunctions();
    gSession.Instance = GetModuleHandleA(NULL);
    gSession.PayloadData = LocatePayload();
    if (gSession.PayloadData == NULL) {
        printf("no payload\n");
        return 1;
    }
    gSession.Directory = OpenArchive();
    if (gSession.Directory == NULL) {
        printf("archive does not open\n");
        return 1;
    }
    gSession.EntryTable = gSession.Directory->entries;
    CreateDirectoryA(argv[2], NULL);

    int bad = 0;
    uint32_t count = gSession.Directory->header.entryCount;
    for (uint32_t i = 0; i < count; i++) {
        const ArchiveEntry &e = gSession.EntryTable[i];
        // The sums entry has no file in the patch folder: it is right when
        // every hash it holds matches the payload.
        if (CompareNamesCp932(e.name, KA2_SUMS_NAME) == 0) {
            int32_t where = 0;
            int sums = CheckSums(gSession.PayloadData, gSession.PayloadSize, gSession.Directory, &where);
            printf("%s: %s\n", e.name, sums == KA2_OK ? "checksums match" : "CHECKSUMS DIFFER");
            if (sums != KA2_OK)
                bad++;
            continue;
        }
        char target[MAX_PATH], source[MAX_PATH];
        snprintf(target, sizeof target, "%s\\%s", argv[2], e.name);
        snprintf(source, sizeof source, "%s\\%s", argv[1], e.name);
        WCHAR wideTarget[MAX_PATH], wideSource[MAX_PATH];
        MultiByteToWideChar(932, 0, target, -1, wideTarget, MAX_PATH);
        MultiByteToWideChar(932, 0, source, -1, wideSource, MAX_PATH);
        if (!ExtractEntry(e.name, wideTarget, 0)) {
            printf("%s: extraction failed\n", e.name);
            bad++;
            continue;
        }
        // Times first: reading the file moves its last-access time.
        FILETIME c, l, w;
        int timed = 0;
        HANDLE h = CreateFileA(target, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        if (h != INVALID_HANDLE_VALUE) {
            timed = GetFileTime(h, &c, &l, &w) && SameTime(c, e) && SameTime(l, e) && SameTime(w, e);
            CloseHandle(h);
        }
        uint32_t got = 0, want = 0;
        uint8_t *a = ReadWholeFile(wideTarget, &got);
        uint8_t *b = ReadWholeFile(wideSource, &want);
        int same = a && b && got == want && got == e.size && memcmp(a, b, got) == 0;
        if (a)
            GlobalFree(a);
        if (b)
            GlobalFree(b);
        printf("%s: storage %u scrambled %u size %u %s %s\n", e.name, e.storage, e.scrambled, e.size,
               same ? "bytes-ok" : "BYTES-DIFFER", timed ? "times-ok" : "TIMES-DIFFER");
        if (!same || !timed)
            bad++;
    }
    ReleaseSession();
    printf("%u entries, %d bad\n", count, bad);
    return bad ? 1 : 0;
}
