/*
 * The part of FreeBSD's libutil that tunex uses.
 */
#ifndef TUNEX_LIBUTIL_H
#define TUNEX_LIBUTIL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Returns 1 when the kernel module NAME is loaded, 0 otherwise. */
int kld_isloaded(const char *name);

#ifdef __cplusplus
}
#endif

#endif
