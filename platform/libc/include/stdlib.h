/*
 * <stdlib.h> as on FreeBSD: the host's header, with the strtol family
 * taken from FreeBSD's libc, which sets errno to EINVAL when the text holds
 * no number at all ("", "abc", "-"); the host's parsers then leave errno
 * alone. Call the parsers unqualified or through std::.
 */
#ifndef TUNEX_LIBC_STDLIB_H
#define TUNEX_LIBC_STDLIB_H

#include_next <stdlib.h>

#ifdef __cplusplus
extern "C" {
#endif

long tunex_strtol(const char *nptr, char **endptr, int base);
long long tunex_strtoll(const char *nptr, char **endptr, int base);
unsigned long tunex_strtoul(const char *nptr, char **endptr, int base);
unsigned long long tunex_strtoull(const char *nptr, char **endptr, int base);

#ifdef __cplusplus
}
namespace std
{
using ::tunex_strtol;
using ::tunex_strtoll;
using ::tunex_strtoul;
using ::tunex_strtoull;
} // namespace std
#endif

#define strtol tunex_strtol
#define strtoll tunex_strtoll
#define strtoul tunex_strtoul
#define strtoull tunex_strtoull

#endif
