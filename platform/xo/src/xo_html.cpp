// The display styles: text (what a terminal shows) and HTML (the same
// content as one <div> per field inside a <div class="line"> per line).
// Labels, padding, titles, notes, decorations and units appear only here.
#include "xo_private.h"

namespace
{

// The HTML class of a role.
const char *role_class(char role)
{
    switch (role) {
    case 'L':
        return "label";
    case 'T':
        return "title";
    case 'P':
        return "padding";
    case 'D':
        return "decoration";
    case 'N':
        return "note";
    case 'U':
        return "units";
    case 't':
        return "text";
    default:
        return "data";
    }
}

// Starts a field's <div>: under XOF_PRETTY each one is on a line of its
// own inside its line's <div>.
void div_begin(xo_handle_s *h)
{
    if (h->flags & XOF_PRETTY)
        xo_out_indent(h, h->indent);
}

void div_end(xo_handle_s *h)
{
    h->out.append("</div>");
    if (h->flags & XOF_PRETTY)
        h->out.push_back('\n');
}

// A <div> of class CLASS around VAL (escaped already).
void div_class(xo_handle_s *h, const char *cls, std::string_view val)
{
    div_begin(h);
    h->out.append("<div class=\"");
    h->out.append(cls);
    xo_color_classes(h);
    h->out.append("\">");
    h->out.append(val);
    div_end(h);
}

// Units and notes take the 'w' modifier's blank before them, every other
// role after.
bool blank_before(const xo_field *f)
{
    return (f->flags & XFF_WS) && (f->role == 'U' || f->role == 'N');
}

// The decoration and padding that the 'c' and 'w' modifiers add after a
// field.
void html_modifiers(xo_handle_s *h, const xo_field *f)
{
    if (f->flags & XFF_COLON)
        div_class(h, "decoration", ":");
    if ((f->flags & XFF_WS) && !blank_before(f))
        div_class(h, "padding", " ");
}

// XOF_XPATH: the path of a value field, through the open containers and
// instances (with their keys), as an attribute.
void html_xpath(xo_handle_s *h, std::string_view name)
{
    h->out.append(" data-xpath=\"");
    for (size_t i = 1; i <= h->depth; i++) {
        const xo_frame &f = h->stack[i];
        if (f.kind != XO_FRAME_CONTAINER && f.kind != XO_FRAME_INSTANCE)
            continue;
        h->out.push_back('/');
        xo_escape_attr(&h->out, f.name);
        h->out.append(f.keys);
    }
    h->out.push_back('/');
    xo_escape_attr(&h->out, name);
    h->out.push_back('"');
}

// XOF_INFO: the type and help text that xo_set_info gave the field.
void html_info(xo_handle_s *h, std::string_view name)
{
    for (size_t i = 0; i < h->info_count; i++) {
        const xo_info_t &info = h->info[i];
        if (info.xi_name == nullptr || name != info.xi_name)
            continue;
        if (info.xi_type != nullptr) {
            h->out.append(" data-type=\"");
            xo_escape_attr(&h->out, info.xi_type);
            h->out.push_back('"');
        }
        if (info.xi_help != nullptr) {
            h->out.append(" data-help=\"");
            xo_escape_attr(&h->out, info.xi_help);
            h->out.push_back('"');
        }
        return;
    }
}

} // namespace

// Text style: the field's text, then ':' and ' ' for the modifiers.
void xo_text_field(xo_handle_s *h, const xo_field *f, std::string_view val)
{
    if (blank_before(f))
        h->out.push_back(' ');
    h->out.append(val);
    if (f->flags & XFF_COLON)
        h->out.push_back(':');
    if ((f->flags & XFF_WS) && !blank_before(f))
        h->out.push_back(' ');
    h->written = true;
}

// Opens a line's <div> unless one is open.
void xo_html_line(xo_handle_s *h)
{
    if (h->line_open)
        return;
    h->line_open = true;
    h->out.append((h->flags & XOF_PRETTY) ? "<div class=\"line\">\n" : "<div class=\"line\">");
    h->written = true;
}

// HTML: one field as a <div>; VAL is escaped already. NUMBER, when not
// empty, is the plain number behind a humanized value.
void xo_html_field(xo_handle_s *h, const xo_field *f, std::string_view val, std::string_view number)
{
    xo_html_line(h);
    if (blank_before(f))
        div_class(h, "padding", " ");
    if (f->role == 'V') {
        div_begin(h);
        h->out.append("<div class=\"data");
        xo_color_classes(h);
        h->out.append("\" data-tag=\"");
        xo_escape_attr(&h->out, f->content);
        h->out.push_back('"');
        if (h->flags & XOF_UNITS)
            h->units_at = h->out.size();
        if (h->flags & XOF_XPATH)
            html_xpath(h, f->content);
        if ((h->flags & XOF_KEYS) && (f->flags & XFF_KEY))
            h->out.append(" data-key=\"key\"");
        if (h->flags & XOF_INFO)
            html_info(h, f->content);
        if (!number.empty()) {
            h->out.append(" data-number=\"");
            xo_escape_attr(&h->out, number);
            h->out.push_back('"');
        }
        h->out.push_back('>');
        h->out.append(val);
        div_end(h);
    } else if (f->role == 'U' && h->units_at != std::string::npos) {
        // Units of a value of this call: an attribute of the value's <div>.
        h->tmp.assign(" data-units=\"");
        h->tmp.append(val);
        h->tmp.push_back('"');
        h->out.insert(h->units_at, h->tmp);
        h->units_at = std::string::npos;
    } else if (!val.empty() || f->has_format) {
        // A format that printed nothing still has its <div>; a field with
        // neither content nor format ("{Lc:}") shows only its modifiers.
        div_class(h, role_class(f->role), val);
    }
    html_modifiers(h, f);
}

// HTML: literal text of a format; a newline in it ends the line's <div>.
void xo_html_text(xo_handle_s *h, std::string_view text)
{
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view part = text.substr(0, nl);
        if (!part.empty()) {
            xo_html_line(h);
            div_begin(h);
            h->out.append("<div class=\"text");
            xo_color_classes(h);
            h->out.append("\">");
            xo_escape_xml(&h->out, part, false);
            div_end(h);
        }
        if (nl == std::string_view::npos)
            break;
        if (h->line_open) {
            h->line_open = false;
        } else {
            xo_html_line(h);
            h->line_open = false;
        }
        h->out.append((h->flags & XOF_PRETTY) ? "</div>\n" : "</div>");
        h->written = true;
        text.remove_prefix(nl + 1);
    }
}
