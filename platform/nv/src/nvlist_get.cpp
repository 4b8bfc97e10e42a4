/*
 * Reading name/value lists: whether a pair exists, and the value of a pair
 * found by its name (nvlist_get_*: the first pair of that name and type)
 * or named by an iteration cookie (cnvlist_*: exactly that pair). A pair
 * that is missing or of another type ends the process, as in libnv.
 */
#include <cstdio>
#include <cstdlib>

#include <sys/cnv.h>
#include <sys/nv.h>

#include "nv_impl.h"

/* Ends the process: NAME of TYPE was asked for and is missing. */
[[noreturn]] static void report_missing(int type, const char *name)
{
    fprintf(stderr, "nvlist: no pair named '%s' of type %d\n", name, type);
    abort();
}

/* The pair for a getter: present, or the process ends as libnv's does. */
static const nvpair *require(const nvlist *nvl, const char *name, int type)
{
    const nvpair *p = nv_list_find(nvl, name, type);
    if (p == nullptr)
        report_missing(type, name);
    return p;
}

/* The pair a cookie names, checked to be of TYPE. */
static const nvpair *require_cookie(const void *cookie, int type)
{
    const auto *p = static_cast<const nvpair *>(cookie);
    if (p->type != type)
        report_missing(type, p->name);
    return p;
}

static void store_count(size_t *countp, size_t n)
{
    if (countp != nullptr)
        *countp = n;
}

bool nvlist_exists(const nvlist_t *nvl, const char *name)
{
    return nv_list_find(nvl, name, NV_TYPE_NONE) != nullptr;
}

bool nvlist_exists_type(const nvlist_t *nvl, const char *name, int type)
{
    return nv_list_find(nvl, name, type) != nullptr;
}

// The typed lookups differ only by their type code.
#define NV_EXISTS(kind, code)                                                                      \
    bool nvlist_exists_##kind(const nvlist_t *nvl, const char *name)                               \
    {                                                                                              \
        return nv_list_find(nvl, name, code) != nullptr;                                           \
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
