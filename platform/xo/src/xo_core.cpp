// The handle and the document structure: the default handle, buffered
// output, opening and closing containers, lists and instances in every
// style, and finishing a document. The per-style bytes come from the
// encoders; this file keeps the nesting stack that they share.
#include "xo_private.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace
{

xo_handle_s default_handle;

// LIBXO_OPTIONS applies once per process, to the first default handle; a
// handle reset by xo_destroy starts from no flags at all.
bool env_applied = false;

// Buffered output is written out at the end of a call once it grows past
// this, even without XOF_FLUSH.
constexpr size_t flush_threshold = 1 << 16;

// Makes room for one more frame, reusing the strings of earlier frames.
xo_frame &push_frame(xo_handle_s *h, std::string_view name, xo_frame_kind kind)
{
    if (h->stack.empty())
        h->stack.resize(1);
    h->depth++;
    if (h->depth >= h->stack.size())
        h->stack.resize(h->depth + 1);
    xo_frame &f = h->stack[h->depth];
    f.name.assign(name.data(), name.size());
    f.kind = kind;
    f.not_first = false;
    f.implicit = false;
    f.keys.clear();
    return f;
}

// Closes the innermost frame in the current style.
void pop_frame(xo_handle_s *h, std::string_view name)
{
    xo_frame &f = h->stack[h->depth];
    bool named = f.kind == XO_FRAME_CONTAINER || f.kind == XO_FRAME_INSTANCE;
    if (named && (h->flags & XOF_WARN))
        xo_check_name(h, name);
    if (h->style == XO_STYLE_JSON) {
        xo_json_close(h);
        return;
    }
    if (named && h->style == XO_STYLE_XML)
        xo_xml_close(h, name, xo_xml_level(h) - 1);
    h->depth--;
}

// Opens a container or instance in every style.
void open_named(xo_handle_s *h, std::string_view name, xo_frame_kind kind)
{
    if (h->flags & XOF_WARN)
        xo_check_name(h, name);
    if (h->style == XO_STYLE_JSON)
        xo_json_open(h, name, kind);
    else if (h->style == XO_STYLE_XML)
        xo_xml_open(h, name);
    push_frame(h, name, kind);
}

// Closes the innermost frame of KIND, and whatever is still open inside it.
ssize_t close_kind(xo_handle_s *h, const char *name, xo_frame_kind kind)
{
    if (name == nullptr)
        name = "";
    size_t before = h->out.size();
    // The frames above the one closed (leaf lists, instance lists, or what
    // a caller forgot to close) end with it; a close that matches nothing
    // open changes nothing.
    // The innermost open frame of KIND with that name, else of KIND.
    size_t d = h->depth;
    while (d > 0 && !(h->stack[d].kind == kind && h->stack[d].name == name))
        d--;
    if (d == 0) {
        d = h->depth;
        while (d > 0 && h->stack[d].kind != kind)
            d--;
    }
    if (d == 0) {
        // A list that a field or structure already ended closes quietly.
        // XOF_IGNORE_CLOSE: such closes are expected.
        bool expected =
            (h->flags & XOF_IGNORE_CLOSE) || (kind == XO_FRAME_LIST && h->closed_list == name);
        if ((h->flags & XOF_WARN) && !expected)
            xo_failure(h, "close with nothing open: '%s'", name);
        return 0;
    }
    // Every frame ends with its own name, so end tags match start tags.
    while (h->depth >= d)
        pop_frame(h, h->stack[h->depth].name);
    ssize_t n = static_cast<ssize_t>(h->out.size() - before);
    xo_flush_out(h);
    return n;
}

// Runs OPEN for a frame named NAME ("" for none) on the handle, and returns
// the bytes it wrote, written out as the handle's flushing asks.
template <class F> xo_ssize_t open_frame(xo_handle_t *xop, const char *name, F &&open)
{
    return xo_guard([&]() -> ssize_t {
        xo_handle_s *h = xo_get(xop);
        size_t before = h->out.size();
        open(h, name != nullptr ? name : "");
        ssize_t n = static_cast<ssize_t>(h->out.size() - before);
        xo_flush_out(h);
        return n;
    });
}

} // namespace

// The handle XOP, or the default one for NULL.
xo_handle_s *xo_get(xo_handle_t *xop)
{
    xo_handle_s *h = xop != nullptr ? xop : &default_handle;
    if (h->stack.empty()) {
        h->stack.resize(8);
        h->out.reserve(flush_threshold + 4096);
        if (h == &default_handle && !env_applied) {
            env_applied = true;
            xo_env_options(h);
        }
    }
    return h;
}

// The default handle as it is, even before its first use.
xo_handle_s *xo_get_default(void)
{
    return &default_handle;
}

// Appends S to the pending output.
void xo_out(xo_handle_s *h, std::string_view s)
{
    if (s.empty())
        return;
    h->out.append(s);
    h->written = true;
}

// Appends N blanks of indentation.
void xo_out_indent(xo_handle_s *h, size_t n)
{
    if (n != 0)
        h->out.append(n, ' ');
}

// Writes the pending output to FP; under XOF_VALID_UTF8 the bytes that are
// not UTF-8 are escaped first in the styles that must be UTF-8. Every
// handover goes through here.
static void write_out(xo_handle_s *h, FILE *fp)
{
    if (h->out.empty())
        return;
    if ((h->flags & XOF_VALID_UTF8) && h->style != XO_STYLE_TEXT)
        xo_valid_utf8(&h->out, h->style == XO_STYLE_JSON);
    // A handle serves one thread, and its stream with it: the stream's
    // lock would be taken for nothing once per call.
    fwrite_unlocked(h->out.data(), 1, h->out.size(), fp);
    h->out.clear();
}

// Hands the pending output to the stream at the end of a call when
// XOF_FLUSH asks for it or it is large. The stream's own buffering then
// applies (line by line at a terminal): output still comes out in call
// order with anything else the program prints to that stream, without a
// system call per field. xo_sync and xo_flush push it all the way out.
void xo_flush_out(xo_handle_s *h)
{
    if (h->out.empty())
        return;
    if (!(h->flags & XOF_FLUSH) && h->out.size() < flush_threshold)
        return;
    write_out(h, h->fp != nullptr ? h->fp : stdout);
}

// Writes out everything pending, so that a message on stderr follows it.
void xo_sync(xo_handle_s *h)
{
    FILE *fp = h->fp != nullptr ? h->fp : stdout;
    write_out(h, fp);
    fflush(fp);
}

// True when text output may carry UTF-8: the locale the environment names
// (LC_ALL, else LC_CTYPE, else LANG) is a UTF-8 one.
bool xo_is_utf8(xo_handle_s *h)
{
    // XOF_NO_LOCALE: the C library's locale stays "C".
    if (h->flags & XOF_NO_LOCALE)
        return false;
    if (h->utf8 < 0) {
        const char *names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
        const char *loc = nullptr;
        for (const char *n : names) {
            const char *v = getenv(n);
            if (v != nullptr && *v != '\0') {
                loc = v;
                break;
            }
        }
        h->utf8 = 0;
        if (loc != nullptr &&
            (strcasestr(loc, "UTF-8") != nullptr || strcasestr(loc, "UTF8") != nullptr))
            h->utf8 = 1;
    }
    return h->utf8 == 1;
}

// Warns (under XOF_WARN) about a name that is no valid XML element name.
void xo_check_name(xo_handle_s *h, std::string_view name)
{
    if (!xo_xml_name_warn(name))
        return;
    xo_failure(h, "invalid XML tag name: '%.*s'", static_cast<int>(name.size()), name.data());
}

// Closes the lists that end when something else follows them: an open
// leaf list (unless LEAF continues it), and a list holding no instance
// (explicit, or opened by an instance outside a list), which cannot hold a
// field or a structure of its own.
void xo_close_pending(xo_handle_s *h, const xo_field *leaf)
{
    while (h->depth > 0) {
        xo_frame &f = h->stack[h->depth];
        if (f.kind == XO_FRAME_LEAF_LIST) {
            if (leaf != nullptr && f.name == leaf->content)
                return;
        } else if (f.kind == XO_FRAME_LIST) {
            h->closed_list = f.name;
        } else {
            return;
        }
        pop_frame(h, f.name);
    }
}

// Remembers a key field of the innermost instance for the HTML XPath
// attribute: [name = 'value'], VAL being HTML-escaped already.
void xo_note_key(xo_handle_s *h, std::string_view name, std::string_view val)
{
    xo_frame &f = h->stack[h->depth];
    if (f.kind != XO_FRAME_INSTANCE || h->style != XO_STYLE_HTML || !(h->flags & XOF_XPATH))
        return;
    f.keys.push_back('[');
    xo_escape_attr(&f.keys, name);
    f.keys.append(" = '");
    for (char c : val) {
        if (c == '"')
            f.keys.append("&quot;");
        else
            f.keys.push_back(c);
    }
    f.keys.append("']");
}

// XML nesting level: containers and instances, not lists.
size_t xo_xml_level(const xo_handle_s *h)
{
    size_t n = 0;
    for (size_t i = 1; i <= h->depth; i++)
        if (h->stack[i].kind == XO_FRAME_CONTAINER || h->stack[i].kind == XO_FRAME_INSTANCE)
            n++;
    return n;
}

// Closes everything still open and ends the document.
ssize_t xo_do_finish(xo_handle_s *h)
{
    size_t before = h->out.size();
    while (h->depth > 0)
        pop_frame(h, h->stack[h->depth].name);
    if (h->style == XO_STYLE_JSON)
        xo_json_finish(h);
    ssize_t n = static_cast<ssize_t>(h->out.size() - before);
    FILE *fp = h->fp != nullptr ? h->fp : stdout;
    write_out(h, fp);
    fflush(fp);
    return n;
}

extern "C" {

void xo_set_flags(xo_handle_t *xop, xo_xof_flags_t flags)
{
    xo_guard([&] { xo_get(xop)->flags |= flags; });
}

void xo_clear_flags(xo_handle_t *xop, xo_xof_flags_t flags)
{
    xo_guard([&] { xo_get(xop)->flags &= ~flags; });
}

void xo_set_style(xo_handle_t *xop, xo_style_t style)
{
    xo_guard([&] { xo_get(xop)->style = style <= XO_STYLE_HTML ? style : XO_STYLE_TEXT; });
}

xo_style_t xo_get_style(xo_handle_t *xop)
{
    xo_style_t style = XO_STYLE_TEXT;
    xo_guard([&] { style = xo_get(xop)->style; });
    return style;
}

int xo_set_file_h(xo_handle_t *xop, FILE *fp)
{
    if (fp == nullptr) {
        errno = EINVAL;
        return -1;
    }
    xo_handle_s *h = nullptr;
    if (xo_guard([&] { h = xo_get(xop); }) < 0)
        return -1;
    // What is pending belongs to the old stream.
    write_out(h, h->fp != nullptr ? h->fp : stdout);
    h->fp = fp;
    return 0;
}

int xo_set_file(FILE *fp)
{
    return xo_set_file_h(nullptr, fp);
}

void xo_destroy(xo_handle_t *xop)
{
    xo_handle_s *h = xop != nullptr ? xop : &default_handle;
    *h = xo_handle_s{};
    env_applied = true;
}

void xo_set_info(xo_handle_t *xop, xo_info_t *infop, int count)
{
    xo_guard([&] {
        xo_handle_s *h = xo_get(xop);
        size_t n = 0;
        if (infop != nullptr && count < 0)
            while (infop[n].xi_name != nullptr)
                n++;
        else if (infop != nullptr)
            n = static_cast<size_t>(count);
        h->info = infop;
        h->info_count = n;
    });
}

xo_ssize_t xo_finish_h(xo_handle_t *xop)
{
    return xo_guard([&]() -> ssize_t { return xo_do_finish(xo_get(xop)); });
}

xo_ssize_t xo_finish(void)
{
    return xo_finish_h(nullptr);
}

void xo_finish_atexit(void)
{
    xo_guard([&] {
        xo_handle_s *h = xo_get(nullptr);
        if (h->fatal_done)
            return;
        xo_do_finish(h);
    });
}

xo_ssize_t xo_flush_h(xo_handle_t *xop)
{
    return xo_guard([&]() -> ssize_t {
        xo_handle_s *h = xo_get(xop);
        ssize_t n = static_cast<ssize_t>(h->out.size());
        FILE *fp = h->fp != nullptr ? h->fp : stdout;
        write_out(h, fp);
        fflush(fp);
        return n;
    });
}

xo_ssize_t xo_flush(void)
{
    return xo_flush_h(nullptr);
}

xo_ssize_t xo_open_container_h(xo_handle_t *xop, const char *name)
{
    return open_frame(xop, name, [](xo_handle_s *h, const char *name) {
        xo_close_pending(h, nullptr);
        open_named(h, name, XO_FRAME_CONTAINER);
    });
}

xo_ssize_t xo_open_container(const char *name)
{
    return xo_open_container_h(nullptr, name);
}

xo_ssize_t xo_close_container_h(xo_handle_t *xop, const char *name)
{
    return xo_guard([&]() -> ssize_t { return close_kind(xo_get(xop), name, XO_FRAME_CONTAINER); });
}

xo_ssize_t xo_close_container(const char *name)
{
    return xo_close_container_h(nullptr, name);
}

xo_ssize_t xo_open_list_h(xo_handle_t *xop, const char *name)
{
    return open_frame(xop, name, [](xo_handle_s *h, const char *name) {
        xo_close_pending(h, nullptr);
        if (h->style == XO_STYLE_JSON)
            xo_json_open(h, name, XO_FRAME_LIST);
        push_frame(h, name, XO_FRAME_LIST);
    });
}

xo_ssize_t xo_open_list(const char *name)
{
    return xo_open_list_h(nullptr, name);
}

xo_ssize_t xo_close_list_h(xo_handle_t *xop, const char *name)
{
    return xo_guard([&]() -> ssize_t { return close_kind(xo_get(xop), name, XO_FRAME_LIST); });
}

xo_ssize_t xo_close_list(const char *name)
{
    return xo_close_list_h(nullptr, name);
}

xo_ssize_t xo_open_instance_h(xo_handle_t *xop, const char *name)
{
    return open_frame(xop, name, [](xo_handle_s *h, const char *name) {
        // An instance of the name of the innermost one is its sibling.
        if (h->stack[h->depth].kind == XO_FRAME_INSTANCE && h->stack[h->depth].name == name)
            pop_frame(h, h->stack[h->depth].name);
        // An instance outside a list gets a list of its own name, which
        // further instances of that name join (JSON shows it as an array).
        xo_frame *top = &h->stack[h->depth];
        bool joins = top->kind == XO_FRAME_LIST && (!top->implicit || top->name == name);
        if (!joins) {
            xo_close_pending(h, nullptr);
            top = &h->stack[h->depth];
            if (top->kind != XO_FRAME_LIST) {
                if (h->style == XO_STYLE_JSON)
                    xo_json_open(h, name, XO_FRAME_LIST);
                push_frame(h, name, XO_FRAME_LIST).implicit = true;
            }
        }
        open_named(h, name, XO_FRAME_INSTANCE);
    });
}

xo_ssize_t xo_open_instance(const char *name)
{
    return xo_open_instance_h(nullptr, name);
}

xo_ssize_t xo_close_instance_h(xo_handle_t *xop, const char *name)
{
    return xo_guard([&]() -> ssize_t { return close_kind(xo_get(xop), name, XO_FRAME_INSTANCE); });
}

xo_ssize_t xo_close_instance(const char *name)
{
    return xo_close_instance_h(nullptr, name);
}

} // extern "C"
