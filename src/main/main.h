/*
 * The program's driver and the record of one object: run options, the type
 * and flag tables, requests, walks, selection, plain values and writes.
 * Every routine that handles an object returns its count of failures
 * (0 = success); callers add the counts up.
 */
#ifndef TUNEX_MAIN_H
#define TUNEX_MAIN_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <oidkit.h>

/* The run options, filled from the command line before any request is
 * handled; afterwards only aflag changes. One boolean per option letter. */
struct run_options {
    const char *separator; /* text between properties: ": ", "=" or -s */
    uint32_t bufsize;      /* -B: value buffer size, 0 when not set */
    const char *tagroot;   /* -r: the outermost container, or null */
    bool aflag, bflag, dflag, Fflag, fflag, Gflag, gflag, Hflag, hflag, Iflag;
    bool iflag, Jflag, kflag, Lflag, lflag, Nflag, nflag, Oflag, oflag, pflag;
    bool qflag, rflag, Sflag, Tflag, tflag, uflag, Vflag, Wflag, xflag, zflag;
    bool Rflag; /* every value as a dump of its bytes */
};

extern run_options opts;

/* How far below the object that a request names display_tree is: 0 for
 * that object itself, more for the objects of its subtree. */
extern int walk_depth;

/* Sets every run option to its default. */
void reset_options();

/* The blanks that separate the parts of requests and of number lists. */
inline bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

/* Says what the messages of a stretch of work are about: while an instance
 * lives, every message begins with the program's name, the text of each
 * enclosing instance and its own TEXT, each followed by ": ". The
 * outermost instance holds the program's name alone. Instances nest like
 * the scopes that hold them. */
class message_context
{
  public:
    explicit message_context(const std::string &text);
    ~message_context();
    message_context(const message_context &) = delete;
    message_context &operator=(const message_context &) = delete;

  private:
    std::string prefix;
    const char *outer;
};

/* One row of the type table, indexed by the object's type code. */
struct type_info {
    const char *name; /* what -t prints */
    size_t size;      /* element width in bytes, 0 when not an array */
};
extern const type_info type_table[16];

/* The type table's name and element size for TYPE; "" and 0 for a code
 * beyond the table. */
const char *type_name(unsigned type);
size_t type_size(unsigned type);

/* One row of the flag table, in output order. */
struct flag_info {
    uint32_t bit;
    const char *name;
};
extern const flag_info flag_table[17];

/* True when the object has at least one child. */
bool has_children(const oidkit_object *object);

/* The program's entry: returns the exit status. */
int tunex_main(int argc, char *argv[]);

/* Prints the usage text on standard output, outside libxo. */
void usage();

/* Handles one request, "name" or "name=value"; LINE is modified in place. */
int parse_line(char *line);

/* Shows OBJECT and, recursively, its subtree. */
int display_tree(oidkit_object *object);

/* Shows one object's record: filters, value fetch, properties, value and,
 * for a write (NEWVAL) or a toggle, the new value. Sets *OPENED when it
 * opened the instance "object", which the caller then closes. */
int display_object(oidkit_object *object, const char *newval, bool toggle, bool *opened);

/* Renders a value of a plain type (strings and integers of every width).
 * VALUE is writable and has one byte beyond SIZE, where a string without
 * a NUL of its own is terminated in place. */
int display_basic_type(const oidkit_object *object, unsigned char *value, size_t size);

/* Writes NEWVAL into OBJECT and shows it after " -> ". Returns the count
 * of failures (refusals included); on a non-zero result the output line
 * has already been ended. */
int set_value(const oidkit_object *object, const char *newval);

#endif
