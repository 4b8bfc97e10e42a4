/*
 * The walk printer of the list tests: the same walk as the program's
 * display of packed lists, written as text events so one comparison checks
 * a whole list against its .walk file.
 */
#include "nv_walk.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

#include <sys/cnv.h>

/* TEXT in double quotes, with quotes, backslashes and unprintable bytes
 * escaped. */
static std::string quoted(const char *text)
{
    std::string out = "\"";
    for (const char *p = text; *p != '\0'; p++) {
        auto c = static_cast<unsigned char>(*p);
        char hex[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7e) {
            snprintf(hex, sizeof(hex), "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

static const char *const type_names[] = {
    "NV_TYPE_NONE",
    "NV_TYPE_NULL",
    "NV_TYPE_BOOL",
    "NV_TYPE_NUMBER",
    "NV_TYPE_STRING",
    "NV_TYPE_NVLIST",
    "NV_TYPE_DESCRIPTOR",
    "NV_TYPE_BINARY",
    "NV_TYPE_BOOL_ARRAY",
    "NV_TYPE_NUMBER_ARRAY",
    "NV_TYPE_STRING_ARRAY",
    "NV_TYPE_NVLIST_ARRAY",
    "NV_TYPE_DESCRIPTOR_ARRAY",
};
static_assert(sizeof(type_names) / sizeof(type_names[0]) == NV_TYPE_DESCRIPTOR_ARRAY + 1);

/* The value tokens of the pair at COOKIE, each preceded by a blank. */
static std::string value_text(const void *cookie, int type)
{
    std::string out;
    size_t n = 0;
    switch (type) {
    case NV_TYPE_BOOL:
        return cnvlist_get_bool(cookie) ? " true" : " false";
    case NV_TYPE_NUMBER:
        return std::string(" ").append(std::to_string(cnvlist_get_number(cookie)));
    case NV_TYPE_STRING:
        return std::string(" ").append(quoted(cnvlist_get_string(cookie)));
    case NV_TYPE_BINARY: {
        const auto *bytes = static_cast<const unsigned char *>(cnvlist_get_binary(cookie, &n));
        out.push_back(' ');
        for (size_t i = 0; i < n; i++) {
            char hex[4];
            snprintf(hex, sizeof(hex), "%02x", bytes[i]);
            out += hex;
        }
        return out;
    }
    case NV_TYPE_BOOL_ARRAY: {
        const bool *values = cnvlist_get_bool_array(cookie, &n);
        for (size_t i = 0; i < n; i++)
            out += values[i] ? " true" : " false";
        return out;
    }
    case NV_TYPE_NUMBER_ARRAY: {
        const uint64_t *values = cnvlist_get_number_array(cookie, &n);
        for (size_t i = 0; i < n; i++)
            out.append(" ").append(std::to_string(values[i]));
        return out;
    }
    case NV_TYPE_STRING_ARRAY: {
        const char *const *values = cnvlist_get_string_array(cookie, &n);
        for (size_t i = 0; i < n; i++)
            out.append(" ").append(quoted(values[i]));
        return out;
    }
    default:
        return out;
    }
}

std::string nv_walk_text(const nvlist_t *nvl, size_t budget)
{
    std::string out;
    std::vector<bool> entered_by_pair; /* per open list below the top */
    const nvlist_t *list = nvl;
    void *cookie = nullptr;
    size_t depth = 0;
    for (size_t steps = 0;; steps++) {
        if (steps == budget)
            return out + "budget-exhausted\n";
        int type = NV_TYPE_NONE;
        const char *name = nvlist_next(list, &type, &cookie);
        if (name != nullptr) {
            if (type == NV_TYPE_NVLIST) {
                list = cnvlist_get_nvlist(cookie);
                cookie = nullptr;
                entered_by_pair.push_back(true);
                depth++;
                out += "open\n";
            } else if (type == NV_TYPE_NVLIST_ARRAY) {
                list = cnvlist_get_nvlist_array(cookie, nullptr)[0];
                cookie = nullptr;
                entered_by_pair.push_back(false);
            } else {
                const char *tname = type >= 0 && type <= NV_TYPE_DESCRIPTOR_ARRAY
                                        ? type_names[type]
                                        : "NV_TYPE_UNKNOWN";
                out += "pair " + std::to_string(depth) + " " + tname + " " + quoted(name) +
                       value_text(cookie, type) + "\n";
            }
            continue;
        }
        list = nvlist_get_pararr(list, &cookie);
        if (list == nullptr)
            break;
        // A NULL cookie means the next element of the same array; anything
        // else means the walk climbed back to the pair that held the list.
        if (cookie != nullptr && !entered_by_pair.empty()) {
            if (entered_by_pair.back()) {
                out += "close\n";
                depth--;
            }
            entered_by_pair.pop_back();
        }
    }
    return out;
}
