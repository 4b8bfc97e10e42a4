/*
 * The driver: start-up checks, the command line, jail attachment, and the
 * three sources of requests (a request file, the names on the command line,
 * the walk over the whole MIB). Every request adds its count of failures
 * to the run's, which becomes the exit status.
 */
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <stdlib.h>
#include <unistd.h>

#include <jail.h>
#include <libutil.h>
#include <libxo/xo.h>
#include <oidkit.h>
#include <sys/jail.h>

#include "main.h"

#define TUNEX_VERSION "2.2"
#define OPTIONS "AaB:bDdeFf:GgHhiIJj:kLlmNnOoPpqRr:Ss:TtuVvWwXxyz"

void usage()
{
    printf("usage: tunex [--libxo options [-r tagroot]] [-DdeFGgHIiJLnOpqTtVvWz]\n"
           "               [-N | -hl [b|o|x]] [-B bufsize] [-f filename] [-j jailname]\n"
           "               [-s sep] name[=value[,value]] ...\n"
           "       tunex [--libxo options [-r tagroot]] [-DdeFGgHIJkLnOpqSTtVvWz]\n"
           "               [-N | -hlu [b|o|x]] [-B bufsize] [-f filename] [-j jailname]\n"
           "               [-s sep] -a\n");
}

// -P: prints the names of the kernel's jails, one per line in the order of
// their jail IDs, in plain text like the version line. The shell
// completions of -j read them.
static int list_jails()
{
    char name[256];
    int lastjid = 0;
    struct iovec iov[] = {
        {const_cast<char *>("lastjid"), sizeof "lastjid"},
        {&lastjid, sizeof lastjid},
        {const_cast<char *>("name"), sizeof "name"},
        {name, sizeof name},
    };
    int jid;
    while ((jid = jail_get(iov, 4, 0)) > 0) {
        printf("%s\n", name);
        lastjid = jid;
    }
    return 0;
}

bool has_children(const oidkit_object *object)
{
    return object->children != nullptr && object->children->first != nullptr;
}

int display_tree(oidkit_object *object)
{
    bool opened;
    int count = display_object(object, nullptr, false, &opened);

    // A failed object hides its subtree; a filtered one (0, not opened)
    // does not, so that leaves below hidden inner nodes are still shown.
    if (count != 0) {
        if (opened)
            xo_close_instance("object");
        return count;
    }
    if (has_children(object)) {
        bool nest = opts.Iflag && opened;
        if (nest)
            xo_open_container("children");
        walk_depth++;
        for (oidkit_object *child = object->children->first; child != nullptr; child = child->next)
            count += display_tree(child);
        walk_depth--;
        if (nest)
            xo_close_container("children");
    }
    if (opened)
        xo_close_instance("object");
    return count;
}

// Handles the request for NAME, with the new VALUE or null. A FORGIVEN
// request (a request-file line marked "-") says nothing of a name that is
// not found.
static int handle_request(const char *name, const char *value, bool forgiven)
{
    oidkit_object *object = oidkit_treebyname(name);
    if (object == nullptr) {
        if (errno == ENOMEM)
            xo_err(1, "cannot build the tree of '%s'", name);
        bool silent = opts.iflag || forgiven;
        if (!silent && !opts.qflag)
            xo_warnx("unknow '%s' oid", name);
        return silent ? 0 : 1;
    }

    int count;
    bool opened = false;
    if (value != nullptr) {
        if (has_children(object)) {
            xo_warnx("oid '%s' isn't a leaf node", object->name);
            count = 1;
        } else {
            count = display_object(object, value, false, &opened);
        }
    } else if (opts.zflag && !has_children(object)) {
        count = display_object(object, nullptr, true, &opened);
    } else {
        // A toggle never reaches an inner object: it shows its subtree.
        count = display_tree(object);
    }
    if (opened)
        xo_close_instance("object");
    oidkit_freetree(object);
    return count;
}

int parse_line(char *line)
{
    char *value = strchr(line, '=');
    if (value != nullptr)
        *value++ = '\0';
    return handle_request(line, value, false);
}

// Cuts the blanks at the end of the text from START to END.
static void trim_end(char *start, char *end)
{
    while (end > start && is_blank(end[-1]))
        end--;
    *end = '\0';
}

static char *skip_blanks(char *text)
{
    while (is_blank(*text))
        text++;
    return text;
}

// Handles one line of a request file, LENGTH bytes read as they stand, in
// the syntax of sysctl.conf: the final newline and a carriage return before
// it are dropped, and so are blanks at either end and around the first
// "="; blank lines and comments ("#" or ";" as the first character after
// the blanks) are skipped; a "-" before the name means that the line
// cannot fail. The request ends at a NUL byte.
static int handle_file_line(char *line, size_t length)
{
    if (length > 0 && line[length - 1] == '\n')
        length--;
    if (length > 0 && line[length - 1] == '\r')
        length--;
    line[length] = '\0';
    bool blank = true;
    for (size_t i = 0; i < length; i++)
        if (!is_blank(line[i]))
            blank = false;
    char *name = skip_blanks(line);
    if (blank || *name == '#' || *name == ';')
        return 0;

    bool forgiven = *name == '-';
    if (forgiven)
        name = skip_blanks(name + 1);
    char *value = strchr(name, '=');
    if (value != nullptr) {
        trim_end(name, value);
        value = skip_blanks(value + 1);
        trim_end(value, value + strlen(value));
    } else {
        trim_end(name, name + strlen(name));
    }
    int count = handle_request(name, value, forgiven);
    return forgiven ? 0 : count;
}

// Handles every request of the file at PATH ("-": standard input), one per
// line whatever the line's length. While a line is handled, every message
// names the file and the line's number. A file that cannot be opened or
// read ends the program.
static int read_requests(const char *path)
{
    bool from_stdin = strcmp(path, "-") == 0;
    FILE *file = from_stdin ? stdin : fopen(path, "r");
    if (file == nullptr)
        xo_err(1, "cannot open: %s", path);
    const char *shown = from_stdin ? "stdin" : path;

    int count = 0;
    char *line = nullptr;
    size_t capacity = 0;
    for (unsigned long number = 1;; number++) {
        errno = 0;
        ssize_t length = getline(&line, &capacity, file);
        if (length == -1)
            break;
        message_context about(std::string(shown) + ":" + std::to_string(number));
        count += handle_file_line(line, size_t(length));
    }
    // getline also returns -1 on a read error or when the line does not
    // fit in memory, which must not pass for the end of the requests.
    if (ferror(file) || (errno != 0 && !feof(file)))
        xo_err(1, "cannot read: %s", path);
    free(line);
    if (!from_stdin)
        fclose(file);
    return count;
}

// Shows the whole MIB. The first top-level object is left out unless -S
// (or -m) asks for it, or it is the only one.
static int walk_mib()
{
    int count = 0;

    xo_open_list("tree");
    oidkit_list *mib = oidkit_mib();
    if (mib == nullptr)
        xo_err(1, "cannot build the MIB-tree");
    oidkit_object *object = mib->first;
    if (object != nullptr && !opts.Sflag && object->next != nullptr)
        object = object->next;
    for (; object != nullptr; object = object->next)
        count += display_tree(object);
    oidkit_freemib(mib);
    xo_close_list("tree");
    return count;
}

// Reads the options into the run options. Returns -1 when parsing ended
// normally, 0 after -v and -P, 1 after a bad option (the usage text is
// printed).
static int parse_options(int argc, char *argv[], const char **jail, const char **path)
{
    int ch;

    optreset = 1;
    optind = 1;
    while ((ch = getopt(argc, argv, OPTIONS)) != -1) {
        switch (ch) {
        case 'A':
            opts.aflag = opts.oflag = true;
            break;
        case 'a':
            opts.aflag = true;
            break;
        case 'B':
            // The low 32 bits, unchecked: 2^32 leaves the size unset.
            opts.bufsize = (uint32_t)strtoull(optarg, nullptr, 10);
            break;
        case 'b':
            opts.bflag = true;
            break;
        case 'D':
            opts.tflag = opts.Oflag = opts.Lflag = opts.Hflag = true;
            opts.Gflag = opts.Fflag = opts.dflag = true;
            break;
        case 'd':
            opts.dflag = true;
            break;
        case 'e':
            opts.separator = "=";
            break;
        case 'F':
            opts.Fflag = true;
            break;
        case 'f':
            opts.fflag = true;
            *path = optarg;
            break;
        case 'G':
            opts.Gflag = true;
            break;
        case 'g':
            opts.gflag = true;
            break;
        case 'H':
            opts.Hflag = true;
            break;
        case 'h':
            opts.hflag = true;
            break;
        case 'i':
            opts.iflag = true;
            break;
        case 'I':
            opts.Iflag = true;
            break;
        case 'J':
            opts.Jflag = true;
            break;
        case 'j':
            *jail = optarg;
            break;
        case 'k':
            opts.kflag = true;
            break;
        case 'L':
            opts.Lflag = true;
            break;
        case 'l':
            opts.lflag = true;
            break;
        case 'm':
        case 'S':
            opts.Sflag = true;
            break;
        case 'N':
            opts.Nflag = true;
            break;
        case 'n':
            opts.nflag = true;
            break;
        case 'O':
        case 'y':
            opts.Oflag = true;
            break;
        case 'o':
            opts.oflag = true;
            break;
        case 'P':
            return list_jails();
        case 'p':
            opts.pflag = true;
            break;
        case 'q':
            opts.qflag = true;
            break;
        case 'R':
            opts.Rflag = true;
            break;
        case 'r':
            opts.rflag = true;
            opts.tagroot = optarg;
            break;
        case 's':
            opts.separator = optarg;
            break;
        case 'T':
            opts.Tflag = true;
            break;
        case 't':
            opts.tflag = true;
            break;
        case 'u':
            opts.uflag = true;
            break;
        case 'V':
            opts.Vflag = true;
            break;
        case 'v':
            printf("tunex %s\n", TUNEX_VERSION);
            return 0;
        case 'W':
            opts.Wflag = true;
            break;
        case 'w':
            break;
        case 'X':
            opts.aflag = opts.xflag = true;
            break;
        case 'x':
            opts.xflag = true;
            break;
        case 'z':
            opts.zflag = true;
            break;
        default:
            usage();
            return 1;
        }
    }
    return -1;
}

// Rejects contradictory options; each conflict ends the program.
static void check_options()
{
    if (opts.Nflag && opts.uflag)
        xo_errx(1, "-N and -u are mutually exclusive");
    if (opts.Nflag && (opts.bflag || opts.xflag || opts.oflag || opts.uflag || opts.hflag))
        xo_errx(1, "-N and [-uhbox] are mutually exclusive");
    if (int(opts.bflag) + int(opts.oflag) + int(opts.xflag) > 1)
        xo_errx(1, "-[b|o|x] are mutually exclusive");
}

int tunex_main(int argc, char *argv[])
{
    const char *jail = nullptr;
    const char *path = nullptr;
    long count = 0;

    // The name that libxo puts before every message, kept until the very
    // end, when the exit hook may still report.
    const char *program = argc > 0 && argv[0] != nullptr ? argv[0] : "tunex";
    if (const char *slash = strrchr(program, '/'))
        program = slash + 1;
    static const message_context outermost(program);

    reset_options();
    atexit(xo_finish_atexit);
    // XML and JSON stay valid UTF-8 whatever bytes a value holds.
    xo_set_flags(nullptr, XOF_UNITS | XOF_FLUSH | XOF_VALID_UTF8);
    argc = xo_parse_args(argc, argv);
    if (argc < 0)
        return 1;
    // Checked before the options, so that even -v needs the module.
    if (kld_isloaded("oidlens") == 0)
        xo_errx(1, "'oidlens' kmod unloaded");

    int status = parse_options(argc, argv, &jail, &path);
    if (status >= 0)
        return status;
    argc -= optind;
    argv += optind;

    if (jail != nullptr) {
        int jid = jail_getid(jail);
        if (jid == -1)
            xo_err(1, "Error getting '%s' jail ID", jail);
        if (jail_attach(jid) != 0)
            xo_err(1, "Cannot attach to jail %d", jid);
    }
    check_options();

    if (opts.rflag)
        xo_open_container(opts.tagroot);
    if (opts.fflag)
        count += read_requests(path);
    if (argc > 0) {
        opts.aflag = false;
        for (int i = 0; argv[i] != nullptr; i++)
            count += parse_line(argv[i]);
    } else if (opts.aflag) {
        count += walk_mib();
    } else if (!opts.fflag) {
        usage();
        count++;
    }
    if (opts.rflag)
        xo_close_container(opts.tagroot);

    // 256 failures must not read as success to the shell.
    return count > 255 ? 255 : int(count);
}
