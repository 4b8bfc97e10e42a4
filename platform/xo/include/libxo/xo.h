/*
 * libxo's C API: one set of calls that writes text, XML, JSON or HTML
 * depending on the style the user picks with --libxo.
 *
 * Conventions: every call works on the default handle (the `_h` forms take
 * a handle; NULL means the default one, the only one there is here).
 * Strings passed in are only read during the call; nothing keeps a pointer
 * to them, except to the program name (xo_set_program, xo_parse_args'
 * argv[0]). Calls that return xo_ssize_t return the number of bytes the
 * call produced, or -1 with errno set. No call throws or aborts.
 * Formats given to xo_emit are libxo formats ("{L:name}{:field/%d}"); the
 * formats of the warning calls are plain printf formats.
 *
 * Beyond libxo's core, three calls let a test capture one whole document:
 *
 *     xo_destroy(NULL);                   // back to text, stdout, no flags
 *     xo_set_style(NULL, XO_STYLE_JSON);
 *     xo_set_file(stream);                // e.g. from open_memstream()
 *     ... xo_emit(...) ...
 *     xo_finish();                        // closes what is open, flushes
 *
 * after which the stream holds the document exactly as the program would
 * have printed it. Output is kept in the handle until the end of each call
 * under XOF_FLUSH, else until it grows large or xo_flush/xo_finish; so a
 * test must call xo_finish before it reads the stream.
 */
#ifndef TUNEX_LIBXO_XO_H
#define TUNEX_LIBXO_XO_H

#include <stdio.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct xo_handle_s xo_handle_t; /* an output document and its state */
typedef unsigned long long xo_xof_flags_t;
typedef unsigned xo_style_t;
typedef ssize_t xo_ssize_t;

#define XO_FLAG(n) ((xo_xof_flags_t)1 << (n))

#define XOF_CLOSE_FP XO_FLAG(0)       /* close the stream with the handle */
#define XOF_PRETTY XO_FLAG(1)         /* indent XML and JSON */
#define XOF_LOG_SYSLOG XO_FLAG(2)     /* also log syslog content on stderr */
#define XOF_RESV3 XO_FLAG(3)          /* unused */
#define XOF_WARN XO_FLAG(4)           /* warn about faulty calls */
#define XOF_XPATH XO_FLAG(5)          /* HTML: data-xpath attributes */
#define XOF_INFO XO_FLAG(6)           /* HTML: data-type/data-help attributes */
#define XOF_WARN_XML XO_FLAG(7)       /* warnings go to the output as XML */
#define XOF_NO_ENV XO_FLAG(8)         /* ignore LIBXO_OPTIONS */
#define XOF_NO_VA_ARG XO_FLAG(9)      /* do not advance the argument list */
#define XOF_DTRT XO_FLAG(10)          /* "do the right thing" with closes */
#define XOF_KEYS XO_FLAG(11)          /* XML: mark key fields */
#define XOF_IGNORE_CLOSE XO_FLAG(12)  /* no warning on mismatched closes */
#define XOF_NOT_FIRST XO_FLAG(13)     /* JSON: not the first member */
#define XOF_NO_LOCALE XO_FLAG(14)     /* do not look at the locale */
#define XOF_RESV15 XO_FLAG(15)        /* unused */
#define XOF_NO_TOP XO_FLAG(16)        /* JSON: no outer braces */
#define XOF_RESV17 XO_FLAG(17)        /* unused */
#define XOF_UNITS XO_FLAG(18)         /* XML/HTML: units as attributes */
#define XOF_VALID_UTF8 XO_FLAG(19)    /* XML/JSON/HTML: escape bytes not UTF-8 */
#define XOF_UNDERSCORES XO_FLAG(20)   /* JSON: '-' in names becomes '_' */
#define XOF_COLUMNS XO_FLAG(21)       /* xo_emit returns a column count */
#define XOF_FLUSH XO_FLAG(22)         /* flush after every call */
#define XOF_FLUSH_LINE XO_FLAG(23)    /* flush after every newline */
#define XOF_NO_CLOSE XO_FLAG(24)      /* xo_finish leaves things open */
#define XOF_COLOR_ALLOWED XO_FLAG(25) /* colors may be enabled */
#define XOF_COLOR XO_FLAG(26)         /* colors are enabled */
#define XOF_NO_HUMANIZE XO_FLAG(27)   /* ignore the 'h' modifier */
#define XOF_LOG_GETTEXT XO_FLAG(28)   /* log gettext lookups */
#define XOF_UTF8 XO_FLAG(29)          /* text output is UTF-8 */
#define XOF_RETAIN_ALL XO_FLAG(30)    /* cache every parsed format */
#define XOF_RETAIN_NONE XO_FLAG(31)   /* cache no parsed format */
#define XOF_COLOR_MAP XO_FLAG(32)     /* a color map is set */
#define XOF_CONTINUATION XO_FLAG(33)  /* continuation of the previous line */

#define XO_STYLE_TEXT 0     /* plain text for a terminal */
#define XO_STYLE_XML 1      /* XML elements */
#define XO_STYLE_JSON 2     /* one JSON object */
#define XO_STYLE_HTML 3     /* HTML div elements */
#define XO_STYLE_SDPARAMS 4 /* syslog structured data (not supported) */
#define XO_STYLE_ENCODER 5  /* encoder plugins (not supported) */

#if defined(__GNUC__)
#define XO_PRINTFLIKE(f, a) __attribute__((format(printf, f, a)))
#define XO_NORETURN __attribute__((noreturn))
#else
#define XO_PRINTFLIKE(f, a)
#define XO_NORETURN
#endif

/* Turns on or off the XOF_* bits in FLAGS. */
void xo_set_flags(xo_handle_t *xop, xo_xof_flags_t flags);
void xo_clear_flags(xo_handle_t *xop, xo_xof_flags_t flags);

/* Chooses the output style (XO_STYLE_*); best before the first output. */
void xo_set_style(xo_handle_t *xop, xo_style_t style);
xo_style_t xo_get_style(xo_handle_t *xop);

/* Directs the default handle's (or XOP's) output to FP, which the caller
 * keeps owning. Returns 0, or -1 with errno EINVAL when FP is NULL. */
int xo_set_file(FILE *fp);
int xo_set_file_h(xo_handle_t *xop, FILE *fp);

/* Sets the name that prefixes warnings; xo_parse_args sets it from argv[0].
 * The string must outlive its use. */
void xo_set_program(const char *name);

/* Field descriptions that HTML output shows under XOF_INFO (the "info"
 * option) as data-type and data-help attributes of the field's name. COUNT
 * is the number of entries, or -1 when a NULL xi_name ends the table. The
 * table must outlive its use. */
typedef struct xo_info_s {
    const char *xi_name; /* field name */
    const char *xi_type; /* type of the field's value */
    const char *xi_help; /* description of the field */
} xo_info_t;
void xo_set_info(xo_handle_t *xop, xo_info_t *infop, int count);

/* Removes every --libxo option from ARGV and applies it. Returns the new
 * argument count (argv[argc] is NULL), or -1 after a message on stderr. */
int xo_parse_args(int argc, char **argv);

/* Closes everything still open and ends the document; xo_finish_atexit is
 * the same, shaped for atexit(3). xo_flush writes out what is buffered. */
xo_ssize_t xo_finish(void);
xo_ssize_t xo_finish_h(xo_handle_t *xop);
void xo_finish_atexit(void);
xo_ssize_t xo_flush(void);
xo_ssize_t xo_flush_h(xo_handle_t *xop);

/* Resets the default handle (XOP NULL) to its initial state: text style,
 * stdout, no flags, nothing open, nothing written yet. Nothing is printed:
 * output not yet handed to the stream is discarded. */
void xo_destroy(xo_handle_t *xop);

/* Emits the fields of a libxo format with their printf-style arguments. */
xo_ssize_t xo_emit(const char *fmt, ...);
xo_ssize_t xo_emit_h(xo_handle_t *xop, const char *fmt, ...);

/* Emits one field: ROLMOD is the role and modifiers ("L", "hn", NULL for a
 * value), CONTENTS the label text or field name, FMT the printf format of
 * the value (NULL: "%s"), EFMT the encoding format (NULL: FMT). */
xo_ssize_t xo_emit_field(const char *rolmod, const char *contents, const char *fmt,
                         const char *efmt, ...);

/* Opens and closes the named structures: containers (objects), lists
 * (arrays) and the instances in them. */
xo_ssize_t xo_open_container(const char *name);
xo_ssize_t xo_open_container_h(xo_handle_t *xop, const char *name);
xo_ssize_t xo_close_container(const char *name);
xo_ssize_t xo_close_container_h(xo_handle_t *xop, const char *name);
xo_ssize_t xo_open_list(const char *name);
xo_ssize_t xo_open_list_h(xo_handle_t *xop, const char *name);
xo_ssize_t xo_close_list(const char *name);
xo_ssize_t xo_close_list_h(xo_handle_t *xop, const char *name);
xo_ssize_t xo_open_instance(const char *name);
xo_ssize_t xo_open_instance_h(xo_handle_t *xop, const char *name);
xo_ssize_t xo_close_instance(const char *name);
xo_ssize_t xo_close_instance_h(xo_handle_t *xop, const char *name);

/* Warnings: "PROGRAM: MESSAGE" on stderr (or as XML on the output with
 * XOF_WARN_XML); xo_warn appends strerror(errno), xo_warn_c strerror(code). */
void xo_warn(const char *fmt, ...) XO_PRINTFLIKE(1, 2);
void xo_warnx(const char *fmt, ...) XO_PRINTFLIKE(1, 2);
void xo_warn_c(int code, const char *fmt, ...) XO_PRINTFLIKE(2, 3);

/* Fatal errors: warn like xo_warn/xo_warnx, finish the document once and
 * exit(EVAL). */
void xo_err(int eval, const char *fmt, ...) XO_NORETURN XO_PRINTFLIKE(2, 3);
void xo_errx(int eval, const char *fmt, ...) XO_NORETURN XO_PRINTFLIKE(2, 3);
void xo_errc(int eval, int code, const char *fmt, ...) XO_NORETURN XO_PRINTFLIKE(3, 4);

#ifdef __cplusplus
}
#endif

#endif /* TUNEX_LIBXO_XO_H */
