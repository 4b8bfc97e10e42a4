/*
 * Name/value lists as FreeBSD's libnv declares them: a list of typed pairs
 * (null, bool, number, string, nested list, descriptor, binary and arrays of
 * these), packed into and unpacked from FreeBSD's flat byte format.
 *
 * Conventions, as in libnv:
 * - A list owns everything added to it: strings, binaries, arrays and nested
 *   lists are copied on add, and nvlist_destroy frees them all.
 * - A failed add (no memory, a duplicate name in a list without
 *   NV_FLAG_NO_UNIQUE, an invalid argument) leaves the list in an error
 *   state: nvlist_error returns the errno value, later adds do nothing and
 *   nvlist_pack fails. Failing calls that return a pointer return NULL and
 *   set errno.
 * - Getters find the first pair of the given name and type and return
 *   pointers into the list, valid until the list is destroyed; they abort
 *   the process when there is no such pair (ask nvlist_exists_* first when
 *   in doubt). Count pointers may be NULL.
 * - Descriptors are plain integers here: this library passes no file
 *   descriptors, so nvlist_pack refuses lists that hold any (EOPNOTSUPP) and
 *   nvlist_unpack refuses packed lists that refer to any.
 * - Nothing here is thread-safe for one list; distinct lists are independent.
 */
#ifndef TUNEX_SYS_NV_H
#define TUNEX_SYS_NV_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct nvlist nvlist_t;

/* Pair types, as nvlist_next reports them. */
#define NV_TYPE_NONE 0
#define NV_TYPE_NULL 1
#define NV_TYPE_BOOL 2
#define NV_TYPE_NUMBER 3
#define NV_TYPE_STRING 4
#define NV_TYPE_NVLIST 5
#define NV_TYPE_DESCRIPTOR 6
#define NV_TYPE_BINARY 7
#define NV_TYPE_BOOL_ARRAY 8
#define NV_TYPE_NUMBER_ARRAY 9
#define NV_TYPE_STRING_ARRAY 10
#define NV_TYPE_NVLIST_ARRAY 11
#define NV_TYPE_DESCRIPTOR_ARRAY 12

/* List flags for nvlist_create and nvlist_unpack. */
#define NV_FLAG_IGNORE_CASE 0x01 /* names compare without regard to case */
#define NV_FLAG_NO_UNIQUE 0x02   /* a name may occur more than once */

#define NV_NAME_MAX 2048 /* the longest name, its NUL included */

/* Returns a new empty list with FLAGS, or NULL (errno set). */
nvlist_t *nvlist_create(int flags);
/* Frees NVL and everything it holds; NULL is allowed. Keeps errno. */
void nvlist_destroy(nvlist_t *nvl);
/* Returns 0, or the errno value of the first failed add (ENOMEM for NULL). */
int nvlist_error(const nvlist_t *nvl);
/* Puts NVL in an error state with ERROR unless it already is in one. */
void nvlist_set_error(nvlist_t *nvl, int error);
/* True when NVL holds no pair. */
bool nvlist_empty(const nvlist_t *nvl);
/* Returns the public flags NVL was created or unpacked with. */
int nvlist_flags(const nvlist_t *nvl);
/* True when NVL is an element of an nvlist array. */
bool nvlist_in_array(const nvlist_t *nvl);
/* Returns a deep copy of NVL, or NULL (errno set). */
nvlist_t *nvlist_clone(const nvlist_t *nvl);

/* Returns the packed size of NVL (for a nested list, without the marker
 * that closes it). */
size_t nvlist_size(const nvlist_t *nvl);
/* Packs NVL into a malloc'ed buffer the caller frees and stores its size
 * in *SIZEP. NULL with errno on failure (EOPNOTSUPP for descriptors). */
void *nvlist_pack(const nvlist_t *nvl, size_t *sizep);
/* Unpacks SIZE bytes at BUF into a new list the caller destroys; FLAGS
 * must match the packed top list's public flags. NULL with errno (EINVAL,
 * EILSEQ, EEXIST...) when the bytes are not a valid packed list. Never
 * reads outside the buffer. */
nvlist_t *nvlist_unpack(const void *buf, size_t size, int flags);

/* Iterates over NVL: with *COOKIEP NULL gives the first pair, else the one
 * after *COOKIEP. Returns the pair's name, stores its type in *TYPEP (may be
 * NULL) and moves the cookie onto it; at the end returns NULL and changes
 * neither. */
const char *nvlist_next(const nvlist_t *nvl, int *typep, void **cookiep);
/* Returns the list holding NVL with *COOKIEP on the pair that holds it (for
 * any array element: the array's pair), or NULL and *COOKIEP NULL for a top
 * list. */
const nvlist_t *nvlist_get_parent(const nvlist_t *nvl, void **cookiep);
/* Returns the next element of NVL's nvlist array, or NULL. */
const nvlist_t *nvlist_get_array_next(const nvlist_t *nvl);
/* Returns NVL's next array element with *COOKIEP NULL when there is one,
 * else exactly nvlist_get_parent(NVL, COOKIEP). */
const nvlist_t *nvlist_get_pararr(const nvlist_t *nvl, void **cookiep);

/* True when NVL has a pair named NAME (of any type / of type TYPE). */
bool nvlist_exists(const nvlist_t *nvl, const char *name);
bool nvlist_exists_type(const nvlist_t *nvl, const char *name, int type);
bool nvlist_exists_null(const nvlist_t *nvl, const char *name);
bool nvlist_exists_bool(const nvlist_t *nvl, const char *name);
bool nvlist_exists_number(const nvlist_t *nvl, const char *name);
bool nvlist_exists_string(const nvlist_t *nvl, const char *name);
bool nvlist_exists_nvlist(const nvlist_t *nvl, const char *name);
bool nvlist_exists_descriptor(const nvlist_t *nvl, const char *name);
bool nvlist_exists_binary(const nvlist_t *nvl, const char *name);
bool nvlist_exists_bool_array(const nvlist_t *nvl, const char *name);
bool nvlist_exists_number_array(const nvlist_t *nvl, const char *name);
bool nvlist_exists_string_array(const nvlist_t *nvl, const char *name);
bool nvlist_exists_nvlist_array(const nvlist_t *nvl, const char *name);
bool nvlist_exists_descriptor_array(const nvlist_t *nvl, const char *name);

/* Adders: append a pair named NAME holding a copy of the value. Arrays
 * need NITEMS >= 1 and binaries SIZE >= 1 (else EINVAL). */
void nvlist_add_null(nvlist_t *nvl, const char *name);
void nvlist_add_bool(nvlist_t *nvl, const char *name, bool value);
void nvlist_add_number(nvlist_t *nvl, const char *name, uint64_t value);
void nvlist_add_string(nvlist_t *nvl, const char *name, const char *value);
void nvlist_add_nvlist(nvlist_t *nvl, const char *name, const nvlist_t *value);
void nvlist_add_descriptor(nvlist_t *nvl, const char *name, int value);
void nvlist_add_binary(nvlist_t *nvl, const char *name, const void *value, size_t size);
void nvlist_add_bool_array(nvlist_t *nvl, const char *name, const bool *value, size_t nitems);
void nvlist_add_number_array(nvlist_t *nvl, const char *name, const uint64_t *value, size_t nitems);
void nvlist_add_string_array(nvlist_t *nvl, const char *name, const char *const *value,
                             size_t nitems);
void nvlist_add_nvlist_array(nvlist_t *nvl, const char *name, const nvlist_t *const *value,
                             size_t nitems);
void nvlist_add_descriptor_array(nvlist_t *nvl, const char *name, const int *value, size_t nitems);

/* Getters: the value of the first pair named NAME of the type; abort when
 * there is none. Pointers stay owned by NVL. */
bool nvlist_get_bool(const nvlist_t *nvl, const char *name);
uint64_t nvlist_get_number(const nvlist_t *nvl, const char *name);
const char *nvlist_get_string(const nvlist_t *nvl, const char *name);
const nvlist_t *nvlist_get_nvlist(const nvlist_t *nvl, const char *name);
int nvlist_get_descriptor(const nvlist_t *nvl, const char *name);
const void *nvlist_get_binary(const nvlist_t *nvl, const char *name, size_t *sizep);
const bool *nvlist_get_bool_array(const nvlist_t *nvl, const char *name, size_t *nitemsp);
const uint64_t *nvlist_get_number_array(const nvlist_t *nvl, const char *name, size_t *nitemsp);
const char *const *nvlist_get_string_array(const nvlist_t *nvl, const char *name, size_t *nitemsp);
const nvlist_t *const *nvlist_get_nvlist_array(const nvlist_t *nvl, const char *name,
                                               size_t *nitemsp);
const int *nvlist_get_descriptor_array(const nvlist_t *nvl, const char *name, size_t *nitemsp);

#ifdef __cplusplus
}
#endif

#endif
