/*
 * The run options and the two constant tables that the record, the value
 * renderers and the writer share: type codes with their names and element
 * widths, and the named flag bits in their output order.
 */
#include <libxo/xo.h>
#include <sys/sysctl.h>

#include "main.h"

run_options opts;
int walk_depth;

// The prefix of the innermost message context, or null outside of all.
static const char *current_prefix;

message_context::message_context(const std::string &text)
    : prefix(current_prefix != nullptr ? std::string(current_prefix) + ": " + text : text),
      outer(current_prefix)
{
    current_prefix = prefix.c_str();
    xo_set_program(current_prefix);
}

message_context::~message_context()
{
    current_prefix = outer;
    xo_set_program(outer);
}

void reset_options()
{
    opts = run_options{};
    opts.separator = ": ";
}

const type_info type_table[16] = {
    {"ZEROUNUSED", 0},    {"node", 0},     {"integer", 4},          {"string", 0},
    {"int64_t", 8},       {"opaque", 0},   {"unsigned integer", 4}, {"long integer", 8},
    {"unsigned long", 8}, {"uint64_t", 8}, {"uint8_t", 1},          {"uint16_t", 2},
    {"int8_t", 1},        {"int16_t", 2},  {"int32_t", 4},          {"uint32_t", 4},
};
static_assert(sizeof(type_table) / sizeof(type_table[0]) == CTLTYPE + 1, "one row per type code");

const flag_info flag_table[17] = {
    {CTLFLAG_RD, "RD"},
    {CTLFLAG_WR, "WR"},
    {CTLFLAG_DORMANT, "DORMANT"},
    {CTLFLAG_ANYBODY, "ANYBODY"},
    {CTLFLAG_SECURE, "SECURE"},
    {CTLFLAG_PRISON, "PRISON"},
    {CTLFLAG_DYN, "DYN"},
    {CTLFLAG_SKIP, "SKIP"},
    {CTLFLAG_TUN, "TUN"},
    {CTLFLAG_MPSAFE, "MPSAFE"},
    {CTLFLAG_VNET, "VNET"},
    {CTLFLAG_DYING, "DYING"},
    {CTLFLAG_CAPRD, "CAPRD"},
    {CTLFLAG_CAPWR, "CAPWR"},
    {CTLFLAG_STATS, "STATS"},
    {CTLFLAG_NOFETCH, "NOFETCH"},
    {CTLFLAG_NEEDGIANT, "NEEDGIANT"},
};
static_assert(sizeof(flag_table) / sizeof(flag_table[0]) == 17, "seventeen named flags");

const char *type_name(unsigned type)
{
    return type < sizeof(type_table) / sizeof(type_table[0]) ? type_table[type].name : "";
}

size_t type_size(unsigned type)
{
    return type < sizeof(type_table) / sizeof(type_table[0]) ? type_table[type].size : 0;
}
