/*
 * Writing a new value: the refusals, the text turned into the bytes of the
 * object's type (a string as it is, numbers as elements of the type's width,
 * separated by commas or blanks), the sysctl write, and the new value shown
 * after " -> ". Nothing reaches the kernel unless every element parsed and
 * the elements fit the object's present value. The bytes written are sized
 * by the text given; -B only bounds them.
 */
#include <cerrno>
#include <cstring>

#include <inttypes.h>
#include <stdlib.h>

#include <libxo/xo.h>
#include <sys/sysctl.h>

#include "main.h"
#include "opaque.h"

// Ends the output line before a message, so that the message follows a
// finished line in text output.
static void end_line()
{
    xo_emit("{L:\n}");
}

// Says why OBJECT cannot be written at all. Returns 1 after the message(s),
// 0 when the write may go on.
static int refuse(const oidkit_object *object)
{
    if (opts.Tflag || opts.Wflag) {
        end_line();
        xo_warnx("Can't set variables when using -T or -W");
        return 1;
    }
    if ((object->flags & CTLFLAG_WR) == 0) {
        end_line();
        if ((object->flags & CTLFLAG_TUN) != 0) {
            xo_warnx("oid '%s' is a read only tunable", object->name);
            xo_warnx("Tunable values are set in /boot/loader.conf");
        } else {
            xo_warnx("oid '%s' is read only", object->name);
        }
        return 1;
    }
    if (object->type == CTLTYPE_OPAQUE) {
        end_line();
        xo_warnx("'%s' cannot set an opaque input", object->name);
        return 1;
    }
    if (object->type == CTLTYPE_NODE) {
        end_line();
        xo_warnx("oid '%s' isn't a leaf node", object->name);
        return 1;
    }
    return 0;
}

template <typename T> static void store(unsigned char *slot, T element)
{
    memcpy(slot, &element, sizeof(element));
}

// Parses TOKEN, which holds no blanks, with PARSE and stores it as T.
// errno stays as PARSE set it, or becomes EINVAL when the number does not
// take all of TOKEN (or none of it).
template <typename T, typename Wide>
static void parse_as(const char *token, unsigned char *slot,
                     Wide (*parse)(const char *, char **, int))
{
    char *end;
    Wide number = parse(token, &end, 0);
    if (errno == 0 && (end == token || *end != '\0'))
        errno = EINVAL;
    store(slot, T(number));
}

// Parses TOKEN into SLOT with the parser of OBJECT's type, leaving errno as
// the parser set it, or EINVAL when text follows the number. Returns the
// failures that the parser reports through its result (a temperature that
// did not parse), or -1 for a type without a parser.
static int parse_element(const oidkit_object *object, const char *token, unsigned char *slot)
{
    switch (object->type) {
    case CTLTYPE_INT:
        if (strncmp(object->format, "IK", 2) == 0) {
            // An empty element is no temperature: refuse it like an
            // integer parser refuses an empty text.
            if (*token == '\0') {
                errno = EINVAL;
                return 0;
            }
            int32_t kelvin = 0;
            int failed = strIK_to_int(token, &kelvin, object->format);
            store(slot, kelvin);
            return failed;
        }
        parse_as<int32_t>(token, slot, strtoll);
        return 0;
    case CTLTYPE_S32:
        parse_as<int32_t>(token, slot, strtoll);
        return 0;
    case CTLTYPE_S64:
        parse_as<int64_t>(token, slot, strtoimax);
        return 0;
    case CTLTYPE_LONG:
        parse_as<int64_t>(token, slot, strtoll);
        return 0;
    case CTLTYPE_UINT:
    case CTLTYPE_U32:
        parse_as<uint32_t>(token, slot, strtoull);
        return 0;
    case CTLTYPE_ULONG:
        parse_as<uint64_t>(token, slot, strtoull);
        return 0;
    case CTLTYPE_U64:
        parse_as<uint64_t>(token, slot, strtoumax);
        return 0;
    case CTLTYPE_U8:
        parse_as<uint8_t>(token, slot, strtoull);
        return 0;
    case CTLTYPE_U16:
        parse_as<uint16_t>(token, slot, strtoull);
        return 0;
    case CTLTYPE_S8:
        parse_as<int8_t>(token, slot, strtoll);
        return 0;
    case CTLTYPE_S16:
        parse_as<int16_t>(token, slot, strtoll);
        return 0;
    default:
        return -1;
    }
}

// Cuts the next element out of the text at *CURSOR, in place. Elements are
// separated by a comma or by a run of blanks; blanks around a comma belong
// to it. After a comma an element always follows, so that two commas in a
// row, or one at the end, yield an empty element. Returns null after the
// last element.
static char *next_element(char **cursor)
{
    char *start = *cursor;
    if (start == nullptr)
        return nullptr;
    char *p = start;
    while (*p != '\0' && *p != ',' && !is_blank(*p))
        p++;
    char *after = p;
    while (is_blank(*p))
        p++;
    if (*p == ',') {
        p++;
        while (is_blank(*p))
            p++;
        *cursor = p;
    } else {
        *cursor = *p == '\0' ? nullptr : p;
    }
    *after = '\0';
    return start;
}

// Turns NEWVAL into elements of OBJECT's type in *BUFFER, growing it by
// one element per token up to what -B allows. Returns the failures, each
// reported after the line was ended; the first parse error stops the loop.
static int parse_numbers(const oidkit_object *object, const char *newval, unsigned char **buffer,
                         size_t *size)
{
    size_t width = type_size(object->type);
    int count = 0;

    char *copy = strdup(newval);
    if (copy == nullptr) {
        end_line();
        xo_err(1, "strdup() to set '%s'", object->name);
    }
    // Blanks at either end separate nothing.
    char *cursor = copy;
    while (is_blank(*cursor))
        cursor++;
    char *token;
    for (size_t i = 0; (token = next_element(&cursor)) != nullptr; i++) {
        if (width == 0) {
            end_line();
            xo_warnx("Unknown type '%s'", object->name);
            count++;
            continue;
        }
        if (opts.bufsize != 0 && (i + 1) * width > opts.bufsize) {
            // The buffer of -B holds no more.
            end_line();
            xo_warnx("oid '%s': more values than fit in %u bytes", object->name, opts.bufsize);
            count++;
            break;
        }
        auto *grown = static_cast<unsigned char *>(realloc(*buffer, *size + width));
        if (grown == nullptr) {
            end_line();
            xo_err(1, "realloc() to set '%s'", object->name);
        }
        *buffer = grown;
        *size += width;

        errno = 0;
        int failed = parse_element(object, token, *buffer + i * width);
        int error = errno;
        if (failed < 0) {
            end_line();
            xo_warnx("Unknown type '%s'", object->name);
            count++;
            continue;
        }
        if (error == EINVAL || error == ERANGE) {
            count++;
            end_line();
            xo_warn_c(error, " cannot set new value '%s'", newval);
            break;
        }
        if (failed != 0) {
            count++;
            end_line();
            xo_warnx("oid '%s': invalid temperature '%s'", object->name, token);
            break;
        }
    }
    free(copy);
    return count;
}

// Refuses a list of more elements than OBJECT's present value holds, which
// the kernel would otherwise take as a longer value. Nothing is checked when
// the present value's size cannot be learnt or holds no element. Returns 1
// after the warning, 0 when the write may go on.
static int refuse_longer(const oidkit_object *object, size_t size)
{
    size_t width = type_size(object->type);
    size_t present = 0;
    if (sysctl(object->oid, unsigned(object->oid_len), nullptr, &present, nullptr, 0) != 0 ||
        present < width || size <= present)
        return 0;
    end_line();
    xo_warnx("oid '%s': %zu values given, its value holds %zu", object->name, size / width,
             present / width);
    return 1;
}

int set_value(const oidkit_object *object, const char *newval)
{
    if (refuse(object) != 0)
        return 1;

    unsigned char *buffer = nullptr;
    const void *bytes;
    size_t size = 0;
    int count = 0;
    if (object->type == CTLTYPE_STRING) {
        // The text and its NUL, cut without a terminator to what -B allows.
        bytes = newval;
        size = strlen(newval) + 1;
        if (opts.bufsize != 0 && size > opts.bufsize)
            size = opts.bufsize;
    } else {
        count = parse_numbers(object, newval, &buffer, &size);
        bytes = buffer;
        if (count == 0)
            count = refuse_longer(object, size);
    }

    if (count == 0) {
        if (object->type != CTLTYPE_STRING && size == 0) {
            end_line();
            xo_warnx("empty numeric value");
            count++;
        } else if (sysctl(object->oid, unsigned(object->oid_len), nullptr, nullptr, bytes, size) !=
                   0) {
            int error = errno;
            end_line();
            xo_warn_c(error, " cannot set new value '%s'", newval);
            count++;
        } else if (!opts.Nflag) {
            xo_emit("{L: -> }{:newvalue/%s}", newval);
        }
    }
    free(buffer);
    return count;
}
