// Fuzzes the format parser, the printf engine and the encoders. The first
// byte picks the style, the flags and the mode:
// - raw: the rest is a libxo format given to xo_emit and, split at its first
//   NUL, to xo_emit_field as role and contents, with valid strings for every
//   argument (inputs that could take more arguments than are passed are
//   skipped);
// - typed: the rest drives a sequence of opens, closes and emits whose
//   formats are built here, each conversion with an argument of exactly the
//   C type it names, passed through libffi as a compiled variadic call
//   would. Conversions the layer does not know get no argument, so a
//   conversion that takes one it cannot account for reads a value of the
//   wrong type, which the sanitizers catch. A JSON document is checked
//   against JSON's grammar, unless a field asked for no quotes ("n"); XML
//   output is checked for balanced, well-formed elements, unless a
//   structure had an empty name (which stays "<>") or a units field came
//   (libxo leaves a '"' of the units raw in their attribute).
#include <libxo/xo.h>

#include <ffi.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace
{

#define A4 a, a, a, a
#define A16 A4, A4, A4, A4
#define A64 A16, A16, A16, A16

FILE *null_stream()
{
    static FILE *null = fopen("/dev/null", "w");
    return null;
}

void raw_mode(const std::string &in)
{
    // A conversion takes at most six argument slots ("%*.*.*Lf") and a
    // field without a format one ("%s"); sixty-four are passed.
    size_t slots = 0;
    for (char c : in)
        slots += c == '%' ? 6 : c == '{' ? 1 : 0;
    if (slots > 60)
        return;
    const char *a = "a<&>\"\x01\xff%s{}";
    std::string fmt = in.substr(0, in.find('\0'));
    std::string rest = in.size() > fmt.size() ? in.substr(fmt.size() + 1) : std::string();
    std::string rolmod = rest.substr(0, rest.find('\0'));
    xo_open_container(fmt.c_str());
    xo_open_instance(rolmod.c_str());
    xo_emit(fmt.c_str(), A64);
    xo_emit_field(rolmod.c_str(), fmt.c_str(), nullptr, nullptr, A64);
    xo_emit_field(rolmod.c_str(), "", fmt.c_str(), fmt.c_str(), A64);
    xo_close_instance(rolmod.c_str());
}

// A checker of JSON's grammar (RFC 8259; any byte above 0x7f passes in
// strings, duplicate keys too).
struct json_check {
    const char *p, *end;

    void ws()
    {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r'))
            p++;
    }
    bool eat(char c)
    {
        ws();
        if (p < end && *p == c) {
            p++;
            return true;
        }
        return false;
    }
    bool string()
    {
        if (!eat('"'))
            return false;
        while (p < end && *p != '"') {
            unsigned char c = static_cast<unsigned char>(*p++);
            if (c < 0x20)
                return false;
            if (c != '\\')
                continue;
            if (p >= end)
                return false;
            char e = *p++;
            if (e == 'u') {
                for (int i = 0; i < 4; i++, p++)
                    if (p >= end || !isxdigit(static_cast<unsigned char>(*p)))
                        return false;
            } else if (std::strchr("\"\\/bfnrt", e) == nullptr || e == '\0') {
                return false;
            }
        }
        return p++ < end;
    }
    bool digits()
    {
        const char *start = p;
        while (p < end && *p >= '0' && *p <= '9')
            p++;
        return p > start;
    }
    bool number()
    {
        if (p < end && *p == '-')
            p++;
        if (p < end && *p == '0')
            p++;
        else if (!digits())
            return false;
        if (p < end && *p == '.' && (++p, !digits()))
            return false;
        if (p < end && (*p == 'e' || *p == 'E')) {
            p++;
            if (p < end && (*p == '+' || *p == '-'))
                p++;
            return digits();
        }
        return true;
    }
    bool word(const char *w)
    {
        size_t n = std::strlen(w);
        if (static_cast<size_t>(end - p) < n || std::memcmp(p, w, n) != 0)
            return false;
        p += n;
        return true;
    }
    bool value()
    {
        ws();
        if (p >= end)
            return false;
        if (*p == '{' || *p == '[') {
            char close = *p == '{' ? '}' : ']';
            bool object = *p++ == '{';
            if (eat(close))
                return true;
            do {
                if (object && !(string() && eat(':')))
                    return false;
                if (!value())
                    return false;
            } while (eat(','));
            return eat(close);
        }
        if (*p == '"')
            return string();
        return word("true") || word("false") || word("null") || number();
    }
    bool document()
    {
        bool ok = value();
        ws();
        return ok && p == end;
    }
};

// A checker of XML elements: a sequence of balanced elements (libxo has no
// root of its own), names without blanks or markup, attribute values in
// quotes, text without raw '<', entities that XML knows, no control
// characters but tab, newline and CR.
bool xml_ok(std::string_view x)
{
    std::vector<std::string_view> open;
    size_t i = 0;
    auto name_end = [&](size_t j) {
        while (j < x.size() && std::strchr(" \t\n/>=\"'<&", x[j]) == nullptr)
            j++;
        return j;
    };
    while (i < x.size()) {
        unsigned char c = static_cast<unsigned char>(x[i]);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
            return false;
        if (c == '&') {
            size_t semi = x.find(';', i);
            if (semi == std::string_view::npos)
                return false;
            std::string_view e = x.substr(i, semi + 1 - i);
            if (e != "&lt;" && e != "&gt;" && e != "&amp;" && e != "&quot;" && e != "&apos;")
                return false;
            i = semi + 1;
            continue;
        }
        if (c != '<') {
            i++;
            continue;
        }
        bool closing = i + 1 < x.size() && x[i + 1] == '/';
        size_t start = i + (closing ? 2 : 1), end = name_end(start);
        if (end == start)
            return false;
        std::string_view name = x.substr(start, end - start);
        i = end;
        if (closing) {
            if (open.empty() || open.back() != name || i >= x.size() || x[i] != '>')
                return false;
            open.pop_back();
            i++;
            continue;
        }
        while (i < x.size() && x[i] == ' ') { // attributes: name="value"
            size_t a = name_end(i + 1);
            if (a == i + 1 || x.substr(a, 2) != "=\"")
                return false;
            size_t q = x.find('"', a + 2);
            if (q == std::string_view::npos ||
                x.substr(a + 2, q - a - 2).find('<') != std::string_view::npos)
                return false;
            i = q + 1;
        }
        if (i >= x.size() || x[i] != '>')
            return false;
        open.push_back(name);
        i++;
    }
    return open.empty();
}

// Reads the fuzzer's bytes; past the end every byte is zero.
struct reader {
    const uint8_t *p;
    size_t n;
    bool unquoted = false;   // a field asked for no quotes
    bool empty_name = false; // a structure has an empty name (XML "<>")
    bool units = false;      // a units field (its '"' stays raw, as libxo's)
    uint8_t byte()
    {
        if (n == 0)
            return 0;
        n--;
        return *p++;
    }
    template <size_t N> const char *pick(const char *const (&set)[N]) { return set[byte() % N]; }
};

// One argument of a variadic call, kept with its libffi type.
struct argument {
    ffi_type *type;
    union {
        int i;
        long l;
        long long ll;
        double d;
        long double ld;
        const void *p;
    } v;
};

const char *const names[] = {"a", "item", "x-y", "", "a<b>", "top"};
const char *const strings[] = {"abc", "",     "a<&>\"'\x01\t\n\\", "\xc3\xa9t\xc3\xa9", "\xff\xc3",
                               "12",  nullptr};
const wchar_t *const wide[] = {L"w\u00e9de", L"", nullptr};
const double doubles[] = {0.0, -1.5, 1e300, INFINITY, -INFINITY, NAN, 1536.75};
const char *const lengths[] = {"", "", "h", "hh", "l", "ll", "j", "z", "t", "L", "q"};
// Known conversions and others (the layer shows those as written). No '.':
// after a precision it reads as the separator of libxo's third part
// ("%.5." then takes the next conversion's '%' as its own), so the
// arguments passed would not be the ones the format takes.
const char conversions[] = "diouxXDOUeEfFgGaAcspn%kmyCSb!,";

// Appends the argument a known conversion takes, by its length modifier.
void add_conversion_argument(reader *r, char conv, const std::string &len,
                             std::vector<argument> *args)
{
    argument a{};
    if (std::strchr("diouxXDOU", conv) != nullptr) {
        long long v = static_cast<int8_t>(r->byte()) * 1000003LL * (r->byte() % 4 == 0 ? 1 : 7919);
        if (std::strchr("DOU", conv) != nullptr || len == "l") {
            a.type = &ffi_type_slong;
            a.v.l = static_cast<long>(v);
        } else if (len == "ll" || len == "q" || len == "j" || len == "z" || len == "t") {
            a.type = &ffi_type_sint64;
            a.v.ll = v;
        } else {
            a.type = &ffi_type_sint;
            a.v.i = static_cast<int>(v);
        }
    } else if (std::strchr("eEfFgGaA", conv) != nullptr) {
        double d = doubles[r->byte() % (sizeof doubles / sizeof doubles[0])];
        if (len == "L") {
            a.type = &ffi_type_longdouble;
            a.v.ld = d;
        } else {
            a.type = &ffi_type_double;
            a.v.d = d;
        }
    } else if (conv == 'c') {
        a.type = len == "l" ? &ffi_type_uint32 : &ffi_type_sint;
        a.v.i = r->byte();
    } else if (conv == 's') {
        a.type = &ffi_type_pointer;
        if (len == "l")
            a.v.p = wide[r->byte() % (sizeof wide / sizeof wide[0])];
        else
            a.v.p = strings[r->byte() % (sizeof strings / sizeof strings[0])];
    } else if (conv == 'p' || conv == 'n') {
        static int sink;
        a.type = &ffi_type_pointer;
        a.v.p = &sink;
    } else {
        return; // not a conversion: no argument
    }
    args->push_back(a);
}

// A width, precision or third part: none, digits, or '*' with an int.
void add_number(reader *r, std::string *fmt, std::vector<argument> *args)
{
    switch (r->byte() % 4) {
    case 0:
        break;
    case 1:
        *fmt += std::to_string(r->byte() % 24);
        break;
    case 2: {
        *fmt += '*';
        argument a{};
        a.type = &ffi_type_sint;
        a.v.i = static_cast<int8_t>(r->byte());
        args->push_back(a);
        break;
    }
    default:
        *fmt += std::to_string(r->byte() * 997);
        break;
    }
}

// A conversion with its arguments.
void add_conversion(reader *r, std::string *fmt, std::vector<argument> *args)
{
    *fmt += '%';
    for (uint8_t f = r->byte(), i = 0; i < 6; i++)
        if (f & (1u << i))
            *fmt += "-+ #0'"[i];
    add_number(r, fmt, args);
    for (int dots = r->byte() % 3; dots > 0; dots--) {
        *fmt += '.';
        add_number(r, fmt, args);
    }
    std::string len = r->pick(lengths);
    char conv = conversions[r->byte() % (sizeof conversions - 1)];
    *fmt += len;
    *fmt += conv;
    add_conversion_argument(r, conv, len, args);
}

// Literal text: a few bytes, without the characters that start a field, a
// conversion or an escape.
void add_text(reader *r, std::string *fmt)
{
    for (int n = r->byte() % 4; n > 0; n--) {
        char c = static_cast<char>(r->byte());
        *fmt += (c == '\0' || std::strchr("{}%\\/", c) != nullptr) ? ' ' : c;
    }
}

// A printf format of a field: text and conversions.
std::string field_format(reader *r, std::vector<argument> *args)
{
    std::string fmt;
    for (int n = r->byte() % 4; n > 0; n--) {
        add_text(r, &fmt);
        add_conversion(r, &fmt, args);
    }
    return fmt;
}

const char *const roles[] = {"", "V", "L", "T", "N", "D", "P", "U", "C", "G", "W", "[", "]", "E"};
const char *const modifiers[] = {"",  "c", "w",  "cw", "q", "n", "k", "l", "h", "h,hn-decimal",
                                 "d", "e", "wc", "t",  "kq"};

// A libxo format of several fields with their arguments.
std::string libxo_format(reader *r, std::vector<argument> *args)
{
    std::string fmt;
    for (int n = r->byte() % 5 + 1; n > 0; n--) {
        add_text(r, &fmt);
        switch (r->byte() % 6) {
        case 0:
            fmt += r->byte() % 2 ? "{{" : "}}";
            break;
        case 1:
            fmt += "\n";
            break;
        default: {
            std::string role = r->pick(roles);
            std::string mods = r->pick(modifiers);
            r->units = r->units || role == "U";
            r->unquoted = r->unquoted || mods == "n";
            fmt += '{';
            fmt += role;
            fmt += mods;
            fmt += ':';
            bool value = role.empty() || role == "V";
            if (value) {
                fmt += r->pick(names);
            } else if (r->byte() % 3 == 0) {
                // Literal content: no format, no arguments.
                add_text(r, &fmt);
                fmt += '}';
                break;
            }
            if (value && r->byte() % 4 == 0) {
                fmt += '}'; // a value without a format is "%s"
                argument a{};
                a.type = &ffi_type_pointer;
                a.v.p = strings[r->byte() % (sizeof strings / sizeof strings[0])];
                args->push_back(a);
                break;
            }
            std::string f = field_format(r, args);
            fmt += '/';
            fmt += f;
            if (value && r->byte() % 4 == 0) {
                // The same encoding format takes the same arguments.
                fmt += '/';
                fmt += f;
            }
            fmt += '}';
            break;
        }
        }
    }
    return fmt;
}

// Calls FN (xo_emit or xo_emit_field) with its FIXED pointer arguments and
// then ARGS, as a variadic call.
void call_variadic(void (*fn)(), std::vector<const void *> fixed, std::vector<argument> &args)
{
    std::vector<ffi_type *> types(fixed.size(), &ffi_type_pointer);
    std::vector<void *> values;
    for (const void *&p : fixed)
        values.push_back(&p);
    for (argument &a : args) {
        types.push_back(a.type);
        values.push_back(&a.v);
    }
    ffi_cif cif;
    if (ffi_prep_cif_var(&cif, FFI_DEFAULT_ABI, static_cast<unsigned>(fixed.size()),
                         static_cast<unsigned>(types.size()), &ffi_type_sint64,
                         types.data()) != FFI_OK)
        return;
    int64_t rc;
    ffi_call(&cif, fn, &rc, values.data());
}

void typed_mode(reader *r)
{
    for (int ops = 0; ops < 24 && r->n > 0; ops++) {
        const char *name = r->pick(names);
        r->empty_name = r->empty_name || *name == '\0';
        switch (r->byte() % 9) {
        case 0:
            xo_open_container(name);
            break;
        case 1:
            xo_close_container(name);
            break;
        case 2:
            xo_open_list(name);
            break;
        case 3:
            xo_close_list(name);
            break;
        case 4:
            xo_open_instance(name);
            break;
        case 5:
            xo_close_instance(name);
            break;
        case 6: {
            std::vector<argument> args;
            std::string mods = r->pick(modifiers);
            r->unquoted = r->unquoted || mods == "n";
            std::string role = r->pick(roles) + mods;
            r->units = r->units || role[0] == 'U';
            std::string fmt = field_format(r, &args);
            bool value =
                role.empty() || role[0] == 'V' || std::strchr("CDEGLNPTUW[]", role[0]) == nullptr;
            // Contents are a value's name; other roles take their text from
            // the format when the contents are empty.
            call_variadic(reinterpret_cast<void (*)()>(&xo_emit_field),
                          {role.c_str(), value ? name : "", fmt.c_str(), nullptr}, args);
            break;
        }
        default: {
            std::vector<argument> args;
            std::string fmt = libxo_format(r, &args);
            call_variadic(reinterpret_cast<void (*)()>(&xo_emit), {fmt.c_str()}, args);
            break;
        }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 4096)
        return 0;
    static const xo_xof_flags_t flag_sets[] = {0, XOF_PRETTY, XOF_UNITS,
                                               XOF_PRETTY | XOF_UNITS | XOF_XPATH | XOF_COLUMNS};
    xo_destroy(nullptr);
    xo_set_style(nullptr, data[0] & 3);
    xo_set_flags(nullptr, flag_sets[(data[0] >> 2) & 3] | XOF_UNDERSCORES | XOF_KEYS);
    if (!(data[0] & 0x10)) {
        xo_set_file(null_stream());
        raw_mode(std::string(reinterpret_cast<const char *>(data) + 1, size - 1));
        xo_finish();
        xo_destroy(nullptr);
        return 0;
    }
    char *buf = nullptr;
    size_t len = 0;
    FILE *fp = open_memstream(&buf, &len);
    xo_set_file(fp);
    reader r{data + 1, size - 1};
    typed_mode(&r);
    xo_finish();
    xo_destroy(nullptr);
    fclose(fp);
    if ((data[0] & 3) == XO_STYLE_JSON && !r.unquoted) {
        json_check check{buf, buf + len};
        if (!check.document()) {
            fprintf(stderr, "invalid JSON: %.*s\n", static_cast<int>(len), buf);
            abort();
        }
    }
    if ((data[0] & 3) == XO_STYLE_XML && !r.empty_name && !r.units &&
        !xml_ok(std::string_view(buf, len))) {
        fprintf(stderr, "invalid XML: %.*s\n", static_cast<int>(len), buf);
        abort();
    }
    free(buf);
    return 0;
}
