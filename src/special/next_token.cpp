/*
 * The in-place field splitter shared by the text renderers.
 */
#include "special.h"

// The scan stops at END as well as at a delimiter or NUL, so that a value
// that is not NUL-terminated is never read beyond its length. Callers keep
// a NUL byte at END, so that a token that runs up to END is terminated.
bool next_token(char *cursor, char **next, char *end, char delim)
{
    if (cursor == end)
        return false;
    char *p = cursor;
    while (p < end && *p != delim && *p != '\0')
        p++;
    if (p == end) {
        *next = end;
        return true;
    }
    *p = '\0';
    *next = p + 1;
    return true;
}
