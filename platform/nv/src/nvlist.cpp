/*
 * Name/value lists in memory: creating and freeing lists and pairs, the
 * traversal that packing and copying share, and iteration with cookies.
 * Reading values lives in nvlist_get.cpp, adding pairs in nvlist_add.cpp,
 * the packed form in nvlist_pack.cpp and nvlist_unpack.cpp.
 */
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

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
            free(cur->index);
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
        if (p->next == nullptr)
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

/* Lists of unique names get a hash index of their names once they are
 * longer than this, so adding n pairs (unpacking n pairs) costs O(n) and
 * not O(n^2); shorter lists are scanned and need no allocation. */
static constexpr size_t index_threshold = 16;

static size_t name_hash(const char *name, int flags)
{
    uint64_t h = 14695981039346656037ull; /* FNV-1a */
    for (const char *s = name; *s != '\0'; s++) {
        auto c = static_cast<unsigned char>(*s);
        if ((flags & NV_FLAG_IGNORE_CASE) != 0)
            c = static_cast<unsigned char>(tolower(c));
        h = (h ^ c) * 1099511628211ull;
    }
    return static_cast<size_t>(h);
}

/* The index slot of NAME in NVL: the pair of that name, or the empty slot
 * where it belongs. The index is never full (at most half its slots). */
static nvpair **index_slot(const nvlist *nvl, const char *name)
{
    size_t mask = nvl->index_size - 1;
    for (size_t i = name_hash(name, nvl->flags) & mask;; i = (i + 1) & mask) {
        nvpair **slot = &nvl->index[i];
        if (*slot == nullptr || nv_same_name((*slot)->name, name, nvl->flags))
            return slot;
    }
}

/* Rebuilds NVL's index from its chain with SIZE slots; false on ENOMEM,
 * leaving the old index as it was. */
static bool index_rebuild(nvlist *nvl, size_t size)
{
    auto **slots = static_cast<nvpair **>(calloc(size, sizeof(nvpair *)));
    if (slots == nullptr) {
        errno = ENOMEM;
        return false;
    }
    free(nvl->index);
    nvl->index = slots;
    nvl->index_size = size;
    for (nvpair *q = nvl->head; q != nullptr; q = q->next)
        *index_slot(nvl, q->name) = q;
    return true;
}

const nvpair *nv_list_find(const nvlist *nvl, const char *name, int type)
{
    if (nvl->index != nullptr) {
        // Names are unique here: the one pair of the name, if its type fits.
        const nvpair *p = *index_slot(nvl, name);
        return p != nullptr && (type == NV_TYPE_NONE || p->type == type) ? p : nullptr;
    }
    for (const nvpair *p = nvl->head; p != nullptr; p = p->next) {
        if ((type == NV_TYPE_NONE || p->type == type) && nv_same_name(p->name, name, nvl->flags))
            return p;
    }
    return nullptr;
}

bool nv_list_append(nvlist *nvl, nvpair *p)
{
    if ((nvl->flags & NV_FLAG_NO_UNIQUE) == 0) {
        if (nvl->count + 1 > index_threshold && (nvl->count + 1) * 2 > nvl->index_size &&
            !index_rebuild(nvl, nvl->index_size == 0 ? 4 * index_threshold : 2 * nvl->index_size))
            return false;
        if (nv_list_find(nvl, p->name, NV_TYPE_NONE) != nullptr) {
            errno = EEXIST;
            return false;
        }
        if (nvl->index != nullptr)
            *index_slot(nvl, p->name) = p;
    }
    p->owner = nvl;
    p->next = nullptr;
    if (nvl->tail != nullptr)
        nvl->tail->next = p;
    else
        nvl->head = p;
    nvl->tail = p;
    nvl->count++;
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
