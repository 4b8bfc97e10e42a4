/*
 * Fuzzes the parsers of written values: strIK_to_int with every precision,
 * and set_value, which turns a comma-separated text into elements of an
 * object's type and writes them, on a small image with one writable
 * object of every type. The first byte picks the object, the second -B;
 * the rest, up to a NUL, is the text. A write that fails must leave the
 * value as it was.
 */
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <oidkit.h>
#include <sys/sysctl.h>

#include "fuzz_util.h"
#include "main.h"
#include "opaque.h"

static const char image[] = R"({"modules": ["oidlens"], "objects": [
 {"oid": [1], "name": "w", "type": "node", "flags": ["RD", "WR"], "handler": false},
 {"oid": [1, 1], "name": "w.int", "type": "integer", "flags": ["RD", "WR"], "value": [1, 2]},
 {"oid": [1, 2], "name": "w.temp", "type": "integer", "format": "IK", "flags": ["RD", "WR"], "value": 2732},
 {"oid": [1, 3], "name": "w.temp3", "type": "integer", "format": "IK3", "flags": ["RD", "WR"], "value": 273150},
 {"oid": [1, 4], "name": "w.str", "type": "string", "flags": ["RD", "WR"], "value": "x", "maxlen": 64},
 {"oid": [1, 5], "name": "w.s64", "type": "int64_t", "flags": ["RD", "WR"], "value": 0},
 {"oid": [1, 6], "name": "w.uint", "type": "unsigned integer", "flags": ["RD", "WR"], "value": 0},
 {"oid": [1, 7], "name": "w.long", "type": "long integer", "flags": ["RD", "WR"], "value": 0},
 {"oid": [1, 8], "name": "w.ulong", "type": "unsigned long", "flags": ["RD", "WR"], "value": 0},
 {"oid": [1, 9], "name": "w.u64", "type": "uint64_t", "flags": ["RD", "WR"], "value": 0},
 {"oid": [1, 10], "name": "w.u8", "type": "uint8_t", "flags": ["RD", "WR"], "value": 0},
 {"oid": [1, 11], "name": "w.u16", "type": "uint16_t", "flags": ["RD", "WR"], "value": 0},
 {"oid": [1, 12], "name": "w.s8", "type": "int8_t", "flags": ["RD", "WR"], "value": 0},
 {"oid": [1, 13], "name": "w.s16", "type": "int16_t", "flags": ["RD", "WR"], "value": 0},
 {"oid": [1, 14], "name": "w.s32", "type": "int32_t", "flags": ["RD", "WR"], "value": 0},
 {"oid": [1, 15], "name": "w.u32", "type": "uint32_t", "flags": ["RD", "WR"], "value": 0},
 {"oid": [1, 16], "name": "w.ro", "type": "integer", "flags": ["RD"], "value": 0},
 {"oid": [1, 17], "name": "w.opaque", "type": "opaque", "format": "S,clockinfo", "flags": ["RD", "WR"]},
 {"oid": [1, 18], "name": "w.broken", "type": "integer", "flags": ["RD", "WR"], "write_error": "EIO"}
]})";

static std::vector<oidkit_object *> &objects()
{
    static std::vector<oidkit_object *> list = [] {
        std::vector<oidkit_object *> found;
        if (!fuzz_boot_image(image))
            abort();
        // Kept for the whole run, referenced from here so that the leak
        // check does not take it for lost.
        static oidkit_object *root = oidkit_treebyname("w");
        if (root == nullptr)
            abort();
        for (oidkit_object *o = root->children->first; o != nullptr; o = o->next)
            found.push_back(o);
        return found;
    }();
    return list;
}

static std::string current(const oidkit_object *o)
{
    char buf[256];
    size_t len = sizeof buf;
    if (sysctl(o->oid, unsigned(o->oid_len), buf, &len, nullptr, 0) != 0)
        return "(unreadable)";
    return std::string(buf, len);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size > 4096)
        return 0;
    std::vector<oidkit_object *> &list = objects();
    const oidkit_object *object = list[data[0] % list.size()];
    std::string text(reinterpret_cast<const char *>(data) + 2, size - 2);
    text = text.substr(0, text.find('\0'));

    if (!text.empty()) {
        static const char *const precisions[] = {"IK", "IK0", "IK1", "IK3", "IK9"};
        int32_t kelvin = 0;
        errno = 0;
        strIK_to_int(text.c_str(), &kelvin, precisions[data[1] % 5]);
    }

    fuzz_set_options(0);
    opts.Nflag = data[1] & 0x80;
    opts.bufsize = (data[1] & 0x40) ? data[1] & 0x3f : 0;
    std::string before = current(object);
    fuzz_xo_begin(data[1] & 3, false);
    int failed = set_value(object, text.c_str());
    fuzz_xo_end();
    if (failed != 0 && current(object) != before)
        abort();
    return 0;
}
