// The parser of libxo format strings: splits "{Lc:Name}{:value/%d}\n" into
// fields (role, modifiers, content, format, encoding format) and the
// literal text between them. It only points into the format string, so
// parsing never allocates.
#include "xo_private.h"

#include <cstring>

namespace
{

// Long modifier names (after a comma in the role part) and their bits.
struct modifier_name {
    const char *name;
    unsigned flag;
};

const modifier_name modifier_names[] = {
    {"colon", XFF_COLON},
    {"white", XFF_WS},
    {"quotes", XFF_QUOTE},
    {"no-quotes", XFF_NOQUOTE},
    {"key", XFF_KEY},
    {"leaf-list", XFF_LEAF_LIST},
    {"humanize", XFF_HUMANIZE},
    {"hn-decimal", XFF_HN_DECIMAL},
    {"display", XFF_DISPLAY_ONLY},
    {"encoding", XFF_ENCODE_ONLY},
};
static_assert(sizeof(modifier_names) / sizeof(modifier_names[0]) == 10,
              "one row per long modifier");

// The bit of a one-letter modifier, or 0 for letters without effect here.
unsigned modifier_letter(char c)
{
    switch (c) {
    case 'c':
        return XFF_COLON;
    case 'w':
        return XFF_WS;
    case 'q':
        return XFF_QUOTE;
    case 'n':
        return XFF_NOQUOTE;
    case 'k':
        return XFF_KEY;
    case 'l':
        return XFF_LEAF_LIST;
    case 'h':
        return XFF_HUMANIZE;
    case 'd':
        return XFF_DISPLAY_ONLY;
    case 'e':
        return XFF_ENCODE_ONLY;
    default:
        return 0;
    }
}

// Scans to the first STOP at or after POS, stepping over a character
// escaped with a backslash. Returns the length of FMT when there is none.
size_t scan_to(std::string_view fmt, size_t pos, char stop)
{
    const size_t n = fmt.size();
    const char *s = fmt.data();
    while (pos < n) {
        char c = s[pos];
        if (c == stop)
            return pos;
        pos += (c == '\\' && pos + 1 < n) ? 2 : 1;
    }
    return n;
}

} // namespace

// Reads the role letter and modifiers of MODS ("Lc", "h,hn-decimal", "hn").
// Stores the role in *ROLE when MODS names one and returns the modifier bits.
unsigned xo_parse_modifiers(std::string_view mods, char *role)
{
    unsigned flags = 0;
    size_t i = 0;
    for (; i < mods.size() && mods[i] != ','; i++) {
        char c = mods[i];
        if (std::strchr("CDEGLNPTUVW[]", c) != nullptr)
            *role = c;
        else
            flags |= modifier_letter(c);
    }
    while (i < mods.size()) {
        size_t start = ++i;
        while (i < mods.size() && mods[i] != ',')
            i++;
        std::string_view word = mods.substr(start, i - start);
        for (const modifier_name &m : modifier_names)
            if (word == m.name)
                flags |= m.flag;
    }
    return flags;
}

// Parses the field or literal text at FMT[*POS] into F and advances *POS.
void xo_parse_field(std::string_view fmt, size_t *pos, xo_field *f)
{
    size_t p = *pos;
    *f = xo_field{};
    // "{{" and "}}" stand for a literal brace.
    if (p + 1 < fmt.size() && (fmt[p] == '{' || fmt[p] == '}') && fmt[p + 1] == fmt[p]) {
        f->role = 't';
        f->content = fmt.substr(p, 1);
        *pos = p + 2;
        return;
    }
    if (fmt[p] != '{') {
        size_t end = p;
        while (end < fmt.size() && fmt[end] != '{' &&
               !(fmt[end] == '}' && end + 1 < fmt.size() && fmt[end + 1] == '}'))
            end++;
        f->role = 't';
        f->content = fmt.substr(p, end - p);
        *pos = end;
        return;
    }
    size_t close = scan_to(fmt, p + 1, '}');
    std::string_view body = fmt.substr(p + 1, close - p - 1);
    *pos = close < fmt.size() ? close + 1 : close;

    size_t colon = body.find(':');
    std::string_view rest = body;
    if (colon != std::string_view::npos) {
        f->flags = xo_parse_modifiers(body.substr(0, colon), &f->role);
        rest = body.substr(colon + 1);
    }
    size_t slash = scan_to(rest, 0, '/');
    f->content = rest.substr(0, slash);
    if (slash < rest.size()) {
        rest = rest.substr(slash + 1);
        size_t slash2 = scan_to(rest, 0, '/');
        f->has_format = true;
        f->format = rest.substr(0, slash2);
        if (slash2 < rest.size()) {
            f->has_eformat = true;
            f->eformat = rest.substr(slash2 + 1);
        }
    }
    if (f->role != 'V' && !f->content.empty())
        f->flags |= XFF_LITERAL;
}
