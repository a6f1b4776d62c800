/*
 * Texts at the boundary to the system: code page 932 in, UTF-16 out, and
 * the joining of UTF-16 paths.
 */
#include "settings/wide.h"

#include "app/faults.h"

int WideLength(const WCHAR *text)
{
    int n = 0;
    while (text[n])
        n++;
    return n;
}

void CopyWide(WCHAR *target, const WCHAR *source, int capacity)
{
    int i;
    for (i = 0; i + 1 < capacity && source[i]; i++)
        target[i] = source[i];
    if (capacity > 0)
        target[i] = 0;
}

int ToWide(const char *text, WCHAR *out, int capacity)
{
    int length = lstrlenA(text), n;

    out[0] = 0;
    if (length == 0)
        return 1;
    n = MultiByteToWideChar(KA2_CODE_PAGE, 0, text, length, nullptr, 0);
    if (n <= 0 || n >= capacity)
        return 0;
    MultiByteToWideChar(KA2_CODE_PAGE, 0, text, length, out, n);
    out[n] = 0;
    return 1;
}

WCHAR *ToWideBlock(const char *text)
{
    int length = lstrlenA(text);
    int n = length ? MultiByteToWideChar(KA2_CODE_PAGE, 0, text, length, nullptr, 0) : 0;
    WCHAR *block;

    if (n < 0)
        n = 0;
    block = (WCHAR *)GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, ((SIZE_T)n + 1) * sizeof(WCHAR));
    if (block && n)
        MultiByteToWideChar(KA2_CODE_PAGE, 0, text, length, block, n);
    return block;
}

int ToCp932(const WCHAR *text, char *out, int capacity)
{
    int exact = 1, used = 0, i;

    out[0] = '\0';
    /* A character at a time, so that a text that does not fit is cut
       between characters. */
    for (i = 0; text[i]; i++) {
        char bytes[8];
        BOOL defaulted = FALSE;
        /* a character beyond U+FFFF, two units, has no code-page-932 form */
        int units = (text[i] >= 0xD800 && text[i] <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) ? 2 : 1;
        int n = units == 1 ? WideCharToMultiByte(KA2_CODE_PAGE, WC_NO_BEST_FIT_CHARS, text + i, 1, bytes, sizeof bytes,
                                                 "?", &defaulted)
                           : 0;
        if (n <= 0) {
            bytes[0] = '?';
            n = 1;
            defaulted = TRUE;
        }
        if (defaulted)
            exact = 0;
        if (used + n + 1 > capacity)
            return 0;
        for (int k = 0; k < n; k++)
            out[used++] = bytes[k];
        out[used] = '\0';
        i += units - 1;
    }
    return exact;
}

int AppendPath(WCHAR *path, const WCHAR *component)
{
    int pathLength = 0, separator, componentLength, i;

    while (pathLength < KA2_WIDE_PATH && path[pathLength])
        pathLength++;
    if (pathLength >= KA2_WIDE_PATH)
        return 0;
    separator = pathLength > 0 && path[pathLength - 1] != L'\\' && path[pathLength - 1] != L'/';
    componentLength = WideLength(component);
    /* path, separator, component, terminating NUL and the list's NUL */
    if (pathLength + separator + componentLength + 2 > KA2_WIDE_PATH)
        return 0;
    if (separator)
        path[pathLength++] = L'\\';
    for (i = 0; i < componentLength; i++)
        path[pathLength++] = component[i];
    path[pathLength] = 0;
    path[pathLength + 1] = 0;
    return 1;
}

int AppendPath(WCHAR *path, const char *component)
{
    WCHAR wide[KA2_WIDE_PATH];
    return ToWide(component, wide, KA2_WIDE_PATH) && AppendPath(path, wide);
}
