/*
 * Unpacking FreeBSD's flat name/value list format. The bytes come from
 * outside (the kernel, an image file), so every header, name and value is
 * checked against the bytes that are left before it is read, and nothing
 * recurses: nested lists and array elements are entered and left by
 * following the links the lists keep, so neither a deep nesting nor any
 * other input can exhaust the stack or make a read leave the buffer.
 *
 * What is accepted matches FreeBSD's libnv: the version byte is not
 * checked, markers need not match what they close, and a buffer may end
 * while nested lists are still open (they stay as they are).
 */
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/nv.h>

#include "nv_impl.h"

/* nvlist_unpack receives no descriptors, so no descriptor index is valid. */
static constexpr uint64_t descriptors_supplied = 0;

/* The unpacking cursor. BIG_ENDIAN is the byte order of the pairs that
 * follow, set by the top header and by each array element's header. */
struct reader {
    const unsigned char *ptr;
    size_t left;
    bool big_endian;
};

static uint64_t get_u64(const unsigned char *p, bool big_endian)
{
    uint64_t v = 0;
    for (int i = 0; i < 8; i++)
        v |= static_cast<uint64_t>(p[big_endian ? 7 - i : i]) << (8 * i);
    return v;
}

static uint16_t get_u16(const unsigned char *p, bool big_endian)
{
    return big_endian ? static_cast<uint16_t>(p[0] << 8 | p[1])
                      : static_cast<uint16_t>(p[1] << 8 | p[0]);
}

/* Item counts are stored in the packer's host order and read unswapped,
 * as libnv does. */
static uint64_t get_host_u64(const unsigned char *p)
{
    uint64_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

static bool fail(int error)
{
    errno = error;
    return false;
}

/* Reads a list header into NVL. The byte order it names becomes the
 * order of the pairs when SETS_ORDER (the top and array elements; a nested
 * list's header only describes its own fields). */
static bool read_list_header(reader *r, nvlist *nvl, bool sets_order)
{
    if (r->left < NV_HEADER_SIZE)
        return fail(EINVAL);
    const unsigned char *h = r->ptr;
    if (h[0] != NV_HEADER_MAGIC)
        return fail(EINVAL);
    if ((h[2] & ~(NV_FLAG_PUBLIC_MASK | NV_FLAG_BIG_ENDIAN)) != 0)
        return fail(EINVAL);
    bool big_endian = (h[2] & NV_FLAG_BIG_ENDIAN) != 0;
    uint64_t descriptors = get_u64(h + 3, big_endian);
    uint64_t size = get_u64(h + 11, big_endian);
    if (size > SIZE_MAX - NV_HEADER_SIZE)
        return fail(EINVAL);
    // The size counts every byte after the header to the end of the
    // buffer, for nested headers too.
    if (size != r->left - NV_HEADER_SIZE)
        return fail(EINVAL);
    if (descriptors > descriptors_supplied)
        return fail(EINVAL);
    nvl->flags = h[2] & NV_FLAG_PUBLIC_MASK;
    if (sets_order)
        r->big_endian = big_endian;
    r->ptr += NV_HEADER_SIZE;
    r->left -= NV_HEADER_SIZE;
    return true;
}

/* A pair header and its name, checked; the value is not consumed. */
struct pair_header {
    int type;
    const char *name;
    size_t namesize;
    uint64_t datasize;
    uint64_t nitems;
};

static bool valid_type(int type)
{
    return (type >= NV_TYPE_NULL && type <= NV_TYPE_DESCRIPTOR_ARRAY) ||
           type == NV_TYPE_NVLIST_ARRAY_NEXT || type == NV_TYPE_NVLIST_UP;
}

static bool read_pair_header(reader *r, pair_header *ph)
{
    if (r->left < NV_HEADER_SIZE)
        return fail(EINVAL);
    const unsigned char *h = r->ptr;
    ph->type = h[0];
    if (!valid_type(ph->type))
        return fail(EINVAL);
    ph->namesize = get_u16(h + 1, r->big_endian);
    ph->datasize = get_u64(h + 3, r->big_endian);
    ph->nitems = get_host_u64(h + 11);
    r->ptr += NV_HEADER_SIZE;
    r->left -= NV_HEADER_SIZE;
    if (ph->namesize > NV_NAME_MAX || ph->namesize > r->left || ph->namesize == 0)
        return fail(EINVAL);
    ph->name = reinterpret_cast<const char *>(r->ptr);
    if (memchr(ph->name, '\0', ph->namesize) != ph->name + ph->namesize - 1)
        return fail(EINVAL);
    r->ptr += ph->namesize;
    r->left -= ph->namesize;
    if (ph->datasize > r->left)
        return fail(EINVAL);
    return true;
}

/* Copies N bytes at SRC into a new block of P; false on ENOMEM. */
static bool take(nvpair *p, const unsigned char *src, size_t n, size_t extra = 0)
{
    p->data = malloc(n + extra);
    if (p->data == nullptr)
        return fail(ENOMEM);
    memcpy(static_cast<unsigned char *>(p->data) + extra, src, n);
    return true;
}

/* The value of a string array: N strings, each ending inside the data,
 * filling it exactly. Kept as one block of pointers then characters. */
static bool read_string_array(nvpair *p, const unsigned char *v, size_t size, uint64_t n)
{
    if (size == 0 || n == 0)
        return fail(EINVAL);
    size_t at = 0;
    // Every string takes at least one byte, so the loop ends within SIZE.
    for (uint64_t i = 0; i < n; i++) {
        if (at == size)
            return fail(EINVAL);
        const void *nul = memchr(v + at, '\0', size - at);
        if (nul == nullptr)
            return fail(EINVAL);
        at = static_cast<size_t>(static_cast<const unsigned char *>(nul) - v) + 1;
    }
    if (at != size)
        return fail(EINVAL);
    size_t table = n * sizeof(char *);
    if (!take(p, v, size, table))
        return false;
    auto **strings = static_cast<char **>(p->data);
    char *chars = static_cast<char *>(p->data) + table;
    for (size_t i = 0, off = 0; i < n; i++) {
        strings[i] = chars + off;
        off += strlen(chars + off) + 1;
    }
    p->datasize = size;
    p->nitems = n;
    return true;
}

/* Reads the value of P (of PH's type) at R: plain values from the bytes
 * after the name; for a nested list or an array, the lists are created and
 * the first one's header read, and *ENTER set to the list to fill next. */
static bool read_value(reader *r, const pair_header *ph, nvpair *p, nvlist **enter)
{
    const unsigned char *v = r->ptr;
    uint64_t size = ph->datasize; /* at most r->left, checked with the header */
    switch (ph->type) {
    case NV_TYPE_NULL:
        if (size != 0)
            return fail(EINVAL);
        break;
    case NV_TYPE_BOOL:
        if (size != 1 || v[0] > 1)
            return fail(EINVAL);
        p->scalar.b = v[0] == 1;
        break;
    case NV_TYPE_NUMBER:
        if (size != 8)
            return fail(EINVAL);
        p->scalar.number = get_u64(v, r->big_endian);
        break;
    case NV_TYPE_STRING:
        if (size == 0 || memchr(v, '\0', size) != v + size - 1)
            return fail(EINVAL);
        if (!take(p, v, size))
            return false;
        p->datasize = size;
        break;
    case NV_TYPE_BINARY:
        if (size == 0)
            return fail(EINVAL);
        if (!take(p, v, size))
            return false;
        p->datasize = size;
        break;
    case NV_TYPE_BOOL_ARRAY:
        if (ph->nitems == 0 || size != ph->nitems)
            return fail(EINVAL);
        if (!take(p, v, size))
            return false;
        // Any non-zero byte is true; a bool object must hold 0 or 1.
        for (size_t i = 0; i < size; i++)
            static_cast<unsigned char *>(p->data)[i] = v[i] != 0;
        p->datasize = size;
        p->nitems = size;
        break;
    case NV_TYPE_NUMBER_ARRAY:
        if (ph->nitems == 0 || ph->nitems > SIZE_MAX / 8 || size != 8 * ph->nitems)
            return fail(EINVAL);
        if (!take(p, v, size))
            return false;
        for (size_t i = 0; i < ph->nitems; i++)
            static_cast<uint64_t *>(p->data)[i] = get_u64(v + 8 * i, r->big_endian);
        p->datasize = size;
        p->nitems = ph->nitems;
        break;
    case NV_TYPE_STRING_ARRAY:
        if (!read_string_array(p, v, size, ph->nitems))
            return false;
        break;
    case NV_TYPE_DESCRIPTOR:
        if (size != 8)
            return fail(EINVAL);
        if (get_u64(v, r->big_endian) >= descriptors_supplied)
            return fail(EINVAL);
        break;
    case NV_TYPE_DESCRIPTOR_ARRAY:
        if (ph->nitems == 0 || ph->nitems > SIZE_MAX / 8 || size != 8 * ph->nitems)
            return fail(EINVAL);
        for (size_t i = 0; i < ph->nitems; i++) {
            if (get_u64(v + 8 * i, r->big_endian) >= descriptors_supplied)
                return fail(EINVAL);
        }
        break;
    case NV_TYPE_NVLIST: {
        // The data size is the child's packed size; only its being
        // non-zero is required. The child's header follows the name.
        if (size == 0)
            return fail(EINVAL);
        nvlist *child = nv_list_new(0);
        if (child == nullptr)
            return false;
        p->data = child;
        child->parent = p;
        if (!read_list_header(r, child, false))
            return false;
        *enter = child;
        return true;
    }
    case NV_TYPE_NVLIST_ARRAY: {
        // Each element needs at least its header in the bytes left.
        if (ph->nitems == 0 || ph->nitems > r->left / NV_HEADER_SIZE)
            return fail(EINVAL);
        auto **lists = static_cast<nvlist **>(calloc(ph->nitems, sizeof(nvlist *)));
        if (lists == nullptr)
            return fail(ENOMEM);
        for (size_t i = 0; i < ph->nitems; i++) {
            lists[i] = nv_list_new(0);
            if (lists[i] == nullptr) {
                for (size_t j = 0; j < i; j++)
                    free(lists[j]);
                free(lists);
                return fail(ENOMEM);
            }
        }
        nv_link_array(p, lists, ph->nitems);
        if (!read_list_header(r, lists[0], true))
            return false;
        *enter = lists[0];
        return true;
    }
    }
    r->ptr += size;
    r->left -= size;
    return true;
}

/* Follows a marker pair from the list *CUR: NVLIST_UP goes to the holder,
 * NVLIST_ARRAY_NEXT to the next element (reading its header) or, after the
 * last one, to the holder. A marker at the top level is an error. */
static bool follow_marker(reader *r, int type, nvlist **cur)
{
    nvlist *list = *cur;
    if (type == NV_TYPE_NVLIST_ARRAY_NEXT && list->array_next != nullptr) {
        *cur = list->array_next;
        return read_list_header(r, *cur, true);
    }
    if (list->parent == nullptr)
        return fail(EINVAL);
    *cur = nv_holder(list);
    return true;
}

nvlist_t *nvlist_unpack(const void *buf, size_t size, int flags)
{
    if ((flags & ~NV_FLAG_PUBLIC_MASK) != 0 || (buf == nullptr && size != 0)) {
        errno = EINVAL;
        return nullptr;
    }
    nvlist *top = nv_list_new(0);
    if (top == nullptr)
        return nullptr;
    reader r = {static_cast<const unsigned char *>(buf), size, false};
    bool ok = read_list_header(&r, top, true);
    if (ok && top->flags != (flags & NV_FLAG_PUBLIC_MASK))
        ok = fail(EILSEQ);
    nvlist *cur = top;
    while (ok && r.left > 0) {
        pair_header ph;
        ok = read_pair_header(&r, &ph);
        if (!ok)
            break;
        if (ph.type == NV_TYPE_NVLIST_UP || ph.type == NV_TYPE_NVLIST_ARRAY_NEXT) {
            ok = follow_marker(&r, ph.type, &cur);
            continue;
        }
        nvpair *p = nv_pair_new(ph.type, ph.name, ph.namesize - 1);
        nvlist *enter = nullptr;
        ok = p != nullptr && read_value(&r, &ph, p, &enter) && nv_list_append(cur, p);
        if (!ok) {
            nv_pair_free(p);
            break;
        }
        if (enter != nullptr)
            cur = enter;
    }
    if (!ok) {
        nvlist_destroy(top);
        return nullptr;
    }
    return top;
}
