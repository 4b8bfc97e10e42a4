// xo_emit and xo_emit_field: walks the fields of a format, formats each
// with its arguments, and hands the result to the encoder of the style.
// Every field consumes its arguments in every style, so the argument list
// stays in step whatever is shown. The handle's scratch buffers are reused,
// so a warm handle emits without allocating.
#include "xo_private.h"

#include <cstring>

namespace
{

// The escaping that the style gives to formatted text.
xo_escape style_escape(xo_handle_s *h)
{
    switch (h->style) {
    case XO_STYLE_XML:
    case XO_STYLE_HTML:
        return XO_ESC_XML;
    case XO_STYLE_JSON:
        return XO_ESC_JSON;
    default:
        return xo_is_utf8(h) ? XO_ESC_NONE : XO_ESC_TEXT_C;
    }
}

bool encoding_style(const xo_handle_s *h)
{
    return h->style == XO_STYLE_XML || h->style == XO_STYLE_JSON;
}

// The name of a value field; libxo's stand-in for an empty one.
std::string_view field_name(xo_handle_s *h, const xo_field *f, std::string_view fmt)
{
    if (!f->content.empty())
        return f->content;
    if (h->flags & XOF_WARN)
        xo_failure(h, "missing field name: %.*s", static_cast<int>(fmt.size()), fmt.data());
    return "missing-field-name";
}

// A value field: formatted with its format (or, in XML and JSON, its
// encoding format without right-justifying widths).
void emit_value(xo_handle_s *h, const xo_field *field, xo_args *ap)
{
    bool enc = encoding_style(h);
    std::string_view fmt = field->has_format ? field->format : std::string_view("%s");
    if (enc && field->has_eformat && !field->eformat.empty())
        fmt = field->eformat;
    h->val.clear();
    unsigned got = xo_vformat(&h->val, fmt, ap, style_escape(h), enc);
    if (((field->flags & XFF_DISPLAY_ONLY) && enc) || ((field->flags & XFF_ENCODE_ONLY) && !enc))
        return;
    xo_field named = *field;
    const xo_field *f = &named;
    if (h->style != XO_STYLE_TEXT)
        named.content = field_name(h, field, fmt);
    if (h->flags & XOF_WARN)
        xo_check_name(h, f->content);
    // A field ends the lists that cannot hold it.
    xo_close_pending(h, (f->flags & XFF_LEAF_LIST) ? f : nullptr);

    std::string_view val = h->val;
    std::string_view number;
    if ((f->flags & XFF_HUMANIZE) && !enc && !(h->flags & XOF_NO_HUMANIZE)) {
        // A text that is no number is shown as it is, still as data-number.
        h->num.clear();
        number = h->val;
        if (xo_humanize(&h->num, h->val, (f->flags & XFF_HN_DECIMAL) != 0))
            val = h->num;
    }
    if (f->flags & XFF_KEY)
        xo_note_key(h, f->content, val);
    switch (h->style) {
    case XO_STYLE_TEXT:
        xo_text_field(h, f, val);
        break;
    case XO_STYLE_HTML:
        xo_html_field(h, f, val, number);
        break;
    case XO_STYLE_XML:
        xo_xml_value(h, f, val);
        break;
    case XO_STYLE_JSON: {
        bool quote;
        if (fmt.empty()) {
            val = "true";
            quote = false;
        } else if (f->flags & XFF_QUOTE) {
            quote = true;
        } else if (f->flags & XFF_NOQUOTE) {
            quote = false;
            // The null pointer as the whole value is JSON's null.
            if ((got & XO_FMT_NULL) && val == "(null)")
                val = "null";
        } else {
            quote = !xo_json_numeric(fmt);
        }
        // A non-finite number is no JSON number: it stays a string.
        if (got & XO_FMT_NONFINITE)
            quote = true;
        xo_json_value(h, f, val, quote);
        break;
    }
    }
}

// Any other role: literal content or a format with arguments; shown in
// text and HTML only, with units also as attributes in XML and HTML.
void emit_content(xo_handle_s *h, const xo_field *f, xo_args *ap)
{
    h->val.clear();
    bool shown = (h->style == XO_STYLE_TEXT || h->style == XO_STYLE_HTML ||
                  (h->style == XO_STYLE_XML && f->role == 'U')) &&
                 std::strchr("CEGW[]", f->role) == nullptr;
    if (f->role == 'C') {
        // Colours: the content, or what the format makes of its arguments.
        if (f->flags & XFF_LITERAL)
            h->val.assign(f->content.data(), f->content.size());
        else if (f->has_format)
            xo_vformat(&h->val, f->format, ap, XO_ESC_NONE, false);
        if ((h->flags & XOF_COLOR) && (h->style == XO_STYLE_TEXT || h->style == XO_STYLE_HTML))
            xo_color_apply(h, h->val);
        return;
    }
    if (f->role == 'T' && (f->flags & XFF_LITERAL)) {
        // A title's content is the argument of its format ("%s" if none),
        // shown verbatim.
        if (!shown)
            return;
        h->tmp.assign(f->content.data(), f->content.size());
        xo_args title{nullptr, h->tmp.c_str()};
        xo_vformat(&h->val, f->has_format ? f->format : "%s", &title, style_escape(h), false);
    } else if (f->flags & XFF_LITERAL) {
        if (!shown)
            return;
        if (h->style == XO_STYLE_TEXT) {
            xo_unescape_literal(&h->val, f->content);
        } else {
            h->tmp.clear();
            xo_unescape_literal(&h->tmp, f->content);
            xo_escape_xml(&h->val, h->tmp, false);
        }
    } else if (f->has_format) {
        xo_escape esc = shown ? style_escape(h) : XO_ESC_NONE;
        xo_vformat(&h->val, f->format, ap, esc, false);
        if (!shown)
            return;
    } else if (!shown) {
        return;
    }
    if ((f->flags & XFF_ENCODE_ONLY))
        return;
    switch (h->style) {
    case XO_STYLE_TEXT:
        xo_text_field(h, f, h->val);
        break;
    case XO_STYLE_HTML:
        xo_html_field(h, f, h->val, {});
        break;
    case XO_STYLE_XML:
        xo_xml_units(h, h->val);
        break;
    }
}

// Literal text between fields.
void emit_text(xo_handle_s *h, std::string_view text)
{
    if (text.empty())
        return;
    if (h->style == XO_STYLE_TEXT) {
        h->out.append(text);
        h->written = true;
    } else if (h->style == XO_STYLE_HTML) {
        xo_html_text(h, text);
    }
}

void emit_field(xo_handle_s *h, const xo_field *f, xo_args *ap)
{
    if (f->role == 'V')
        emit_value(h, f, ap);
    else
        emit_content(h, f, ap);
}

// What a call returns: the bytes it produced, or under XOF_COLUMNS the
// columns they take.
ssize_t produced(const xo_handle_s *h, size_t before)
{
    if (h->flags & XOF_COLUMNS)
        return static_cast<ssize_t>(xo_columns(std::string_view(h->out).substr(before)));
    return static_cast<ssize_t>(h->out.size() - before);
}

// The fields of FMT, parsed at its first use. A format is known again by
// its text: the same pointer may hold a new text (a caller's buffer), and
// the same text may come from elsewhere. A program's formats are a few
// literals, so the cache is small and scanned; past its bound a format is
// parsed into SPARE. Entries never change once made, so a field being
// emitted stays valid whatever the emit itself parses.
const xo_parsed_format &parsed_format(xo_handle_s *h, const char *fmt, xo_parsed_format &spare)
{
    constexpr size_t max_formats = 64;
    for (const auto &p : h->formats)
        if (p->caller == fmt && p->text == fmt)
            return *p;
    std::string_view text(fmt);
    for (const auto &p : h->formats)
        if (p->text == text) {
            p->caller = fmt;
            return *p;
        }
    // Only a whole parse goes into the cache, even when memory runs out.
    std::unique_ptr<xo_parsed_format> made;
    xo_parsed_format *slot = &spare;
    if (h->formats.size() < max_formats) {
        made = std::make_unique<xo_parsed_format>();
        slot = made.get();
    }
    slot->caller = fmt;
    slot->text.assign(text);
    std::string_view f(slot->text);
    size_t pos = 0;
    while (pos < f.size()) {
        xo_field field;
        xo_parse_field(f, &pos, &field);
        slot->fields.push_back(field);
    }
    if (made)
        h->formats.push_back(std::move(made));
    return *slot;
}

// Emits every field of FMT; returns what it produced. Literal text between
// fields, "{{" and "}}" included, is one piece of text.
ssize_t emit_format(xo_handle_s *h, const char *fmt, xo_args *ap)
{
    if (fmt == nullptr)
        return 0;
    size_t before = h->out.size();
    h->units_at = std::string::npos;
    h->text.clear();
    xo_parsed_format spare;
    for (const xo_field &field : parsed_format(h, fmt, spare).fields) {
        if (field.role == 't') {
            h->text.append(field.content);
            continue;
        }
        emit_text(h, h->text);
        h->text.clear();
        emit_field(h, &field, ap);
    }
    emit_text(h, h->text);
    h->units_at = std::string::npos;
    ssize_t n = produced(h, before);
    xo_flush_out(h);
    return n;
}

} // namespace

extern "C" {

xo_ssize_t xo_emit_h(xo_handle_t *xop, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    xo_args args{&ap};
    ssize_t n = xo_guard([&] { return emit_format(xo_get(xop), fmt, &args); });
    va_end(ap);
    return n;
}

xo_ssize_t xo_emit(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    xo_args args{&ap};
    ssize_t n = xo_guard([&] { return emit_format(xo_get(nullptr), fmt, &args); });
    va_end(ap);
    return n;
}

xo_ssize_t xo_emit_field(const char *rolmod, const char *contents, const char *fmt,
                         const char *efmt, ...)
{
    xo_field f;
    if (rolmod != nullptr)
        f.flags = xo_parse_modifiers(rolmod, &f.role);
    f.content = contents != nullptr ? contents : "";
    // Empty contents count as none: the text comes from an argument.
    f.has_format = true;
    f.format = fmt != nullptr ? fmt : "%s";
    if (f.role != 'V' && !f.content.empty())
        f.flags |= XFF_LITERAL;
    if (efmt != nullptr) {
        f.has_eformat = true;
        f.eformat = efmt;
    }
    va_list ap;
    va_start(ap, efmt);
    xo_args args{&ap};
    ssize_t n = xo_guard([&] {
        xo_handle_s *h = xo_get(nullptr);
        size_t before = h->out.size();
        h->units_at = std::string::npos;
        emit_field(h, &f, &args);
        h->units_at = std::string::npos;
        ssize_t n = produced(h, before);
        xo_flush_out(h);
        return n;
    });
    va_end(ap);
    return n;
}

} // extern "C"
