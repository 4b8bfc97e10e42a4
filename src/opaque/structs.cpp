/*
 * Formatters of six kernel structures passed as opaque values: clockinfo,
 * timeval, loadavg, vmtotal, the page size array and input_id. Each checks
 * the value's size, then reads the fields in place (with memcpy, since the
 * value is only a run of bytes) and shows them inside a container named
 * after the structure: labels make readable text, named fields make XML
 * and JSON.
 */
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include <unistd.h>

#include <libxo/xo.h>

#include "opaque.h"

namespace
{

template <typename T> T field_at(const void *value, size_t offset)
{
    T field;
    std::memcpy(&field, static_cast<const unsigned char *>(value) + offset, sizeof(field));
    return field;
}

// Sizes of the structures on amd64, the kernel's layout.
const size_t clockinfo_size = 20;
const size_t timeval_size = 16;
const size_t loadavg_size = 24;
const size_t vmtotal_size = 88;
const size_t pagesize_entry = 8; /* u_long */
const size_t input_id_size = 8;

// Whether a value of SIZE bytes is the WANT bytes of the structure that the
// renderer NAME shows; warns when it is not.
bool has_size(const char *name, size_t size, size_t want)
{
    if (size == want)
        return true;
    xo_warnx("%s %zu != %zu", name, size, want);
    return false;
}

// The calendar text of SECONDS in the local time zone, without ctime's
// newline. ctime gives no text for a time whose year does not fit; the
// date is then empty rather than a guess.
std::string calendar_text(int64_t seconds)
{
    time_t when = static_cast<time_t>(seconds);
    const char *text = std::ctime(&when);
    if (text == nullptr)
        return std::string();
    std::string date(text);
    if (!date.empty() && date.back() == '\n')
        date.pop_back();
    return date;
}

// One memory section of vmtotal: a container, its label and the offsets
// of its two page counts.
struct vm_section {
    const char *container;
    const char *label;
    const char *spacing;
    size_t total_offset;
    size_t active_offset;
};

const vm_section vm_sections[] = {
    {"virtual-memory", "Virtual Memory", "\t\t", 0, 8},
    {"real-memory", "Real Memory", "\t\t", 16, 24},
    {"shared-virtual-memory", "Shared Virtual Memory", "\t", 32, 40},
    {"shared-real-memory", "Shared Real Memory", "\t", 48, 56},
};
static_assert(sizeof(vm_sections) / sizeof(vm_sections[0]) == 4, "four memory sections");

const size_t vm_free_offset = 64;

} // namespace

// Shows struct clockinfo. Returns 1 when the size is not 20, else 0.
int S_clockinfo(const void *value, size_t size, bool hflag)
{
    if (!has_size("S_clockinfo", size, clockinfo_size))
        return 1;
    const char *role = hflag ? "h" : nullptr;
    // The fields are shown in the order of the kernel's own listing, which
    // is not their order in memory (stathz comes before profhz there).
    int hz = field_at<int32_t>(value, 0);
    int tick = field_at<int32_t>(value, 4);
    int stathz = field_at<int32_t>(value, 12);
    int profhz = field_at<int32_t>(value, 16);

    xo_open_container("clockinfo");
    xo_emit("{L:{ }");
    xo_emit("{Lw:hz =}");
    xo_emit_field(role, "hz", "%d", nullptr, hz);
    xo_emit(", {Lw:tick =}");
    xo_emit_field(role, "tick", "%d", nullptr, tick);
    xo_emit(", {Lw:profhz =}");
    xo_emit_field(role, "profhz", "%d", nullptr, profhz);
    xo_emit(", {Lw:stathz =}");
    xo_emit_field(role, "stathz", "%d", nullptr, stathz);
    xo_emit("{N: }}");
    xo_close_container("clockinfo");
    return 0;
}

// Shows struct timeval with its date in the local time zone. Returns 1
// when the size is not 16, else 0.
int S_timeval(const void *value, size_t size, bool hflag)
{
    if (!has_size("S_timeval", size, timeval_size))
        return 1;
    const char *role = hflag ? "h,hn-decimal" : nullptr;
    int64_t seconds = field_at<int64_t>(value, 0);
    int64_t microseconds = field_at<int64_t>(value, 8);

    xo_open_container("timeval");
    xo_emit("{Lw:{ sec =}");
    xo_emit_field(role, "sec", "%jd", nullptr, static_cast<intmax_t>(seconds));
    xo_emit(", {Lw:usec =}");
    xo_emit_field(role, "usec", "%ld", nullptr, static_cast<long>(microseconds));
    xo_emit("{Nw:}}");
    std::string date = calendar_text(seconds);
    xo_emit("{P: }{:date/%s}", date.c_str());
    xo_close_container("timeval");
    return 0;
}

// Shows struct loadavg as three averages with two decimals. Returns 1
// when the size is not 24, else 0.
int S_loadavg(const void *value, size_t size)
{
    if (!has_size("S_loadavg", size, loadavg_size))
        return 1;
    // A scale of 0 is shown as what the division gives (inf or nan): the
    // value is the kernel's, and hiding it would hide the fault.
    double scale = static_cast<double>(field_at<int64_t>(value, 16));
    double ldavg[3];
    for (size_t i = 0; i < 3; i++) {
        ldavg[i] = static_cast<double>(field_at<uint32_t>(value, 4 * i)) / scale;
        // 0/0 gives a NaN with the sign bit set on x86, which glibc prints
        // as "-nan"; a NaN has no sign worth showing, and FreeBSD prints
        // "nan" for it.
        if (std::isnan(ldavg[i]))
            ldavg[i] = std::fabs(ldavg[i]);
    }

    xo_open_container("loadavg");
    xo_emit("{L:{ }");
    xo_emit_field(nullptr, "ldavg0", "%.2f", nullptr, ldavg[0]);
    xo_emit("{Lw:}");
    xo_emit_field(nullptr, "ldavg1", "%.2f", nullptr, ldavg[1]);
    xo_emit("{Lw:}");
    xo_emit_field(nullptr, "ldavg2", "%.2f", nullptr, ldavg[2]);
    xo_emit("{N: }}");
    xo_close_container("loadavg");
    return 0;
}

// Shows struct vmtotal, memory figures in kilobytes. Returns 1 when the
// size is not 88, else 0.
int S_vmtotal(const void *value, size_t size, bool hflag)
{
    if (!has_size("S_vmtotal", size, vmtotal_size))
        return 1;
    const char *role = hflag ? "h,hn-decimal" : nullptr;
    const uint64_t kb_per_page = static_cast<uint64_t>(getpagesize() / 1024);
    xo_open_container("vmtotal");
    xo_emit("\n{T:System wide totals computed every five seconds: (values in kilobytes)}\n");
    xo_emit("{T:===============================================}\n");

    xo_open_container("processes");
    xo_emit("{Lc:Processes}{P:\t\t}");
    // The four thread counts are signed 16-bit integers, widened with
    // their sign, and are not scaled.
    xo_emit("{Lwc:(RUNQ}");
    xo_emit_field(role, "runq", "%d", nullptr, int{field_at<int16_t>(value, 72)});
    xo_emit(" {Lwc:Disk Wait}");
    xo_emit_field(role, "disk-wait", "%d", nullptr, int{field_at<int16_t>(value, 74)});
    xo_emit(" {Lwc:Page Wait}");
    xo_emit_field(role, "page-wait", "%d", nullptr, int{field_at<int16_t>(value, 76)});
    xo_emit(" {Lwc:Sleep}");
    xo_emit_field(role, "sleep", "%d", nullptr, int{field_at<int16_t>(value, 78)});
    xo_emit("{N:)}");
    xo_close_container("processes");
    xo_emit("{L:\n}");

    for (const vm_section &section : vm_sections) {
        uintmax_t total = field_at<uint64_t>(value, section.total_offset) * kb_per_page;
        uintmax_t active = field_at<uint64_t>(value, section.active_offset) * kb_per_page;
        xo_open_container(section.container);
        xo_emit("{Lc:/%s}{P:/%s}", section.label, section.spacing);
        xo_emit("{Lcw:(Total}");
        xo_emit_field(role, "total", "%ju", nullptr, total);
        xo_emit("{U:K} {Lwc:Active}");
        xo_emit_field(role, "active", "%ju", nullptr, active);
        xo_emit("{U:K}{N:)}");
        xo_close_container(section.container);
        xo_emit("{L:\n}");
    }

    uintmax_t free_memory = field_at<uint64_t>(value, vm_free_offset) * kb_per_page;
    xo_emit("{Lwc:Free Memory}{P:\t}");
    xo_emit_field(role, "free-memory", "%ju", nullptr, free_memory);
    xo_emit("{U:K}");
    xo_close_container("vmtotal");
    return 0;
}

// Shows the page sizes up to the first 0. Returns 1 when the size is not
// a multiple of 8, else 0.
int S_pagesize(const void *value, size_t size, bool hflag)
{
    if (size % pagesize_entry != 0) {
        xo_warnx("S_pagesize %zu / size(u_long) != 0", size);
        return 1;
    }
    // The sizes form a leaf-list, an array in JSON.
    const char *role = hflag ? "hl" : "l";
    xo_open_container("pagesizes");
    xo_emit("{L:{ }");
    for (size_t i = 0; i * pagesize_entry < size; i++) {
        unsigned long entry = field_at<uint64_t>(value, i * pagesize_entry);
        if (entry == 0)
            break;
        if (i > 0)
            xo_emit("{L:, }");
        xo_emit_field(role, "pagesize", "%lu", nullptr, entry);
    }
    xo_emit("{L: }}");
    xo_close_container("pagesizes");
    return 0;
}

// Shows struct input_id in hexadecimal. Returns 1 when the size is not 8,
// else 0.
int S_input_id(const void *value, size_t size)
{
    if (!has_size("S_input_id", size, input_id_size))
        return 1;
    unsigned int bustype = field_at<uint16_t>(value, 0);
    unsigned int vendor = field_at<uint16_t>(value, 2);
    unsigned int product = field_at<uint16_t>(value, 4);
    unsigned int version = field_at<uint16_t>(value, 6);

    xo_open_container("input_id");
    xo_emit("{L:{ bustype = 0x}");
    xo_emit_field(nullptr, "bustype", "%.4x", nullptr, bustype);
    xo_emit("{L:, vendor = 0x}");
    xo_emit_field(nullptr, "vendor", "%.4x", nullptr, vendor);
    xo_emit("{L:, product = 0x}");
    xo_emit_field(nullptr, "product", "%.4x", nullptr, product);
    xo_emit("{L:, version = 0x}");
    xo_emit_field(nullptr, "version", "%.4x", nullptr, version);
    xo_emit("{N: }}");
    xo_close_container("input_id");
    return 0;
}
