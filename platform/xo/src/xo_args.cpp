// xo_parse_args: takes libxo's own options out of a command line and
// applies them. Accepted spellings: "--libxo VALUE", "--libxo=VALUE" (a
// comma-separated list of a style and flags) and "--libxo:LETTERS".
#include "xo_private.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace
{

// A word of "--libxo=...": a style, or flags to set.
struct option_word {
    const char *name;
    int style; // -1: not a style
    xo_xof_flags_t flags;
};

const option_word option_words[] = {
    {"text", XO_STYLE_TEXT, 0},
    {"xml", XO_STYLE_XML, 0},
    {"json", XO_STYLE_JSON, 0},
    {"html", XO_STYLE_HTML, 0},
    {"pretty", -1, XOF_PRETTY},
    {"warn", -1, XOF_WARN},
    {"warn-xml", -1, XOF_WARN_XML},
    {"keys", -1, XOF_KEYS},
    {"underscores", -1, XOF_UNDERSCORES},
    {"units", -1, XOF_UNITS},
    {"flush", -1, XOF_FLUSH},
    {"flush-line", -1, XOF_FLUSH_LINE},
    {"no-top", -1, XOF_NO_TOP},
    {"no-locale", -1, XOF_NO_LOCALE},
    {"no-humanize", -1, XOF_NO_HUMANIZE},
    {"info", -1, XOF_INFO},
    {"xpath", -1, XOF_XPATH},
    {"dtrt", -1, XOF_DTRT},
    {"log-gettext", -1, XOF_LOG_GETTEXT},
    {"log-syslog", -1, XOF_LOG_SYSLOG},
    {"ignore-close", -1, XOF_IGNORE_CLOSE},
    {"not-first", -1, XOF_NOT_FIRST},
    {"columns", -1, XOF_COLUMNS},
    {"color", -1, XOF_COLOR_ALLOWED | XOF_COLOR},
    {"retain", -1, XOF_RETAIN_ALL},
    {"no-retain", -1, XOF_RETAIN_NONE},
};
static_assert(sizeof(option_words) / sizeof(option_words[0]) == 26, "one row per option word");

// A letter of "--libxo:...".
struct option_letter {
    char letter;
    int style;
    xo_xof_flags_t flags;
};

const option_letter option_letters[] = {
    {'T', XO_STYLE_TEXT, 0},
    {'X', XO_STYLE_XML, 0},
    {'J', XO_STYLE_JSON, 0},
    {'H', XO_STYLE_HTML, 0},
    {'P', -1, XOF_PRETTY},
    {'W', -1, XOF_WARN},
    {'k', -1, XOF_KEYS},
    {'u', -1, XOF_UNDERSCORES},
    {'U', -1, XOF_UNITS},
    {'f', -1, XOF_FLUSH},
    {'F', -1, XOF_FLUSH_LINE},
    {'n', -1, XOF_NO_HUMANIZE},
    {'I', -1, XOF_INFO},
    {'x', -1, XOF_XPATH},
    {'c', -1, XOF_COLOR_ALLOWED | XOF_COLOR},
    {'g', -1, XOF_LOG_GETTEXT},
};
static_assert(sizeof(option_letters) / sizeof(option_letters[0]) == 16,
              "one row per option letter");

void apply(xo_handle_s *h, int style, xo_xof_flags_t flags)
{
    if (style >= 0)
        h->style = static_cast<xo_style_t>(style);
    h->flags |= flags;
}

// Indentation wider than this is taken as this, so that no option makes a
// line of a pretty document take unbounded memory.
constexpr unsigned max_indent = 100;

// Applies an option with a value ("indent=4", "encoder=csv"). Returns 1,
// or 0 for an option unknown here, or -1 after a message: no encoder can
// be loaded into this layer.
int apply_setting(xo_handle_s *h, std::string_view key, std::string_view value)
{
    if (key == "indent") {
        unsigned long n = std::strtoul(std::string(value).c_str(), nullptr, 10);
        h->indent = n > max_indent ? max_indent : static_cast<unsigned>(n);
        return 1;
    }
    if (key == "color") {
        // yes (always), no (never), or auto: when the output is a terminal.
        bool on = value == "yes" || value == "always" ||
                  (value == "auto" && isatty(fileno(h->fp != nullptr ? h->fp : stdout)));
        if (value != "yes" && value != "always" && value != "auto" && value != "no" &&
            value != "never")
            return 0;
        h->flags &= ~(XOF_COLOR_ALLOWED | XOF_COLOR);
        if (on)
            h->flags |= XOF_COLOR_ALLOWED | XOF_COLOR;
        return 1;
    }
    if (key == "encoder") {
        xo_failure(h, "encoder not found: %.*s", static_cast<int>(value.size()), value.data());
        return -1;
    }
    return 0;
}

// Applies "--libxo=VALUE" words; returns -1 after a message on a bad one.
int apply_words(xo_handle_s *h, const char *value)
{
    std::string_view rest(value);
    do {
        size_t comma = rest.find(',');
        std::string_view word = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        std::string_view key = word.substr(0, word.find('='));
        bool known = false;
        for (const option_word &w : option_words) {
            if (key == w.name && (key.size() == word.size())) {
                apply(h, w.style, w.flags);
                known = true;
                break;
            }
        }
        if (!known && key.size() < word.size()) {
            int rc = apply_setting(h, key, word.substr(key.size() + 1));
            if (rc < 0)
                return -1;
            known = rc > 0;
        }
        if (!known && word == "no-color") {
            h->flags &= ~(XOF_COLOR_ALLOWED | XOF_COLOR);
            known = true;
        }
        if (!known) {
            xo_failure(h, "unknown libxo option value: '%.*s'", static_cast<int>(word.size()),
                       word.data());
            return -1;
        }
    } while (!rest.empty());
    return 0;
}

// Applies "--libxo:LETTERS"; returns -1 after a message on a bad letter.
int apply_letters(xo_handle_s *h, const char *letters)
{
    for (const char *p = letters; *p != '\0'; p++) {
        if (*p == 'i') { // the indent width follows
            unsigned n = 0;
            while (p[1] >= '0' && p[1] <= '9')
                n = std::min(max_indent + 1, n * 10 + static_cast<unsigned>(*++p - '0'));
            h->indent = std::min(max_indent, n);
            continue;
        }
        bool known = false;
        for (const option_letter &l : option_letters) {
            if (*p == l.letter) {
                apply(h, l.style, l.flags);
                known = true;
                break;
            }
        }
        if (!known) {
            xo_failure(h, "unknown option: '%c'", *p);
            return -1;
        }
    }
    return 0;
}

} // namespace

// Applies LIBXO_OPTIONS, written like the value of --libxo ("json,pretty")
// or its letters after a colon (":JP"). A bad option is reported and the
// rest of the variable ignored, as on the command line.
void xo_env_options(xo_handle_s *h)
{
    if (h->flags & XOF_NO_ENV)
        return;
    const char *env = getenv("LIBXO_OPTIONS");
    if (env == nullptr || *env == '\0')
        return;
    if (*env == ':')
        apply_letters(h, env + 1);
    else
        apply_words(h, env);
}

namespace
{

int parse_args(int argc, char **argv)
{
    if (argv == nullptr || argc < 0)
        return argc;
    xo_handle_s *h = xo_get(nullptr);
    // A name the program set itself stays.
    if (argc > 0 && argv[0] != nullptr && xo_program() == nullptr) {
        const char *slash = std::strrchr(argv[0], '/');
        xo_set_program(slash != nullptr ? slash + 1 : argv[0]);
    }
    int kept = argc > 0 ? 1 : 0;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (std::strncmp(arg, "--libxo", 7) != 0) {
            argv[kept++] = argv[i];
            continue;
        }
        const char *rest = arg + 7;
        int rc;
        if (*rest == '\0') {
            if (i + 1 >= argc) {
                xo_failure(h, "missing libxo option");
                return -1;
            }
            rc = apply_words(h, argv[++i]);
        } else if (*rest == '=') {
            rc = apply_words(h, rest + 1);
        } else if (*rest == ':') {
            rc = apply_letters(h, rest + 1);
        } else if (std::strcmp(rest, "-check") == 0) {
            exit(121); // tells a caller that this program speaks libxo
        } else {
            xo_failure(h, "unknown libxo option: '%s'", arg);
            return -1;
        }
        if (rc < 0)
            return -1;
    }
    argv[kept] = nullptr;
    return kept;
}

} // namespace

extern "C" int xo_parse_args(int argc, char **argv)
{
    return static_cast<int>(xo_guard([&] { return parse_args(argc, argv); }));
}
