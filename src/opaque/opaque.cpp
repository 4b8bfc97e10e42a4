/*
 * Opaque and node values: the format string picks a formatter from a fixed
 * table; a value of any other format is shown as a hexadecimal dump under
 * -o or -x, and not at all otherwise. Whatever happens, the value sits in
 * the container "value", so that XML and JSON always carry it.
 */
#include <cstring>

#include <libxo/xo.h>

#include "opaque.h"

namespace
{

enum formatter_id {
    F_NV,
    F_CLOCKINFO,
    F_TIMEVAL,
    F_LOADAVG,
    F_VMTOTAL,
    F_PAGESIZES,
    F_INPUT_ID,
    F_EFI_MAP,
    F_SMAP,
};

struct formatter_row {
    const char *format;
    formatter_id id;
};

// Tried in this order; a format matches only when it equals a row whole.
const formatter_row formatter_table[] = {
    {"NV", F_NV},
    {"S,clockinfo", F_CLOCKINFO},
    {"S,timeval", F_TIMEVAL},
    {"S,loadavg", F_LOADAVG},
    {"S,vmtotal", F_VMTOTAL},
    {"S,pagesizes", F_PAGESIZES},
    {"S,input_id", F_INPUT_ID},
    {"S,efi_map_header", F_EFI_MAP},
    {"S,bios_smap_xattr", F_SMAP},
};
static_assert(sizeof(formatter_table) / sizeof(formatter_table[0]) == 9, "one row per formatter");

// The dump shows at most this many bytes under -o.
const size_t short_dump = 16;

const formatter_row *find_formatter(const char *format)
{
    for (const formatter_row &row : formatter_table)
        if (std::strcmp(format, row.format) == 0)
            return &row;
    return nullptr;
}

// The dump's container is named after the format without its first two
// characters ("S,foo" gives "foo"). A format of two characters or fewer
// leaves no name there, and an empty element name is not valid XML, so
// such a dump goes into the container "opaque".
const char *dump_container_name(const char *format)
{
    if (std::strlen(format) <= 2)
        return "opaque";
    return format + 2;
}

void dump_value(const char *format, const unsigned char *bytes, size_t size, bool oflag)
{
    const char *name = dump_container_name(format);
    xo_open_container(name);
    xo_emit("{Lc:Format}{:format/%s}", format);
    xo_emit("{P: }{Lc:Length}{:lenght/%lu}", static_cast<unsigned long>(size));
    xo_emit("{P: }{Lc:Dump}0x");
    size_t shown = size;
    if (oflag && shown > short_dump)
        shown = short_dump;
    for (size_t i = 0; i < shown; i++)
        xo_emit("{l:dump/%02x}", static_cast<unsigned int>(bytes[i]));
    if (oflag && size > short_dump)
        xo_emit("{L:...}");
    xo_close_container(name);
}

int call_formatter(formatter_id id, const void *value, size_t size, bool tflag, bool hflag)
{
    switch (id) {
    case F_NV:
        return display_nv(value, size, tflag, hflag);
    case F_CLOCKINFO:
        return S_clockinfo(value, size, hflag);
    case F_TIMEVAL:
        return S_timeval(value, size, hflag);
    case F_LOADAVG:
        return S_loadavg(value, size);
    case F_VMTOTAL:
        return S_vmtotal(value, size, hflag);
    case F_PAGESIZES:
        return S_pagesize(value, size, hflag);
    case F_INPUT_ID:
        return S_input_id(value, size);
    case F_EFI_MAP:
        return S_efi_map(value, size);
    case F_SMAP:
        return S_bios_smap_xattr(value, size);
    }
    return 0;
}

} // namespace

// True when OBJECT's format equals one of the formatter table's, whole
// and in the same case; the walk leaves out opaque values that would
// otherwise show nothing.
bool is_opaque_defined(const oidkit_object *object)
{
    return find_formatter(object->format) != nullptr;
}

// Shows VALUE (SIZE bytes, read in place) by its format's formatter, or as
// a dump under -o or -x, always inside the container "value". Returns the
// formatter's result (1 for a rejected size), or 0.
int display_opaque(const oidkit_object *object, const void *value, size_t size, bool tflag,
                   bool hflag, bool oflag, bool xflag)
{
    int errors = 0;
    xo_open_container("value");
    const formatter_row *row = find_formatter(object->format);
    if (row != nullptr)
        errors = call_formatter(row->id, value, size, tflag, hflag);
    else if (oflag || xflag)
        dump_value(object->format, static_cast<const unsigned char *>(value), size, oflag);
    xo_close_container("value");
    return errors;
}

void display_raw(const oidkit_object *object, const void *value, size_t size)
{
    xo_open_container("value");
    dump_value(object->format, static_cast<const unsigned char *>(value), size, false);
    xo_close_container("value");
}
