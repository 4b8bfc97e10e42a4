// The colour role, "{C:fg-red,bold}" or "{C:/fg-%s}": colours and effects
// for the display styles, shown only under XOF_COLOR (the "color" option).
// They stay in force until another colour field changes them; an empty one
// resets everything. Text output gets an ANSI SGR escape sequence at each
// change; HTML output gets classes on every div while they are in force.
#include "xo_private.h"

namespace
{

const char *const color_names[] = {"default", "black",   "red",  "green", "yellow",
                                   "blue",    "magenta", "cyan", "white"};
constexpr size_t ncolors = sizeof color_names / sizeof color_names[0];
// The SGR digit of each colour after "3" (foreground) or "4" (background).
const char color_digits[] = "901234567";

struct effect {
    const char *name;
    unsigned bit;
    const char *code; // SGR code that turns it on
};

const effect effects[] = {
    {"bold", 1u << 0, "1"},
    {"underline", 1u << 1, "4"},
    {"inverse", 1u << 2, "7"},
};

// The index of colour NAME, or -1.
int color_index(std::string_view name)
{
    for (size_t i = 0; i < ncolors; i++)
        if (name == color_names[i])
            return static_cast<int>(i);
    return -1;
}

// Applies one word of a colour field to C; false for a word unknown here.
bool apply_word(xo_color_state *c, std::string_view w)
{
    if (w == "reset") {
        *c = xo_color_state{};
        return true;
    }
    if (w == "normal") {
        c->effects = 0;
        return true;
    }
    bool off = w.substr(0, 3) == "no-";
    std::string_view name = off ? w.substr(3) : w;
    for (const effect &e : effects) {
        if (name == e.name) {
            c->effects = off ? c->effects & ~e.bit : c->effects | e.bit;
            return true;
        }
    }
    if (w.size() > 3 && (w.substr(0, 3) == "fg-" || w.substr(0, 3) == "bg-")) {
        int i = color_index(w.substr(3));
        if (i < 0)
            return false;
        (w[0] == 'f' ? c->fg : c->bg) = static_cast<unsigned char>(i);
        return true;
    }
    return false;
}

// Text: the escape sequence that changes the terminal from OLD to NEXT. An
// effect that ends resets everything, then what stays is turned on again.
void write_change(xo_handle_s *h, xo_color_state old, const xo_color_state &next)
{
    std::string &s = h->tmp;
    s.clear();
    if (old.effects & ~next.effects) {
        s.append(";0");
        old = xo_color_state{};
    }
    for (const effect &e : effects) {
        if ((next.effects & e.bit) && !(old.effects & e.bit)) {
            s.push_back(';');
            s.append(e.code);
        }
    }
    const unsigned char now[] = {next.fg, next.bg}, was[] = {old.fg, old.bg};
    for (int i = 0; i < 2; i++) {
        if (now[i] == was[i])
            continue;
        s.push_back(';');
        s.push_back(i == 0 ? '3' : '4');
        s.push_back(color_digits[now[i]]);
    }
    if (s.empty())
        return;
    s[0] = '[';
    h->out.push_back('\033');
    h->out.append(s);
    h->out.push_back('m');
    h->written = true;
}

} // namespace

// Applies the comma-separated colours and effects of COLORS.
void xo_color_apply(xo_handle_s *h, std::string_view colors)
{
    xo_color_state next = h->color;
    if (colors.empty())
        next = xo_color_state{};
    while (!colors.empty()) {
        size_t comma = colors.find(',');
        std::string_view word = colors.substr(0, comma);
        colors = comma == std::string_view::npos ? std::string_view() : colors.substr(comma + 1);
        if (!word.empty() && !apply_word(&next, word) && (h->flags & XOF_WARN))
            xo_failure(h, "unknown color/effect: '%.*s'", static_cast<int>(word.size()),
                       word.data());
    }
    if (h->style == XO_STYLE_TEXT)
        write_change(h, h->color, next);
    h->color = next;
}

// HTML: the classes of the colours and effects in force, each after a blank.
void xo_color_classes(xo_handle_s *h)
{
    const xo_color_state &c = h->color;
    const unsigned char colors[] = {c.fg, c.bg};
    for (int i = 0; i < 2; i++) {
        if (colors[i] == 0)
            continue;
        h->out.append(i == 0 ? " color-fg-" : " color-bg-");
        h->out.append(color_names[colors[i]]);
    }
    for (const effect &e : effects) {
        if (c.effects & e.bit) {
            h->out.append(" effect-");
            h->out.append(e.name);
        }
    }
}
