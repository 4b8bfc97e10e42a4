/*
 * sysctl(3), kld_isloaded, jail_getid and jail_attach over the booted
 * store, answering as the FreeBSD kernel does: the checks run in the
 * kernel's order (lookup, node without handler, write permission, secure
 * level, privilege, then the handler), a read copies what fits and fails
 * with ENOMEM when the buffer is short, and a write is cut to the size
 * that the object's type takes before the store makes it durable.
 */
#include <sys/jail.h>
#include <sys/sysctl.h>
#include <jail.h>
#include <libutil.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <unistd.h>

#include "kernel.h"

jail_state current_jail;

namespace
{

// The booted kernel lives as long as the process: taking a large store
// apart at exit would only give back memory that the exit gives back
// anyway, one block at a time.
std::unique_ptr<kernel_store> &booted = *new std::unique_ptr<kernel_store>;

/* The object found last: a walk asks for one object's size, then its
 * value, then the next object's. */
uint32_t last_found;

void boot()
{
    const char *source = getenv("MIB_IMAGE");
    std::string err;
    booted = open_store(source && *source ? source : nullptr, err);
    if (!booted) {
        // The program cannot tell a broken machine from a failed call, so
        // the stand-in reports it, once, before anything else is printed.
        std::fflush(stdout);
        kernel_report(err);
        std::exit(1);
    }
}

int fail(int e)
{
    errno = e;
    return -1;
}

/* May the caller write object O? 0 or the errno the kernel gives. */
int write_allowed(const image_view &v, const mib_object &o)
{
    if (!(o.kind & CTLFLAG_WR))
        return EPERM;
    // The secure level is checked before privilege: root is refused too.
    if ((o.kind & CTLFLAG_SECURE) &&
        v.securelevel > int32_t((o.kind & CTLMASK_SECURE) >> CTLSHIFT_SECURE))
        return EPERM;
    if (o.kind & CTLFLAG_ANYBODY)
        return 0;
    if (geteuid() != 0)
        return EPERM;
    // Jailed root holds only the privilege to write its jail's objects.
    if (current_jail.jid != 0 && !(o.kind & CTLFLAG_PRISON) &&
        !((o.kind & CTLFLAG_VNET) && current_jail.vnet))
        return EPERM;
    return 0;
}

/* Copies the value of object I (and, after a probe, the bytes it grew by)
 * into the caller's buffer. */
int read_value(kernel_store &s, uint32_t i, void *oldp, size_t *oldlenp)
{
    const mib_object &o = s.view().objects[i];
    if (o.read_error)
        return o.read_error;
    const unsigned char *data;
    size_t len;
    if (int e = s.value(i, &data, &len))
        return e;
    if (!oldp) {
        *oldlenp = len;
        return 0;
    }
    size_t total = len + o.grows_by, room = *oldlenp;
    unsigned char *out = static_cast<unsigned char *>(oldp);
    if (o.grows_by == 0) {
        if (len && room)
            std::memcpy(out, data, len < room ? len : room);
    } else {
        // A string grows before its NUL, anything else by zero bytes.
        bool text = (o.kind & CTLTYPE) == CTLTYPE_STRING && len > 0 && data[len - 1] == 0;
        size_t keep = text ? len - 1 : len;
        for (size_t k = 0; k < total && k < room; k++)
            out[k] = k < keep ? data[k] : text && k + 1 < total ? '*' : 0;
    }
    if (total > room)
        return ENOMEM; // *oldlenp already holds what was copied
    *oldlenp = total;
    return 0;
}

/* Cuts the new value to what the object's type takes and stores it. */
int write_value(kernel_store &s, uint32_t i, const void *newp, size_t newlen)
{
    const mib_object &o = s.view().objects[i];
    if (o.write_error)
        return o.write_error;
    const unsigned char *in = static_cast<const unsigned char *>(newp);
    uint32_t type = o.kind & CTLTYPE;
    if (type == CTLTYPE_NODE)
        return EINVAL;
    // A live kernel takes the bytes as given and refuses what it must.
    if (s.checks_writes())
        return s.replace(i, in, newlen);
    if (type == CTLTYPE_STRING) {
        if (o.maxlen && newlen >= o.maxlen)
            return EINVAL;
        // The kernel stores the bytes and appends a NUL; a string read back
        // ends at its first NUL.
        size_t n = newlen ? strnlen(reinterpret_cast<const char *>(in), newlen) : 0;
        std::vector<unsigned char> v(in, in + n);
        v.push_back(0);
        return s.replace(i, v.data(), v.size());
    }
    const unsigned char *cur;
    size_t curlen;
    if (int e = s.value(i, &cur, &curlen))
        return e;
    // What follows the bytes that the object takes is ignored.
    size_t need = stored_size(o, curlen, newlen);
    if (newlen < need)
        return EINVAL;
    return s.replace(i, in, need);
}

} // namespace

void kernel_report(const std::string &line)
{
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, line.c_str());
}

size_t stored_size(const mib_object &o, size_t curlen, size_t newlen)
{
    size_t width = image_types[o.kind & CTLTYPE].size;
    if (width)
        return curlen >= width ? curlen - curlen % width : width;
    return curlen ? curlen : newlen;
}

kernel_store &kernel()
{
    if (!booted)
        boot();
    return *booted;
}

void kernel_reset()
{
    booted.reset();
    last_found = 0;
    current_jail = jail_state{};
}

bool module_loaded(const image_view &v, const char *name)
{
    size_t len = std::strlen(name);
    if (len > 3 && std::strcmp(name + len - 3, ".ko") == 0)
        len -= 3;
    for (uint32_t k = 0; k < v.nmodules; k++) {
        const char *m = v.strings + v.modules[k];
        if (std::strlen(m) == len && std::memcmp(m, name, len) == 0)
            return true;
    }
    return false;
}

static bool is_at(const image_view &v, uint32_t i, const int *name, size_t namelen)
{
    return i < v.count && v.objects[i].oid_len == namelen &&
           std::memcmp(obj_oid(v, i), name, namelen * sizeof(int)) == 0;
}

uint32_t lookup(const image_view &v, const int *name, size_t namelen, int *error)
{
    uint32_t i = is_at(v, last_found, name, namelen)       ? last_found
                 : is_at(v, last_found + 1, name, namelen) ? last_found + 1
                                                           : image_find_oid(v, name, namelen);
    if (i != NONE)
        last_found = i;
    if (i == NONE) {
        // Tell a path through a leaf from a missing object: the kernel
        // walks the components and stops at the first leaf.
        *error = ENOENT;
        for (size_t k = 1; k < namelen; k++) {
            uint32_t p = image_find_oid(v, name, k);
            if (p == NONE)
                break;
            if ((v.objects[p].kind & CTLTYPE) != CTLTYPE_NODE) {
                *error = ENOTDIR;
                break;
            }
        }
        return NONE;
    }
    for (uint32_t p = i; p != NONE; p = v.objects[p].parent) {
        if (v.objects[p].kind & CTLFLAG_DORMANT) {
            *error = ENOENT;
            return NONE;
        }
    }
    return i;
}

extern "C" {

int sysctl(const int *name, unsigned int namelen, void *oldp, size_t *oldlenp, const void *newp,
           size_t newlen)
{
    kernel_store &s = kernel();
    if (namelen < s.shortest_oid() || namelen > CTL_MAXNAME || (name[0] == 0 && namelen < 2))
        return fail(EINVAL);
    s.prepare(name, namelen);
    if (!oldlenp)
        oldp = nullptr;
    if (name[0] == 0) {
        int e = meta_request(s, name, namelen, oldp, oldlenp, newp, newlen);
        if (e >= 0)
            return e ? fail(e) : 0;
    }
    const image_view &v = s.view();
    int e;
    uint32_t i = lookup(v, name, namelen, &e);
    if (i == NONE)
        return fail(e);
    s.prepare_object(i);
    const mib_object &o = v.objects[i];
    if ((o.kind & CTLTYPE) == CTLTYPE_NODE && !o.handler)
        return fail(EISDIR);
    if (newp && (e = write_allowed(v, o)) != 0)
        return fail(e);
    if (!o.handler)
        return fail(EINVAL);
    if (oldlenp && (e = read_value(s, i, oldp, oldlenp)) != 0)
        return fail(e);
    if (newp && (e = write_value(s, i, newp, newlen)) != 0)
        return fail(e);
    return 0;
}

int sysctlnametomib(const char *name, int *mibp, size_t *sizep)
{
    int oid[2] = {0, CTL_SYSCTL_NAME2OID};
    size_t len = *sizep * sizeof(int);
    if (sysctl(oid, 2, mibp, &len, name, std::strlen(name)) != 0)
        return -1;
    *sizep = len / sizeof(int);
    return 0;
}

int sysctlbyname(const char *name, void *oldp, size_t *oldlenp, const void *newp, size_t newlen)
{
    int oid[CTL_MAXNAME];
    size_t len = CTL_MAXNAME;
    if (sysctlnametomib(name, oid, &len) != 0)
        return -1;
    return sysctl(oid, unsigned(len), oldp, oldlenp, newp, newlen);
}

int kld_isloaded(const char *name)
{
    return module_loaded(kernel().view(), name) ? 1 : 0;
}

/* The view, with the jails that the store may have left to learn. */
static const image_view &with_jails()
{
    kernel_store &s = kernel();
    s.prepare_jails();
    return s.view();
}

int jail_getid(const char *name)
{
    const image_view &v = with_jails();
    char *end;
    long jid = std::strtol(name, &end, 10);
    bool number = *name && !*end;
    for (uint32_t k = 0; k < v.njails; k++) {
        if (number ? v.jails[k].jid == jid : std::strcmp(v.strings + v.jails[k].name, name) == 0)
            return v.jails[k].jid;
    }
    errno = ENOENT;
    return -1;
}

int jail_get(struct iovec *iov, unsigned int niov, int flags)
{
    (void)flags;
    const image_view &v = with_jails();
    const int *want = nullptr, *after = nullptr;
    char *name = nullptr;
    size_t namesize = 0;
    if (niov % 2)
        return fail(EINVAL);
    for (unsigned k = 0; k < niov; k += 2) {
        const char *param = static_cast<const char *>(iov[k].iov_base);
        const iovec &value = iov[k + 1];
        bool is_int = value.iov_len == sizeof(int);
        if (std::strcmp(param, "jid") == 0 && is_int)
            want = static_cast<const int *>(value.iov_base);
        else if (std::strcmp(param, "lastjid") == 0 && is_int)
            after = static_cast<const int *>(value.iov_base);
        else if (std::strcmp(param, "name") == 0 && value.iov_len > 0)
            name = static_cast<char *>(value.iov_base), namesize = value.iov_len;
        else
            return fail(EINVAL);
    }
    const mib_jail *found = nullptr;
    for (uint32_t k = 0; k < v.njails; k++) {
        const mib_jail &j = v.jails[k];
        if (want ? j.jid == *want : after && j.jid > *after && (!found || j.jid < found->jid))
            found = &j;
    }
    if (!found)
        return fail(ENOENT);
    if (name) {
        const char *s = v.strings + found->name;
        if (std::strlen(s) >= namesize)
            return fail(EINVAL);
        std::strcpy(name, s);
    }
    return found->jid;
}

int jail_attach(int jid)
{
    const image_view &v = with_jails();
    if (geteuid() != 0 || current_jail.jid != 0)
        return fail(EPERM);
    for (uint32_t k = 0; k < v.njails; k++) {
        if (v.jails[k].jid == jid) {
            bool vnet = v.jails[k].vnet != 0;
            if (int e = kernel().attach(jid))
                return fail(e);
            current_jail = jail_state{jid, vnet};
            return 0;
        }
    }
    return fail(EINVAL);
}

} // extern "C"
