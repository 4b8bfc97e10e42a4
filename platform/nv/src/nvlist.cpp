/*
 * Name/value lists in memory: creating and freeing lists and pairs,
 * iterating with cookies, looking pairs up by name and reading values,
 * through the pair's name (nvlist_get_*) or through a cookie (cnvlist_*).
 * Adding pairs lives in nvlist_add.cpp, the packed form in nvlist_pack.cpp
 * and nvlist_unpack.cpp.
 */
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include <sys/cnv.h>
#include <sys/nv.h>

#include "nv_impl.h"

nvlist *nv_list_new(int flags)
{
    auto *nvl = static_cast<nvlist *>(calloc(1, sizeof(nvlist)));
    if (nvl == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    nvl->flags = flags & NV_FLAG_PUBLIC_MASK;
    return nvl;
}

nvpair *nv_pair_new(int type, const char *name, size_t namelen)
{
    if (name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (namelen >= NV_NAME_MAX) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    // The name lives in the same block as the record: one allocation per
    // pair, freed together.
    auto *p = static_cast<nvpair *>(calloc(1, sizeof(nvpair) + namelen + 1));
    if (p == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    char *copy = reinterpret_cast<char *>(p + 1);
    memcpy(copy, name, namelen);
    copy[namelen] = '\0';
    p->type = type;
    p->name = copy;
    p->namesize = namelen + 1;
    return p;
}

void nv_link_array(nvpair *p, nvlist **lists, size_t n)
{
    p->data = lists;
    p->nitems = n;
    for (size_t i = 0; i < n; i++) {
        lists[i]->parent = p;
        lists[i]->in_array = true;
        lists[i]->array_next = i + 1 < n ? lists[i + 1] : nullptr;
    }
}

/* The first list still held by P, or NULL when it holds none (any more). */
static nvlist *held_list(nvpair *p)
{
    if (p->type == NV_TYPE_NVLIST)
        return static_cast<nvlist *>(p->data);
    if (p->type == NV_TYPE_NVLIST_ARRAY && p->data != nullptr && p->freed < p->nitems)
        return static_cast<nvlist **>(p->data)[p->freed];
    return nullptr;
}

/* Frees NVL and all it holds. It descends into the first pair that still
 * holds a list and climbs back once that list is empty, so deep nesting
 * needs neither recursion nor memory. */
static void free_tree(nvlist *root)
{
    nvlist *cur = root;
    while (cur != nullptr) {
        nvpair *p = cur->head;
        if (p == nullptr) {
            nvpair *holder = cur == root ? nullptr : cur->parent;
            free(cur);
            if (holder == nullptr)
                return;
            if (holder->type == NV_TYPE_NVLIST)
                holder->data = nullptr;
            else
                holder->freed++;
            cur = holder->owner;
            continue;
        }
        nvlist *child = held_list(p);
        if (child != nullptr) {
            cur = child;
            continue;
        }
        cur->head = p->next;
        if (p->next != nullptr)
            p->next->prev = nullptr;
        else
            cur->tail = nullptr;
        p->owner = nullptr;
        p->next = nullptr;
        nv_pair_free(p);
    }
}

void nv_pair_free(nvpair *p)
{
    if (p == nullptr)
        return;
    // A detached pair's lists have the pair as their holder; free them as
    // tops of their own, after cutting the link so the climb stops there.
    if (p->type == NV_TYPE_NVLIST && p->data != nullptr) {
        auto *child = static_cast<nvlist *>(p->data);
        child->parent = nullptr;
        free_tree(child);
    } else if (p->type == NV_TYPE_NVLIST_ARRAY && p->data != nullptr) {
        auto **lists = static_cast<nvlist **>(p->data);
        for (size_t i = p->freed; i < p->nitems; i++) {
            lists[i]->parent = nullptr;
            free_tree(lists[i]);
        }
        free(lists);
    } else {
        free(p->data);
    }
    free(p);
}

/* True when A and B name the same pair in a list with FLAGS. */
static bool same_name(const char *a, const char *b, int flags)
{
    return (flags & NV_FLAG_IGNORE_CASE) != 0 ? strcasecmp(a, b) == 0 : strcmp(a, b) == 0;
}

bool nv_list_append(nvlist *nvl, nvpair *p)
{
    if ((nvl->flags & NV_FLAG_NO_UNIQUE) == 0) {
        for (const nvpair *q = nvl->head; q != nullptr; q = q->next) {
            if (same_name(q->name, p->name, nvl->flags)) {
                errno = EEXIST;
                return false;
            }
        }
    }
    p->owner = nvl;
    p->prev = nvl->tail;
    p->next = nullptr;
    if (nvl->tail != nullptr)
        nvl->tail->next = p;
    else
        nvl->head = p;
    nvl->tail = p;
    return true;
}

void nv_walker_init(nv_walker *w, const nvlist *root)
{
    w->root = root;
    w->list = nullptr;
    w->pair = nullptr;
    w->started = false;
    w->descend = false;
    w->ended = false;
}

nv_step_kind nv_walker_step(nv_walker *w)
{
    if (!w->started) {
        w->started = true;
        w->list = w->root;
        w->pair = nullptr;
        return NV_STEP_LIST;
    }
    if (w->descend) {
        w->descend = false;
        const nvpair *p = w->pair;
        w->list = p->type == NV_TYPE_NVLIST ? static_cast<const nvlist *>(p->data)
                                            : static_cast<nvlist *const *>(p->data)[0];
        w->pair = nullptr;
        return NV_STEP_LIST;
    }
    if (w->list == nullptr)
        return NV_STEP_DONE;
    if (w->ended) {
        // Leave the list whose end was reported: on to the next element of
        // its array, or back to the pair that holds it.
        w->ended = false;
        const nvlist *ended = w->list;
        if (ended->array_next != nullptr) {
            w->list = ended->array_next;
            w->pair = nullptr;
            return NV_STEP_LIST;
        }
        w->list = nv_holder(ended);
        w->pair = ended->parent;
    }
    const nvpair *next = w->pair == nullptr ? w->list->head : w->pair->next;
    if (next != nullptr) {
        w->pair = next;
        w->descend = next->type == NV_TYPE_NVLIST || next->type == NV_TYPE_NVLIST_ARRAY;
        return NV_STEP_PAIR;
    }
    if (w->list == w->root) {
        w->list = nullptr;
        return NV_STEP_DONE;
    }
    // A nested list ends with its marker; the caller still finds the list
    // in w->list, and the next step leaves it.
    w->ended = true;
    return NV_STEP_END;
}

void nv_report_missing(int type, const char *name)
{
    fprintf(stderr, "nvlist: no pair named '%s' of type %d\n", name, type);
    abort();
}

nvlist_t *nvlist_create(int flags)
{
    if ((flags & ~NV_FLAG_PUBLIC_MASK) != 0) {
        errno = EINVAL;
        return nullptr;
    }
    return nv_list_new(flags);
}

void nvlist_destroy(nvlist_t *nvl)
{
    if (nvl == nullptr)
        return;
    int saved = errno;
    free_tree(nvl);
    errno = saved;
}

int nvlist_error(const nvlist_t *nvl)
{
    return nvl == nullptr ? ENOMEM : nvl->error;
}

void nvlist_set_error(nvlist_t *nvl, int error)
{
    if (nvl != nullptr && nvl->error == 0)
        nvl->error = error;
}

bool nvlist_empty(const nvlist_t *nvl)
{
    return nvl->head == nullptr;
}

int nvlist_flags(const nvlist_t *nvl)
{
    return nvl->flags;
}

bool nvlist_in_array(const nvlist_t *nvl)
{
    return nvl->in_array;
}

const char *nvlist_next(const nvlist_t *nvl, int *typep, void **cookiep)
{
    const nvpair *p = *cookiep == nullptr ? nvl->head : static_cast<nvpair *>(*cookiep)->next;
    if (p == nullptr)
        return nullptr;
    if (typep != nullptr)
        *typep = p->type;
    *cookiep = const_cast<nvpair *>(p);
    return p->name;
}

const nvlist_t *nvlist_get_parent(const nvlist_t *nvl, void **cookiep)
{
    if (cookiep != nullptr)
        *cookiep = nvl->parent;
    return nv_holder(nvl);
}

const nvlist_t *nvlist_get_array_next(const nvlist_t *nvl)
{
    return nvl->array_next;
}

const nvlist_t *nvlist_get_pararr(const nvlist_t *nvl, void **cookiep)
{
    if (nvl->array_next != nullptr) {
        if (cookiep != nullptr)
            *cookiep = nullptr;
        return nvl->array_next;
    }
    return nvlist_get_parent(nvl, cookiep);
}

/* The first pair of NVL named NAME with TYPE (any type for NV_TYPE_NONE). */
static const nvpair *find(const nvlist *nvl, const char *name, int type)
{
    for (const nvpair *p = nvl->head; p != nullptr; p = p->next) {
        if ((type == NV_TYPE_NONE || p->type == type) && same_name(p->name, name, nvl->flags))
            return p;
    }
    return nullptr;
}

/* The pair for a getter: present, or the process ends as libnv's does. */
static const nvpair *require(const nvlist *nvl, const char *name, int type)
{
    const nvpair *p = find(nvl, name, type);
    if (p == nullptr)
        nv_report_missing(type, name);
    return p;
}

/* The pair a cookie names, checked to be of TYPE. */
static const nvpair *require_cookie(const void *cookie, int type)
{
    const auto *p = static_cast<const nvpair *>(cookie);
    if (p->type != type)
        nv_report_missing(type, p->name);
    return p;
}

static void store_count(size_t *countp, size_t n)
{
    if (countp != nullptr)
        *countp = n;
}

bool nvlist_exists(const nvlist_t *nvl, const char *name)
{
    return find(nvl, name, NV_TYPE_NONE) != nullptr;
}

bool nvlist_exists_type(const nvlist_t *nvl, const char *name, int type)
{
    return find(nvl, name, type) != nullptr;
}

// The typed lookups differ only by their type code.
#define NV_EXISTS(kind, code)                                                                      \
    bool nvlist_exists_##kind(const nvlist_t *nvl, const char *name)                               \
    {                                                                                              \
        return find(nvl, name, code) != nullptr;                                                   \
    }
NV_EXISTS(null, NV_TYPE_NULL)
NV_EXISTS(bool, NV_TYPE_BOOL)
NV_EXISTS(number, NV_TYPE_NUMBER)
NV_EXISTS(string, NV_TYPE_STRING)
NV_EXISTS(nvlist, NV_TYPE_NVLIST)
NV_EXISTS(descriptor, NV_TYPE_DESCRIPTOR)
NV_EXISTS(binary, NV_TYPE_BINARY)
NV_EXISTS(bool_array, NV_TYPE_BOOL_ARRAY)
NV_EXISTS(number_array, NV_TYPE_NUMBER_ARRAY)
NV_EXISTS(string_array, NV_TYPE_STRING_ARRAY)
NV_EXISTS(nvlist_array, NV_TYPE_NVLIST_ARRAY)
NV_EXISTS(descriptor_array, NV_TYPE_DESCRIPTOR_ARRAY)
#undef NV_EXISTS

/* Value readers shared by the name and the cookie getters. */
static bool pair_bool(const nvpair *p)
{
    return p->scalar.b;
}
static uint64_t pair_number(const nvpair *p)
{
    return p->scalar.number;
}
static const char *pair_string(const nvpair *p)
{
    return static_cast<const char *>(p->data);
}
static const nvlist *pair_nvlist(const nvpair *p)
{
    return static_cast<const nvlist *>(p->data);
}
static int pair_descriptor(const nvpair *p)
{
    return p->scalar.descriptor;
}

static const void *pair_binary(const nvpair *p, size_t *sizep)
{
    store_count(sizep, p->datasize);
    return p->data;
}

template <typename T> static const T *pair_array(const nvpair *p, size_t *nitemsp)
{
    store_count(nitemsp, p->nitems);
    return static_cast<const T *>(p->data);
}

bool nvlist_get_bool(const nvlist_t *nvl, const char *name)
{
    return pair_bool(require(nvl, name, NV_TYPE_BOOL));
}

uint64_t nvlist_get_number(const nvlist_t *nvl, const char *name)
{
    return pair_number(require(nvl, name, NV_TYPE_NUMBER));
}

const char *nvlist_get_string(const nvlist_t *nvl, const char *name)
{
    return pair_string(require(nvl, name, NV_TYPE_STRING));
}

const nvlist_t *nvlist_get_nvlist(const nvlist_t *nvl, const char *name)
{
    return pair_nvlist(require(nvl, name, NV_TYPE_NVLIST));
}

int nvlist_get_descriptor(const nvlist_t *nvl, const char *name)
{
    return pair_descriptor(require(nvl, name, NV_TYPE_DESCRIPTOR));
}

const void *nvlist_get_binary(const nvlist_t *nvl, const char *name, size_t *sizep)
{
    return pair_binary(require(nvl, name, NV_TYPE_BINARY), sizep);
}

const bool *nvlist_get_bool_array(const nvlist_t *nvl, const char *name, size_t *nitemsp)
{
    return pair_array<bool>(require(nvl, name, NV_TYPE_BOOL_ARRAY), nitemsp);
}

const uint64_t *nvlist_get_number_array(const nvlist_t *nvl, const char *name, size_t *nitemsp)
{
    return pair_array<uint64_t>(require(nvl, name, NV_TYPE_NUMBER_ARRAY), nitemsp);
}

const char *const *nvlist_get_string_array(const nvlist_t *nvl, const char *name, size_t *nitemsp)
{
    return pair_array<char *>(require(nvl, name, NV_TYPE_STRING_ARRAY), nitemsp);
}

const nvlist_t *const *nvlist_get_nvlist_array(const nvlist_t *nvl, const char *name,
                                               size_t *nitemsp)
{
    return pair_array<nvlist *>(require(nvl, name, NV_TYPE_NVLIST_ARRAY), nitemsp);
}

const int *nvlist_get_descriptor_array(const nvlist_t *nvl, const char *name, size_t *nitemsp)
{
    return pair_array<int>(require(nvl, name, NV_TYPE_DESCRIPTOR_ARRAY), nitemsp);
}

const char *cnvlist_name(const void *cookie)
{
    return static_cast<const nvpair *>(cookie)->name;
}

int cnvlist_type(const void *cookie)
{
    return static_cast<const nvpair *>(cookie)->type;
}

bool cnvlist_get_bool(const void *cookie)
{
    return pair_bool(require_cookie(cookie, NV_TYPE_BOOL));
}

uint64_t cnvlist_get_number(const void *cookie)
{
    return pair_number(require_cookie(cookie, NV_TYPE_NUMBER));
}

const char *cnvlist_get_string(const void *cookie)
{
    return pair_string(require_cookie(cookie, NV_TYPE_STRING));
}

const nvlist_t *cnvlist_get_nvlist(const void *cookie)
{
    return pair_nvlist(require_cookie(cookie, NV_TYPE_NVLIST));
}

int cnvlist_get_descriptor(const void *cookie)
{
    return pair_descriptor(require_cookie(cookie, NV_TYPE_DESCRIPTOR));
}

const void *cnvlist_get_binary(const void *cookie, size_t *sizep)
{
    return pair_binary(require_cookie(cookie, NV_TYPE_BINARY), sizep);
}

const bool *cnvlist_get_bool_array(const void *cookie, size_t *nitemsp)
{
    return pair_array<bool>(require_cookie(cookie, NV_TYPE_BOOL_ARRAY), nitemsp);
}

const uint64_t *cnvlist_get_number_array(const void *cookie, size_t *nitemsp)
{
    return pair_array<uint64_t>(require_cookie(cookie, NV_TYPE_NUMBER_ARRAY), nitemsp);
}

const char *const *cnvlist_get_string_array(const void *cookie, size_t *nitemsp)
{
    return pair_array<char *>(require_cookie(cookie, NV_TYPE_STRING_ARRAY), nitemsp);
}

const nvlist_t *const *cnvlist_get_nvlist_array(const void *cookie, size_t *nitemsp)
{
    return pair_array<nvlist *>(require_cookie(cookie, NV_TYPE_NVLIST_ARRAY), nitemsp);
}

const int *cnvlist_get_descriptor_array(const void *cookie, size_t *nitemsp)
{
    return pair_array<int>(require_cookie(cookie, NV_TYPE_DESCRIPTOR_ARRAY), nitemsp);
}
