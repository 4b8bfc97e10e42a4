/*
 * What the kernel module oidlens adds to the meta-OIDs under 0: whether an
 * object has a handler, and the metadata of many objects in one request.
 *
 * Both answer through sysctl(3) like every meta-OID and never take a new
 * value. Numbers are in host byte order.
 */
#ifndef TUNEX_SYS_OIDLENS_H
#define TUNEX_SYS_OIDLENS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* {0, CTL_SYSCTL_OIDHANDLER, oid...}: an int, 1 when the object has a
 * handler and 0 when not; ENOENT for an unknown object. */
#define CTL_SYSCTL_OIDHANDLER 256

/* {0, CTL_SYSCTL_OIDENTRIES, scope, oid...}: the entries of the objects at
 * or after OID in OID order (strictly after it with OIDLENS_AFTER), as
 * long as they share the first (scope & OIDLENS_DEPTH) components of OID;
 * dormant objects and their subtrees are left out. The answer holds as
 * many whole entries as fit in the buffer; a size probe, and a buffer too
 * small for even one entry (ENOMEM), report the size of the first entry.
 * ENOENT when no object is left. */
#define CTL_SYSCTL_OIDENTRIES 257
#define OIDLENS_DEPTH 0xff
#define OIDLENS_AFTER 0x100

/* One entry: this header, the OID (oid_len ints), then the name, format,
 * description and label, each with its NUL (description and label only
 * when their length is not 0), padded to a multiple of 4 bytes. */
struct oidlens_entry {
    uint32_t size;       /* bytes of the whole entry */
    uint32_t kind;       /* flags | type */
    uint32_t oid_len;    /* components of the OID */
    uint32_t handler;    /* 1 when the object has a handler */
    uint32_t name_len;   /* with the NUL */
    uint32_t format_len; /* with the NUL */
    uint32_t descr_len;  /* with the NUL; 0 when there is none */
    uint32_t label_len;  /* with the NUL; 0 when there is none */
};

#ifdef __cplusplus
}
#endif

#endif
