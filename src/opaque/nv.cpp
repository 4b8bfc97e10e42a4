/*
 * Packed name/value lists ("NV" values): unpacked with libnv and walked
 * pair by pair, nested lists and arrays of lists included. Each pair is
 * one line of text (its name, "=" and its value, indented one blank per
 * open nested list) and one instance of the list "nv" in XML and JSON, so
 * that JSON keeps every pair in its order. A pair holding a list is an
 * instance too: its name (not shown in text) and a container "nvlist" with
 * the list "nv" of the nested pairs; a pair holding an array of lists has
 * a list "nvlist", one instance per element. Array values are leaf-lists.
 *
 * The walk moves with nvlist_next and nvlist_get_pararr, so it uses no
 * recursion, and both reads a value and enters a nested list through the
 * cookie of its pair rather than by its name: a sublist may hold two pairs
 * of one name, each with a value of its own, and entering the first list
 * of a name for both would never end.
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

/* Emits the value of the pair at COOKIE, of TYPE; ROLE goes to single
 * numbers and booleans. */
static void show_value(const void *cookie, int type, const char *role)
{
    size_t n = 0;
    switch (type) {
    case NV_TYPE_BOOL:
        xo_emit_field(role, "value", "%s", nullptr, cnvlist_get_bool(cookie) ? "true" : "false");
        break;
    case NV_TYPE_NUMBER:
        xo_emit_field(role, "value", "%ju", nullptr,
                      static_cast<uintmax_t>(cnvlist_get_number(cookie)));
        break;
    case NV_TYPE_STRING:
        xo_emit("{:value/%s}", cnvlist_get_string(cookie));
        break;
    case NV_TYPE_BINARY: {
        const auto *bytes = static_cast<const unsigned char *>(cnvlist_get_binary(cookie, &n));
        for (size_t i = 0; i < n; i++)
            xo_emit("{l:value/%02x}", static_cast<unsigned>(bytes[i]));
        break;
    }
    case NV_TYPE_BOOL_ARRAY: {
        const bool *values = cnvlist_get_bool_array(cookie, &n);
        for (size_t i = 0; i < n; i++) {
            if (i > 0)
                xo_emit("{Lw:}");
            xo_emit("{l:value/%s}", values[i] ? "true" : "false");
        }
        break;
    }
    case NV_TYPE_NUMBER_ARRAY: {
        const uint64_t *values = cnvlist_get_number_array(cookie, &n);
        for (size_t i = 0; i < n; i++) {
            if (i > 0)
                xo_emit("{Lw:}");
            xo_emit("{l:value/%ju}", static_cast<uintmax_t>(values[i]));
        }
        break;
    }
    case NV_TYPE_STRING_ARRAY: {
        const char *const *values = cnvlist_get_string_array(cookie, &n);
        for (size_t i = 0; i < n; i++) {
            if (i > 0)
                xo_emit("{Lw:}");
            xo_emit("{l:value/%s}", values[i]);
        }
        break;
    }
    default:
        // Descriptors and unknown codes: the name and "=" only.
        break;
    }
}

/* Shows the pair at COOKIE, named NAME, at DEPTH as one instance "nv". */
static void show_pair(const void *cookie, const char *name, int type, size_t depth, bool tflag,
                      const char *role)
{
    xo_open_instance("nv");
    xo_emit("{L:\n}");
    for (size_t i = 0; i < depth; i++)
        xo_emit("{Lw:}");
    xo_emit("{:name/%s}", name);
    if (type != NV_TYPE_NULL)
        xo_emit("{L:=}");
    show_value(cookie, type, role);
    if (tflag && type >= 0 && type <= NV_TYPE_STRING_ARRAY && nv_type_names[type] != nullptr)
        xo_emit("{Lw:}{:nvtype/%s}", nv_type_names[type]);
    xo_close_instance("nv");
}

/* The lists below the top that the walk is in: one entered through an
 * NVLIST pair, or an element of an NVLIST_ARRAY pair. */
enum class entered_kind { nested, element };

/* Opens the instance "nv" of a pair NAME that holds lists. */
static void open_holder(const char *name)
{
    xo_open_instance("nv");
    xo_emit("{e:name/%s}", name);
}

/* Opens one element of an array of lists, and closes it. */
static void open_element()
{
    xo_open_instance("nvlist");
    xo_open_list("nv");
}

static void close_element()
{
    xo_close_list("nv");
    xo_close_instance("nvlist");
}

/* Walks the unpacked list TOP. ENTERED holds one entry per list below the
 * top that the walk is in; leaving a list pops its entry and closes what
 * entering it opened, innermost first. Elements of an array keep the depth
 * of the list that holds the array. */
static void walk(const nvlist_t *top, bool tflag, const char *role)
{
    std::vector<entered_kind> entered;
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
            if (entered.empty())
                continue;
            if (cookie == nullptr) {
                close_element();
                open_element();
                continue;
            }
            if (entered.back() == entered_kind::nested) {
                xo_close_list("nv");
                xo_close_container("nvlist");
                depth--;
            } else {
                close_element();
                xo_close_list("nvlist");
            }
            xo_close_instance("nv");
            entered.pop_back();
            continue;
        }
        if (type == NV_TYPE_NVLIST) {
            open_holder(name);
            xo_open_container("nvlist");
            xo_open_list("nv");
            list = cnvlist_get_nvlist(cookie);
            cookie = nullptr;
            entered.push_back(entered_kind::nested);
            depth++;
        } else if (type == NV_TYPE_NVLIST_ARRAY) {
            open_holder(name);
            xo_open_list("nvlist");
            open_element();
            list = cnvlist_get_nvlist_array(cookie, nullptr)[0];
            cookie = nullptr;
            entered.push_back(entered_kind::element);
        } else {
            show_pair(cookie, name, type, depth, tflag, role);
        }
    }
}

/* Shows the unpacked list NVL as display_nv does. Outside this file only
 * the tests call it, with pairs that no packed list can carry here
 * (descriptors). */
void display_nvlist(const nvlist_t *nvl, bool tflag, bool hflag)
{
    xo_open_container("nvlist");
    xo_open_list("nv");
    walk(nvl, tflag, hflag ? "h,hn-decimal" : nullptr);
    xo_close_list("nv");
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
