/*
 * Packing a name/value list into FreeBSD's flat byte format, in the host's
 * byte order. A nested list is not a blob inside its pair: its header and
 * pairs follow the pair directly and a marker pair closes it; every list
 * header records the bytes that follow it to the end of the whole buffer.
 * Two passes over the list without recursion: one measures every list,
 * one writes.
 */
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/nv.h>

#include "nv_impl.h"

/* The flag that tells readers which byte order the 8-byte fields use. */
static constexpr int host_order_flag =
    __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? NV_FLAG_BIG_ENDIAN : 0;

/* The bytes of P's value in the packed form (nested lists not counted). */
static size_t value_size(const nvpair *p)
{
    switch (p->type) {
    case NV_TYPE_BOOL:
        return 1;
    case NV_TYPE_NUMBER:
    case NV_TYPE_DESCRIPTOR:
        return 8;
    case NV_TYPE_STRING:
    case NV_TYPE_BINARY:
    case NV_TYPE_BOOL_ARRAY:
    case NV_TYPE_NUMBER_ARRAY:
    case NV_TYPE_STRING_ARRAY:
        return p->datasize;
    case NV_TYPE_DESCRIPTOR_ARRAY:
        return 8 * p->nitems;
    default:
        return 0;
    }
}

/* Measures ROOT in one pass: stores in every nested list its packed size
 * (mark), and what its pair's data size leaves out (rest), and returns the
 * size of the whole.
 *
 * The data size of an NVLIST pair is what libnv's nvlist_size gives for
 * the child: the child's packed size, plus everything that follows it to
 * the end of the document except the markers that close the lists holding
 * it and the headers and markers of the array elements after those (for
 * a child with pairs; an empty child counts its header alone). A
 * packed list has that number in it, so a faithful packer reproduces it.
 * It equals mark + total - rest, computed without a second walk per list. */
static size_t measure(const nvlist *root)
{
    const size_t element_frame = NV_HEADER_SIZE + NV_MARKER_SIZE;
    size_t total = 0;
    nv_walker w;
    nv_walker_init(&w, root);
    for (;;) {
        nv_step_kind step = nv_walker_step(&w);
        const nvlist *l = w.list; /* the list entered or ended */
        switch (step) {
        case NV_STEP_LIST:
            l->mark = total;
            if (l == root) {
                l->disc = 0;
            } else if (!l->in_array) {
                l->disc = nv_holder(l)->disc + NV_MARKER_SIZE;
            } else if (l == static_cast<nvlist *const *>(l->parent->data)[0]) {
                l->disc =
                    nv_holder(l)->disc + NV_MARKER_SIZE + element_frame * (l->parent->nitems - 1);
            } // a later element got its share when the one before it ended
            total += NV_HEADER_SIZE;
            break;
        case NV_STEP_PAIR:
            total += NV_HEADER_SIZE + w.pair->namesize + value_size(w.pair);
            break;
        case NV_STEP_END:
            l->mark = total - l->mark;
            l->rest = total + NV_MARKER_SIZE + nv_holder(l)->disc;
            if (l->array_next != nullptr)
                l->array_next->disc = l->disc - element_frame;
            total += NV_MARKER_SIZE;
            break;
        case NV_STEP_DONE:
            return total;
        }
    }
}

/* The data size of the NVLIST pair holding CHILD in a document of TOTAL
 * bytes measured by measure(). */
static size_t child_size(const nvlist *child, size_t total)
{
    // libnv measures nothing past an empty child: its header alone.
    if (child->head == nullptr)
        return child->mark;
    return child->mark + total - child->rest;
}

size_t nvlist_size(const nvlist_t *nvl)
{
    const nvlist *root = nvl;
    while (nv_holder(root) != nullptr)
        root = nv_holder(root);
    size_t total = measure(root);
    return nvl == root ? total : child_size(nvl, total);
}

/* The packing cursor: the buffer, its size and the write position. */
struct packer {
    unsigned char *buf;
    size_t size;
    size_t at;
};

static void put(packer *pk, const void *bytes, size_t n)
{
    if (n != 0)
        memcpy(pk->buf + pk->at, bytes, n);
    pk->at += n;
}

static void put_u8(packer *pk, uint8_t v)
{
    put(pk, &v, 1);
}

static void put_u16(packer *pk, uint16_t v)
{
    put(pk, &v, 2);
}

static void put_u64(packer *pk, uint64_t v)
{
    put(pk, &v, 8);
}

static void put_list_header(packer *pk, const nvlist *nvl)
{
    put_u8(pk, NV_HEADER_MAGIC);
    put_u8(pk, 0);
    put_u8(pk, static_cast<uint8_t>(nvl->flags | host_order_flag));
    put_u64(pk, 0);
    put_u64(pk, pk->size - pk->at - 8);
}

static void put_pair_header(packer *pk, int type, const char *name, size_t namesize,
                            uint64_t datasize, uint64_t nitems)
{
    put_u8(pk, static_cast<uint8_t>(type));
    put_u16(pk, static_cast<uint16_t>(namesize));
    put_u64(pk, datasize);
    put_u64(pk, nitems);
    put(pk, name, namesize);
}

static void put_pair(packer *pk, const nvpair *p)
{
    uint64_t datasize = value_size(p);
    if (p->type == NV_TYPE_NVLIST)
        datasize = child_size(static_cast<const nvlist *>(p->data), pk->size);
    put_pair_header(pk, p->type, p->name, p->namesize, datasize, p->nitems);
    switch (p->type) {
    case NV_TYPE_BOOL:
        put_u8(pk, p->scalar.b ? 1 : 0);
        break;
    case NV_TYPE_NUMBER:
        put_u64(pk, p->scalar.number);
        break;
    case NV_TYPE_STRING_ARRAY:
        put(pk, static_cast<char *const *>(p->data)[0], p->datasize);
        break;
    case NV_TYPE_STRING:
    case NV_TYPE_BINARY:
    case NV_TYPE_BOOL_ARRAY:
    case NV_TYPE_NUMBER_ARRAY:
        put(pk, p->data, p->datasize);
        break;
    default:
        break;
    }
}

/* True when a pair of ROOT, at any depth, holds descriptors. */
static bool holds_descriptors(const nvlist *root)
{
    nv_walker w;
    nv_walker_init(&w, root);
    for (nv_step_kind step; (step = nv_walker_step(&w)) != NV_STEP_DONE;) {
        if (step == NV_STEP_PAIR &&
            (w.pair->type == NV_TYPE_DESCRIPTOR || w.pair->type == NV_TYPE_DESCRIPTOR_ARRAY))
            return true;
    }
    return false;
}

void *nvlist_pack(const nvlist_t *nvl, size_t *sizep)
{
    if (nvl == nullptr || nvl->error != 0) {
        errno = nvl == nullptr ? EINVAL : nvl->error;
        return nullptr;
    }
    // Descriptors travel only beside a message on a socket, which this
    // library does not do.
    if (holds_descriptors(nvl)) {
        errno = EOPNOTSUPP;
        return nullptr;
    }
    packer pk = {nullptr, measure(nvl), 0};
    pk.buf = static_cast<unsigned char *>(malloc(pk.size));
    if (pk.buf == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    nv_walker w;
    nv_walker_init(&w, nvl);
    for (nv_step_kind step; (step = nv_walker_step(&w)) != NV_STEP_DONE;) {
        if (step == NV_STEP_LIST)
            put_list_header(&pk, w.list);
        else if (step == NV_STEP_PAIR)
            put_pair(&pk, w.pair);
        else
            put_pair_header(&pk, w.list->in_array ? NV_TYPE_NVLIST_ARRAY_NEXT : NV_TYPE_NVLIST_UP,
                            "", 1, 0, 0);
    }
    if (sizep != nullptr)
        *sizep = pk.size;
    return pk.buf;
}
