/*
 * Three kernel texts with a layout of their own: vm.phys_free (free memory
 * by domain, free list, order and pool), kern.conftxt (tab-separated
 * keyword and value lines) and debug.witness.fullgraph (comma-separated
 * lock pairs). Each is split into lines in place and shown as named fields
 * inside list instances (domains, free lists, orders, lines), so that text
 * output keeps the kernel's lines while XML and JSON get every part.
 *
 * The value need not end with a NUL byte: every scan stops at the end of
 * the value, and a last line that runs up to it is copied out to be
 * terminated rather than terminated in place beyond the value.
 */
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <libxo/xo.h>

#include "special.h"

namespace
{

struct special_row {
    const char *name;
    int (*render)(char *buffer, size_t length);
};

const special_row special_table[] = {
    {"vm.phys_free", display_phys_free},
    {"kern.conftxt", display_conftxt},
    {"debug.witness.fullgraph", display_witness_fullgraph},
};
static_assert(sizeof(special_table) / sizeof(special_table[0]) == 3, "three special texts");

const special_row *find_special(const char *name)
{
    for (const special_row &row : special_table)
        if (std::strcmp(name, row.name) == 0)
            return &row;
    return nullptr;
}

// A cursor over the lines of one value.
struct line_reader {
    char *cursor;
    char *end;
    std::string spare; /* the last line, when nothing terminates it */
};

// Takes the next line and returns it NUL-terminated; returns null at the
// end of the value. A line that runs up to the end of the value without a
// newline or NUL has no byte of its own to terminate it, so it is copied.
char *take_line(line_reader &reader)
{
    char *line = reader.cursor;
    if (!next_token(line, &reader.cursor, reader.end, '\n'))
        return nullptr;
    size_t length = strnlen(line, static_cast<size_t>(reader.end - line));
    if (line + length < reader.end)
        return line;
    reader.spare.assign(line, length);
    return reader.spare.data();
}

// Like take_line, but a text that has ended gives an empty line: the
// layout of vm.phys_free takes lines whether or not they are there.
const char *take_line_or_empty(line_reader &reader)
{
    const char *line = take_line(reader);
    return line != nullptr ? line : "";
}

// Splits LINE (NUL-terminated) at its first DELIM and returns the part
// after it; a line without DELIM gives an empty second part, never the
// start of the next line.
char *split_pair(char *line, char delim)
{
    char *rest = line;
    next_token(line, &rest, line + std::strlen(line), delim);
    return rest;
}

bool ends_number(unsigned char c)
{
    return c == '\n' || c == '\0' || c == 0xFF;
}

// Shows one row of counts: order, size and one field per pool. ROW holds
// at least one number.
void show_order(const char *row)
{
    const char *after = row;
    int32_t order = 0;
    next_number(after, &after, &order);
    // A row with a single number has no size: it is shown as 0 rather
    // than as a number that the row does not hold.
    int32_t size = 0;
    next_number(after, &after, &size);

    xo_open_instance("order");
    xo_emit("{:num-order/%4d}{Lw:}", order);
    xo_emit("{L:(}{:size/%6d}{U:K}{L:)}", size);
    int32_t count;
    for (int pool = 0; next_number(after, &after, &count); pool++) {
        char field[15];
        std::snprintf(field, sizeof(field), "pool%d", pool);
        xo_emit("{Lw: }{L:|}");
        xo_emit_field("V", field, "%8d", nullptr, count);
    }
    xo_emit("{L:\n}");
    xo_close_instance("order");
}

// Shows one free list, from the line after its "FREE LIST" line to the
// first line without a number, which is consumed.
void show_free_list(line_reader &reader, int list)
{
    xo_open_instance("free-list");
    if (list > 0)
        xo_emit("{L:\n}");
    xo_emit("{L:FREE LIST }{:num-list/%d}{Lc:}{L:\n}", list);
    take_line_or_empty(reader);
    xo_emit("{L:\n}");
    for (int i = 0; i < 3; i++) {
        const char *header = take_line_or_empty(reader);
        // An empty label would make libxo read a string argument that is
        // not there; the line end alone shows the empty line.
        if (*header != '\0')
            xo_emit_field("L", header, nullptr, nullptr);
        xo_emit("{L:\n}");
    }
    const char *after;
    int32_t number;
    for (;;) {
        const char *row = take_line_or_empty(reader);
        if (!next_number(row, &after, &number))
            break;
        show_order(row);
    }
    xo_close_instance("free-list");
}

// Shows a text of lines "name<DELIM>value" as the list INSTANCE, one
// instance per line; empty lines are skipped, and a text of none shows no
// list.
void show_pairs(char *buffer, size_t length, const char *instance, char delim,
                const char *name_format, const char *value_format)
{
    line_reader reader{buffer, buffer + length, std::string()};
    bool listed = false;
    while (char *line = take_line(reader)) {
        if (*line == '\0')
            continue;
        char *value = split_pair(line, delim);
        if (!listed)
            xo_open_list(instance);
        listed = true;
        xo_open_instance(instance);
        xo_emit(name_format, line);
        xo_emit(value_format, value);
        xo_close_instance(instance);
    }
    if (listed)
        xo_close_list(instance);
}

} // namespace

// True when OBJECT's name, whole and in the same case, is one of the three
// texts.
bool has_special_display(const oidkit_object *object)
{
    return find_special(object->name) != nullptr;
}

// Shows BUFFER (LENGTH bytes, split in place) with the renderer of
// OBJECT's name. Returns the renderer's result, or 1 for any other name.
int display_special(const oidkit_object *object, char *buffer, size_t length)
{
    const special_row *row = find_special(object->name);
    if (row == nullptr)
        return 1;
    return row->render(buffer, length);
}

// Finds the first run of digits in TEXT before a newline, NUL or 0xFF
// byte; any other byte before it, a minus sign included, is skipped.
// Returns false, changing nothing, when there is none.
bool next_number(const char *text, const char **after, int32_t *number)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (!ends_number(*p) && !(*p >= '0' && *p <= '9'))
        p++;
    if (ends_number(*p))
        return false;
    // A count too large for an int shows as the largest int, not as a
    // number that wrapped around.
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        value = value * 10 + (*p - '0');
        if (value > INT32_MAX)
            value = INT64_C(1) + INT32_MAX;
    }
    *number = value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
    *after = reinterpret_cast<const char *>(p);
    return true;
}

// Shows vm.phys_free: DOMAIN lines open a "domain", FREE LIST lines a
// "free-list" of "order" rows, each an instance of the list of its name.
// The numbers shown are counted here, not read from the text. Always
// returns 0.
int display_phys_free(char *buffer, size_t length)
{
    xo_emit("{L:\n}");
    xo_open_container("value");
    int domain = 0;
    int list = 0;
    line_reader reader{buffer, buffer + length, std::string()};
    while (const char *line = take_line(reader)) {
        if (std::strstr(line, "DOMAIN") != nullptr) {
            if (domain > 0)
                xo_close_instance("domain");
            xo_open_instance("domain");
            xo_emit("{L:DOMAIN }{:num-domain/%d}{Lc:}{L:\n}", domain);
            domain++;
            // The line after a DOMAIN line is only tested for FREE LIST.
            line = take_line_or_empty(reader);
            xo_emit("{L:\n}");
            list = 0;
        }
        if (std::strstr(line, "FREE LIST") != nullptr) {
            show_free_list(reader, list);
            list++;
        }
    }
    if (domain > 0)
        xo_close_instance("domain");
    xo_close_container("value");
    return 0;
}

// Shows kern.conftxt, one "configuration" per non-empty line split at its
// first tab. Always returns 0.
int display_conftxt(char *buffer, size_t length)
{
    xo_open_container("value");
    show_pairs(buffer, length, "configuration", '\t', "{:name/%s}{L:\t}", "{:value/%s}{L:\n}");
    xo_close_container("value");
    return 0;
}

// Shows debug.witness.fullgraph, one "property" per non-empty line split
// at its first comma. Always returns 0.
int display_witness_fullgraph(char *buffer, size_t length)
{
    xo_open_container("value");
    xo_emit("{L:\n}");
    show_pairs(buffer, length, "property", ',', "{:name/%s}{L:,}", "{:value/%s}{L:\n}");
    xo_close_container("value");
    return 0;
}
