// Warnings and fatal errors in err(3)'s manner: "program: message" and,
// for an error code, ": " and its text, on stderr, or under XOF_WARN_XML as
// an <error> element in the output. A fatal error finishes the document
// exactly once before it exits.
#include "xo_private.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

const char *program_name = nullptr;

[[noreturn]] void fatal(int eval, int code, bool with_code, const char *fmt, va_list ap)
{
    // Even without memory for the message, the document is finished once
    // and the process exits with EVAL.
    xo_guard([&] { xo_warn_hcv(xo_get(nullptr), code, with_code, fmt, ap); });
    xo_guard([&] { xo_do_finish(xo_get(nullptr)); });
    xo_get_default()->fatal_done = true;
    exit(eval);
}

} // namespace

// The name that prefixes messages, or NULL when none was set.
const char *xo_program(void)
{
    return program_name;
}

// Reports a warning: the message, then the text of CODE when WITH_CODE.
void xo_warn_hcv(xo_handle_s *h, int code, bool with_code, const char *fmt, va_list ap)
{
    std::string msg;
    if (program_name != nullptr) {
        msg.append(program_name);
        msg.append(": ");
    }
    xo_vappend(&msg, fmt, ap);
    const char *why = with_code ? strerror(code) : nullptr;
    if (h->flags & XOF_WARN_XML) {
        xo_out(h, "<error><message>");
        xo_escape_xml(&h->out, msg, true);
        h->out.append("</message></error>");
        if (why != nullptr) {
            h->out.append(": ");
            h->out.append(why);
        }
        h->out.push_back('\n');
        xo_flush_out(h);
        return;
    }
    xo_sync(h);
    if (why != nullptr) {
        msg.append(": ");
        msg.append(why);
    }
    msg.push_back('\n');
    fwrite(msg.data(), 1, msg.size(), stderr);
    fflush(stderr);
}

// Reports a faulty call on stderr (XOF_WARN diagnostics).
void xo_failure(xo_handle_s *h, const char *fmt, ...)
{
    std::string msg;
    if (program_name != nullptr) {
        msg.append(program_name);
        msg.append(": ");
    }
    va_list ap;
    va_start(ap, fmt);
    xo_vappend(&msg, fmt, ap);
    va_end(ap);
    msg.push_back('\n');
    xo_sync(h);
    fwrite(msg.data(), 1, msg.size(), stderr);
    fflush(stderr);
}

extern "C" {

void xo_set_program(const char *name)
{
    program_name = name;
}

void xo_warn(const char *fmt, ...)
{
    int code = errno;
    va_list ap;
    va_start(ap, fmt);
    xo_guard([&] { xo_warn_hcv(xo_get(nullptr), code, true, fmt, ap); });
    va_end(ap);
}

void xo_warnx(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    xo_guard([&] { xo_warn_hcv(xo_get(nullptr), 0, false, fmt, ap); });
    va_end(ap);
}

void xo_warn_c(int code, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    xo_guard([&] { xo_warn_hcv(xo_get(nullptr), code, true, fmt, ap); });
    va_end(ap);
}

void xo_err(int eval, const char *fmt, ...)
{
    int code = errno;
    va_list ap;
    va_start(ap, fmt);
    fatal(eval, code, true, fmt, ap);
}

void xo_errx(int eval, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fatal(eval, 0, false, fmt, ap);
}

void xo_errc(int eval, int code, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fatal(eval, code, true, fmt, ap);
}

} // extern "C"
