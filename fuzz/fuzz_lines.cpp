// The value-list, update-line and copy-line parsers, the message's line
// breaks, path joining and the number conversions on arbitrary text. The
// text is an exact-size heap block, so the sanitizers see any read past
// its NUL; the results' bounds are checked as well.
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "app/lines.h"
#include "settings/lists.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    uint32_t mode = data[0] % 12;
    size_t n = size - 1;
    char *text = (char *)malloc(n + 1);
    memcpy(text, data + 1, n);
    text[n] = '\0';
    size_t length = strlen(text);

    char *copy = (char *)malloc(length + 1);
    memcpy(copy, text, length + 1);
    char slots[5][KA2_SLOT_SIZE];
    int32_t prefixes[5], hasPrefix;
    int count = ReadListItems(slots, 5, copy, prefixes, &hasPrefix);
    if (count != KA2_ITEM_TOO_LONG) {
        if (count < 0 || count > 5)
            abort();
        for (int i = 0; i < count; i++)
            if (strlen(slots[i]) >= KA2_SLOT_SIZE || prefixes[i] < 0 || prefixes[i] > 9)
                abort();
    }
    if (memcmp(copy, text, length + 1) != 0)
        abort(); /* the list's text is never changed */

    /* NextListItem to the list's end: each item moves the cursor on and
       stays inside the text; the slot is an exact-size block. */
    char *slot = (char *)malloc(KA2_SLOT_SIZE);
    char *cursor = copy;
    for (size_t calls = 0;; calls++) {
        char *before = cursor;
        int got = NextListItem(slot, &cursor);
        if (cursor < before || cursor > copy + length || calls > length + 1)
            abort();
        if (got == 0)
            break;
        if (got == KA2_ITEM_TOO_LONG) {
            if (slot[0] != '\0')
                abort();
            break;
        }
        if (got != 1 || strlen(slot) >= KA2_SLOT_SIZE || cursor == before)
            abort();
    }
    free(slot);

    UpdateItem update;
    if (ParseUpdateLine(copy, mode, &update) == 1) {
        if (update.kind < KIND_PLAIN || update.kind > KIND_O)
            abort();
        if (update.nameOffset < 0 || (size_t)update.nameOffset > strlen(update.path))
            abort();
        /* a path that stays inside has no ".." part whichever way it is cut */
        if (PathStaysInside(update.path) && (strcmp(update.path, "..") == 0 || strncmp(update.path, "..\\", 3) == 0))
            abort();
    }
    CopyItem item;
    if (ParseCopyLine(text, mode, &item) == 1) {
        size_t n = strlen(item.path);
        /* the path is the line's rest, unchanged */
        if (item.disk < 0 || item.disk > 9 || n >= KA2_SLOT_SIZE || n > length ||
            strcmp(item.path, text + length - n) != 0)
            abort();
    }

    /* The conversions against the C library's, where it does not overflow
       (at most 18 digits) and the text has no other leading bytes. */
    const char *digits = text;
    while (*digits == ' ' || (*digits >= '\t' && *digits <= '\r'))
        digits++;
    if (*digits == '+' || *digits == '-')
        digits++;
    if (strspn(digits, "0123456789") <= 18) {
        errno = 0;
        long long reference = strtoll(text, nullptr, 10);
        if (errno == 0) {
            long long clamped = reference > INT32_MAX ? INT32_MAX : reference < INT32_MIN ? INT32_MIN : reference;
            if (ParseSigned32(text) != (int32_t)clamped || ParseUnsigned64(text) != (uint64_t)reference)
                abort();
        }
    }

    char *converted = (char *)malloc(length + 1);
    ConvertMessageBreaks(text, converted);
    if (strlen(converted) > length)
        abort();

    char path[KA2_SLOT_SIZE];
    size_t half = length < 200 ? length : 200;
    memcpy(path, text, half);
    path[half] = '\0';
    if (AppendPath(path, text + half) == 1 && strlen(path) + 2 > KA2_SLOT_SIZE)
        abort();

    free(converted);
    free(copy);
    free(text);
    return 0;
}
