/*
 * The indexes of a MIB image: objects sorted by OID (looked up by binary
 * search), each linked to its parent and to the end of its subtree, and an
 * open-addressing hash of the names. The build-time generator runs the same
 * code, so the embedded default boots with its indexes ready.
 */
#include "image.h"

#include <algorithm>
#include <cstring>

const type_name image_types[16] = {
    {"ZEROUNUSED", "", 0},
    {"node", "N", 0},
    {"integer", "I", 4},
    {"string", "A", 0},
    {"int64_t", "Q", 8},
    {"opaque", "S", 0},
    {"unsigned integer", "IU", 4},
    {"long integer", "L", 8},
    {"unsigned long", "LU", 8},
    {"uint64_t", "QU", 8},
    {"uint8_t", "CU", 1},
    {"uint16_t", "SU", 2},
    {"int8_t", "C", 1},
    {"int16_t", "S", 2},
    {"int32_t", "I", 4},
    {"uint32_t", "IU", 4},
};
static_assert(sizeof(image_types) / sizeof(image_types[0]) == 16, "sixteen type codes");

const flag_name image_flags[17] = {
    {0x80000000u, "RD"},      {0x40000000u, "WR"},        {0x20000000u, "DORMANT"},
    {0x10000000u, "ANYBODY"}, {0x08000000u, "SECURE"},    {0x04000000u, "PRISON"},
    {0x02000000u, "DYN"},     {0x01000000u, "SKIP"},      {0x00080000u, "TUN"},
    {0x00040000u, "MPSAFE"},  {0x00020000u, "VNET"},      {0x00010000u, "DYING"},
    {0x00008000u, "CAPRD"},   {0x00004000u, "CAPWR"},     {0x00002000u, "STATS"},
    {0x00001000u, "NOFETCH"}, {0x00000800u, "NEEDGIANT"},
};
static_assert(sizeof(image_flags) / sizeof(image_flags[0]) == 17, "seventeen named flags");

uint32_t name_hash(std::string_view name)
{
    // Eight bytes at a time, each word mixed in by a multiplication; the
    // last, partial word is read byte by byte so as not to read past the
    // name.
    const uint64_t k = 0x9e3779b97f4a7c15ull;
    uint64_t h = name.size() * k;
    const char *p = name.data();
    size_t n = name.size();
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * k;
        h ^= h >> 29;
    }
    uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = (h ^ w) * k;
    h ^= h >> 32;
    return uint32_t(h);
}

int oid_compare(const int32_t *a, size_t alen, const int32_t *b, size_t blen)
{
    size_t n = alen < blen ? alen : blen;
    for (size_t i = 0; i < n; i++) {
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
    }
    return alen < blen ? -1 : alen > blen ? 1 : 0;
}

uint32_t image_lower_bound(const image_view &v, const int32_t *oid, size_t len)
{
    uint32_t lo = 0, hi = v.count;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        const mib_object &o = v.objects[mid];
        if (oid_compare(v.oids + o.oid, o.oid_len, oid, len) < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

uint32_t image_find_oid(const image_view &v, const int32_t *oid, size_t len)
{
    uint32_t i = image_lower_bound(v, oid, len);
    if (i < v.count && v.objects[i].oid_len == len &&
        std::memcmp(v.oids + v.objects[i].oid, oid, len * sizeof(int32_t)) == 0)
        return i;
    return NONE;
}

uint32_t image_find_name(const image_view &v, std::string_view name)
{
    if (v.names_mask == 0 && v.count == 0)
        return NONE;
    for (uint32_t slot = name_hash(name) & v.names_mask;; slot = (slot + 1) & v.names_mask) {
        uint32_t e = v.names[slot];
        if (e == 0)
            return NONE;
        if (obj_name(v, e - 1) == name)
            return e - 1;
    }
}

namespace
{

/* A key that orders OIDs as oid_compare does, except that some different
 * OIDs tie: 16 bits for each of the first four components, 0 for a
 * component the OID does not have, and components clamped to -1 and 65533
 * then raised by 2. */
uint64_t sort_key(const int32_t *oid, size_t len)
{
    uint64_t key = 0;
    for (size_t i = 0; i < 4; i++) {
        int32_t c = i < len ? std::clamp(oid[i], -1, 65533) + 2 : 0;
        key = key << 16 | unsigned(c);
    }
    return key;
}

/* Sorts the objects of D by OID. What is sorted is a key and an index per
 * object, not the objects: the keys decide nearly every comparison without
 * reading the OIDs, and the objects are moved once, to their places, at
 * the end. */
void sort_by_oid(image_data &d)
{
    struct entry {
        uint64_t key;
        uint32_t index;
    };
    const int32_t *oids = d.oids.data();
    uint32_t n = uint32_t(d.objects.size());
    arena_vector<entry> order(n);
    for (uint32_t i = 0; i < n; i++) {
        const mib_object &o = d.objects[i];
        order[i] = {sort_key(oids + o.oid, o.oid_len), i};
    }
    const auto &objects = d.objects;
    std::sort(order.begin(), order.end(), [&objects, oids](const entry &a, const entry &b) {
        if (a.key != b.key)
            return a.key < b.key;
        const mib_object &x = objects[a.index], &y = objects[b.index];
        return oid_compare(oids + x.oid, x.oid_len, oids + y.oid, y.oid_len) < 0;
    });
    // Object I goes where ORDER says, one cycle of the permutation at a
    // time; a placed entry is marked with NONE.
    for (uint32_t i = 0; i < n; i++) {
        if (order[i].index == NONE || order[i].index == i)
            continue;
        mib_object held = d.objects[i];
        uint32_t j = i;
        for (;;) {
            uint32_t from = order[j].index;
            order[j].index = NONE;
            if (from == i) {
                d.objects[j] = held;
                break;
            }
            d.objects[j] = d.objects[from];
            j = from;
        }
    }
}

} // namespace

uint32_t image_index(image_data &d)
{
    const int32_t *oids = d.oids.data();
    auto before = [oids](const mib_object &a, const mib_object &b) {
        return oid_compare(oids + a.oid, a.oid_len, oids + b.oid, b.oid_len) < 0;
    };
    // Images usually list their objects in OID order already; checking
    // costs a fraction of sorting them again.
    if (!std::is_sorted(d.objects.begin(), d.objects.end(), before))
        sort_by_oid(d);

    // Parents and subtree ends in one pass: the stack holds the chain of
    // ancestors of the object at hand, which closes the subtrees it leaves.
    uint32_t n = uint32_t(d.objects.size());
    std::vector<uint32_t> stack;
    for (uint32_t i = 0; i < n; i++) {
        mib_object &o = d.objects[i];
        while (!stack.empty()) {
            const mib_object &top = d.objects[stack.back()];
            if (top.oid_len < o.oid_len &&
                std::memcmp(oids + top.oid, oids + o.oid, top.oid_len * sizeof(int32_t)) == 0)
                break;
            d.objects[stack.back()].end = i;
            stack.pop_back();
        }
        o.parent = stack.empty() ? NONE : stack.back();
        stack.push_back(i);
    }
    for (uint32_t i : stack)
        d.objects[i].end = n;

    // A table at most half full keeps probe chains short.
    uint32_t slots = 16;
    while (slots < 2 * n)
        slots *= 2;
    // Each name's hash is kept while the table is built, so that an equal
    // name further up the probe chain is found without comparing names
    // whose hashes differ.
    d.names.assign(slots, 0);
    arena_vector<uint32_t> hashes(n);
    for (uint32_t i = 0; i < n; i++)
        hashes[i] = name_hash(d.strings.data() + d.objects[i].name);
    // The slots lie scattered over a table larger than the caches: each
    // insertion fetches the slot of one some way ahead.
    constexpr uint32_t ahead = 16;
    uint32_t repeated = NONE;
    for (uint32_t i = 0; i < n; i++) {
        if (i + ahead < n)
            __builtin_prefetch(&d.names[hashes[i + ahead] & (slots - 1)]);
        const char *name = d.strings.data() + d.objects[i].name;
        uint32_t h = hashes[i];
        uint32_t slot = h & (slots - 1);
        for (uint32_t e; (e = d.names[slot]) != 0; slot = (slot + 1) & (slots - 1)) {
            if (repeated == NONE && hashes[e - 1] == h &&
                std::strcmp(d.strings.data() + d.objects[e - 1].name, name) == 0)
                repeated = i;
        }
        d.names[slot] = i + 1;
    }

    // Views point into the arenas even when they are empty.
    d.values.reserve(1);
    d.oids.reserve(1);
    d.modules.reserve(1);
    d.jails.reserve(1);
    image_view &v = d.view;
    v.objects = d.objects.data();
    v.count = n;
    v.oids = d.oids.data();
    v.strings = d.strings.data();
    v.values = d.values.data();
    v.names = d.names.data();
    v.names_mask = slots - 1;
    v.modules = d.modules.data();
    v.nmodules = uint32_t(d.modules.size());
    v.jails = d.jails.data();
    v.njails = uint32_t(d.jails.size());
    v.securelevel = d.securelevel;
    return repeated;
}

bool image_equal(const image_view &a, const image_view &b)
{
    auto str = [](const image_view &v, uint32_t off) {
        return off == NONE ? std::string_view("\0none", 5) : std::string_view(v.strings + off);
    };
    if (a.count != b.count || a.nmodules != b.nmodules || a.njails != b.njails ||
        a.securelevel != b.securelevel)
        return false;
    for (uint32_t i = 0; i < a.count; i++) {
        const mib_object &x = a.objects[i], &y = b.objects[i];
        if (x.oid_len != y.oid_len ||
            std::memcmp(obj_oid(a, i), obj_oid(b, i), x.oid_len * sizeof(int32_t)) != 0 ||
            str(a, x.name) != str(b, y.name) || str(a, x.last) != str(b, y.last) ||
            str(a, x.format) != str(b, y.format) ||
            str(a, x.description) != str(b, y.description) || str(a, x.label) != str(b, y.label) ||
            x.value_len != y.value_len ||
            std::memcmp(a.values + x.value, b.values + y.value, x.value_len) != 0 ||
            x.kind != y.kind || x.maxlen != y.maxlen || x.parent != y.parent || x.end != y.end ||
            x.grows_by != y.grows_by || x.handler != y.handler || x.read_error != y.read_error ||
            x.write_error != y.write_error || x.handler_error != y.handler_error)
            return false;
    }
    for (uint32_t i = 0; i < a.nmodules; i++) {
        if (str(a, a.modules[i]) != str(b, b.modules[i]))
            return false;
    }
    for (uint32_t i = 0; i < a.njails; i++) {
        const mib_jail &x = a.jails[i], &y = b.jails[i];
        if (str(a, x.name) != str(b, y.name) || x.jid != y.jid || x.vnet != y.vnet)
            return false;
    }
    return true;
}

uint64_t image_fingerprint(const image_view &v)
{
    // FNV-1a over the records and the bytes they point at; only used to
    // tell one build of the default apart from another.
    uint64_t h = 14695981039346656037ull;
    auto mix = [&h](const void *p, size_t len) {
        const unsigned char *b = static_cast<const unsigned char *>(p);
        for (size_t i = 0; i < len; i++)
            h = (h ^ b[i]) * 1099511628211ull;
    };
    for (uint32_t i = 0; i < v.count; i++) {
        const mib_object &o = v.objects[i];
        mix(obj_oid(v, i), o.oid_len * sizeof(int32_t));
        mix(obj_name(v, i), std::strlen(obj_name(v, i)) + 1);
        mix(&o.kind, sizeof o.kind);
        mix(v.values + o.value, o.value_len);
        mix(&o.value_len, sizeof o.value_len);
    }
    return h;
}
