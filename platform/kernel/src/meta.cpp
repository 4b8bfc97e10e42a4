/*
 * The meta-OIDs under 0 through which a program learns the MIB: the
 * FreeBSD kernel's own (name, next, name2oid, oidfmt, oiddescr, oidlabel,
 * nextnoskip) and, when the image loads the module oidlens, the handler
 * query and the bulk entries of <sys/oidlens.h>. They answer whether or
 * not the image lists the objects of OID 0.
 */
#include <sys/oidlens.h>
#include <sys/sysctl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kernel.h"

namespace
{

/* An answer collected as the kernel collects one: bytes past the caller's
 * buffer are counted but not copied, and the count decides ENOMEM. */
struct answer {
    unsigned char *buf;
    size_t room;
    size_t len;

    void out(const void *p, size_t n)
    {
        if (buf && len < room && n != 0)
            std::memcpy(buf + len, p, n < room - len ? n : room - len);
        len += n;
    }
    int finish(size_t *oldlenp) const
    {
        if (!oldlenp)
            return 0;
        if (buf && len > room)
            return ENOMEM; // *oldlenp keeps the buffer's size: all of it was filled
        *oldlenp = len;
        return 0;
    }
};

/* Is object I left out of a walk: dormant (or skipped, with SKIP) itself
 * or below such a node? Returns the topmost such object, or NONE. */
uint32_t hidden_by(const image_view &v, uint32_t i, uint32_t flags)
{
    uint32_t top = NONE;
    for (uint32_t p = i; p != NONE; p = v.objects[p].parent) {
        if (v.objects[p].kind & flags)
            top = p;
    }
    return top;
}

/* First object after OID (N components) in OID order, skipping hidden
 * subtrees; NEXT (not NEXTNOSKIP) also skips SKIP objects and enters
 * nodes without handler instead of returning them. */
uint32_t next_object(const image_view &v, const int *oid, size_t n, bool noskip)
{
    uint32_t i = image_lower_bound(v, oid, n);
    if (i < v.count && oid_compare(obj_oid(v, i), v.objects[i].oid_len, oid, n) == 0)
        i++;
    uint32_t flags = CTLFLAG_DORMANT | (noskip ? 0 : CTLFLAG_SKIP);
    while (i < v.count) {
        uint32_t h = hidden_by(v, i, flags);
        if (h != NONE) {
            i = v.objects[h].end;
            continue;
        }
        const mib_object &o = v.objects[i];
        if (noskip || (o.kind & CTLTYPE) != CTLTYPE_NODE || o.handler)
            return i;
        i++;
    }
    return NONE;
}

int meta_name(const image_view &v, const int *oid, size_t n, answer &a)
{
    // Components below a missing object or below a leaf come out as
    // numbers, so any OID has a name.
    bool walking = true;
    for (size_t k = 0; k < n; k++) {
        if (a.len)
            a.out(".", 1);
        uint32_t j = walking ? image_find_oid(v, oid, k + 1) : NONE;
        if (j != NONE) {
            const char *last = obj_last(v, j);
            a.out(last, std::strlen(last));
            walking = (v.objects[j].kind & CTLTYPE) == CTLTYPE_NODE && !v.objects[j].handler;
            continue;
        }
        walking = false;
        char num[16];
        int len = std::snprintf(num, sizeof num, "%d", oid[k]);
        a.out(num, size_t(len));
    }
    a.out("", 1);
    return 0;
}

int meta_name2oid(kernel_store &s, const void *newp, size_t newlen, answer &a)
{
    if (!newp || newlen == 0)
        return ENOENT;
    if (newlen >= 1024)
        return ENAMETOOLONG;
    const char *name = static_cast<const char *>(newp);
    uint32_t i = s.find_name(std::string_view(name, strnlen(name, newlen)));
    if (i == NONE)
        return ENOENT;
    const image_view &v = s.view(); // as find_name() may have listed it
    a.out(obj_oid(v, i), v.objects[i].oid_len * sizeof(int));
    return 0;
}

/* Appends the oidlens entry of object I, or returns false when it does
 * not fit the buffer. */
bool put_entry(const image_view &v, uint32_t i, answer &a, size_t *size)
{
    const mib_object &o = v.objects[i];
    const char *name = obj_name(v, i), *fmt = obj_str(v, o.format);
    const char *descr = obj_str(v, o.description), *label = obj_str(v, o.label);
    oidlens_entry e{};
    e.kind = o.kind;
    e.oid_len = o.oid_len;
    e.handler = o.handler;
    e.name_len = uint32_t(std::strlen(name) + 1);
    e.format_len = uint32_t(std::strlen(fmt) + 1);
    e.descr_len = descr ? uint32_t(std::strlen(descr) + 1) : 0;
    e.label_len = label ? uint32_t(std::strlen(label) + 1) : 0;
    size_t raw =
        sizeof e + o.oid_len * sizeof(int) + e.name_len + e.format_len + e.descr_len + e.label_len;
    e.size = uint32_t((raw + 3) & ~size_t(3));
    *size = e.size;
    if (!a.buf || a.len + e.size > a.room)
        return false;
    a.out(&e, sizeof e);
    a.out(obj_oid(v, i), o.oid_len * sizeof(int));
    a.out(name, e.name_len);
    a.out(fmt, e.format_len);
    a.out(descr, e.descr_len);
    a.out(label, e.label_len);
    static const char pad[4] = {};
    a.out(pad, e.size - raw);
    return true;
}

int meta_entries(const image_view &v, const int *args, size_t nargs, answer &a, size_t *oldlenp)
{
    if (nargs < 1)
        return EINVAL;
    unsigned scope = unsigned(args[0]);
    const int *oid = args + 1;
    size_t n = nargs - 1, depth = scope & OIDLENS_DEPTH;
    if (depth > n || (scope & ~unsigned(OIDLENS_DEPTH | OIDLENS_AFTER)))
        return EINVAL;
    uint32_t i = image_lower_bound(v, oid, n);
    if ((scope & OIDLENS_AFTER) && i < v.count &&
        oid_compare(obj_oid(v, i), v.objects[i].oid_len, oid, n) == 0)
        i++;
    size_t entries = 0;
    while (i < v.count) {
        const mib_object &o = v.objects[i];
        if (o.oid_len < depth || std::memcmp(obj_oid(v, i), oid, depth * sizeof(int)) != 0)
            break;
        uint32_t h = hidden_by(v, i, CTLFLAG_DORMANT);
        if (h != NONE) {
            i = v.objects[h].end;
            continue;
        }
        size_t size;
        if (!put_entry(v, i, a, &size)) {
            if (entries)
                break;
            // A probe, or a buffer too small for one entry: say what the
            // first one needs.
            if (oldlenp)
                *oldlenp = size;
            return a.buf ? ENOMEM : 0;
        }
        entries++;
        i++;
    }
    return entries ? a.finish(oldlenp) : ENOENT;
}

} // namespace

int meta_request(kernel_store &store, const int *name, unsigned namelen, void *oldp,
                 size_t *oldlenp, const void *newp, size_t newlen)
{
    const image_view &v = store.view();
    int which = name[1];
    const int *oid = name + 2;
    size_t n = namelen - 2;
    bool lens = (which == CTL_SYSCTL_OIDHANDLER || which == CTL_SYSCTL_OIDENTRIES) &&
                module_loaded(v, "oidlens");
    if (!lens && (which < CTL_SYSCTL_NAME || which > CTL_SYSCTL_NEXTNOSKIP))
        return -1;
    if (which == CTL_SYSCTL_NAME2OID && n > 0)
        return ENOTDIR; // name2oid is a leaf
    // Only name2oid takes a new value; the others are read-only handlers.
    if (newp && which != CTL_SYSCTL_NAME2OID)
        return EPERM;
    answer a{static_cast<unsigned char *>(oldp), oldlenp ? *oldlenp : 0, 0};
    int e = 0, err = 0;
    uint32_t i;
    switch (which) {
    case CTL_SYSCTL_NAME:
        e = meta_name(v, oid, n, a);
        break;
    case CTL_SYSCTL_NEXT:
    case CTL_SYSCTL_NEXTNOSKIP:
        i = next_object(v, oid, n, which == CTL_SYSCTL_NEXTNOSKIP);
        if (i == NONE)
            return ENOENT;
        a.out(obj_oid(v, i), v.objects[i].oid_len * sizeof(int));
        break;
    case CTL_SYSCTL_NAME2OID:
        e = meta_name2oid(store, newp, newlen, a);
        break;
    case CTL_SYSCTL_OIDFMT:
    case CTL_SYSCTL_OIDDESCR:
    case CTL_SYSCTL_OIDLABEL:
    case CTL_SYSCTL_OIDHANDLER: {
        i = lookup(v, oid, n, &err);
        if (i == NONE)
            return err;
        const mib_object &o = v.objects[i];
        if (which == CTL_SYSCTL_OIDFMT) {
            uint32_t kind = o.kind;
            a.out(&kind, sizeof kind);
            const char *fmt = obj_str(v, o.format);
            a.out(fmt, std::strlen(fmt) + 1);
        } else if (which == CTL_SYSCTL_OIDHANDLER) {
            if (o.handler_error)
                return o.handler_error;
            int defined = o.handler;
            a.out(&defined, sizeof defined);
        } else {
            const char *text = obj_str(v, which == CTL_SYSCTL_OIDDESCR ? o.description : o.label);
            if (!text)
                return ENOENT;
            a.out(text, std::strlen(text) + 1);
        }
        break;
    }
    case CTL_SYSCTL_OIDENTRIES:
        return meta_entries(v, oid, n, a, oldlenp);
    }
    return e ? e : a.finish(oldlenp);
}
