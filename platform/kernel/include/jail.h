/*
 * The part of FreeBSD's libjail that tunex uses.
 */
#ifndef TUNEX_JAIL_H
#define TUNEX_JAIL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Returns the jail ID of the jail called NAME (a name, or a number that is
 * already a jail ID), or -1 with errno set when there is no such jail. */
int jail_getid(const char *name);

#ifdef __cplusplus
}
#endif

#endif
