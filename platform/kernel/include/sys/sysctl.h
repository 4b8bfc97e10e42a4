/*
 * sysctl(3) as a FreeBSD host declares it: the MIB is addressed by an array
 * of integers (the OID), values are read into the caller's buffer and
 * written from the caller's buffer.
 *
 * Conventions: every call returns 0 on success and -1 with errno set on
 * failure; no call keeps a pointer to the caller's buffers after it returns.
 */
#ifndef TUNEX_SYS_SYSCTL_H
#define TUNEX_SYS_SYSCTL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CTL_MAXNAME 24 /* the longest OID, in components */

/* The kernel's own meta-OIDs, {0, which, ...}: an object's name, the
 * object after it, the OID of a name (given as the new value), its kind
 * and format, description and label, and the object after it with the
 * SKIP ones included. */
#define CTL_SYSCTL_NAME 1
#define CTL_SYSCTL_NEXT 2
#define CTL_SYSCTL_NAME2OID 3
#define CTL_SYSCTL_OIDFMT 4
#define CTL_SYSCTL_OIDDESCR 5
#define CTL_SYSCTL_OIDLABEL 6
#define CTL_SYSCTL_NEXTNOSKIP 7

/* Type codes: the low four bits of an object's kind. */
#define CTLTYPE 0xf
#define CTLTYPE_NODE 1
#define CTLTYPE_INT 2
#define CTLTYPE_STRING 3
#define CTLTYPE_S64 4
#define CTLTYPE_OPAQUE 5
#define CTLTYPE_STRUCT CTLTYPE_OPAQUE
#define CTLTYPE_UINT 6
#define CTLTYPE_LONG 7
#define CTLTYPE_ULONG 8
#define CTLTYPE_U64 9
#define CTLTYPE_U8 10
#define CTLTYPE_U16 11
#define CTLTYPE_S8 12
#define CTLTYPE_S16 13
#define CTLTYPE_S32 14
#define CTLTYPE_U32 15

/* Flag bits of an object's kind. */
#define CTLFLAG_RD 0x80000000u
#define CTLFLAG_WR 0x40000000u
#define CTLFLAG_RW (CTLFLAG_RD | CTLFLAG_WR)
#define CTLFLAG_DORMANT 0x20000000u
#define CTLFLAG_ANYBODY 0x10000000u
#define CTLFLAG_SECURE 0x08000000u
#define CTLFLAG_PRISON 0x04000000u
#define CTLFLAG_DYN 0x02000000u
#define CTLFLAG_SKIP 0x01000000u
#define CTLMASK_SECURE 0x00F00000u
#define CTLFLAG_TUN 0x00080000u
#define CTLFLAG_RDTUN (CTLFLAG_RD | CTLFLAG_TUN)
#define CTLFLAG_RWTUN (CTLFLAG_RW | CTLFLAG_TUN)
#define CTLFLAG_MPSAFE 0x00040000u
#define CTLFLAG_VNET 0x00020000u
#define CTLFLAG_DYING 0x00010000u
#define CTLFLAG_CAPRD 0x00008000u
#define CTLFLAG_CAPWR 0x00004000u
#define CTLFLAG_STATS 0x00002000u
#define CTLFLAG_NOFETCH 0x00001000u
#define CTLFLAG_NEEDGIANT 0x00000800u
#define CTLSHIFT_SECURE 20

/* Reads the value of the object NAME (NAMELEN components) into OLDP, whose
 * size *OLDLENP gives, and stores the value's length in *OLDLENP; with OLDP
 * null it only reports the length. With NEWP not null it then writes the
 * NEWLEN bytes at NEWP as the object's new value. */
int sysctl(const int *name, unsigned int namelen, void *oldp, size_t *oldlenp, const void *newp,
           size_t newlen);

/* The same, addressing the object by its dotted name. */
int sysctlbyname(const char *name, void *oldp, size_t *oldlenp, const void *newp, size_t newlen);

/* Translates a dotted name into its OID: at most *SIZEP components are
 * stored at MIBP, and *SIZEP is set to the number stored. */
int sysctlnametomib(const char *name, int *mibp, size_t *sizep);

#ifdef __cplusplus
}
#endif

#endif
