/*
 * The store of objects behind the kernel stand-in's sysctl(3). The sysctl
 * layer (sysctl.cpp, meta.cpp) owns every rule of the kernel's interface:
 * lookups, errors, permissions, jails, the meta-OIDs, how a write of each
 * type is cut to size. A store only has the objects: their metadata as an
 * image_view sorted by OID, the current bytes of a value, and a durable
 * replacement of a value.
 *
 * Adding a backend (for example a /proc/sys tree): derive from
 * kernel_store, fill view_ when it opens (the metadata of every object,
 * indexed by image_index or built by hand with the same invariants: sorted
 * by OID, parent and end set, names hashed), implement value() and
 * replace(), and pick it in open_store() (store.cpp) by what MIB_IMAGE
 * names.
 */
#ifndef TUNEX_KERNEL_STORE_H
#define TUNEX_KERNEL_STORE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "image.h"

class kernel_store
{
  public:
    virtual ~kernel_store() = default;

    /* The objects, sorted by OID, with the modules, jails and securelevel. */
    const image_view &view() const { return view_; }

    /* Points *DATA and *LEN at the current value of object I, valid until
     * the next call into the store. Returns 0 or an errno. */
    virtual int value(uint32_t i, const unsigned char **data, size_t *len) = 0;

    /* Makes LEN bytes at BYTES the value of object I, durably, applied to
     * the newest state that other processes left. Returns 0 or an errno;
     * on failure the old value stays, in memory and on disk. */
    virtual int replace(uint32_t i, const unsigned char *bytes, size_t len) = 0;

    /* Called before every request for NAME, before the view is looked
     * at, so that a store that learns its objects lazily (a live kernel)
     * can list them, and for a meta-OID request (NAME begins with 0) fill
     * in the metadata of the objects that it names. */
    virtual void prepare(const int * /*name*/, unsigned /*namelen*/) {}

    /* Called likewise once a request has found its object I. */
    virtual void prepare_object(uint32_t /*i*/) {}

    /* True when the store's kernel checks and sizes written values itself:
     * a write then reaches replace() with the caller's bytes, uncut. */
    virtual bool checks_writes() const { return false; }

    /* The object that NAME (not NUL-terminated) names, or NONE: the
     * lookup behind the name2oid meta-OID. A store may accept other
     * spellings of its names than the ones it shows, and one that learns
     * its objects lazily lists here what the name needs. */
    virtual uint32_t find_name(std::string_view name) { return image_find_name(view_, name); }

    /* The length of the shortest OID that may name a value: 2 in a
     * FreeBSD kernel, whose top level holds only nodes; 1 in a tree whose
     * root may hold leaves as well. */
    virtual unsigned shortest_oid() const { return 2; }

    /* Called before the jails of the view are looked at, so that a store
     * that finds them lazily can add them first. */
    virtual void prepare_jails() {}

    /* Enters the context of jail JID (already found in the view) before
     * jail_attach succeeds. Returns 0 or an errno. */
    virtual int attach(int /*jid*/) { return 0; }

  protected:
    image_view view_{};
};

/* Opens the store that SOURCE names: null for the embedded default, a
 * directory for a /proc/sys-style tree, else a MIB image file. Returns
 * null with a message for the user in ERR. */
std::unique_ptr<kernel_store> open_store(const char *source, std::string &err);

/* The live Linux kernel: the /proc/sys-style tree at ROOT (procfs_store.cpp). */
std::unique_ptr<kernel_store> open_procfs_store(const char *root, std::string &err);

/* The embedded default image, generated at build time. */
const image_view *embedded_image();

/* Where the default image keeps its changed values: $XDG_RUNTIME_DIR/tunex,
 * else /tmp/tunex-UID (created 0700 when CREATE). A directory that is not
 * the user's own and private is refused with EACCES and the reason, naming
 * it, in WHY. Returns 0 with the directory in DIR, or an errno. */
int state_dir(std::string &dir, bool create, std::string &why);

/* Tells the user LINE ("FILE: what is wrong") on stderr: what a store has
 * to say about its files beyond an errno. */
void kernel_report(const std::string &line);

#endif
