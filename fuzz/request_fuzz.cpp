/*
 * Fuzzes request handling over a fuzzed MIB image: parse_line, the lookup
 * of the name, the walk of the subtree, every renderer and the write. The
 * input is an image, a NUL, a byte of run options (-x/-o/-b, -h, -t, -N,
 * -d, -l -p, -z), a byte for -B, and the request line up to the next NUL.
 * An input without a NUL is a request on a small fixed image. Images that
 * do not load are left out: booting one stops the process, as it must.
 */
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "main.h"

static const char fixed_image[] = R"({"modules": ["oidlens"], "objects": [
 {"oid": [1], "name": "kern", "type": "node", "flags": ["RD", "WR"], "handler": false},
 {"oid": [1, 1], "name": "kern.ostype", "type": "string", "value": "FreeBSD"},
 {"oid": [1, 2], "name": "kern.maxfiles", "type": "integer", "flags": ["RD", "WR"], "value": 64000},
 {"oid": [1, 3], "name": "kern.temps", "type": "integer", "format": "IK", "flags": ["RD", "WR"], "value": [2732, 3000]},
 {"oid": [1, 4], "name": "kern.clockrate", "type": "opaque", "format": "S,clockinfo",
  "value": {"clockinfo": {"hz": 1000, "tick": 1000, "profhz": 8128, "stathz": 127}}},
 {"oid": [1, 5], "name": "kern.conftxt", "type": "string", "value": "options\tA\nident\tB\n"},
 {"oid": [1, 6], "name": "kern.grows", "type": "string", "value": "abc", "grows_by": 3},
 {"oid": [1, 7], "name": "kern.secret", "type": "integer", "value": 0, "read_error": "EPERM"},
 {"oid": [1, 8], "name": "kern.broken", "type": "uint64_t", "flags": ["RD", "WR"], "write_error": "ENOSPC"},
 {"oid": [2], "name": "vm", "type": "node", "handler": false},
 {"oid": [2, 1], "name": "vm.phys_free", "type": "string", "value": "\nDOMAIN 0:\n\nFREE LIST 0:\n\n  ORDER (SIZE)  |  NUMBER\n              |  POOL 0\n--            -- --\n  1 (     8K)  |  5\n"},
 {"oid": [2, 2], "name": "vm.nv", "type": "opaque", "format": "NV",
  "value": {"nvlist": [{"name": "a", "type": "number", "value": 1}, {"name": "s", "type": "nvlist", "value": [{"name": "b", "type": "string", "value": "x"}]}]}},
 {"oid": [2, 3], "name": "vm.smap", "type": "opaque", "format": "S,bios_smap_xattr",
  "value": {"smap": [{"base": 0, "length": 4096, "type": 1, "xattr": 1}]}}
]})";

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 16384)
        return 0;
    std::string in(reinterpret_cast<const char *>(data), size);
    size_t nul = in.find('\0');
    std::string image = nul == std::string::npos ? std::string(fixed_image) : in.substr(0, nul);
    std::string rest = nul == std::string::npos ? in : in.substr(nul + 1);
    if (rest.size() < 2)
        return 0;
    uint8_t bits = uint8_t(rest[0]), bufsize = uint8_t(rest[1]);
    std::string line = rest.substr(2);
    line = line.substr(0, line.find('\0'));

    if (!fuzz_boot_image(image))
        return 0;
    fuzz_set_options(bits);
    opts.bufsize = bufsize < 0x80 ? 0 : bufsize & 0x7f;
    walk_depth = 0;
    fuzz_xo_begin(bufsize & 3, false);
    parse_line(line.data());
    fuzz_xo_end();
    return 0;
}
