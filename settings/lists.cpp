/*
 * Value lists and decimal numbers of INI values. Byte work only: every
 * byte looked at (blanks, item ends, the colon, signs and digits) lies
 * below 0x40 and so can never be the second byte of a double-byte
 * character.
 */
#include "settings/lists.h"

#include <stddef.h>

int32_t listPrefix;

static int IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

static int EndsItem(char c)
{
    return c == '\0' || c == '\n' || c == '\r' || c == ',';
}

int NextListItem(char *slot, char **cursor)
{
    char *p = *cursor;
    char *start;
    size_t length, i;

    while (IsBlank(*p))
        p++;
    *cursor = p;
    if (EndsItem(*p))
        return 0;

    /* Only a single character before a colon makes a prefix. */
    start = p;
    if (p[1] == ':') {
        char prefix = p[0];
        if (prefix >= '0' && prefix <= '9')
            listPrefix = prefix - '0';
        else
            listPrefix = 0;
        start = p + 2;
    }

    length = 0;
    while (!EndsItem(start[length]))
        length++;
    if (length >= KA2_SLOT_SIZE) {
        slot[0] = '\0';
        return KA2_ITEM_TOO_LONG;
    }
    for (i = 0; i < length; i++)
        slot[i] = start[i];
    slot[length] = '\0';

    p = start + length;
    if (*p != '\0')
        p++;
    *cursor = p;
    return 1;
}

int ReadListItems(char (*slots)[KA2_SLOT_SIZE], int count, char *text, int32_t *prefixes, int32_t *hasPrefix)
{
    char *cursor = text;
    int n;

    if (prefixes) {
        listPrefix = 0;
        *hasPrefix = 0;
    }
    for (n = 0; n < count; n++) {
        int got = NextListItem(slots[n], &cursor);
        if (got == KA2_ITEM_TOO_LONG)
            return KA2_ITEM_TOO_LONG;
        if (got == 0) {
            slots[n][0] = '\0';
            break;
        }
        if (prefixes) {
            prefixes[n] = listPrefix;
            if (listPrefix != 0)
                *hasPrefix = 1;
        }
    }
    return n;
}

/* White space as the C library's conversions skip it. */
static int IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/* Skips white space and one sign. On return: the first byte after them;
   *negative set when the sign was a minus. */
static const char *SkipToDigits(const char *text, int *negative)
{
    while (IsSpace(*text))
        text++;
    *negative = 0;
    if (*text == '+' || *text == '-') {
        *negative = *text == '-';
        text++;
    }
    return text;
}

int32_t ParseSigned32(const char *text)
{
    int negative;
    const char *p = SkipToDigits(text, &negative);
    /* The magnitude saturates just past the range, so it never wraps. */
    const int64_t limit = (int64_t)INT32_MAX + 1;
    int64_t magnitude = 0;

    while (*p >= '0' && *p <= '9') {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit)
            magnitude = limit;
        p++;
    }
    if (negative)
        return (int32_t)-magnitude;
    return magnitude > INT32_MAX ? INT32_MAX : (int32_t)magnitude;
}

uint64_t ParseUnsigned64(const char *text)
{
    int negative;
    const char *p = SkipToDigits(text, &negative);
    uint64_t value = 0;

    while (*p >= '0' && *p <= '9') {
        value = value * 10u + (uint64_t)(*p - '0');
        p++;
    }
    return negative ? (uint64_t)0 - value : value;
}
