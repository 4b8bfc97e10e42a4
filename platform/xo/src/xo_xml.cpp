// The XML encoder: containers and instances are elements, lists have no
// element of their own, values are elements holding their text. Names are
// made valid element names. No declaration and no root element: several
// top-level elements may follow each other. XOF_PRETTY puts each element
// on a line of its own, indented two blanks per level.
#include "xo_private.h"

namespace
{

bool pretty(const xo_handle_s *h)
{
    return (h->flags & XOF_PRETTY) != 0;
}

void put_name(xo_handle_s *h, std::string_view name)
{
    xo_xml_name(&h->out, name);
}

} // namespace

// Writes the start tag of a container or instance.
void xo_xml_open(xo_handle_s *h, std::string_view name)
{
    if (pretty(h))
        xo_out_indent(h, h->indent * xo_xml_level(h));
    h->out.push_back('<');
    put_name(h, name);
    h->out.push_back('>');
    if (pretty(h))
        h->out.push_back('\n');
    h->written = true;
}

// Writes the end tag of a container or instance at nesting LEVEL.
void xo_xml_close(xo_handle_s *h, std::string_view name, size_t level)
{
    if (pretty(h))
        xo_out_indent(h, h->indent * level);
    h->out.append("</");
    put_name(h, name);
    h->out.push_back('>');
    if (pretty(h))
        h->out.push_back('\n');
    h->written = true;
}

// Writes a value element; VAL is escaped already. Remembers where a units
// attribute given later in the same call goes.
void xo_xml_value(xo_handle_s *h, const xo_field *f, std::string_view val)
{
    if (pretty(h))
        xo_out_indent(h, h->indent * xo_xml_level(h));
    h->out.push_back('<');
    put_name(h, f->content);
    if ((f->flags & XFF_KEY) && (h->flags & XOF_KEYS))
        h->out.append(" key=\"key\"");
    if (h->flags & XOF_UNITS)
        h->units_at = h->out.size();
    h->out.push_back('>');
    h->out.append(val);
    h->out.append("</");
    put_name(h, f->content);
    h->out.push_back('>');
    if (pretty(h))
        h->out.push_back('\n');
    h->written = true;
}

// Puts a units attribute (UNITS escaped already) on the value written last
// in this call.
void xo_xml_units(xo_handle_s *h, std::string_view units)
{
    if (h->units_at == std::string::npos || h->units_at > h->out.size())
        return;
    h->tmp.assign(" units=\"");
    h->tmp.append(units);
    h->tmp.push_back('"');
    h->out.insert(h->units_at, h->tmp);
    h->units_at = std::string::npos;
}
