/*
 * The strtol family with FreeBSD's error reporting: a text that holds no
 * number at all ("", "abc", "+", "0x" followed by no hex digit aside) sets
 * errno to EINVAL, so that a caller that clears errno and reads it after
 * the call tells "no number" from 0. Range errors (ERANGE) and the values
 * returned are the host's, which agree with FreeBSD's.
 */
#include <errno.h>
#include <inttypes.h>
#include <stdlib.h>

#define WRAP(type, name)                                                                           \
    type tunex_##name(const char *nptr, char **endptr, int base)                                   \
    {                                                                                              \
        char *end;                                                                                 \
        type value = name(nptr, &end, base);                                                       \
        if (end == nptr)                                                                           \
            errno = EINVAL;                                                                        \
        if (endptr != NULL)                                                                        \
            *endptr = end;                                                                         \
        return value;                                                                              \
    }

long tunex_strtol(const char *, char **, int);
long long tunex_strtoll(const char *, char **, int);
unsigned long tunex_strtoul(const char *, char **, int);
unsigned long long tunex_strtoull(const char *, char **, int);
intmax_t tunex_strtoimax(const char *, char **, int);
uintmax_t tunex_strtoumax(const char *, char **, int);

WRAP(long, strtol)
WRAP(long long, strtoll)
WRAP(unsigned long, strtoul)
WRAP(unsigned long long, strtoull)
WRAP(intmax_t, strtoimax)
WRAP(uintmax_t, strtoumax)
