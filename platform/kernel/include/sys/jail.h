/*
 * jail_attach(2) as a FreeBSD host declares it.
 */
#ifndef TUNEX_SYS_JAIL_H
#define TUNEX_SYS_JAIL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Moves the calling process into the jail JID. Returns 0, or -1 with errno
 * set (EPERM for a caller that is not root, EINVAL for an unknown jail). */
int jail_attach(int jid);

#ifdef __cplusplus
}
#endif

#endif
