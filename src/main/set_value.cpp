/*
 * Writing a new value: the refusals, the text turned into the bytes of the
 * object's type (a string as it is, numbers as comma-separated elements of
 * the type's width), the sysctl write, and the new value shown after
 * " -> ". Nothing reaches the kernel unless every element parsed.
 */
#include <cerrno>
#include <cstring>

#include <inttypes.h>
#include <stdlib.h>

#include <libxo/xo.h>
#include <sys/sysctl.h>

#include "main.h"
#include "opaque.h"
#include "special.h"

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

// Parses TOKEN into SLOT with the parser of OBJECT's type, leaving errno as
// the parser set it. Returns the failures that the parser reports through
// its result (a temperature that did not parse), or -1 for a type without
// a parser.
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
        store(slot, int32_t(strtoll(token, nullptr, 0)));
        return 0;
    case CTLTYPE_S32:
        store(slot, int32_t(strtoll(token, nullptr, 0)));
        return 0;
    case CTLTYPE_S64:
        store(slot, int64_t(strtoimax(token, nullptr, 0)));
        return 0;
    case CTLTYPE_LONG:
        store(slot, int64_t(strtoll(token, nullptr, 0)));
        return 0;
    case CTLTYPE_UINT:
    case CTLTYPE_U32:
        store(slot, uint32_t(strtoull(token, nullptr, 0)));
        return 0;
    case CTLTYPE_ULONG:
        store(slot, uint64_t(strtoull(token, nullptr, 0)));
        return 0;
    case CTLTYPE_U64:
        store(slot, uint64_t(strtoumax(token, nullptr, 0)));
        return 0;
    case CTLTYPE_U8:
        store(slot, uint8_t(strtoull(token, nullptr, 0)));
        return 0;
    case CTLTYPE_U16:
        store(slot, uint16_t(strtoull(token, nullptr, 0)));
        return 0;
    case CTLTYPE_S8:
        store(slot, int8_t(strtoll(token, nullptr, 0)));
        return 0;
    case CTLTYPE_S16:
        store(slot, int16_t(strtoll(token, nullptr, 0)));
        return 0;
    default:
        return -1;
    }
}

// Turns the comma-separated NEWVAL into elements of OBJECT's type in
// *BUFFER, growing it (without -B) by one element per token. Returns the
// failures, each reported after the line was ended; the first parse error
// stops the loop.
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
    // The bound lies one past the copy's NUL, so that the last token ends
    // at that NUL and an empty last token (a trailing comma) still counts.
    char *end = copy + strlen(copy) + 1;
    char *cursor = copy;
    char *next;
    for (size_t i = 0; next_token(cursor, &next, end, ','); i++, cursor = next) {
        if (width == 0) {
            end_line();
            xo_warnx("Unknown type '%s'", object->name);
            count++;
            continue;
        }
        if (opts.bufsize == 0) {
            auto *grown = static_cast<unsigned char *>(realloc(*buffer, *size + width));
            if (grown == nullptr) {
                end_line();
                xo_err(1, "realloc() to set '%s'", object->name);
            }
            *buffer = grown;
            *size += width;
        } else if ((i + 1) * width > opts.bufsize) {
            // The buffer of -B holds no more: never write past it.
            end_line();
            xo_warnx("oid '%s': more values than fit in %u bytes", object->name, opts.bufsize);
            count++;
            break;
        }

        errno = 0;
        int failed = parse_element(object, cursor, *buffer + i * width);
        int error = errno;
        if (failed < 0) {
            end_line();
            xo_warnx("Unknown type '%s'", object->name);
            count++;
            continue;
        }
        count += failed;
        if (error == EINVAL || error == ERANGE) {
            count++;
            end_line();
            xo_warn_c(error, " cannot set new value '%s'", newval);
            break;
        }
        if (failed != 0) {
            end_line();
            xo_warnx("invalid temperature '%s'", cursor);
            break;
        }
    }
    free(copy);
    return count;
}

int set_value(const oidkit_object *object, const char *newval)
{
    if (refuse(object) != 0)
        return 1;

    unsigned char *buffer = nullptr;
    size_t size = 0;
    if (opts.bufsize != 0) {
        buffer = static_cast<unsigned char *>(calloc(opts.bufsize, 1));
        if (buffer == nullptr) {
            end_line();
            xo_err(1, "malloc() to set '%s'", object->name);
        }
        size = opts.bufsize;
    }

    int count = 0;
    const void *bytes = buffer;
    if (object->type == CTLTYPE_STRING) {
        if (buffer != nullptr) {
            // As strncpy: zero-padded, and cut without a terminator when
            // the text fills the buffer.
            strncpy(reinterpret_cast<char *>(buffer), newval, size);
        } else {
            bytes = newval;
            size = strlen(newval) + 1;
        }
    } else {
        count = parse_numbers(object, newval, &buffer, &size);
        bytes = buffer;
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
