/*
 * <inttypes.h> as on FreeBSD: the host's header, with strtoimax and
 * strtoumax taken from FreeBSD's libc (EINVAL when the text holds no
 * number at all).
 */
#ifndef TUNEX_LIBC_INTTYPES_H
#define TUNEX_LIBC_INTTYPES_H

#include_next <inttypes.h>

#ifdef __cplusplus
extern "C" {
#endif

intmax_t tunex_strtoimax(const char *nptr, char **endptr, int base);
uintmax_t tunex_strtoumax(const char *nptr, char **endptr, int base);

#ifdef __cplusplus
}
namespace std
{
using ::tunex_strtoimax;
using ::tunex_strtoumax;
} // namespace std
#endif

#define strtoimax tunex_strtoimax
#define strtoumax tunex_strtoumax

#endif
