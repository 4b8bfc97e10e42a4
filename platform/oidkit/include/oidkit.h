/*
 * liboidkit: the sysctl MIB as a tree of objects, with every piece of
 * metadata (name, description, label, type, flags, format, handler
 * presence). It learns all of it through sysctl(3) calls on the kernel's
 * meta-OIDs and needs the kernel module "oidlens" for what those lack.
 *
 * Conventions: routines that return a pointer return NULL on failure with
 * errno set; ENOMEM means exhausted memory, any other errno that the name
 * or OID is not in the MIB. Every tree or list returned belongs to the
 * caller until it hands it to the matching free routine.
 */
#ifndef TUNEX_OIDKIT_H
#define TUNEX_OIDKIT_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct oidkit_object;

/* The head of a list of objects; its first field points to the first
 * object of the list, or is NULL for an empty list. */
struct oidkit_list {
    struct oidkit_object *first;
    struct oidkit_object *last;
};

/* One MIB object. The program only reads these fields. */
struct oidkit_object {
    struct oidkit_object *next;   /* next sibling, or NULL */
    int *oid;                     /* the numeric OID */
    size_t oid_len;               /* components in oid */
    char *name;                   /* dotted name, never NULL */
    char *description;            /* or NULL */
    char *label;                  /* or NULL */
    uint8_t type;                 /* CTLTYPE_* code */
    uint32_t flags;               /* CTLFLAG_* bits */
    char *format;                 /* format string, never NULL */
    struct oidkit_list *children; /* children, or NULL */
};

/* Returns the list of the top-level objects, each with its whole subtree. */
struct oidkit_list *oidkit_mib(void);

/* Frees everything that oidkit_mib returned. */
void oidkit_freemib(struct oidkit_list *list);

/* Returns the object called NAME with its whole subtree. */
struct oidkit_object *oidkit_treebyname(const char *name);

/* Frees an object that oidkit_treebyname returned, with its subtree. */
void oidkit_freetree(struct oidkit_object *object);

/* Sets *DEFINED to whether the object OID has a handler. Returns 0, or
 * -1 with errno set when the kernel cannot tell. */
int oidkit_hashandler(int *oid, size_t oid_len, bool *defined);

#ifdef __cplusplus
}
#endif

#endif
