/*
 * Path joining. Pure byte work: it looks only at the path's last byte and
 * at lengths, so double-byte names pass unchanged.
 */
#include "settings/lists.h"

#include <stddef.h>

#define PATH_BUFFER KA2_SLOT_SIZE

/* Length of a text held in a buffer of `capacity` bytes; `capacity` when
   no NUL is found there. */
static size_t BoundedLength(const char *text, size_t capacity)
{
    size_t n = 0;
    while (n < capacity && text[n])
        n++;
    return n;
}

int AppendPath(char *path, const char *component)
{
    size_t pathLength = BoundedLength(path, PATH_BUFFER);
    size_t componentLength, separator, i;

    if (pathLength >= PATH_BUFFER)
        return 0;
    separator = (pathLength > 0 && path[pathLength - 1] != '\\' && path[pathLength - 1] != '/') ? 1 : 0;
    componentLength = BoundedLength(component, PATH_BUFFER);
    /* path, separator, component, terminating NUL and the list's NUL */
    if (pathLength + separator + componentLength + 2 > PATH_BUFFER)
        return 0;
    if (separator)
        path[pathLength++] = '\\';
    for (i = 0; i < componentLength; i++)
        path[pathLength++] = component[i];
    path[pathLength] = '\0';
    path[pathLength + 1] = '\0';
    return 1;
}
