// The printf engine of field formats: takes each conversion's argument from
// the caller's argument list with exactly the C type that the conversion
// names, formats it with the C library, and escapes what it produced for
// the output style. Argument values are data: nothing a string holds is
// ever read as a format.
#include "xo_private.h"

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

// Columns that S takes: UTF-8 continuation bytes take none.
size_t columns(const char *s, size_t len)
{
    size_t n = 0;
    for (size_t i = 0; i < len; i++)
        if ((static_cast<unsigned char>(s[i]) & 0xc0) != 0x80)
            n++;
    return n;
}

// Formats a %s conversion: precision limits the bytes read (so an
// unterminated array is never overrun), width pads with blanks.
void format_string(std::string *out, const conv_spec &s, const char *str, xo_escape esc, bool strip)
{
    if (str == nullptr)
        str = "(null)";
    size_t len = s.prec >= 0 ? strnlen(str, static_cast<size_t>(s.prec)) : std::strlen(str);
    size_t old = out->size();
    append_escaped(out, str, len, esc);
    // Width counts what a terminal shows: characters, or in locale C the
    // '?' that stand for them.
    size_t cols = esc == XO_ESC_TEXT_C ? out->size() - old : columns(str, len);
    if (s.width <= 0 || static_cast<size_t>(s.width) <= cols || (strip && !s.left))
        return;
    size_t pad = static_cast<size_t>(s.width) - cols;
    if (s.left)
        out->append(pad, ' ');
    else
        out->insert(old, pad, ' ');
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

// Reads a conversion starting after '%'; returns the index
// after it, or npos when the format ends inside it.
size_t parse_spec(std::string_view fmt, size_t i, conv_spec *s, va_list *ap)
{
    while (i < fmt.size() && std::strchr("-+ #0'", fmt[i]) != nullptr) {
        if (fmt[i] == '-')
            s->left = true;
        if (s->nflags < 6 && fmt[i] != '\'')
            s->flags[s->nflags++] = fmt[i];
        i++;
    }
    if (i < fmt.size() && fmt[i] == '*') {
        long w = va_arg(*ap, int);
        if (w < 0) {
            s->left = true;
            if (s->nflags < 6)
                s->flags[s->nflags++] = '-';
            w = -w;
        }
        s->width = w;
        i++;
    } else {
        while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
            s->width = (s->width < 0 ? 0 : s->width) * 10 + (fmt[i] - '0');
            if (s->width > max_width)
                s->width = max_width;
            i++;
        }
    }
    if (i < fmt.size() && fmt[i] == '.') {
        i++;
        s->prec = 0;
        if (i < fmt.size() && fmt[i] == '*') {
            long p = va_arg(*ap, int);
            s->prec = p < 0 ? -1 : p;
            i++;
        } else {
            while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
                s->prec = s->prec * 10 + (fmt[i] - '0');
                if (s->prec > max_width)
                    s->prec = max_width;
                i++;
            }
        }
    }
    if (s->width > max_width)
        s->width = max_width;
    if (s->prec > max_width)
        s->prec = max_width;
    int nl = 0;
    while (i < fmt.size() && std::strchr("hlLqjzt", fmt[i]) != nullptr) {
        if (nl < 2)
            s->length[nl++] = fmt[i];
        i++;
    }
    if (i >= fmt.size())
        return std::string_view::npos;
    s->conv = fmt[i];
    return i + 1;
}

// Formats one integer conversion, fetching the argument by its length.
void format_integer(std::string *out, const conv_spec &s, va_list *ap, bool strip)
{
    char conv[48];
    std::string_view len(s.length);
    bool is_signed = s.conv == 'd' || s.conv == 'i';
    build_conversion(conv, s, strip, "ll");
    if (is_signed) {
        long long v;
        if (len == "hh")
            v = static_cast<signed char>(va_arg(*ap, int));
        else if (len == "h")
            v = static_cast<short>(va_arg(*ap, int));
        else if (len == "l")
            v = va_arg(*ap, long);
        else if (len == "ll" || len == "q")
            v = va_arg(*ap, long long);
        else if (len == "j")
            v = va_arg(*ap, intmax_t);
        else if (len == "z")
            v = va_arg(*ap, ssize_t);
        else if (len == "t")
            v = va_arg(*ap, ptrdiff_t);
        else
            v = va_arg(*ap, int);
        append_printf(out, conv, v);
    } else {
        unsigned long long v;
        if (len == "hh")
            v = static_cast<unsigned char>(va_arg(*ap, unsigned));
        else if (len == "h")
            v = static_cast<unsigned short>(va_arg(*ap, unsigned));
        else if (len == "l")
            v = va_arg(*ap, unsigned long);
        else if (len == "ll" || len == "q")
            v = va_arg(*ap, unsigned long long);
        else if (len == "j")
            v = va_arg(*ap, uintmax_t);
        else if (len == "z")
            v = va_arg(*ap, size_t);
        else if (len == "t")
            v = static_cast<unsigned long long>(va_arg(*ap, ptrdiff_t));
        else
            v = va_arg(*ap, unsigned);
        append_printf(out, conv, v);
    }
}

} // namespace

// Appends the result of FMT over the arguments in *AP to OUT. "%%" prints
// nothing, as in libxo's field formats. Returns true when a floating
// conversion produced a non-finite number.
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

bool xo_vformat(std::string *out, std::string_view fmt, va_list *ap, xo_escape esc, bool strip)
{
    bool nonfinite = false;
    size_t i = 0;
    while (i < fmt.size()) {
        size_t pct = fmt.find('%', i);
        if (pct == std::string_view::npos)
            pct = fmt.size();
        if (pct > i) {
            std::string_view lit = fmt.substr(i, pct - i);
            if (esc == XO_ESC_XML)
                xo_escape_xml(out, lit, false);
            else if (esc == XO_ESC_JSON)
                xo_escape_json(out, lit);
            else
                out->append(lit);
        }
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
            if (s.length[0] == 'l') {
                // A wide character: converted by the C library, then escaped.
                wint_t wc = va_arg(*ap, wint_t);
                build_conversion(conv, s, strip, "l");
                std::string tmp;
                append_printf(&tmp, conv, wc);
                append_escaped(out, tmp.data(), tmp.size(), esc);
            } else {
                format_char(out, s, va_arg(*ap, int), esc, strip);
            }
            break;
        case 's':
            if (s.length[0] == 'l') {
                const wchar_t *ws = va_arg(*ap, const wchar_t *);
                build_conversion(conv, s, strip, "l");
                std::string tmp;
                append_printf(&tmp, conv, ws != nullptr ? ws : L"(null)");
                append_escaped(out, tmp.data(), tmp.size(), esc);
            } else {
                format_string(out, s, va_arg(*ap, const char *), esc, strip);
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
            if (s.length[0] == 'L') {
                long double v = va_arg(*ap, long double);
                build_conversion(conv, s, strip, "L");
                append_printf(out, conv, v);
                if (!std::isfinite(v) && s.conv != 'a' && s.conv != 'A')
                    nonfinite = true;
            } else {
                double v = va_arg(*ap, double);
                build_conversion(conv, s, strip, "");
                append_printf(out, conv, v);
                if (!std::isfinite(v) && s.conv != 'a' && s.conv != 'A')
                    nonfinite = true;
            }
            break;
        case 'p':
            build_conversion(conv, s, strip, "");
            append_printf(out, conv, va_arg(*ap, void *));
            break;
        case 'n':
            // Never writes through the pointer: a format must not store.
            (void)va_arg(*ap, void *);
            break;
        default:
            // Not a conversion: shown as written.
            append_escaped(out, fmt.data() + pct, next - pct, esc);
            break;
        }
    }
    return nonfinite;
}
