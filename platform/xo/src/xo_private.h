// The output layer's internals: the handle (one output document with its
// nesting stack and buffers) and the routines that the API, the format
// parser and the per-style encoders share. Nothing here is public API.
#ifndef TUNEX_XO_PRIVATE_H
#define TUNEX_XO_PRIVATE_H

#include <libxo/xo.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

// What one open structure is; the bottom frame is the document itself.
enum xo_frame_kind : unsigned char {
    XO_FRAME_DOC,
    XO_FRAME_CONTAINER,
    XO_FRAME_LIST,
    XO_FRAME_INSTANCE,
    XO_FRAME_LEAF_LIST,
};

struct xo_frame {
    std::string name; // kept across reuse so that a warm stack never allocates
    xo_frame_kind kind = XO_FRAME_DOC;
    bool not_first = false; // JSON: a member was already written inside
    bool implicit = false;  // a list opened by an instance outside a list
    std::string keys;       // an instance's key fields as XPath predicates
};

// Modifier bits of a field.
enum : unsigned {
    XFF_COLON = 1u << 0,
    XFF_WS = 1u << 1,
    XFF_QUOTE = 1u << 2,
    XFF_NOQUOTE = 1u << 3,
    XFF_KEY = 1u << 4,
    XFF_LEAF_LIST = 1u << 5,
    XFF_HUMANIZE = 1u << 6,
    XFF_HN_DECIMAL = 1u << 7,
    XFF_DISPLAY_ONLY = 1u << 8,
    XFF_ENCODE_ONLY = 1u << 9,
    XFF_LITERAL = 1u << 10, // content is literal text (not formatted)
};

// One parsed field of a libxo format, pointing into the format string.
struct xo_field {
    char role = 'V'; // V value, L label, T title, P padding, D decoration,
                     // N note, U units, t literal text between fields; C
                     // (colors), G (gettext), E, W and the anchors [ ] show
                     // nothing here but take their format's arguments
    unsigned flags = 0;
    std::string_view content; // label text or field name
    std::string_view format;  // printf part; empty with has_format false
    std::string_view eformat; // encoding format, or empty
    bool has_format = false;
    bool has_eformat = false;
};

// A format's fields, parsed once: a walk emits the same few formats for
// every object. The fields point into the handle's own copy of the format.
struct xo_parsed_format {
    const char *caller = nullptr; // where the format came from last
    std::string text;
    std::vector<xo_field> fields;
};

// How the printf engine escapes what a conversion produces.
enum xo_escape {
    XO_ESC_NONE,   // text style in a UTF-8 locale: bytes as given
    XO_ESC_TEXT_C, // text style in locale C: non-ASCII becomes '?'
    XO_ESC_XML,    // XML/HTML content
    XO_ESC_JSON,   // inside a JSON string
};

// Colours and effects in force (the colour role); 0 is the default colour.
struct xo_color_state {
    unsigned effects = 0;
    unsigned char fg = 0, bg = 0;
};

struct xo_handle_s {
    xo_style_t style = XO_STYLE_TEXT;
    xo_xof_flags_t flags = 0;
    FILE *fp = nullptr; // nullptr: stdout
    std::string out;    // output not yet written to fp
    std::vector<xo_frame> stack;
    size_t depth = 0;                    // index of the innermost open frame
    bool top_emitted = false;            // JSON: the outer '{' is out
    bool written = false;                // anything at all was written
    bool line_open = false;              // HTML: a <div class="line"> is open
    bool fatal_done = false;             // xo_err finished; the exit hook must not
    int utf8 = -1;                       // locale is UTF-8: -1 not yet known
    size_t units_at = std::string::npos; // where a units attribute goes
    // Scratch buffers reused by every call.
    std::string val, enc, tmp, num, text;
    std::string closed_list;         // the list that a field or structure ended last
    unsigned indent = 2;             // blanks per level under XOF_PRETTY
    const xo_info_t *info = nullptr; // field descriptions (xo_set_info)
    size_t info_count = 0;
    xo_color_state color;
    std::vector<std::unique_ptr<xo_parsed_format>> formats; // a few, by first use
};

// Runs F and turns exhausted memory, the one exception the layer can meet,
// into -1 with errno ENOMEM, so that no exception crosses the C API.
template <class F> ssize_t xo_guard(F &&f) noexcept
{
    try {
        if constexpr (std::is_void_v<decltype(f())>) {
            f();
            return 0;
        } else {
            return f();
        }
    } catch (...) {
        errno = ENOMEM;
        return -1;
    }
}

// Core (xo_core.cpp).
xo_handle_s *xo_get(xo_handle_t *xop);
xo_handle_s *xo_get_default(void); // without initializing it
void xo_out(xo_handle_s *h, std::string_view s);
void xo_out_indent(xo_handle_s *h, size_t n);
void xo_flush_out(xo_handle_s *h);
void xo_sync(xo_handle_s *h);
bool xo_is_utf8(xo_handle_s *h);
const char *xo_program(void);
void xo_check_name(xo_handle_s *h, std::string_view name);
ssize_t xo_do_finish(xo_handle_s *h);
void xo_close_pending(xo_handle_s *h, const xo_field *leaf);
void xo_note_key(xo_handle_s *h, std::string_view name, std::string_view val);

// Format parsing (xo_format.cpp). Parses the field at FMT[*pos] (which is
// '{' or the start of literal text) into F and advances *pos. Returns false
// with F a literal-text field when the text has no field.
void xo_parse_field(std::string_view fmt, size_t *pos, xo_field *f);
unsigned xo_parse_modifiers(std::string_view mods, char *role);

// Where a format's arguments come from: the caller's argument list, or,
// for a title whose content is its argument, that one string (any other
// conversion then gets zero, or an empty string).
struct xo_args {
    va_list *ap = nullptr;
    const char *text = nullptr;

    template <class T> T next()
    {
        if (ap != nullptr)
            return va_arg(*ap, T);
        if constexpr (std::is_same_v<T, const char *>) {
            const char *s = text != nullptr ? text : "";
            text = nullptr;
            return s;
        } else {
            return T{};
        }
    }
};

// What xo_vformat met while formatting.
enum : unsigned {
    XO_FMT_NONFINITE = 1u << 0, // a floating conversion gave inf or nan
    XO_FMT_NULL = 1u << 1,      // a %s argument was the null pointer
};

// printf engine (xo_printf.cpp): appends FMT's conversions of the
// arguments in *AP to OUT with escaping ESC. STRIP drops right-justifying
// widths and zero padding (XML/JSON). Returns XO_FMT_* bits.
unsigned xo_vformat(std::string *out, std::string_view fmt, xo_args *ap, xo_escape esc, bool strip);

// Columns that S takes on a terminal: its characters.
size_t xo_columns(std::string_view s);

// True when a value of format FMT is a JSON number: a single numeric
// conversion and nothing else, without flags that make its text no number.
bool xo_json_numeric(std::string_view fmt);

// Appends the C library's formatting of FMT ("" for none) over AP to OUT,
// growing it to fit (xo_printf.cpp).
void xo_vappend(std::string *out, const char *fmt, va_list ap);

// Escaping and humanizing (xo_escape.cpp).
void xo_escape_xml(std::string *out, std::string_view s, bool blank_ctl);
void xo_escape_attr(std::string *out, std::string_view s);
void xo_escape_json(std::string *out, std::string_view s);
void xo_valid_utf8(std::string *out, bool json);
void xo_text_c(std::string *out, std::string_view s);
void xo_xml_name(std::string *out, std::string_view name);
bool xo_xml_name_warn(std::string_view name);
void xo_unescape_literal(std::string *out, std::string_view s);
bool xo_humanize(std::string *out, std::string_view text, bool decimal);

// The colour role (xo_color.cpp).
void xo_color_apply(xo_handle_s *h, std::string_view colors);
void xo_color_classes(xo_handle_s *h);

// Encoders per style.
void xo_text_field(xo_handle_s *h, const xo_field *f, std::string_view val);
void xo_html_field(xo_handle_s *h, const xo_field *f, std::string_view val,
                   std::string_view number);
void xo_html_text(xo_handle_s *h, std::string_view text);
void xo_html_line(xo_handle_s *h);
void xo_xml_open(xo_handle_s *h, std::string_view name);
void xo_xml_close(xo_handle_s *h, std::string_view name, size_t level);
void xo_xml_value(xo_handle_s *h, const xo_field *f, std::string_view val);
void xo_xml_units(xo_handle_s *h, std::string_view units);
size_t xo_xml_level(const xo_handle_s *h);
void xo_json_top(xo_handle_s *h);
void xo_json_open(xo_handle_s *h, std::string_view name, xo_frame_kind kind);
void xo_json_close(xo_handle_s *h);
void xo_json_value(xo_handle_s *h, const xo_field *f, std::string_view val, bool quote);
void xo_json_finish(xo_handle_s *h);

// Applies the options in LIBXO_OPTIONS, unless XOF_NO_ENV (xo_args.cpp).
void xo_env_options(xo_handle_s *h);

// Warnings (xo_warn.cpp). xo_failure reports a faulty call on stderr.
void xo_failure(xo_handle_s *h, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void xo_warn_hcv(xo_handle_s *h, int code, bool with_code, const char *fmt, va_list ap);

#endif
