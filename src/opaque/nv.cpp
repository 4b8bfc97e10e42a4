/*
 * Packed name/value lists ("NV" values): unpacked with libnv and walked
 * pair by pair, nested lists and arrays of lists included. Each pair is
 * one line of text (its name, "=" and its value, indented one blank per
 * open nested list) and one container "nv" in XML and JSON; a nested list
 * gets a container "nvlist" of its own, array elements get none.
 *
 * The walk moves with nvlist_next and nvlist_get_pararr, so it uses no
 * recursion, and enters a nested list through the cookie of the pair that
 * holds it rather than by its name: a sublist may hold two lists of one
 * name, and entering the first one for both would never end.
 */
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <libxo/xo.h>
#include <sys/cnv.h>
#include <sys/nv.h>

#include "opaque.h"

/* The type names that -t adds after a shown pair, by libnv type code
 * (none where NULL: lists are entered, never shown; descriptors show no
 * type). They go through "%s": libxo takes a format without a conversion
 * that ends in a conversion letter ("..._STRING" ends in G) for a number
 * and leaves it unquoted, which is not JSON. */
static const char *const nv_type_names[] = {
    nullptr,
    "NV_TYPE_NULL",
    "NV_TYPE_BOOL",
    "NV_TYPE_NUMBER",
    "NV_TYPE_STRING",
    nullptr, /* NV_TYPE_NVLIST */
    nullptr, /* NV_TYPE_DESCRIPTOR */
    "NV_TYPE_BINARY",
    "NV_TYPE_BOOL_ARRAY",
    "NV_TYPE_NUMBER_ARRAY",
    "NV_TYPE_STRING_ARRAY",
};
static_assert(sizeof(nv_type_names) / sizeof(nv_type_names[0]) == NV_TYPE_STRING_ARRAY + 1);

/* Emits the value of the pair NAME of TYPE in NVL; ROLE goes to single
 * numbers and booleans. Values are read by name, as libnv's getters give
 * them (the first pair of that name and type). */
static void show_value(const nvlist_t *nvl, const char *name, int type, const char *role)
{
    size_t n = 0;
    switch (type) {
    case NV_TYPE_BOOL:
        xo_emit_field(role, "value", "%s", nullptr, nvlist_get_bool(nvl, name) ? "true" : "false");
        break;
    case NV_TYPE_NUMBER:
        xo_emit_field(role, "value", "%ju", nullptr,
                      static_cast<uintmax_t>(nvlist_get_number(nvl, name)));
        break;
    case NV_TYPE_STRING:
        xo_emit("{:value/%s}", nvlist_get_string(nvl, name));
        break;
    case NV_TYPE_BINARY: {
        const auto *bytes = static_cast<const unsigned char *>(nvlist_get_binary(nvl, name, &n));
        for (size_t i = 0; i < n; i++)
            xo_emit("{:value/%02x}", static_cast<unsigned>(bytes[i]));
        break;
    }
    case NV_TYPE_BOOL_ARRAY: {
        const bool *values = nvlist_get_bool_array(nvl, name, &n);
        for (size_t i = 0; i < n; i++) {
            if (i > 0)
                xo_emit("{Lw:}");
            xo_emit("{:value/%s}", values[i] ? "true" : "false");
        }
        break;
    }
    case NV_TYPE_NUMBER_ARRAY: {
        const uint64_t *values = nvlist_get_number_array(nvl, name, &n);
        for (size_t i = 0; i < n; i++) {
            if (i > 0)
                xo_emit("{Lw:}");
            xo_emit("{:value/%ju}", static_cast<uintmax_t>(values[i]));
        }
        break;
    }
    case NV_TYPE_STRING_ARRAY: {
        const char *const *values = nvlist_get_string_array(nvl, name, &n);
        for (size_t i = 0; i < n; i++) {
            if (i > 0)
                xo_emit("{Lw:}");
            xo_emit("{:value/%s}", values[i]);
        }
        break;
    }
    default:
        // Descriptors and unknown codes: the name and "=" only.
        break;
    }
}

/* Shows one pair at DEPTH inside its container "nv". */
static void show_pair(const nvlist_t *nvl, const char *name, int type, size_t depth, bool tflag,
                      const char *role)
{
    xo_open_container("nv");
    xo_emit("{L:\n}");
    for (size_t i = 0; i < depth; i++)
        xo_emit("{Lw:}");
    xo_emit("{:name/%s}", name);
    if (type != NV_TYPE_NULL)
        xo_emit("{L:=}");
    show_value(nvl, name, type, role);
    if (tflag && type >= 0 && type <= NV_TYPE_STRING_ARRAY && nv_type_names[type] != nullptr)
        xo_emit("{Lw:}{:nvtype/%s}", nv_type_names[type]);
    xo_close_container("nv");
}

/* Walks the unpacked list TOP. ENTERED holds one entry per list below the
 * top that the walk is in: true for a list entered through an NVLIST pair
 * (its container "nvlist" is open), false for an array element (none).
 * Leaving a list pops its entry and closes its container if it has one, so
 * every container is closed once, innermost first. Elements of an array
 * keep the depth of the list that holds the array. */
static void walk(const nvlist_t *top, bool tflag, const char *role)
{
    std::vector<bool> entered;
    const nvlist_t *list = top;
    void *cookie = nullptr;
    size_t depth = 0;
    for (;;) {
        int type = NV_TYPE_NONE;
        const char *name = nvlist_next(list, &type, &cookie);
        if (name == nullptr) {
            // Exhausted: on to the next element of the same array (the
            // cookie comes back NULL) or back after the holding pair.
            list = nvlist_get_pararr(list, &cookie);
            if (list == nullptr)
                return;
            if (cookie != nullptr && !entered.empty()) {
                if (entered.back()) {
                    xo_close_container("nvlist");
                    depth--;
                }
                entered.pop_back();
            }
            continue;
        }
        if (type == NV_TYPE_NVLIST) {
            list = cnvlist_get_nvlist(cookie);
            cookie = nullptr;
            entered.push_back(true);
            xo_open_container("nvlist");
            depth++;
        } else if (type == NV_TYPE_NVLIST_ARRAY) {
            list = cnvlist_get_nvlist_array(cookie, nullptr)[0];
            cookie = nullptr;
            entered.push_back(false);
        } else {
            show_pair(list, name, type, depth, tflag, role);
        }
    }
}

/* Shows the unpacked list NVL as display_nv does. Outside this file only
 * the tests call it, with pairs that no packed list can carry here
 * (descriptors). */
void display_nvlist(const nvlist_t *nvl, bool tflag, bool hflag)
{
    xo_open_container("nvlist");
    walk(nvl, tflag, hflag ? "h,hn-decimal" : nullptr);
    xo_close_container("nvlist");
}

int display_nv(const void *value, size_t size, bool tflag, bool hflag)
{
    nvlist_t *nvl = nvlist_unpack(value, size, 0);
    if (nvl == nullptr) {
        // Nothing of a list that does not exist is shown, not even its
        // container; the warning makes the failure count.
        xo_warnx("invalid packed name/value list (%zu bytes)", size);
        return 1;
    }
    display_nvlist(nvl, tflag, hflag);
    nvlist_destroy(nvl);
    return 0;
}
