// Replays one conformance script (read on stdin) through the output layer:
// the program's start-up (exit hook, flags, xo_parse_args with the command
// line), then each command as the libxo call it names. Variadic calls get
// their arguments through libffi with exactly the C type each prefix names,
// as a compiled call would pass them. A faulty script exits with status 99.
#include <libxo/xo.h>

#include <ffi.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace
{

// One operand of a script line: its decoded text, and whether it was
// written without any quotes (so that a bare "-" means NULL).
struct operand {
    std::string text;
    bool bare = true;
};

struct command {
    int line = 0;
    std::vector<operand> ops; // ops[0] is the command word
};

[[noreturn]] void script_error(int line, const std::string &why)
{
    fprintf(stderr, "xo_replay: line %d: %s\n", line, why.c_str());
    exit(99);
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes the C escape at S[*I] (just after the backslash) into OUT.
void decode_escape(const std::string &s, size_t *i, std::string *out, int line)
{
    if (*i >= s.size())
        script_error(line, "backslash at the end of a line");
    char c = s[(*i)++];
    switch (c) {
    case 'n':
        out->push_back('\n');
        return;
    case 't':
        out->push_back('\t');
        return;
    case 'r':
        out->push_back('\r');
        return;
    case 'a':
        out->push_back('\a');
        return;
    case 'b':
        out->push_back('\b');
        return;
    case 'f':
        out->push_back('\f');
        return;
    case 'v':
        out->push_back('\v');
        return;
    case 'e':
        out->push_back('\x1b');
        return;
    case '\\':
    case '"':
    case '\'':
    case '?':
        out->push_back(c);
        return;
    case 'x': {
        int v = 0, n = 0;
        while (n < 2 && *i < s.size() && hex_value(s[*i]) >= 0)
            v = v * 16 + hex_value(s[(*i)++]), n++;
        if (n == 0)
            script_error(line, "\\x without hex digits");
        if (v == 0)
            script_error(line, "NUL byte in a string");
        out->push_back(static_cast<char>(v));
        return;
    }
    default:
        if (c >= '0' && c <= '7') {
            int v = c - '0', n = 1;
            while (n < 3 && *i < s.size() && s[*i] >= '0' && s[*i] <= '7')
                v = v * 8 + (s[(*i)++] - '0'), n++;
            if (v == 0)
                script_error(line, "NUL byte in a string");
            out->push_back(static_cast<char>(v));
            return;
        }
        script_error(line, std::string("unknown escape \\") + c);
    }
}

// Splits a line into operands (blanks separate them outside quotes).
std::vector<operand> split_line(const std::string &s, int line)
{
    std::vector<operand> ops;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            i++;
        if (i >= s.size())
            break;
        operand op;
        while (i < s.size() && s[i] != ' ' && s[i] != '\t') {
            if (s[i] != '"') {
                op.text.push_back(s[i++]);
                continue;
            }
            op.bare = false;
            i++;
            while (true) {
                if (i >= s.size())
                    script_error(line, "unterminated string");
                if (s[i] == '"') {
                    i++;
                    break;
                }
                if (s[i] == '\\') {
                    i++;
                    decode_escape(s, &i, &op.text, line);
                } else {
                    op.text.push_back(s[i++]);
                }
            }
        }
        ops.push_back(op);
    }
    return ops;
}

// A string operand: the bare word "-" is the null pointer.
const char *str_arg(const operand &op)
{
    return op.bare && op.text == "-" ? nullptr : op.text.c_str();
}

long long int_value(const std::string &s, int line)
{
    char *end;
    errno = 0;
    long long v = strtoll(s.c_str(), &end, 0);
    if (s.empty() || *end != '\0')
        script_error(line, "bad integer '" + s + "'");
    return v;
}

unsigned long long uint_value(const std::string &s, int line)
{
    char *end;
    errno = 0;
    unsigned long long v = strtoull(s.c_str(), &end, 0);
    if (s.empty() || *end != '\0')
        script_error(line, "bad integer '" + s + "'");
    return v;
}

// Storage for one typed argument, big enough for any of the C types.
union arg_value {
    int i;
    unsigned u;
    long l;
    unsigned long ul;
    long long ll;
    unsigned long long ull;
    intmax_t j;
    uintmax_t uj;
    size_t z;
    ssize_t zd;
    double d;
    const char *s;
};

// The arguments of one call: fixed ones first, then the typed variadic ones.
struct call_args {
    std::vector<ffi_type *> types;
    std::vector<arg_value> values;
    int nfixed = 0;

    void add_fixed_ptr(const char *p)
    {
        arg_value v{};
        v.s = p;
        types.push_back(&ffi_type_pointer);
        values.push_back(v);
        nfixed++;
    }
    void add_fixed_int(int i)
    {
        arg_value v{};
        v.i = i;
        types.push_back(&ffi_type_sint);
        values.push_back(v);
        nfixed++;
    }
    // Adds a PREFIX:VALUE operand.
    void add_typed(const operand &op, int line)
    {
        size_t colon = op.text.find(':');
        if (colon == std::string::npos)
            script_error(line, "untyped argument");
        std::string p = op.text.substr(0, colon), val = op.text.substr(colon + 1);
        arg_value v{};
        ffi_type *t;
        if (p == "i" || p == "c") {
            v.i = static_cast<int>(int_value(val, line)), t = &ffi_type_sint;
        } else if (p == "u") {
            v.u = static_cast<unsigned>(uint_value(val, line)), t = &ffi_type_uint;
        } else if (p == "l") {
            v.l = static_cast<long>(int_value(val, line)), t = &ffi_type_slong;
        } else if (p == "ul") {
            v.ul = static_cast<unsigned long>(uint_value(val, line)), t = &ffi_type_ulong;
        } else if (p == "ll" || p == "j") {
            v.ll = int_value(val, line), t = &ffi_type_sint64;
        } else if (p == "ull" || p == "uj") {
            v.ull = uint_value(val, line), t = &ffi_type_uint64;
        } else if (p == "z") {
            v.z = static_cast<size_t>(uint_value(val, line)), t = &ffi_type_uint64;
        } else if (p == "zd") {
            v.zd = static_cast<ssize_t>(int_value(val, line)), t = &ffi_type_sint64;
        } else if (p == "d") {
            v.d = strtod(val.c_str(), nullptr), t = &ffi_type_double;
        } else if (p == "s") {
            // Points into the operand, which outlives the call.
            bool null = op.bare && val == "-";
            v.s = null ? nullptr : op.text.c_str() + colon + 1;
            t = &ffi_type_pointer;
        } else {
            script_error(line, "unknown argument type '" + p + "'");
        }
        types.push_back(t);
        values.push_back(v);
    }
};

// Calls FN with ARGS as a variadic call; the result is ignored.
// With SET_ERRNO >= 0, errno is set to it just before the call.
void call_variadic(void (*fn)(), call_args &args, int line, int set_errno = -1)
{
    ffi_cif cif;
    if (ffi_prep_cif_var(&cif, FFI_DEFAULT_ABI, args.nfixed,
                         static_cast<unsigned>(args.types.size()), &ffi_type_sint64,
                         args.types.data()) != FFI_OK)
        script_error(line, "libffi cannot prepare the call");
    std::vector<void *> ptrs;
    for (arg_value &v : args.values)
        ptrs.push_back(&v);
    int64_t rc;
    if (set_errno >= 0)
        errno = set_errno;
    ffi_call(&cif, fn, &rc, ptrs.data());
}

void need(const command &c, size_t n)
{
    if (c.ops.size() < n)
        script_error(c.line, "too few operands for " + c.ops[0].text);
}

// Runs one command of the script.
void run(const command &c)
{
    const std::string &w = c.ops[0].text;
    int line = c.line;
    call_args a;
    auto typed_from = [&](size_t first) {
        for (size_t k = first; k < c.ops.size(); k++)
            a.add_typed(c.ops[k], line);
    };
    if (w == "set_flags" || w == "clear_flags") {
        need(c, 2);
        xo_xof_flags_t f = uint_value(c.ops[1].text, line);
        if (w == "set_flags")
            xo_set_flags(nullptr, f);
        else
            xo_clear_flags(nullptr, f);
    } else if (w == "open_container") {
        need(c, 2);
        xo_open_container(str_arg(c.ops[1]));
    } else if (w == "close_container") {
        need(c, 2);
        xo_close_container(str_arg(c.ops[1]));
    } else if (w == "open_list") {
        need(c, 2);
        xo_open_list(str_arg(c.ops[1]));
    } else if (w == "close_list") {
        need(c, 2);
        xo_close_list(str_arg(c.ops[1]));
    } else if (w == "open_instance") {
        need(c, 2);
        xo_open_instance(str_arg(c.ops[1]));
    } else if (w == "close_instance") {
        need(c, 2);
        xo_close_instance(str_arg(c.ops[1]));
    } else if (w == "emit") {
        need(c, 2);
        a.add_fixed_ptr(str_arg(c.ops[1]));
        typed_from(2);
        call_variadic(reinterpret_cast<void (*)()>(&xo_emit), a, line);
    } else if (w == "emit_field") {
        need(c, 5);
        for (size_t k = 1; k <= 4; k++)
            a.add_fixed_ptr(str_arg(c.ops[k]));
        typed_from(5);
        call_variadic(reinterpret_cast<void (*)()>(&xo_emit_field), a, line);
    } else if (w == "warnx") {
        need(c, 2);
        a.add_fixed_ptr(str_arg(c.ops[1]));
        typed_from(2);
        call_variadic(reinterpret_cast<void (*)()>(&xo_warnx), a, line);
    } else if (w == "warn") {
        need(c, 3);
        int code = static_cast<int>(int_value(c.ops[1].text, line));
        a.add_fixed_ptr(str_arg(c.ops[2]));
        typed_from(3);
        call_variadic(reinterpret_cast<void (*)()>(&xo_warn), a, line, code);
    } else if (w == "warn_c") {
        need(c, 3);
        a.add_fixed_int(static_cast<int>(int_value(c.ops[1].text, line)));
        a.add_fixed_ptr(str_arg(c.ops[2]));
        typed_from(3);
        call_variadic(reinterpret_cast<void (*)()>(&xo_warn_c), a, line);
    } else if (w == "errx") {
        need(c, 3);
        a.add_fixed_int(static_cast<int>(int_value(c.ops[1].text, line)));
        a.add_fixed_ptr(str_arg(c.ops[2]));
        typed_from(3);
        call_variadic(reinterpret_cast<void (*)()>(&xo_errx), a, line);
    } else if (w == "err") {
        need(c, 4);
        a.add_fixed_int(static_cast<int>(int_value(c.ops[1].text, line)));
        int code = static_cast<int>(int_value(c.ops[2].text, line));
        a.add_fixed_ptr(str_arg(c.ops[3]));
        typed_from(4);
        call_variadic(reinterpret_cast<void (*)()>(&xo_err), a, line, code);
    } else if (w == "finish") {
        xo_finish();
    } else if (w == "flush") {
        xo_flush();
    } else if (w == "printf") {
        need(c, 2);
        fputs(c.ops[1].text.c_str(), stdout);
        fflush(stdout);
    } else if (w == "exit") {
        need(c, 2);
        exit(static_cast<int>(int_value(c.ops[1].text, line)));
    } else {
        script_error(line, "unknown command '" + w + "'");
    }
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<command> commands;
    std::vector<std::string> words; // the argv directive's words
    bool have_argv = false, print_args = false, atexit_hook = true;
    bool preflags_set = true;
    xo_xof_flags_t preflags = 0x440000; // XOF_UNITS | XOF_FLUSH
    std::string progname = "tunex";

    std::string text;
    int lineno = 0;
    while (std::getline(std::cin, text)) {
        lineno++;
        size_t first = text.find_first_not_of(" \t\r");
        if (first == std::string::npos || text[first] == '#')
            continue;
        command c;
        c.line = lineno;
        c.ops = split_line(text, lineno);
        const std::string &w = c.ops[0].text;
        if (w == "argv") {
            have_argv = true;
            for (size_t k = 1; k < c.ops.size(); k++)
                words.push_back(c.ops[k].text);
        } else if (w == "progname") {
            need(c, 2);
            progname = c.ops[1].text;
        } else if (w == "preflags") {
            need(c, 2);
            if (c.ops[1].text == "none")
                preflags_set = false;
            else
                preflags = uint_value(c.ops[1].text, lineno);
        } else if (w == "print_args") {
            print_args = true;
        } else if (w == "no_atexit") {
            atexit_hook = false;
        } else {
            commands.push_back(c);
        }
    }

    std::vector<std::string> args{progname};
    if (have_argv)
        args.insert(args.end(), words.begin(), words.end());
    else
        for (int k = 1; k < argc; k++)
            args.push_back(argv[k]);
    std::vector<char *> av;
    for (std::string &s : args)
        av.push_back(s.data());
    av.push_back(nullptr);

    if (atexit_hook)
        atexit(xo_finish_atexit);
    if (preflags_set)
        xo_set_flags(nullptr, preflags);
    int n = xo_parse_args(static_cast<int>(args.size()), av.data());
    if (print_args) {
        printf("xo_parse_args returned %d\n", n);
        for (int k = 0; k <= n; k++) {
            if (av[k] != nullptr)
                printf("argv[%d] = \"%s\"\n", k, av[k]);
            else
                printf("argv[%d] = NULL\n", k);
        }
        fflush(stdout);
    }
    if (n < 0)
        exit(1);
    for (const command &c : commands)
        run(c);
    return 0;
}
