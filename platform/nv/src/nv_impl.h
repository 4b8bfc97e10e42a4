/*
 * The in-memory form of name/value lists, shared by the files of the list
 * library and by nothing else. A list is a linked chain of pairs;
 * a nested list or an array element points back at the pair that holds it,
 * and an array element also at the next element, so every traversal
 * (iteration, packing, copying, freeing) can move up and across without
 * recursion and without a stack: an input's nesting depth costs no C stack.
 */
#ifndef TUNEX_NV_IMPL_H
#define TUNEX_NV_IMPL_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <strings.h>

#include <sys/nv.h>

/* Private packed-form codes and flags that never reach a caller. */
constexpr int NV_TYPE_NVLIST_ARRAY_NEXT = 254;
constexpr int NV_TYPE_NVLIST_UP = 255;
constexpr int NV_FLAG_PUBLIC_MASK = NV_FLAG_IGNORE_CASE | NV_FLAG_NO_UNIQUE;
constexpr int NV_FLAG_BIG_ENDIAN = 0x80;
constexpr uint8_t NV_HEADER_MAGIC = 0x6c;
constexpr size_t NV_HEADER_SIZE = 19; /* list header and pair header alike */
constexpr size_t NV_MARKER_SIZE = NV_HEADER_SIZE + 1;

struct nvpair {
    nvpair *next;
    nvlist *owner; /* the list the pair belongs to; NULL while detached */
    int type;
    const char *name; /* stored right after the record, in the same block */
    size_t namesize;  /* strlen(name) + 1 */
    union {
        bool b;
        uint64_t number;
        int descriptor;
    } scalar;
    /* STRING, BINARY and the arrays: one malloc'ed block (a string array
     * keeps its pointers and then its characters in it); NVLIST: the child;
     * NVLIST_ARRAY: an array of NITEMS element lists. */
    void *data;
    size_t datasize; /* bytes of DATA as packed (a string array: its characters) */
    size_t nitems;   /* array elements */
    size_t freed;    /* elements already freed by an ongoing destroy */
};

struct nvlist {
    int flags; /* public flags */
    int error;
    bool in_array;
    nvpair *head;
    nvpair *tail;
    size_t count;       /* pairs in the chain */
    nvpair **index;     /* hash of the names of a long list of unique names */
    size_t index_size;  /* slots in INDEX, a power of two (0: no index) */
    nvpair *parent;     /* the NVLIST or NVLIST_ARRAY pair that holds the list */
    nvlist *array_next; /* next element of the same array */
    /* Scratch space of one measuring pass over the whole list. */
    mutable size_t mark; /* the packed size, without the closing marker */
    mutable size_t rest; /* bytes from the start to past the closing marker,
                            plus the enclosing lists' bytes counted in DISC */
    mutable size_t disc; /* markers and headers around this list that a
                            size measured from inside it leaves out */
};

/* Allocates a detached pair of TYPE named NAME (checked: not NULL, shorter
 * than NV_NAME_MAX) with no value yet; NULL with errno. */
nvpair *nv_pair_new(int type, const char *name, size_t namelen);
/* Frees a detached pair and everything it holds. */
void nv_pair_free(nvpair *p);
/* Appends P to NVL, refusing a duplicate name unless NVL allows them:
 * returns false with errno EEXIST then (P stays detached). */
bool nv_list_append(nvlist *nvl, nvpair *p);
/* The first pair of NVL named NAME with TYPE (any type for NV_TYPE_NONE),
 * or NULL. */
const nvpair *nv_list_find(const nvlist *nvl, const char *name, int type);
/* Allocates an empty list with FLAGS; NULL with errno. */
nvlist *nv_list_new(int flags);
/* Sets the element links of LISTS[0..N) as elements of the array pair P. */
void nv_link_array(nvpair *p, nvlist **lists, size_t n);

/* True when A and B name the same pair in a list with FLAGS. */
inline bool nv_same_name(const char *a, const char *b, int flags)
{
    return (flags & NV_FLAG_IGNORE_CASE) != 0 ? strcasecmp(a, b) == 0 : strcmp(a, b) == 0;
}

/* A traversal of a whole list in packed order without recursion: each
 * step yields the entry into a list, one pair, or the end of a nested list
 * (the place of its closing marker). */
enum nv_step_kind { NV_STEP_LIST, NV_STEP_PAIR, NV_STEP_END, NV_STEP_DONE };

struct nv_walker {
    const nvlist *root;
    const nvlist *list; /* the list of the last step */
    const nvpair *pair; /* the pair of the last step (NULL: before the first) */
    bool started;
    bool descend; /* the last pair holds lists to enter next */
    bool ended;   /* the end of w->list was the last step */
};

void nv_walker_init(nv_walker *w, const nvlist *root);
nv_step_kind nv_walker_step(nv_walker *w);

/* The list that holds LIST (through its parent pair), NULL for a top list. */
inline nvlist *nv_holder(const nvlist *list)
{
    return list->parent != nullptr ? list->parent->owner : nullptr;
}

#endif
