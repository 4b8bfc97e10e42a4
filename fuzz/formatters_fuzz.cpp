/*
 * Fuzzes the formatters of opaque values: the kernel structures, the UEFI
 * memory map, the SMAP and the dump of other formats. The first byte picks
 * the formatter (through display_opaque and its format table, so that the
 * dispatch is fuzzed too), the second the libxo style and -t/-h/-o/-x; the
 * value lies in a buffer of exactly its size.
 */
#include <cstdint>
#include <cstring>
#include <vector>

#include <sys/sysctl.h>

#include "fuzz_util.h"
#include "opaque.h"

static const char *const formats[] = {
    "S,clockinfo",
    "S,timeval",
    "S,loadavg",
    "S,vmtotal",
    "S,pagesizes",
    "S,input_id",
    "S,efi_map_header",
    "S,bios_smap_xattr",
    "S,blob",
    "S",
    "",
    "NV",
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    uint8_t which = data[0], mode = data[1];
    std::vector<uint8_t> value(data + 2, data + size);
    const void *bytes = value.empty() ? nullptr : value.data();

    char format[32];
    std::strcpy(format, formats[which % (sizeof formats / sizeof formats[0])]);
    int oid[2] = {1, 1};
    char name[] = "fuzz.value";
    oidkit_object object{};
    object.oid = oid;
    object.oid_len = 2;
    object.name = name;
    object.type = (which & 0x80) ? CTLTYPE_NODE : CTLTYPE_OPAQUE;
    object.format = format;

    bool hflag = mode & 8;
    fuzz_xo_begin(mode & 3, mode & 4);
    if (which & 0x40) {
        // The formatters called directly, as their own tests do.
        switch (which % 8) {
        case 0:
            S_clockinfo(bytes, value.size(), hflag);
            break;
        case 1:
            S_timeval(bytes, value.size(), hflag);
            break;
        case 2:
            S_loadavg(bytes, value.size());
            break;
        case 3:
            S_vmtotal(bytes, value.size(), hflag);
            break;
        case 4:
            S_pagesize(bytes, value.size(), hflag);
            break;
        case 5:
            S_input_id(bytes, value.size());
            break;
        case 6:
            S_efi_map(bytes, value.size());
            break;
        default:
            S_bios_smap_xattr(bytes, value.size());
            break;
        }
    } else {
        int dump = (mode >> 5) & 3;
        display_opaque(&object, bytes, value.size(), mode & 16, hflag, dump == 1, dump == 2);
    }
    fuzz_xo_end();
    return 0;
}
