/*
 * <unistd.h> as on FreeBSD: the host's header, with getopt(3) and its
 * variables taken from FreeBSD's libc. FreeBSD's getopt never reorders the
 * arguments, stops at the first one that is not an option, and reports a
 * bad option as "PROGRAM: illegal option -- C" on standard error.
 */
#ifndef TUNEX_LIBC_UNISTD_H
#define TUNEX_LIBC_UNISTD_H

#include_next <unistd.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Returns the next option letter of ARGV that OPTSTRING names, '?' for a
 * bad option or a missing argument, or -1 at the end of the options. */
int tunex_getopt(int argc, char *const argv[], const char *optstring);
extern char *tunex_optarg;
extern int tunex_optind, tunex_opterr, tunex_optopt, tunex_optreset;

#ifdef __cplusplus
}
#endif

#define getopt tunex_getopt
#define optarg tunex_optarg
#define optind tunex_optind
#define opterr tunex_opterr
#define optopt tunex_optopt
#define optreset tunex_optreset

#endif
