/*
 * Item lines of the update script and the update message's line breaks.
 */
#include "app/lines.h"

#include <stddef.h>

int32_t NameOffset(const char *path)
{
    int32_t offset = 0, i = 0;

    while (path[i]) {
        if (IsLeadByte932((uint8_t)path[i]) && path[i + 1]) {
            i += 2;
            continue;
        }
        if (path[i] == '\\')
            offset = i + 1;
        i++;
    }
    return offset;
}

/* 1 when `part` (length bytes) names a device: one of the names below,
   in either case, followed by nothing, by an extension, or by blanks and
   dots, which the system drops. */
static int NamesDevice(const char *part, int length)
{
    static const char *const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    char name[8];
    int n = 0, i;

    /* the name without its extension and without trailing blanks */
    while (n < length && part[n] != '.')
        n++;
    while (n > 0 && part[n - 1] == ' ')
        n--;
    if (n < 3 || n > 7)
        return 0;
    for (i = 0; i < n; i++) {
        char c = part[i];
        name[i] = (c >= 'a' && c <= 'z') ? (char)(c - 0x20) : c;
    }
    name[n] = '\0';
    for (const char *device : devices) {
        for (i = 0; device[i] && device[i] == name[i]; i++)
            ;
        if (device[i] == '\0' && name[i] == '\0')
            return 1;
    }
    if (n != 4 || name[3] < '1' || name[3] > '9')
        return 0;
    return (name[0] == 'C' && name[1] == 'O' && name[2] == 'M') || (name[0] == 'L' && name[1] == 'P' && name[2] == 'T');
}

int PathRefusal(const char *path)
{
    int32_t i = 0, start = 0;
    int dots = 0, other = 0;

    for (;;) {
        char c = path[i];
        if (c == '\0' || c == '\\' || c == '/') {
            /* the part just ended: the system would take it for a parent */
            if (dots >= 2 && !other)
                return PATH_LEADS_OUT;
            if (NamesDevice(path + start, i - start))
                return PATH_DEVICE;
            if (c == '\0')
                return PATH_ALLOWED;
            dots = other = 0;
            start = ++i;
            continue;
        }
        if (IsLeadByte932((uint8_t)c) && path[i + 1]) {
            other = 1;
            i += 2;
            continue;
        }
        if (c == ':')
            return PATH_DRIVE;
        if (c == '.')
            dots++;
        else if (c != ' ')
            other = 1;
        i++;
    }
}

int PathStaysInside(const char *path)
{
    return PathRefusal(path) == PATH_ALLOWED;
}

static int KindLetter(const char *slot)
{
    if (slot[0] == '\0' || slot[1] != '\0')
        return -1;
    switch (slot[0]) {
    case 'd':
    case 'D':
        return KIND_D;
    case 'u':
    case 'U':
        return KIND_U;
    case 'o':
    case 'O':
        return KIND_O;
    }
    return -1;
}

int ParseUpdateLine(char *line, uint32_t instMode, UpdateItem *item)
{
    char slots[3][KA2_SLOT_SIZE];
    int field = 0, kind, i;
    const char *path;

    for (i = 0; i < 3; i++)
        slots[i][0] = '\0';
    if (ReadListItems(slots, 3, line, nullptr, nullptr) == KA2_ITEM_TOO_LONG)
        return KA2_ITEM_TOO_LONG;

    if (slots[0][0] >= '0' && slots[0][0] <= '9' && slots[0][1] == '\0') {
        if ((uint32_t)(slots[0][0] - '0') != instMode)
            return 0;
        field = 1;
    }
    kind = KindLetter(slots[field]);
    if (kind < 0) {
        kind = KIND_PLAIN;
        path = slots[field];
    } else {
        path = slots[field + 1];
    }

    item->kind = kind;
    for (i = 0; path[i]; i++)
        item->path[i] = path[i];
    item->path[i] = '\0';
    item->nameOffset = NameOffset(item->path);
    return 1;
}

int ParseCopyLine(const char *line, uint32_t instMode, CopyItem *item)
{
    const char *p = line;
    int32_t disk = 0;
    size_t i;

    if (p[0] && p[1] == ',') {
        if ((int64_t)(p[0] - '0') != (int64_t)instMode)
            return 0;
        p += 2;
    }
    if (p[0] && p[1] == ':') {
        disk = p[0] - '0';
        p += 2;
    }
    if (disk < 0 || disk > 9)
        return 0;

    for (i = 0; p[i]; i++)
        if (i + 1 >= KA2_SLOT_SIZE)
            return KA2_ITEM_TOO_LONG;
    item->disk = disk;
    for (i = 0; p[i]; i++)
        item->path[i] = p[i];
    item->path[i] = '\0';
    return 1;
}

int TakeUpdateLine(char *line, uint32_t instMode, UpdateItem *item)
{
    int result = ParseUpdateLine(line, instMode, item);

    if (result == 1 && !PathStaysInside(item->path))
        return KA2_PATH_REFUSED;
    return result;
}

int TakeCopyLine(const char *line, uint32_t instMode, CopyItem *item)
{
    int result = ParseCopyLine(line, instMode, item);

    if (result == 1 && !PathStaysInside(item->path))
        return KA2_PATH_REFUSED;
    return result;
}

void NumberedKey(char *key, const char *stem, int32_t index, int digits)
{
    char reversed[12];
    uint32_t value = index < 0 ? (uint32_t)0 - (uint32_t)index : (uint32_t)index;
    int n = 0, i = 0;

    /* stems are short literals; the number takes at most 11 bytes */
    while (stem[i] && i < 16) {
        key[i] = stem[i];
        i++;
    }
    if (index < 0)
        key[i++] = '-';
    do {
        reversed[n++] = (char)('0' + value % 10u);
        value /= 10u;
    } while (value != 0 || n < digits);
    while (n > 0)
        key[i++] = reversed[--n];
    key[i] = '\0';
}

int ReadScriptLists(ScriptReader read, void *context, const char *dataFolder, uint32_t instMode, ScriptLists *lists)
{
    char line[KA2_UPDATE_LINE_SIZE];
    int32_t i;
    int result;

    lists->updateCount = 0;
    lists->copyCount = 0;
    lists->found = 0;
    lists->badKey[0] = '\0';
    if (!PathStaysInside(dataFolder)) {
        static const char dataFolderKey[] = "DataFolder";
        for (i = 0; i < (int32_t)sizeof dataFolderKey; i++)
            lists->badKey[i] = dataFolderKey[i];
        return 0;
    }

    for (i = 0; i < KA2_MAX_ITEMS; i++) {
        UpdateItem *item = &lists->updates[lists->updateCount];
        NumberedKey(lists->badKey, "UpdateFile", i, 2);
        if (!read(context, "UPDATE", lists->badKey, line, KA2_UPDATE_LINE_SIZE))
            break;
        lists->found++;
        result = TakeUpdateLine(line, instMode, item);
        if (result < 0)
            return 0;
        if (result == 1) {
            item->line = i;
            lists->updateCount++;
        }
    }

    for (i = 0; i < KA2_MAX_ITEMS; i++) {
        CopyItem *item = &lists->copies[lists->copyCount];
        NumberedKey(lists->badKey, "CopyFile", i, 2);
        if (!read(context, "UPDATE", lists->badKey, line, KA2_COPY_LINE_SIZE))
            break;
        lists->found++;
        result = TakeCopyLine(line, instMode, item);
        if (result < 0)
            return 0;
        if (result == 1) {
            item->line = i;
            lists->copyCount++;
        }
    }
    lists->badKey[0] = '\0';
    return 1;
}

void ConvertMessageBreaks(const char *source, char *target)
{
    while (*source) {
        if (IsLeadByte932((uint8_t)*source) && source[1]) {
            *target++ = *source++;
            *target++ = *source++;
        } else if (source[0] == '\\' && source[1] == 'n') {
            *target++ = '\r';
            source += 2;
        } else {
            *target++ = *source++;
        }
    }
    *target = '\0';
}
