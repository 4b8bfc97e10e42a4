/*
 * A MIB image in memory: the objects of a kernel's MIB sorted by OID, with
 * their names, formats, descriptions, labels and values in flat arenas, an
 * index by name, the loaded modules, the jails and the securelevel.
 *
 * The same plain records serve an image loaded from JSON at run time (which
 * owns its arenas in an image_data) and the embedded default, whose arenas
 * are constant tables generated at build time: booting either one is only
 * a matter of pointing an image_view at them.
 */
#ifndef TUNEX_KERNEL_IMAGE_H
#define TUNEX_KERNEL_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hugemem.h"

/* Marks an absent string or index. */
constexpr uint32_t NONE = 0xffffffffu;

/* The longest OID an image may hold: meta queries prefix an OID with up to
 * three components and a request carries at most CTL_MAXNAME (24). */
constexpr size_t IMAGE_MAXOID = 21;

/* One MIB object. Offsets point into the arenas of its image_view. */
struct mib_object {
    uint32_t oid;          /* offset of the first component in oids */
    uint32_t name;         /* offset in strings of the dotted name */
    uint32_t format;       /* offset in strings of the format */
    uint32_t description;  /* offset in strings, or NONE */
    uint32_t label;        /* offset in strings, or NONE */
    uint32_t value;        /* offset in values */
    uint32_t value_len;    /* bytes of the value */
    uint32_t kind;         /* flags | type code */
    uint32_t maxlen;       /* strings: a write of this many bytes or more fails; 0 = no limit */
    uint32_t parent;       /* index of the parent object, or NONE at the top */
    uint32_t end;          /* index just past the object's subtree */
    uint32_t grows_by;     /* the value is this much longer on a read than a probe says */
    uint32_t last;         /* offset in strings of the name's last component */
    uint32_t element;      /* index in the image file's "objects", or NONE */
    uint16_t oid_len;      /* components of the OID */
    uint16_t handler;      /* 1 when the object has a handler */
    int16_t read_error;    /* errno of every read, or 0 */
    int16_t write_error;   /* errno of every write, or 0 */
    int16_t handler_error; /* errno of the handler-presence query, or 0 */
};

/* A jail that jail_getid and jail_attach know. */
struct mib_jail {
    uint32_t name; /* offset in strings */
    int32_t jid;
    uint32_t vnet; /* 1 when the jail has its own network stack */
};

/* A booted image: pointers to arenas owned elsewhere. */
struct image_view {
    const mib_object *objects; /* sorted by OID */
    uint32_t count;
    const int32_t *oids;
    const char *strings;
    const unsigned char *values;
    const uint32_t *names;   /* open-addressing hash: slot -> object index + 1, 0 empty */
    uint32_t names_mask;     /* slots - 1 (a power of two minus one) */
    const uint32_t *modules; /* offsets in strings */
    uint32_t nmodules;
    const mib_jail *jails;
    uint32_t njails;
    int32_t securelevel;
    uint64_t fingerprint; /* hash of the whole image, names the default's state file */
};

/* The arenas of an image live in huge pages where the system allows
 * (hugemem.h): a small image's arenas share one. */
template <typename T> struct arena_allocator {
    using value_type = T;
    arena_allocator() = default;
    template <typename U> arena_allocator(const arena_allocator<U> &) {}
    T *allocate(size_t n) { return static_cast<T *>(huge_allocate(n * sizeof(T))); }
    void deallocate(T *p, size_t n) { huge_free(p, n * sizeof(T)); }
    template <typename U> bool operator==(const arena_allocator<U> &) const { return true; }
};

template <typename T> using arena_vector = std::vector<T, arena_allocator<T>>;
using image_bytes = arena_vector<unsigned char>;
using image_string = std::basic_string<char, std::char_traits<char>, arena_allocator<char>>;

/* The arenas of an image built at run time, and the view over them. */
struct image_data {
    arena_vector<mib_object> objects;
    arena_vector<int32_t> oids;
    image_string strings;
    image_bytes values;
    arena_vector<uint32_t> names;
    std::vector<uint32_t> modules;
    std::vector<mib_jail> jails;
    int32_t securelevel = -1;
    /* The fewest OID components a request may have: 2 as in FreeBSD, 1 in
     * an image with values at its top level (as a /proc/sys tree has). */
    unsigned shortest_oid = 2;
    image_view view{};
};

/* Names and codes of the type and flag tables. */
struct type_name {
    const char *name;
    const char *format; /* the format an object of this type gets by default */
    uint32_t size;      /* element width in bytes, 0 when not an array of numbers */
};
extern const type_name image_types[16];

struct flag_name {
    uint32_t bit;
    const char *name;
};
extern const flag_name image_flags[17];

/* Hash of a name for the name index (FNV-1a, 32 bits). */
uint32_t name_hash(std::string_view name);

/* The name of object I, its OID and its value, as views into the arenas. */
inline const char *obj_name(const image_view &v, uint32_t i)
{
    return v.strings + v.objects[i].name;
}
inline const int32_t *obj_oid(const image_view &v, uint32_t i)
{
    return v.oids + v.objects[i].oid;
}
inline const char *obj_str(const image_view &v, uint32_t off)
{
    return off == NONE ? nullptr : v.strings + off;
}
inline uint32_t obj_type(const image_view &v, uint32_t i)
{
    return v.objects[i].kind & 0xf;
}
/* The last component of object I's name. */
inline const char *obj_last(const image_view &v, uint32_t i)
{
    return v.strings + v.objects[i].last;
}

/* Compares two OIDs in the order of the MIB (component by component, a
 * prefix before its extensions). Returns <0, 0 or >0. */
int oid_compare(const int32_t *a, size_t alen, const int32_t *b, size_t blen);

/* Index of the first object whose OID is not below OID, or count. */
uint32_t image_lower_bound(const image_view &v, const int32_t *oid, size_t len);

/* Index of the object with exactly this OID, or NONE. */
uint32_t image_find_oid(const image_view &v, const int32_t *oid, size_t len);

/* Index of the object with exactly this dotted name, or NONE. */
uint32_t image_find_name(const image_view &v, std::string_view name);

/* Sorts the objects of DATA by OID, links parents and subtrees, builds the
 * name index and points DATA.view at the arenas (the fingerprint is left
 * as it is). Objects must have been checked for duplicate OIDs already.
 * Returns the first object whose name an object before it has, or NONE;
 * image_find_name finds the first of those. */
uint32_t image_index(image_data &data);

/* True when A and B hold the same MIB: the same objects, metadata and
 * values, modules, jails and securelevel, wherever their arenas put them. */
bool image_equal(const image_view &a, const image_view &b);

/* A hash of everything in the view, for the state file's name. */
uint64_t image_fingerprint(const image_view &v);

#endif
