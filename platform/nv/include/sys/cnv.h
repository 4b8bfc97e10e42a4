/*
 * Access to a name/value list pair through an iteration cookie, as FreeBSD's
 * cnv(9) declares it: the cookie that nvlist_next moved onto a pair names
 * exactly that pair, even where several pairs share its name.
 *
 * Conventions: the cookie must come from nvlist_next, nvlist_get_parent or
 * nvlist_get_pararr on a list that is still alive; a getter aborts the
 * process when the pair is not of its type. Pointers stay owned by the list.
 */
#ifndef TUNEX_SYS_CNV_H
#define TUNEX_SYS_CNV_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include <sys/nv.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The name and the type of the pair COOKIE names. */
const char *cnvlist_name(const void *cookie);
int cnvlist_type(const void *cookie);

/* The value of the pair COOKIE names; abort when it has another type. */
bool cnvlist_get_bool(const void *cookie);
uint64_t cnvlist_get_number(const void *cookie);
const char *cnvlist_get_string(const void *cookie);
const nvlist_t *cnvlist_get_nvlist(const void *cookie);
int cnvlist_get_descriptor(const void *cookie);
const void *cnvlist_get_binary(const void *cookie, size_t *sizep);
const bool *cnvlist_get_bool_array(const void *cookie, size_t *nitemsp);
const uint64_t *cnvlist_get_number_array(const void *cookie, size_t *nitemsp);
const char *const *cnvlist_get_string_array(const void *cookie, size_t *nitemsp);
const nvlist_t *const *cnvlist_get_nvlist_array(const void *cookie, size_t *nitemsp);
const int *cnvlist_get_descriptor_array(const void *cookie, size_t *nitemsp);

#ifdef __cplusplus
}
#endif

#endif
