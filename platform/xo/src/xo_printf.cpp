// The printf engine of field formats: takes each conversion's argument from
// the caller's argument list with exactly the C type that the conversion
// names, formats it with the C library, and escapes what it produced for
// the output style. Argument values are data: nothing a string holds is
// ever read as a format.
#include "xo_private.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace
{

// Widths and precisions beyond this are clamped, so that no format can make
// a single field take an unbounded amount of memory.
constexpr long max_width = 65536;

// A parsed conversion.
struct conv_spec {
    char flags[8];
    int nflags = 0;
    bool left = false;
    long width = -1;
    long prec = -1;
    long max_cols = -1; // libxo's third part ("%-4..4s"): columns at most
    char length[3] = {0, 0, 0};
    char conv = 0;
};

// Appends the text of one formatted conversion, growing OUT to fit.
void append_printf(std::string *out, const char *conv, ...)
{
    va_list ap;
    va_start(ap, conv);
    xo_vappend(out, conv, ap);
    va_end(ap);
}

// Builds the C printf conversion for S with the given length modifier.
void build_conversion(char *dst, const conv_spec &s, bool strip, const char *len)
{
    char *p = dst;
    *p++ = '%';
    for (int i = 0; i < s.nflags; i++) {
        if (strip && !s.left && s.flags[i] == '0')
            continue;
        *p++ = s.flags[i];
    }
    if (s.width >= 0 && !(strip && !s.left))
        p += std::snprintf(p, 12, "%ld", s.width);
    if (s.prec >= 0)
        p += std::snprintf(p, 13, ".%ld", s.prec);
    while (*len)
        *p++ = *len++;
    *p++ = s.conv;
    *p = '\0';
}

// Appends S (LEN bytes) escaped for ESC.
void append_escaped(std::string *out, const char *s, size_t len, xo_escape esc)
{
    std::string_view v(s, len);
    switch (esc) {
    case XO_ESC_NONE:
        out->append(v);
        break;
    case XO_ESC_TEXT_C:
        xo_text_c(out, v);
        break;
    case XO_ESC_XML:
        xo_escape_xml(out, v, true);
        break;
    case XO_ESC_JSON:
        xo_escape_json(out, v);
        break;
    }
}

// The bytes of the first COLS characters of S (LEN bytes).
size_t cut_columns(const char *s, size_t len, size_t cols)
{
    size_t n = 0;
    for (size_t i = 0; i < len; i++) {
        if ((static_cast<unsigned char>(s[i]) & 0xc0) != 0x80 && n++ == cols)
            return i;
    }
    return len;
}

// Appends the text of a string conversion (LEN bytes of STR): at most
// max_cols characters, escaped, and padded with blanks to the width, which
// counts what a terminal shows: characters, or in locale C the '?' that
// stand for them.
void append_string(std::string *out, const conv_spec &s, const char *str, size_t len, xo_escape esc,
                   bool strip)
{
    if (s.max_cols >= 0)
        len = cut_columns(str, len, static_cast<size_t>(s.max_cols));
    size_t old = out->size();
    append_escaped(out, str, len, esc);
    if (s.width <= 0 || (strip && !s.left))
        return;
    size_t cols = esc == XO_ESC_TEXT_C ? out->size() - old : xo_columns(std::string_view(str, len));
    if (static_cast<size_t>(s.width) <= cols)
        return;
    size_t pad = static_cast<size_t>(s.width) - cols;
    if (s.left)
        out->append(pad, ' ');
    else
        out->insert(old, pad, ' ');
}

// Formats a %s conversion: precision limits the bytes read (so an
// unterminated array is never overrun).
void format_string(std::string *out, const conv_spec &s, const char *str, xo_escape esc, bool strip)
{
    if (str == nullptr)
        str = "(null)";
    size_t len = s.prec >= 0 ? strnlen(str, static_cast<size_t>(s.prec)) : std::strlen(str);
    append_string(out, s, str, len, esc, strip);
}

// Formats a %ls conversion: the C library converts the characters (the
// precision counting bytes, as for %s), the width counts characters.
void format_wide_string(std::string *out, const conv_spec &s, const wchar_t *ws, xo_escape esc,
                        bool strip)
{
    conv_spec bare;
    bare.prec = s.prec;
    bare.length[0] = 'l';
    bare.conv = 's';
    char conv[48];
    build_conversion(conv, bare, false, "l");
    std::string tmp;
    append_printf(&tmp, conv, ws != nullptr ? ws : L"(null)");
    append_string(out, s, tmp.data(), tmp.size(), esc, strip);
}

// Formats a %c conversion. A NUL character is nothing in text, a blank in
// XML and \u0000 in JSON; other bytes are raw in text in every locale.
void format_char(std::string *out, const conv_spec &s, int c, xo_escape esc, bool strip)
{
    char ch = static_cast<char>(c);
    size_t pad = 0;
    if (s.width > 1 && !(strip && !s.left))
        pad = static_cast<size_t>(s.width) - 1;
    if (!s.left)
        out->append(pad, ' ');
    if (esc == XO_ESC_XML || esc == XO_ESC_JSON)
        append_escaped(out, &ch, 1, esc);
    else if (ch != '\0')
        out->push_back(ch);
    if (s.left)
        out->append(pad, ' ');
}

// Reads a width or precision at FMT[*I]: digits, or '*' for an int
// argument. Returns -1 when there is neither; the value is clamped.
long read_number(std::string_view fmt, size_t *i, xo_args *ap)
{
    long v = -1;
    if (*i < fmt.size() && fmt[*i] == '*') {
        ++*i;
        v = ap->next<int>();
        return v > max_width ? max_width : v < -max_width ? -max_width : v;
    }
    while (*i < fmt.size() && fmt[*i] >= '0' && fmt[*i] <= '9') {
        v = (v < 0 ? 0 : v) * 10 + (fmt[*i] - '0');
        if (v > max_width)
            v = max_width;
        ++*i;
    }
    return v;
}

// Reads a conversion starting after '%'; returns the index after it, or
// npos when the format ends inside it. Besides printf's forms, libxo's
// three-part form "%MIN.BYTES.MAXs" is understood: at least MIN columns,
// at most BYTES bytes of the argument, at most MAX columns shown; either
// of the last two may be empty ("%-4..4s").
size_t parse_spec(std::string_view fmt, size_t i, conv_spec *s, xo_args *ap)
{
    auto is_flag = [](char c) {
        return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0' || c == '\'';
    };
    auto is_length = [](char c) {
        return c == 'h' || c == 'l' || c == 'L' || c == 'q' || c == 'j' || c == 'z' || c == 't';
    };
    while (i < fmt.size() && is_flag(fmt[i])) {
        if (fmt[i] == '-')
            s->left = true;
        if (s->nflags < 6 && fmt[i] != '\'')
            s->flags[s->nflags++] = fmt[i];
        i++;
    }
    s->width = read_number(fmt, &i, ap);
    if (s->width < -1 || (s->width == -1 && i > 0 && fmt[i - 1] == '*')) {
        // A negative width from '*' means left justification.
        s->left = true;
        if (s->nflags < 6)
            s->flags[s->nflags++] = '-';
        s->width = -s->width;
    }
    if (i < fmt.size() && fmt[i] == '.') {
        i++;
        s->prec = read_number(fmt, &i, ap);
        bool star = fmt[i - 1] == '*';
        if (i < fmt.size() && fmt[i] == '.') {
            i++;
            s->max_cols = read_number(fmt, &i, ap);
            if (s->max_cols < 0)
                s->max_cols = -1;
        } else if (s->prec == -1 && !star) {
            s->prec = 0; // "%.s": printf's empty precision is zero
        }
        if (s->prec < 0)
            s->prec = -1; // a negative precision from '*' is none
    }
    int nl = 0;
    while (i < fmt.size() && is_length(fmt[i])) {
        if (nl < 2)
            s->length[nl++] = fmt[i];
        i++;
    }
    if (i >= fmt.size())
        return std::string_view::npos;
    s->conv = fmt[i];
    return i + 1;
}

// Appends V as a conversion of S has it, when S is a bare decimal, octal
// or lowercase hexadecimal one (no flags, width or precision), which needs
// no C library; returns false for any other.
template <typename T> bool append_plain(std::string *out, const conv_spec &s, T v)
{
    int base = s.conv == 'x' ? 16 : s.conv == 'o' ? 8 : 10;
    if (s.nflags != 0 || s.width >= 0 || s.prec >= 0 || s.conv == 'X')
        return false;
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, v, base).ptr;
    out->append(digits, static_cast<size_t>(end - digits));
    return true;
}

// Formats one integer conversion, fetching the argument by its length.
void format_integer(std::string *out, const conv_spec &s, xo_args *ap, bool strip)
{
    char conv[48];
    std::string_view len(s.length);
    bool is_signed = s.conv == 'd' || s.conv == 'i';
    build_conversion(conv, s, strip, "ll");
    if (is_signed) {
        long long v;
        if (len == "hh")
            v = static_cast<signed char>(ap->next<int>());
        else if (len == "h")
            v = static_cast<short>(ap->next<int>());
        else if (len == "l")
            v = ap->next<long>();
        else if (len == "ll" || len == "q")
            v = ap->next<long long>();
        else if (len == "j")
            v = ap->next<intmax_t>();
        else if (len == "z")
            v = ap->next<ssize_t>();
        else if (len == "t")
            v = ap->next<ptrdiff_t>();
        else
            v = ap->next<int>();
        if (!append_plain(out, s, v))
            append_printf(out, conv, v);
    } else {
        unsigned long long v;
        if (len == "hh")
            v = static_cast<unsigned char>(ap->next<unsigned>());
        else if (len == "h")
            v = static_cast<unsigned short>(ap->next<unsigned>());
        else if (len == "l")
            v = ap->next<unsigned long>();
        else if (len == "ll" || len == "q")
            v = ap->next<unsigned long long>();
        else if (len == "j")
            v = ap->next<uintmax_t>();
        else if (len == "z")
            v = ap->next<size_t>();
        else if (len == "t")
            v = static_cast<unsigned long long>(ap->next<ptrdiff_t>());
        else
            v = ap->next<unsigned>();
        if (!append_plain(out, s, v))
            append_printf(out, conv, v);
    }
}

// Appends literal text of a format: a backslash takes the next character
// literally ("V1\\/V2" is "V1/V2").
void append_literal(std::string *out, std::string_view lit, xo_escape esc)
{
    while (!lit.empty()) {
        size_t bs = lit.find('\\');
        std::string_view part = lit.substr(0, bs);
        if (esc == XO_ESC_XML)
            xo_escape_xml(out, part, true);
        else if (esc == XO_ESC_JSON)
            xo_escape_json(out, part);
        else
            out->append(part);
        if (bs == std::string_view::npos)
            break;
        lit.remove_prefix(bs + 1);
        if (!lit.empty()) {
            append_escaped(out, lit.data(), 1, esc);
            lit.remove_prefix(1);
        }
    }
}

} // namespace

void xo_vappend(std::string *out, const char *fmt, va_list ap)
{
    if (fmt == nullptr)
        fmt = "";
    char buf[512];
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(buf, sizeof buf, fmt, copy);
    va_end(copy);
    if (n < 0)
        return;
    if (static_cast<size_t>(n) < sizeof buf) {
        out->append(buf, static_cast<size_t>(n));
        return;
    }
    size_t old = out->size();
    out->resize(old + static_cast<size_t>(n) + 1);
    vsnprintf(&(*out)[old], static_cast<size_t>(n) + 1, fmt, ap);
    out->resize(old + static_cast<size_t>(n));
}

// Columns that S takes: UTF-8 continuation bytes take none.
size_t xo_columns(std::string_view s)
{
    size_t n = 0;
    for (char c : s)
        if ((static_cast<unsigned char>(c) & 0xc0) != 0x80)
            n++;
    return n;
}

// Appends the result of FMT over the arguments in *AP to OUT. "%%" prints
// nothing, as in libxo's field formats. Returns XO_FMT_* bits.
unsigned xo_vformat(std::string *out, std::string_view fmt, xo_args *ap, xo_escape esc, bool strip)
{
    if (fmt == "%s") {
        // The commonest format, a lone string, has nothing to parse.
        const char *str = ap->next<const char *>();
        format_string(out, conv_spec{}, str, esc, strip);
        return str == nullptr ? unsigned(XO_FMT_NULL) : 0u;
    }
    unsigned result = 0;
    size_t i = 0;
    while (i < fmt.size()) {
        size_t pct = fmt.find('%', i);
        if (pct == std::string_view::npos)
            pct = fmt.size();
        if (pct > i)
            append_literal(out, fmt.substr(i, pct - i), esc);
        if (pct >= fmt.size())
            break;
        if (pct + 1 < fmt.size() && fmt[pct + 1] == '%') {
            i = pct + 2;
            continue;
        }
        conv_spec s;
        size_t next = parse_spec(fmt, pct + 1, &s, ap);
        if (next == std::string_view::npos)
            break;
        i = next;
        char conv[48];
        switch (s.conv) {
        case 'd':
        case 'i':
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            format_integer(out, s, ap, strip);
            break;
        case 'D':
        case 'O':
        case 'U':
            s.conv = static_cast<char>(s.conv - 'A' + 'a');
            s.length[0] = 'l';
            s.length[1] = 0;
            format_integer(out, s, ap, strip);
            break;
        case 'c':
            if (std::string_view(s.length) == "l") {
                // A wide character: converted by the C library, then escaped.
                wint_t wc = ap->next<wint_t>();
                build_conversion(conv, s, strip, "l");
                std::string tmp;
                append_printf(&tmp, conv, wc);
                append_escaped(out, tmp.data(), tmp.size(), esc);
            } else {
                format_char(out, s, ap->next<int>(), esc, strip);
            }
            break;
        case 's':
            if (std::string_view(s.length) == "l") {
                format_wide_string(out, s, ap->next<const wchar_t *>(), esc, strip);
            } else {
                const char *str = ap->next<const char *>();
                if (str == nullptr)
                    result |= XO_FMT_NULL;
                format_string(out, s, str, esc, strip);
            }
            break;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (std::string_view(s.length) == "L") {
                long double v = ap->next<long double>();
                build_conversion(conv, s, strip, "L");
                append_printf(out, conv, v);
                if (!std::isfinite(v) && s.conv != 'a' && s.conv != 'A')
                    result |= XO_FMT_NONFINITE;
            } else {
                double v = ap->next<double>();
                build_conversion(conv, s, strip, "");
                append_printf(out, conv, v);
                if (!std::isfinite(v) && s.conv != 'a' && s.conv != 'A')
                    result |= XO_FMT_NONFINITE;
            }
            break;
        case 'p':
            build_conversion(conv, s, strip, "");
            append_printf(out, conv, ap->next<void *>());
            break;
        case 'n':
            // Never writes through the pointer: a format must not store.
            (void)ap->next<void *>();
            break;
        default:
            // Not a conversion: shown as written, taking no argument but
            // those its '*' asked for.
            append_escaped(out, fmt.data() + pct, next - pct, esc);
            break;
        }
    }
    return result;
}

bool xo_json_numeric(std::string_view fmt)
{
    size_t i = 0;
    if (fmt.size() < 2 || fmt[i++] != '%')
        return false;
    // '+' '#' and '\'' would give "+1", "0755" or "1,234": no JSON numbers.
    while (i < fmt.size() && std::strchr("- 0", fmt[i]) != nullptr)
        i++;
    auto digits = [&] {
        if (i < fmt.size() && fmt[i] == '*') {
            i++;
            return;
        }
        while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9')
            i++;
    };
    digits();
    bool precision = i < fmt.size() && fmt[i] == '.';
    if (precision) {
        i++;
        digits();
    }
    while (i < fmt.size() && std::strchr("hlLqjzt", fmt[i]) != nullptr)
        i++;
    if (i + 1 != fmt.size())
        return false;
    // An integer's precision pads it with zeros ("007"), or leaves nothing.
    if (precision && std::strchr("diouDOU", fmt[i]) != nullptr)
        return false;
    return std::strchr("diouDOUeEfFgG", fmt[i]) != nullptr;
}
