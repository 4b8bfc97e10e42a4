// Escaping for every style (XML content and attributes, JSON strings, XML
// names, text in a non-UTF-8 locale), the unescaping of literal label text,
// and humanize, the short form of big numbers ("1.5K"). Everything here
// appends to a caller's buffer and reads only the bytes it is given.
#include "xo_private.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace
{

// Length of the well-formed UTF-8 sequence at S (shortest form, at most
// U+10FFFF, no surrogates), or 0 when none starts there. Stores the code
// point in *CP.
size_t utf8_seq(std::string_view s, size_t i, uint32_t *cp)
{
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n;
    uint32_t v;
    if (c < 0x80) {
        *cp = c;
        return 1;
    } else if ((c & 0xe0) == 0xc0) {
        n = 2;
        v = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
        n = 3;
        v = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
        n = 4;
        v = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size())
        return 0;
    for (size_t k = 1; k < n; k++) {
        unsigned char cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xc0) != 0x80)
            return 0;
        v = (v << 6) | (cc & 0x3f);
    }
    static const uint32_t min_for_len[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < min_for_len[n] || v > 0x10ffff || (v >= 0xd800 && v <= 0xdfff))
        return 0;
    *cp = v;
    return n;
}

// Non-ASCII code points that XML 1.0 allows in a name.
bool xml_name_char(uint32_t cp)
{
    struct range {
        uint32_t lo, hi;
    };
    static const range ranges[] = {
        {0xb7, 0xb7},     {0xc0, 0xd6},     {0xd8, 0xf6},       {0xf8, 0x37d},    {0x37f, 0x1fff},
        {0x200c, 0x200d}, {0x203f, 0x2040}, {0x2070, 0x218f},   {0x2c00, 0x2fef}, {0x3001, 0xd7ff},
        {0xf900, 0xfdcf}, {0xfdf0, 0xfffd}, {0x10000, 0xeffff},
    };
    static_assert(sizeof(ranges) / sizeof(ranges[0]) == 13, "XML name ranges");
    for (const range &r : ranges)
        if (cp >= r.lo && cp <= r.hi)
            return true;
    return false;
}

bool ascii_letter(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A control character that XML cannot carry: shown as a blank.
bool xml_blanked(unsigned char c)
{
    return c < 0x20 && c != '\t' && c != '\n' && c != '\r';
}

const char hexdigits[] = "0123456789abcdef";

} // namespace

// XML content: <, > and & as entities; with BLANK_CTL the control
// characters XML cannot carry (and NUL) become blanks.
void xo_escape_xml(std::string *out, std::string_view s, bool blank_ctl)
{
    size_t run = 0;
    for (size_t i = 0; i < s.size(); i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        const char *rep = nullptr;
        if (c == '<')
            rep = "&lt;";
        else if (c == '>')
            rep = "&gt;";
        else if (c == '&')
            rep = "&amp;";
        else if (blank_ctl && xml_blanked(c))
            rep = " ";
        else
            continue;
        out->append(s.data() + run, i - run);
        out->append(rep);
        run = i + 1;
    }
    out->append(s.data() + run, s.size() - run);
}

// An attribute value in double quotes: XML content escaping plus &quot;.
void xo_escape_attr(std::string *out, std::string_view s)
{
    for (char ch : s) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '<')
            out->append("&lt;");
        else if (c == '>')
            out->append("&gt;");
        else if (c == '&')
            out->append("&amp;");
        else if (c == '"')
            out->append("&quot;");
        else if (xml_blanked(c))
            out->push_back(' ');
        else
            out->push_back(ch);
    }
}

// The inside of a JSON string: quote, backslash and control characters
// escaped; every other byte as given.
void xo_escape_json(std::string *out, std::string_view s)
{
    size_t run = 0;
    for (size_t i = 0; i < s.size(); i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        out->append(s.data() + run, i - run);
        run = i + 1;
        switch (c) {
        case '"':
            out->append("\\\"");
            break;
        case '\\':
            out->append("\\\\");
            break;
        case '\n':
            out->append("\\n");
            break;
        case '\t':
            out->append("\\t");
            break;
        case '\r':
            out->append("\\r");
            break;
        case '\b':
            out->append("\\b");
            break;
        case '\f':
            out->append("\\f");
            break;
        default: {
            char u[7] = {'\\', 'u', '0', '0', hexdigits[c >> 4], hexdigits[c & 15], 0};
            out->append(u, 6);
        }
        }
    }
    out->append(s.data() + run, s.size() - run);
}

// Makes finished XML, HTML or JSON output OUT valid UTF-8: each byte that
// starts no valid sequence becomes, in JSON, the escape of the lone
// surrogate U+DC00 plus the byte (what Python's "surrogateescape" reads
// back as the byte), elsewhere the private-use character U+F700 plus the
// byte. Escaping never adds such bytes, so the output can be mended whole.
void xo_valid_utf8(std::string *out, bool json)
{
    size_t i = 0;
    while (i < out->size() && static_cast<unsigned char>((*out)[i]) < 0x80)
        i++;
    if (i == out->size())
        return;
    std::string mended(*out, 0, i);
    while (i < out->size()) {
        unsigned char c = static_cast<unsigned char>((*out)[i]);
        uint32_t cp;
        size_t n = c < 0x80 ? 1 : utf8_seq(*out, i, &cp);
        if (n != 0) {
            mended.append(*out, i, n);
            i += n;
            continue;
        }
        if (json) {
            char u[6] = {'\\', 'u', 'd', 'c', hexdigits[c >> 4], hexdigits[c & 15]};
            mended.append(u, 6);
        } else {
            uint32_t pua = 0xf700 + c;
            mended.push_back(static_cast<char>(0xe0 | (pua >> 12)));
            mended.push_back(static_cast<char>(0x80 | ((pua >> 6) & 0x3f)));
            mended.push_back(static_cast<char>(0x80 | (pua & 0x3f)));
        }
        i++;
    }
    out->swap(mended);
}

// Text for a terminal that is not UTF-8: each non-ASCII character, and each
// byte of an invalid sequence, becomes '?'.
void xo_text_c(std::string *out, std::string_view s)
{
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            out->push_back(static_cast<char>(c));
            i++;
            continue;
        }
        uint32_t cp;
        size_t n = utf8_seq(s, i, &cp);
        out->push_back('?');
        i += n == 0 ? 1 : n;
    }
}

// An XML element name for NAME: '_' in front unless it starts with a letter
// or '_', and '_' for every byte that is not part of a name character.
void xo_xml_name(std::string *out, std::string_view name)
{
    if (name.empty())
        return;
    unsigned char first = static_cast<unsigned char>(name[0]);
    if (!ascii_letter(first) && first != '_')
        out->push_back('_');
    size_t i = 0;
    while (i < name.size()) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x80) {
            bool ok = ascii_letter(c) || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
            out->push_back(ok ? static_cast<char>(c) : '_');
            i++;
            continue;
        }
        uint32_t cp;
        size_t n = utf8_seq(name, i, &cp);
        if (n == 0) {
            out->push_back('_');
            i++;
        } else if (!xml_name_char(cp)) {
            out->append(n, '_');
            i += n;
        } else {
            out->append(name.data() + i, n);
            i += n;
        }
    }
}

// True when NAME draws the "invalid XML tag name" warning: its first byte
// is neither an ASCII letter nor '_'.
bool xo_xml_name_warn(std::string_view name)
{
    if (name.empty())
        return false;
    unsigned char c = static_cast<unsigned char>(name[0]);
    return !ascii_letter(c) && c != '_';
}

// Literal label text: '%' and '\' escape the next character and vanish;
// the text ends at its first byte that starts no valid UTF-8 sequence.
void xo_unescape_literal(std::string *out, std::string_view s)
{
    size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        if (c == '%' || c == '\\') {
            i++;
            if (i >= s.size())
                break;
        }
        uint32_t cp;
        size_t n = utf8_seq(s, i, &cp);
        if (n == 0)
            break;
        out->append(s.data() + i, n);
        i += n;
    }
}

// The short form of the number that TEXT starts with: scaled by 1024 while
// at least 1024, rounded, with one decimal under DECIMAL while below 10.
// The sign is kept apart so negative numbers scale like positive ones.
// Returns false, leaving OUT alone, when TEXT does not start with a number.
bool xo_humanize(std::string *out, std::string_view text, bool decimal)
{
    char buf[80];
    if (text.size() >= sizeof buf)
        return false;
    std::copy(text.begin(), text.end(), buf);
    buf[text.size()] = '\0';
    const char *p = buf;
    while (*p == ' ' || *p == '\t')
        p++;
    bool neg = false;
    if (*p == '-' || *p == '+') {
        neg = *p == '-';
        p++;
    }
    if (*p < '0' || *p > '9')
        return false;
    char *end;
    errno = 0;
    unsigned long long mag = std::strtoull(p, &end, 0);
    if (end == p || errno == ERANGE)
        return false;

    static const char prefixes[] = " KMGTPE";
    int scale = 0;
    unsigned __int128 div = 1;
    while (scale < 6 && mag >= div * 1024) {
        div *= 1024;
        scale++;
    }
    char res[40];
    const char *sign = neg && mag != 0 ? "-" : "";
    if (scale == 0) {
        std::snprintf(res, sizeof res, "%s%llu", sign, mag);
    } else {
        unsigned __int128 m = mag;
        unsigned long long tenths = static_cast<unsigned long long>((m * 10 + div / 2) / div);
        if (decimal && tenths < 100) {
            std::snprintf(res, sizeof res, "%s%llu.%llu%c", sign, tenths / 10, tenths % 10,
                          prefixes[scale]);
        } else {
            unsigned long long whole = static_cast<unsigned long long>((m + div / 2) / div);
            std::snprintf(res, sizeof res, "%s%llu%c", sign, whole, prefixes[scale]);
        }
    }
    out->append(res);
    return true;
}
