/*
 * The kernel stand-in's internal interface: the booted store, the calling
 * process's jail, the lookup of an OID as the kernel does it, and the
 * meta-OIDs. Tests use kernel_reset to boot another image in one process.
 */
#ifndef TUNEX_KERNEL_KERNEL_H
#define TUNEX_KERNEL_KERNEL_H

#include <cstddef>
#include <cstdint>

#include "store.h"

/* The booted store. Boots on the first call from MIB_IMAGE (or the
 * embedded default); an image that cannot be loaded ends the process with
 * status 1 after one message on stderr. */
kernel_store &kernel();

/* Forgets the booted image and the jail, so that the next call boots
 * again from the environment. For tests. */
void kernel_reset();

/* The jail the process attached to: 0 on the host. */
struct jail_state {
    int jid;
    bool vnet;
};
extern jail_state current_jail;

/* Finds the object that NAME (NAMELEN components) addresses, as the
 * kernel's lookup does: ENOENT for an unknown or dormant object, ENOTDIR
 * for a path that goes on past a leaf. Returns the index or NONE with the
 * errno in *ERROR. */
uint32_t lookup(const image_view &v, const int *name, size_t namelen, int *error);

/* Answers a request under OID 0 when NAME is one of the meta-OIDs: returns
 * 0 or an errno, or -1 when NAME is no meta-OID. */
int meta_request(kernel_store &store, const int *name, unsigned namelen, void *oldp,
                 size_t *oldlenp, const void *newp, size_t newlen);

/* The bytes that a write of NEWLEN bytes stores into object O, a number,
 * an array or a structure whose value now has CURLEN bytes: a number takes
 * exactly its width, an array or a structure exactly its present size. */
size_t stored_size(const mib_object &o, size_t curlen, size_t newlen);

/* True when the image loads the kernel module NAME. */
bool module_loaded(const image_view &v, const char *name);

#endif
