/*
 * The memory maps that the boot firmware hands the kernel: the UEFI memory
 * map (a header and descriptors of a stride that the header gives) shown
 * as a table, and the BIOS SMAP with extended attributes shown entry by
 * entry. Descriptors and entries are instances of a list, and attributes
 * a leaf-list, so that JSON keeps each of them. Both trust the value only
 * as far as its size allows: no byte is read outside it, whatever the
 * header claims.
 */
#include <cstdint>
#include <cstring>

#include <libxo/xo.h>

#include "opaque.h"

namespace
{

uint64_t u64_at(const unsigned char *bytes, size_t offset)
{
    uint64_t field;
    std::memcpy(&field, bytes + offset, sizeof(field));
    return field;
}

uint32_t u32_at(const unsigned char *bytes, size_t offset)
{
    uint32_t field;
    std::memcpy(&field, bytes + offset, sizeof(field));
    return field;
}

// The header's fields that are read; the descriptors start after its 32
// bytes, though only its first 24 need to be present.
const size_t efi_header_min = 24;
const size_t efi_header_size = 32;
// The part of a descriptor that is read: type, padding, physical and
// virtual start, page count, attributes.
const size_t efi_descriptor_size = 40;

// UEFI memory types, indexed by type.
const char *const efi_types[] = {
    "Reserved",
    "LoaderCode",
    "LoaderData",
    "BootServicesCode",
    "BootServicesData",
    "RuntimeServicesCode",
    "RuntimeServicesData",
    "ConventionalMemory",
    "UnusableMemory",
    "ACPIReclaimMemory",
    "ACPIMemoryNVS",
    "MemoryMappedIO",
    "MemoryMappedIOPortSpace",
    "PalCode",
    "PersistentMemory",
};
static_assert(sizeof(efi_types) / sizeof(efi_types[0]) == 15, "fifteen UEFI memory types");

struct efi_attribute {
    uint64_t bit;
    const char *name;
};

// UEFI memory attributes shown with a blank after each, in this order;
// RUNTIME (the top bit) comes last and without the blank.
const efi_attribute efi_attributes[] = {
    {0x1, "UC"},   {0x2, "WC"},    {0x4, "WT"},    {0x8, "WB"},
    {0x10, "UCE"}, {0x1000, "WP"}, {0x2000, "RP"}, {0x4000, "XP"},
};
static_assert(sizeof(efi_attributes) / sizeof(efi_attributes[0]) == 8,
              "eight attributes before RUNTIME");
const uint64_t efi_runtime = uint64_t{1} << 63;

const size_t smap_entry_size = 24;

void show_efi_descriptor(const unsigned char *md)
{
    uint32_t type = u32_at(md, 0);
    const char *type_name = type < 15 ? efi_types[type] : "<INVALID>";
    uintmax_t phys = u64_at(md, 8);
    uintmax_t virt = u64_at(md, 16);
    uintmax_t pages = u64_at(md, 24);
    uint64_t attr = u64_at(md, 32);

    xo_open_instance("md");
    xo_emit("{L:\n}{:types/%23s}{L: }{:md_phys/%012jx}", type_name, phys);
    xo_emit("{L: }{:md_virt/%012jx}{L: }{:md_pages/%08jx}{L: }", virt, pages);
    xo_open_container("md_attrs");
    for (const efi_attribute &attribute : efi_attributes)
        if ((attr & attribute.bit) != 0)
            xo_emit("{l:md_attr/%s}{L: }", attribute.name);
    if ((attr & efi_runtime) != 0)
        xo_emit("{l:md_attr/%s}", "RUNTIME");
    xo_close_container("md_attrs");
    xo_close_instance("md");
}

} // namespace

// Shows a UEFI memory map as a table, one line per descriptor. Returns 1
// when the value's size contradicts its header, or when its descriptors
// are too small to hold the fields shown; else 0. A descriptor size of 0
// shows nothing. Never reads past the value, even when the header lies.
int S_efi_map(const void *value, size_t size)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(value);
    if (size < efi_header_min) {
        xo_warnx("S_efi_map length less than header");
        return 1;
    }
    uint64_t stride = u64_at(bytes, 8);
    if (stride == 0)
        return 0;
    uint64_t area = u64_at(bytes, 0);
    // An area so large that the header plus the area wraps around cannot
    // match any value; saying so with the wrapped sum would be a lie, so
    // the expected length is shown as the largest one.
    uint64_t expected = area > UINT64_MAX - efi_header_size ? UINT64_MAX : area + efi_header_size;
    if (size != expected) {
        xo_warnx("S_efi_map length mismatch %zu vs %zu", size, static_cast<size_t>(expected));
        return 1;
    }
    uint64_t count = area / stride;
    // A stride shorter than the fields read would make the last descriptor
    // reach past the value. A map without descriptors is harmless whatever
    // its stride.
    if (count > 0 && stride < efi_descriptor_size) {
        xo_warnx("S_efi_map descriptor size %zu is less than %zu", static_cast<size_t>(stride),
                 efi_descriptor_size);
        return 1;
    }

    xo_emit("{L:\n}{L:/%23s}{L:/%12s}{L:/%12s}{L:/%8s}{L:/%4s}", "Type", "Physical", "Virtual",
            "#Pages", "Attr");
    xo_open_list("md");
    for (uint64_t i = 0; i < count; i++)
        show_efi_descriptor(bytes + efi_header_size + i * stride);
    xo_close_list("md");
    return 0;
}

// Shows a BIOS SMAP with extended attributes, one line per 24-byte entry.
// Returns 1 when the size is not a multiple of 24, else 0.
int S_bios_smap_xattr(const void *value, size_t size)
{
    if (size % smap_entry_size != 0) {
        xo_warnx("S_bios_smap_xattr %zu is not a multiple of %zu", size, smap_entry_size);
        return 1;
    }
    const unsigned char *bytes = static_cast<const unsigned char *>(value);
    xo_open_list("SMAP");
    for (size_t offset = 0; offset < size; offset += smap_entry_size) {
        const unsigned char *entry = bytes + offset;
        uintmax_t base = u64_at(entry, 0);
        uintmax_t length = u64_at(entry, 8);
        unsigned int type = u32_at(entry, 16);
        unsigned int xattr = u32_at(entry, 20);

        xo_open_instance("SMAP");
        xo_emit("{L:\n}");
        xo_emit("{L:SMAP }");
        xo_emit("{L:type=}{V:type/%02x}{L:, }", type);
        xo_emit("{L:xattr=}{V:xattr/%02x}{L:, }", xattr);
        xo_emit("{L:base=}{V:base/%016jx}{L:, }", base);
        xo_emit("{L:len=}{V:len/%016jx}", length);
        xo_close_instance("SMAP");
    }
    xo_close_list("SMAP");
    return 0;
}
