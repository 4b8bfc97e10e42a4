/*
 * liboidkit: the MIB as a tree of objects, learnt through sysctl(3) alone.
 * Names become OIDs through the kernel's name2oid; the metadata of whole
 * subtrees comes from the bulk entries of the module oidlens
 * (<sys/oidlens.h>), a few hundred objects per call, so that listing a MIB
 * of 100,000 objects costs a few hundred sysctl calls. A kernel without
 * the module is still served, one object at a time, through the kernel's
 * own nextnoskip, oidfmt, name, oiddescr and oidlabel.
 *
 * Every tree is one block. A subtree's is a heap block: the root object
 * first, then the objects, their child lists and a copy of the entries
 * that their strings and OIDs point into; freeing it is one free(). The
 * whole MIB's is one block in huge pages (hugemem.h): the list head, the
 * entries as the kernel wrote them, then the objects and lists.
 */
#include <oidkit.h>
#include <sys/oidlens.h>
#include <sys/sysctl.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <vector>

#include "hugemem.h"

namespace
{

/* Request buffers: a lookup by name usually wants one entry, a walk of
 * the whole MIB many; buffers that come back well filled double. */
constexpr size_t lookup_size = 4096, walk_size = 64 * 1024, max_size = 1024 * 1024;

/* A buffer the kernel fills: not zeroed first, since only what the kernel
 * wrote is read. */
struct buffer {
    unsigned char *data = nullptr;
    size_t size = 0;
    ~buffer() { std::free(data); }
    bool resize(size_t n)
    {
        void *p = std::realloc(data, n);
        if (!p)
            return false;
        data = static_cast<unsigned char *>(p);
        size = n;
        return true;
    }
};

/* The raw entries of a tree as they arrive, in one block with BASE bytes
 * kept free at its start. A lookup's few entries live in a malloc()ed
 * block. A whole MIB's live in huge pages where the system allows it
 * (hugemem.h), since a page fault per 4 KiB, or copying the entries at
 * every growth, would cost more than receiving them: a small MIB's in a
 * block of the platform's shared chunks, a large one's in a mapping of its
 * own, which grows without being copied (mremap). */
class raw_bytes
{
  public:
    raw_bytes(size_t base, bool whole_mib) : base_(base), whole_mib_(whole_mib) {}
    raw_bytes(const raw_bytes &) = delete;
    raw_bytes &operator=(const raw_bytes &) = delete;
    ~raw_bytes()
    {
        if (block_)
            free_block(block_, cap_, whole_mib_);
    }

    unsigned char *data() { return block_ ? block_ + base_ : nullptr; }
    const unsigned char *data() const { return block_ ? block_ + base_ : nullptr; }
    size_t size() const { return size_; }
    void clear() { size_ = 0; }

    /* Room for N more bytes after the end; returns where they go. */
    unsigned char *room(size_t n)
    {
        if (base_ + size_ + n > cap_)
            grow(base_ + size_ + n);
        return block_ + base_ + size_;
    }
    /* Counts N bytes written at room() as part of the data. */
    void commit(size_t n) { size_ += n; }
    /* Grows or shrinks the data to N bytes, new ones zeroed. */
    void resize(size_t n)
    {
        if (n > size_)
            std::memset(room(n - size_), 0, n - size_);
        size_ = n;
    }
    /* The block and its length, which the caller frees from now on. */
    unsigned char *release(size_t *length)
    {
        unsigned char *b = block_;
        *length = cap_;
        block_ = nullptr;
        size_ = cap_ = 0;
        return b;
    }
    static void free_block(void *block, size_t length, bool whole_mib)
    {
        if (whole_mib)
            huge_free(block, length);
        else
            std::free(block);
    }

  private:
    /* A whole MIB's first block: a /proc/sys tree's or the embedded
     * default's fits, and shares its huge page with the kernel's arenas. */
    static constexpr size_t first_mib_block = size_t(512) << 10;

    void grow(size_t need)
    {
        size_t want = cap_ ? 2 * cap_ : whole_mib_ ? first_mib_block : 4096;
        while (want < need)
            want *= 2;
        void *p;
        if (!whole_mib_) {
            p = std::realloc(block_, want);
            if (!p)
                throw std::bad_alloc();
        } else if (want < huge_mapped_from) {
            p = huge_allocate(want);
            move_to(p);
        } else {
            want = (want + huge_page - 1) / huge_page * huge_page;
            p = cap_ >= huge_mapped_from ? mremap(block_, cap_, want, MREMAP_MAYMOVE) : MAP_FAILED;
            if (p != MAP_FAILED) {
                huge_advise(p, want);
            } else {
                // A block from the shared chunks, or a system that cannot
                // move a mapping (valgrind's, for one): a new mapping and
                // a copy.
                p = huge_map(want);
                move_to(p);
            }
        }
        block_ = static_cast<unsigned char *>(p);
        cap_ = want;
    }
    /* Copies the data into the block P of a whole MIB and frees the old. */
    void move_to(void *p)
    {
        if (!block_)
            return;
        std::memcpy(p, block_, base_ + size_);
        huge_free(block_, cap_);
    }

    unsigned char *block_ = nullptr;
    size_t base_, size_ = 0, cap_ = 0;
    bool whole_mib_;
};

/* Collects the raw entries of the objects that share the first DEPTH
 * components of OID, from OID on, into RAW. Returns 0 or an errno;
 * ENOENT when there is none. */
int fetch(const int *oid, size_t len, unsigned depth, raw_bytes &raw, size_t *count,
          size_t first_size)
{
    if (len + 3 > CTL_MAXNAME)
        return ENOENT;
    int name[CTL_MAXNAME] = {0, CTL_SYSCTL_OIDENTRIES, int(depth)};
    if (len != 0)
        std::memcpy(name + 3, oid, len * sizeof(int));
    unsigned namelen = unsigned(len + 3);
    // The kernel writes after the entries already received; only what it
    // wrote is read.
    size_t size = first_size;
    *count = 0;
    for (;;) {
        unsigned char *data = raw.room(size);
        size_t got = size;
        if (sysctl(name, namelen, data, &got, nullptr, 0) != 0) {
            if (errno == ENOENT)
                return *count ? 0 : ENOENT;
            if (errno == ENOMEM && got > size) {
                // The kernel said what the next entry needs.
                size = got;
                continue;
            }
            return errno == ENOMEM ? EIO : errno;
        }
        // Check every entry before trusting its lengths.
        size_t at = 0;
        const oidlens_entry *last = nullptr;
        while (at + sizeof(oidlens_entry) <= got) {
            oidlens_entry e;
            std::memcpy(&e, data + at, sizeof e);
            size_t need = sizeof e + size_t(e.oid_len) * sizeof(int) + size_t(e.name_len) +
                          e.format_len + e.descr_len + e.label_len;
            if (e.size < need || e.size % 4 || e.size > got - at || e.oid_len == 0 ||
                e.oid_len > CTL_MAXNAME || e.name_len == 0 || e.format_len == 0)
                return EIO;
            const char *s =
                reinterpret_cast<const char *>(data + at + sizeof e) + e.oid_len * sizeof(int);
            if (s[e.name_len - 1] || s[e.name_len + e.format_len - 1] ||
                (e.descr_len && s[e.name_len + e.format_len + e.descr_len - 1]) ||
                (e.label_len && s[e.name_len + e.format_len + e.descr_len + e.label_len - 1]))
                return EIO;
            last = reinterpret_cast<const oidlens_entry *>(data + at);
            at += e.size;
            ++*count;
        }
        if (!last)
            return EIO;
        raw.commit(at);
        // Go on after the last object received.
        uint32_t last_len;
        std::memcpy(&last_len, &last->oid_len, sizeof last_len);
        if (last_len + 3 > CTL_MAXNAME)
            return 0;
        name[2] = int(depth | OIDLENS_AFTER);
        std::memcpy(name + 3, reinterpret_cast<const unsigned char *>(last) + sizeof *last,
                    last_len * sizeof(int));
        namelen = last_len + 3;
        if (at > size / 2 && size < max_size)
            size *= 2;
    }
}

/* Asks meta-OID WHICH about OID into OUT; grows OUT when the kernel says
 * the answer is longer. Returns 0 or an errno. */
int ask(int which, const int *oid, size_t len, std::vector<unsigned char> &out)
{
    int name[CTL_MAXNAME] = {0, which};
    if (len + 2 > CTL_MAXNAME)
        return ENOENT;
    if (len != 0)
        std::memcpy(name + 2, oid, len * sizeof(int));
    if (out.size() < 256)
        out.resize(256);
    for (;;) {
        size_t got = out.size();
        if (sysctl(name, unsigned(len + 2), out.data(), &got, nullptr, 0) == 0) {
            out.resize(got);
            return 0;
        }
        if (errno != ENOMEM || out.size() >= (size_t(1) << 20))
            return errno == ENOMEM ? EIO : errno;
        out.resize(2 * out.size());
    }
}

/* Appends the entry of object OID, learnt from the kernel's own meta-OIDs
 * (oidfmt, name, oiddescr, oidlabel), in the layout of oidlens' entries. */
int append_entry(const int *oid, size_t len, raw_bytes &raw)
{
    std::vector<unsigned char> fmt, name, descr, label;
    int e = ask(4, oid, len, fmt);
    if (!e)
        e = ask(1, oid, len, name);
    if (e)
        return e;
    if (fmt.size() < 5 || fmt.back() != 0 || name.empty() || name.back() != 0)
        return EIO;
    bool has_descr = ask(5, oid, len, descr) == 0 && !descr.empty() && descr.back() == 0;
    bool has_label = ask(6, oid, len, label) == 0 && !label.empty() && label.back() == 0;
    oidlens_entry h{};
    std::memcpy(&h.kind, fmt.data(), sizeof h.kind);
    h.oid_len = uint32_t(len);
    h.name_len = uint32_t(name.size());
    h.format_len = uint32_t(fmt.size() - 4);
    h.descr_len = has_descr ? uint32_t(descr.size()) : 0;
    h.label_len = has_label ? uint32_t(label.size()) : 0;
    size_t at = raw.size(), body = sizeof h + len * sizeof(int) + h.name_len + h.format_len +
                                   h.descr_len + h.label_len;
    h.size = uint32_t((body + 3) & ~size_t(3));
    raw.resize(at + h.size);
    unsigned char *p = raw.data() + at;
    std::memcpy(p, &h, sizeof h);
    p += sizeof h;
    std::memcpy(p, oid, len * sizeof(int));
    p += len * sizeof(int);
    std::memcpy(p, name.data(), h.name_len);
    std::memcpy(p += h.name_len, fmt.data() + 4, h.format_len);
    p += h.format_len;
    if (has_descr)
        std::memcpy(p, descr.data(), h.descr_len);
    if (has_label)
        std::memcpy(p + h.descr_len, label.data(), h.label_len);
    return 0;
}

/* What fetch does, for a kernel without oidlens: the object at OID (when
 * LEN is not 0), then every object after it in nextnoskip order while it
 * shares the first DEPTH components. Several calls per object. */
int fetch_each(const int *oid, size_t len, unsigned depth, raw_bytes &raw, size_t *count)
{
    *count = 0;
    std::vector<int> cur;
    if (len != 0)
        cur.assign(oid, oid + len);
    if (len != 0) {
        if (int e = append_entry(cur.data(), cur.size(), raw))
            return e;
        ++*count;
    }
    std::vector<unsigned char> next;
    for (;;) {
        int e = ask(7, cur.data(), cur.size(), next);
        if (e == ENOENT)
            return *count ? 0 : ENOENT;
        if (e)
            return e;
        size_t n = next.size() / sizeof(int);
        if (n == 0 || n < depth ||
            (depth != 0 && std::memcmp(next.data(), oid, depth * sizeof(int)) != 0))
            return *count ? 0 : ENOENT;
        cur.assign(n, 0);
        std::memcpy(cur.data(), next.data(), n * sizeof(int));
        if ((e = append_entry(cur.data(), n, raw)) != 0)
            return e;
        ++*count;
    }
}

/* Collects the entries of a subtree through oidlens, or one object at a
 * time through the kernel's own meta-OIDs when the module is not there. */
int collect(const int *oid, size_t len, unsigned depth, raw_bytes &raw, size_t *count,
            size_t first_size)
{
    int e = fetch(oid, len, depth, raw, count, first_size);
    if (e != ENOENT)
        return e;
    int probe[] = {0, CTL_SYSCTL_OIDENTRIES, 0};
    size_t size = 0;
    // The module answers an empty scope over the whole MIB; without it,
    // the meta-OID is unknown.
    if (sysctl(probe, 3, nullptr, &size, nullptr, 0) == 0 || errno != ENOENT)
        return ENOENT;
    raw.clear();
    return fetch_each(oid, len, depth, raw, count);
}

size_t round8(size_t n)
{
    return (n + 7) & ~size_t(7);
}

/* Links the COUNT entries at COPY into OBJECTS and their child lists,
 * taken from LISTS. Top-level objects go into *TOP. */
void link(unsigned char *copy, size_t count, oidkit_object *objects, oidkit_list *lists,
          oidkit_list *top)
{
    size_t nlists = 0;
    *top = oidkit_list{nullptr, nullptr};

    // Entries come in OID order, so a parent always precedes its children:
    // the stack holds the chain of ancestors of the object at hand.
    std::vector<oidkit_object *> stack;
    size_t at = 0;
    for (size_t i = 0; i < count; i++) {
        oidlens_entry e;
        std::memcpy(&e, copy + at, sizeof e);
        oidkit_object *o = &objects[i];
        o->next = nullptr;
        o->oid = reinterpret_cast<int *>(copy + at + sizeof e);
        o->oid_len = e.oid_len;
        char *s = reinterpret_cast<char *>(o->oid + e.oid_len);
        o->name = s;
        o->format = s + e.name_len;
        o->description = e.descr_len ? s + e.name_len + e.format_len : nullptr;
        o->label = e.label_len ? s + e.name_len + e.format_len + e.descr_len : nullptr;
        o->type = uint8_t(e.kind & CTLTYPE);
        o->flags = e.kind & ~uint32_t(CTLTYPE);
        o->children = nullptr;
        at += e.size;

        while (!stack.empty()) {
            oidkit_object *p = stack.back();
            if (p->oid_len < o->oid_len &&
                std::memcmp(p->oid, o->oid, p->oid_len * sizeof(int)) == 0)
                break;
            stack.pop_back();
        }
        oidkit_list *list = top;
        if (!stack.empty()) {
            oidkit_object *p = stack.back();
            if (!p->children) {
                p->children = &lists[nlists++];
                *p->children = oidkit_list{nullptr, nullptr};
            }
            list = p->children;
        }
        if (list->last)
            list->last->next = o;
        else
            list->first = o;
        list->last = o;
        stack.push_back(o);
    }
}

/* Builds the tree of COUNT raw entries in one block, with HEAD bytes free
 * at its start. Returns the block, or null (ENOMEM). Top-level objects go
 * into *TOP. */
void *build(const raw_bytes &raw, size_t count, size_t head, oidkit_list *top)
{
    size_t objects_at = round8(head);
    size_t lists_at = objects_at + round8(count * sizeof(oidkit_object));
    size_t raw_at = lists_at + round8(count * sizeof(oidkit_list));
    char *block = static_cast<char *>(std::malloc(raw_at + raw.size() + 1));
    if (!block) {
        errno = ENOMEM;
        return nullptr;
    }
    auto *objects = reinterpret_cast<oidkit_object *>(block + objects_at);
    auto *lists = reinterpret_cast<oidkit_list *>(block + lists_at);
    unsigned char *copy = reinterpret_cast<unsigned char *>(block + raw_at);
    if (raw.size())
        std::memcpy(copy, raw.data(), raw.size());
    link(copy, count, objects, lists, top);
    return block;
}

/* The whole MIB is one mapping: its length, then the list head, then the
 * entries, the objects and the lists. */
constexpr size_t mib_length_at = 16, mib_base = mib_length_at + 16;
static_assert(sizeof(oidkit_list) <= 16, "the list head fits its slot");

/* Builds the tree of COUNT entries in RAW's own block (of a whole MIB),
 * with the objects and lists after the entries: the entries are not
 * copied again. Returns the list head; RAW gives the block up. */
oidkit_list *build_mib(raw_bytes &raw, size_t count)
{
    size_t pad = round8(raw.size()) - raw.size();
    size_t lists_at = pad + round8(count * sizeof(oidkit_object));
    unsigned char *tail = raw.room(lists_at + count * sizeof(oidkit_list) + 1);
    auto *objects = reinterpret_cast<oidkit_object *>(tail + pad);
    auto *lists = reinterpret_cast<oidkit_list *>(tail + lists_at);
    oidkit_list top;
    link(raw.data(), count, objects, lists, &top);
    size_t length;
    unsigned char *block = raw.release(&length);
    std::memcpy(block, &length, sizeof length);
    auto *head = reinterpret_cast<oidkit_list *>(block + mib_length_at);
    *head = top;
    return head;
}

} // namespace

extern "C" {

oidkit_list *oidkit_mib(void)
{
    try {
        raw_bytes raw(mib_base, true);
        size_t count;
        int e = collect(nullptr, 0, 0, raw, &count, walk_size);
        if (e && e != ENOENT) {
            errno = e;
            return nullptr;
        }
        return build_mib(raw, e ? 0 : count);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return nullptr;
    }
}

void oidkit_freemib(oidkit_list *list)
{
    if (!list)
        return;
    unsigned char *block = reinterpret_cast<unsigned char *>(list) - mib_length_at;
    size_t length;
    std::memcpy(&length, block, sizeof length);
    raw_bytes::free_block(block, length, true);
}

oidkit_object *oidkit_treebyname(const char *name)
{
    try {
        int oid[CTL_MAXNAME];
        size_t len = sizeof oid;
        int query[2] = {0, CTL_SYSCTL_NAME2OID};
        if (sysctl(query, 2, oid, &len, name, std::strlen(name)) != 0) {
            if (errno == ENOMEM)
                errno = ENOENT; // the kernel's, not exhausted memory
            return nullptr;
        }
        len /= sizeof(int);
        raw_bytes raw(0, false);
        size_t count;
        int e = collect(oid, len, unsigned(len), raw, &count, lookup_size);
        oidlens_entry first{};
        if (!e)
            std::memcpy(&first, raw.data(), sizeof first);
        // A dormant object is not served: its subtree starts elsewhere.
        if (!e && (first.oid_len != len ||
                   std::memcmp(raw.data() + sizeof first, oid, len * sizeof(int)) != 0))
            e = ENOENT;
        if (e) {
            errno = e;
            return nullptr;
        }
        oidkit_list top;
        void *block = build(raw, count, 0, &top);
        return static_cast<oidkit_object *>(block);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return nullptr;
    }
}

void oidkit_freetree(oidkit_object *object)
{
    std::free(object);
}

int oidkit_hashandler(int *oid, size_t oid_len, bool *defined)
{
    int name[CTL_MAXNAME] = {0, CTL_SYSCTL_OIDHANDLER};
    if (oid_len + 2 > CTL_MAXNAME) {
        errno = EINVAL;
        return -1;
    }
    std::memcpy(name + 2, oid, oid_len * sizeof(int));
    int answer = 0;
    size_t len = sizeof answer;
    if (sysctl(name, unsigned(oid_len + 2), &answer, &len, nullptr, 0) != 0)
        return -1;
    *defined = answer != 0;
    return 0;
}

} // extern "C"
