/*
 * Adding pairs to a name/value list, and deep copies of lists. Every add
 * copies its value; a failed add puts the list into its error state, after
 * which adds do nothing and packing fails, so that a caller may add a
 * series of pairs and check nvlist_error once at the end.
 */
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/nv.h>

#include "nv_impl.h"

/* A new detached pair for an add to NVL, or NULL when NVL is already in
 * its error state or the name is unusable (the error is recorded). */
static nvpair *start_add(nvlist *nvl, int type, const char *name)
{
    if (nvl == nullptr)
        return nullptr;
    if (nvl->error != 0) {
        errno = nvl->error;
        return nullptr;
    }
    nvpair *p = name == nullptr ? nullptr : nv_pair_new(type, name, strlen(name));
    if (p == nullptr) {
        nvl->error = name == nullptr ? EINVAL : errno;
        errno = nvl->error;
    }
    return p;
}

/* Records errno ERROR on NVL and frees the pair that could not be added. */
static void fail_add(nvlist *nvl, nvpair *p, int error)
{
    nv_pair_free(p);
    nvl->error = error;
    errno = error;
}

/* Appends P to NVL or records why it cannot be. */
static void finish_add(nvlist *nvl, nvpair *p)
{
    if (!nv_list_append(nvl, p))
        fail_add(nvl, p, errno);
}

/* Gives P a malloc'ed copy of SIZE bytes at VALUE; false on ENOMEM. */
static bool copy_data(nvpair *p, const void *value, size_t size)
{
    p->data = malloc(size);
    if (p->data == nullptr)
        return false;
    memcpy(p->data, value, size);
    return true;
}

/* Gives the detached pair P, a copy of a pair holding N lists like
 * SOURCES, N new empty lists with the same flags; false on ENOMEM. */
static bool new_lists(nvpair *p, nvlist *const *sources, size_t n)
{
    if (p->type == NV_TYPE_NVLIST) {
        auto *child = nv_list_new(sources[0]->flags);
        if (child == nullptr)
            return false;
        p->data = child;
        child->parent = p;
        return true;
    }
    auto **lists = static_cast<nvlist **>(calloc(n, sizeof(nvlist *)));
    if (lists == nullptr)
        return false;
    for (size_t i = 0; i < n; i++) {
        lists[i] = nv_list_new(sources[i]->flags);
        if (lists[i] == nullptr) {
            for (size_t j = 0; j < i; j++)
                free(lists[j]);
            free(lists);
            return false;
        }
    }
    nv_link_array(p, lists, n);
    return true;
}

/* A detached copy of the pair SP. A pair holding lists gets empty lists,
 * which the caller fills; *ENTER is set to the first of them. NULL with
 * errno on failure. */
static nvpair *copy_pair(const nvpair *sp, nvlist **enter)
{
    nvpair *p = nv_pair_new(sp->type, sp->name, sp->namesize - 1);
    if (p == nullptr)
        return nullptr;
    p->scalar = sp->scalar;
    p->datasize = sp->datasize;
    p->nitems = sp->nitems;
    bool ok = true;
    switch (sp->type) {
    case NV_TYPE_NVLIST: {
        auto *child = static_cast<nvlist *>(sp->data);
        ok = new_lists(p, &child, 1);
        *enter = ok ? static_cast<nvlist *>(p->data) : nullptr;
        break;
    }
    case NV_TYPE_NVLIST_ARRAY:
        ok = new_lists(p, static_cast<nvlist *const *>(sp->data), sp->nitems);
        *enter = ok ? static_cast<nvlist **>(p->data)[0] : nullptr;
        break;
    case NV_TYPE_STRING_ARRAY: {
        // One block: the pointers, then the characters they point into;
        // the copy's pointers are rebased onto its own characters.
        size_t table = sp->nitems * sizeof(char *);
        ok = copy_data(p, sp->data, table + sp->datasize);
        if (ok) {
            auto **strings = static_cast<char **>(p->data);
            const auto *from = static_cast<char *const *>(sp->data);
            for (size_t i = 0; i < sp->nitems; i++)
                strings[i] = static_cast<char *>(p->data) + table + (from[i] - from[0]);
        }
        break;
    }
    default:
        if (sp->data != nullptr)
            ok = copy_data(p, sp->data, sp->datasize);
        break;
    }
    if (!ok) {
        nv_pair_free(p);
        errno = ENOMEM;
        return nullptr;
    }
    return p;
}

/* Copies LIST and everything it holds, without recursion: the walker
 * visits the source in packed order and the copy follows it step by step.
 * Returns the copy (a top list) or NULL with errno. */
nvlist_t *nvlist_clone(const nvlist_t *src)
{
    if (src == nullptr || src->error != 0) {
        errno = src == nullptr ? EINVAL : src->error;
        return nullptr;
    }
    nvlist *root = nv_list_new(src->flags);
    nvlist *dst = root; /* the copy of the walker's current list */
    nv_walker w;
    nv_walker_init(&w, src);
    for (nv_step_kind step; root != nullptr && (step = nv_walker_step(&w)) != NV_STEP_DONE;) {
        // Nested lists and array elements are created with the pair that
        // holds them, so entering one needs nothing here.
        if (step == NV_STEP_LIST)
            continue;
        if (step == NV_STEP_END) {
            dst = dst->array_next != nullptr ? dst->array_next : nv_holder(dst);
            continue;
        }
        nvlist *enter = nullptr;
        nvpair *p = copy_pair(w.pair, &enter);
        if (p == nullptr || !nv_list_append(dst, p)) {
            int error = errno;
            nv_pair_free(p);
            nvlist_destroy(root);
            errno = error;
            return nullptr;
        }
        if (enter != nullptr)
            dst = enter;
    }
    return root;
}

void nvlist_add_null(nvlist_t *nvl, const char *name)
{
    nvpair *p = start_add(nvl, NV_TYPE_NULL, name);
    if (p != nullptr)
        finish_add(nvl, p);
}

void nvlist_add_bool(nvlist_t *nvl, const char *name, bool value)
{
    nvpair *p = start_add(nvl, NV_TYPE_BOOL, name);
    if (p == nullptr)
        return;
    p->scalar.b = value;
    finish_add(nvl, p);
}

void nvlist_add_number(nvlist_t *nvl, const char *name, uint64_t value)
{
    nvpair *p = start_add(nvl, NV_TYPE_NUMBER, name);
    if (p == nullptr)
        return;
    p->scalar.number = value;
    finish_add(nvl, p);
}

void nvlist_add_descriptor(nvlist_t *nvl, const char *name, int value)
{
    nvpair *p = start_add(nvl, NV_TYPE_DESCRIPTOR, name);
    if (p == nullptr)
        return;
    if (value < 0) {
        fail_add(nvl, p, EBADF);
        return;
    }
    p->scalar.descriptor = value;
    finish_add(nvl, p);
}

/* Adds a pair of TYPE whose value is SIZE bytes at VALUE (NITEMS elements
 * for an array); refuses an empty or missing value like libnv. */
static void add_bytes(nvlist *nvl, int type, const char *name, const void *value, size_t size,
                      size_t nitems)
{
    nvpair *p = start_add(nvl, type, name);
    if (p == nullptr)
        return;
    if (value == nullptr || size == 0) {
        fail_add(nvl, p, EINVAL);
        return;
    }
    if (!copy_data(p, value, size)) {
        fail_add(nvl, p, ENOMEM);
        return;
    }
    p->datasize = size;
    p->nitems = nitems;
    finish_add(nvl, p);
}

void nvlist_add_string(nvlist_t *nvl, const char *name, const char *value)
{
    add_bytes(nvl, NV_TYPE_STRING, name, value, value == nullptr ? 0 : strlen(value) + 1, 0);
}

void nvlist_add_binary(nvlist_t *nvl, const char *name, const void *value, size_t size)
{
    add_bytes(nvl, NV_TYPE_BINARY, name, value, size, 0);
}

void nvlist_add_bool_array(nvlist_t *nvl, const char *name, const bool *value, size_t nitems)
{
    add_bytes(nvl, NV_TYPE_BOOL_ARRAY, name, value, nitems * sizeof(bool), nitems);
}

void nvlist_add_number_array(nvlist_t *nvl, const char *name, const uint64_t *value, size_t nitems)
{
    if (nitems > SIZE_MAX / sizeof(uint64_t))
        nitems = 0; // refused below as an empty value
    add_bytes(nvl, NV_TYPE_NUMBER_ARRAY, name, value, nitems * sizeof(uint64_t), nitems);
}

void nvlist_add_descriptor_array(nvlist_t *nvl, const char *name, const int *value, size_t nitems)
{
    for (size_t i = 0; value != nullptr && i < nitems; i++) {
        if (value[i] < 0) {
            nvlist_set_error(nvl, EBADF);
            errno = EBADF;
            return;
        }
    }
    if (nitems > SIZE_MAX / sizeof(int))
        nitems = 0;
    add_bytes(nvl, NV_TYPE_DESCRIPTOR_ARRAY, name, value, nitems * sizeof(int), nitems);
}

void nvlist_add_string_array(nvlist_t *nvl, const char *name, const char *const *value,
                             size_t nitems)
{
    nvpair *p = start_add(nvl, NV_TYPE_STRING_ARRAY, name);
    if (p == nullptr)
        return;
    size_t chars = 0;
    bool valid = value != nullptr && nitems > 0 && nitems <= SIZE_MAX / sizeof(char *);
    for (size_t i = 0; valid && i < nitems; i++) {
        valid = value[i] != nullptr;
        if (valid)
            chars += strlen(value[i]) + 1;
    }
    if (!valid) {
        fail_add(nvl, p, EINVAL);
        return;
    }
    // One block: the pointers, then the characters they point into.
    size_t table = nitems * sizeof(char *);
    p->data = malloc(table + chars);
    if (p->data == nullptr) {
        fail_add(nvl, p, ENOMEM);
        return;
    }
    auto **strings = static_cast<char **>(p->data);
    char *at = static_cast<char *>(p->data) + table;
    for (size_t i = 0; i < nitems; i++) {
        size_t len = strlen(value[i]) + 1;
        memcpy(at, value[i], len);
        strings[i] = at;
        at += len;
    }
    p->datasize = chars;
    p->nitems = nitems;
    finish_add(nvl, p);
}

void nvlist_add_nvlist(nvlist_t *nvl, const char *name, const nvlist_t *value)
{
    nvpair *p = start_add(nvl, NV_TYPE_NVLIST, name);
    if (p == nullptr)
        return;
    nvlist *copy = value == nullptr ? nullptr : nvlist_clone(value);
    if (copy == nullptr) {
        fail_add(nvl, p, value == nullptr ? EINVAL : errno);
        return;
    }
    p->data = copy;
    copy->parent = p;
    finish_add(nvl, p);
}

void nvlist_add_nvlist_array(nvlist_t *nvl, const char *name, const nvlist_t *const *value,
                             size_t nitems)
{
    nvpair *p = start_add(nvl, NV_TYPE_NVLIST_ARRAY, name);
    if (p == nullptr)
        return;
    if (value == nullptr || nitems == 0) {
        fail_add(nvl, p, EINVAL);
        return;
    }
    auto **lists = static_cast<nvlist **>(calloc(nitems, sizeof(nvlist *)));
    int error = lists == nullptr ? ENOMEM : 0;
    for (size_t i = 0; error == 0 && i < nitems; i++) {
        lists[i] = value[i] == nullptr ? nullptr : nvlist_clone(value[i]);
        if (lists[i] == nullptr)
            error = value[i] == nullptr ? EINVAL : errno;
    }
    if (error != 0) {
        for (size_t i = 0; lists != nullptr && i < nitems; i++)
            nvlist_destroy(lists[i]);
        free(lists);
        fail_add(nvl, p, error);
        return;
    }
    nv_link_array(p, lists, nitems);
    finish_add(nvl, p);
}
