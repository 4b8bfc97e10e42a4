// The JSON encoder: one object for the whole document, opened at the first
// output and closed by xo_finish. Containers are objects, lists arrays of
// anonymous instances, leaf-list fields arrays of values. Members are
// separated by "," (fields) or ", " (structures); under XOF_PRETTY every
// member is on a line of its own, indented two blanks per level.
#include "xo_private.h"

namespace
{

bool pretty(const xo_handle_s *h)
{
    return (h->flags & XOF_PRETTY) != 0;
}

// Indentation of a member at the current depth.
size_t indent(const xo_handle_s *h)
{
    return pretty(h) ? h->indent * (h->depth + 1) : 0;
}

// A member's name, escaped, with '-' as '_' under XOF_UNDERSCORES.
void put_name(xo_handle_s *h, std::string_view name)
{
    h->out.push_back('"');
    if (h->flags & XOF_UNDERSCORES) {
        h->tmp.assign(name.data(), name.size());
        for (char &c : h->tmp)
            if (c == '-')
                c = '_';
        xo_escape_json(&h->out, h->tmp);
    } else {
        xo_escape_json(&h->out, name);
    }
    h->out.push_back('"');
}

// The separator before a new member of the innermost frame.
void separate(xo_handle_s *h, bool structure)
{
    xo_frame &p = h->stack[h->depth];
    // XOF_NOT_FIRST with XOF_NO_TOP: the members continue an object that
    // the caller began (after its own '{' a comma is no JSON).
    bool continues = h->depth == 0 && (h->flags & XOF_NO_TOP) && (h->flags & XOF_NOT_FIRST);
    if (p.not_first || continues)
        h->out.append(pretty(h) ? ",\n" : structure ? ", " : ",");
    p.not_first = true;
}

} // namespace

// Writes the document's opening brace once.
void xo_json_top(xo_handle_s *h)
{
    if (h->top_emitted || (h->flags & XOF_NO_TOP))
        return;
    h->top_emitted = true;
    xo_out(h, pretty(h) ? "{\n" : "{");
}

// Writes the start of a container, list, leaf list or instance (the caller
// pushes its frame).
void xo_json_open(xo_handle_s *h, std::string_view name, xo_frame_kind kind)
{
    xo_json_top(h);
    separate(h, true);
    xo_out_indent(h, indent(h));
    if (kind == XO_FRAME_INSTANCE) {
        h->out.push_back('{');
    } else {
        put_name(h, name);
        h->out.append(kind == XO_FRAME_CONTAINER ? ": {" : ": [");
    }
    if (pretty(h))
        h->out.push_back('\n');
}

// Writes the end of the innermost frame and pops it.
void xo_json_close(xo_handle_s *h)
{
    xo_frame &f = h->stack[h->depth];
    bool object = f.kind == XO_FRAME_CONTAINER || f.kind == XO_FRAME_INSTANCE;
    bool had_members = f.not_first;
    h->depth--;
    if (pretty(h) && (object || had_members))
        h->out.push_back('\n');
    xo_out_indent(h, indent(h));
    h->out.push_back(object ? '}' : ']');
    h->stack[h->depth].not_first = true;
}

// Writes one value member; VAL is escaped already, QUOTE puts it in quotes.
// A leaf-list field becomes an element of an array of that name.
void xo_json_value(xo_handle_s *h, const xo_field *f, std::string_view val, bool quote)
{
    xo_json_top(h);
    bool leaf = (f->flags & XFF_LEAF_LIST) != 0;
    if (leaf && h->stack[h->depth].kind != XO_FRAME_LEAF_LIST) {
        xo_json_open(h, f->content, XO_FRAME_LEAF_LIST);
        h->depth++;
        if (h->depth >= h->stack.size())
            h->stack.resize(h->depth + 1);
        xo_frame &lf = h->stack[h->depth];
        lf.name.assign(f->content.data(), f->content.size());
        lf.kind = XO_FRAME_LEAF_LIST;
        lf.not_first = false;
        lf.implicit = false;
    }
    separate(h, false);
    xo_out_indent(h, indent(h));
    if (!leaf) {
        put_name(h, f->content);
        h->out.append(pretty(h) ? ": " : ":");
    }
    if (quote)
        h->out.push_back('"');
    h->out.append(val);
    if (quote)
        h->out.push_back('"');
    h->written = true;
}

// Ends the document: the closing brace and a newline, or "{ }" when
// nothing at all was written.
void xo_json_finish(xo_handle_s *h)
{
    if (h->flags & XOF_NO_TOP)
        return;
    if (h->top_emitted) {
        h->top_emitted = false;
    } else if (!h->written) {
        xo_out(h, "{ }\n");
        return;
    }
    xo_out(h, pretty(h) ? "\n}\n" : "}\n");
}
