/*
 * jail_attach(2) and jail_get(2) as a FreeBSD host declares them.
 */
#ifndef TUNEX_SYS_JAIL_H
#define TUNEX_SYS_JAIL_H

#include <sys/uio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Moves the calling process into the jail JID. Returns 0, or -1 with errno
 * set (EPERM for a caller that is not root, EINVAL for an unknown jail). */
int jail_attach(int jid);

/* Reads the parameters of one jail. IOV holds NIOV / 2 pairs of a parameter
 * name (a NUL-terminated string) and its value buffer. The jail is the one
 * whose "jid" is given, or, with "lastjid", the one with the lowest jail ID
 * above it, so that a loop visits every jail. "name" receives the jail's
 * name. Returns the jail ID, or -1 with errno set: ENOENT when there is no
 * such jail, EINVAL for an unknown parameter, a buffer of the wrong size
 * or an odd NIOV. FLAGS is not used. */
int jail_get(struct iovec *iov, unsigned int niov, int flags);

#ifdef __cplusplus
}
#endif

#endif
