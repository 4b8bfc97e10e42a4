/*
 * The record of one object: the selection filters, the read of the value,
 * the properties in their fixed order with the separator between them, the
 * hand-over of the value to exactly one renderer, and the write or toggle
 * that may follow.
 */
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <libxo/xo.h>
#include <sys/sysctl.h>

#include "main.h"
#include "opaque.h"
#include "special.h"

// The tests that run before anything else: the flag filters, inner nodes
// without -I, and SKIP objects during -a.
static bool selected(const oidkit_object *object)
{
    uint32_t flags = object->flags;

    if (opts.Wflag && ((flags & CTLFLAG_WR) == 0 || (flags & CTLFLAG_STATS) != 0))
        return false;
    if (opts.Tflag && (flags & CTLFLAG_TUN) == 0)
        return false;
    if (opts.Vflag && (flags & CTLFLAG_VNET) == 0)
        return false;
    if (opts.Jflag && (flags & CTLFLAG_PRISON) == 0)
        return false;
    if (!opts.Iflag && has_children(object))
        return false;
    if (opts.aflag && !opts.kflag && (flags & CTLFLAG_SKIP) != 0)
        return false;
    return true;
}

// Reads the value of OBJECT into a fresh zero-filled buffer: -B bytes, or
// twice what the kernel announces, so that a value that grew since the
// probe still fits. One spare zero byte lies beyond what the kernel may
// fill, so that a text value always ends in NUL. Returns the buffer (the
// caller frees it) with the value's length in *SIZE, or null when the read
// failed, with the read's errno in *ERROR and the buffer's size in *SIZE.
static unsigned char *read_value(const oidkit_object *object, size_t *size, int *error)
{
    size_t length = 0;

    if (opts.bufsize != 0) {
        length = opts.bufsize;
    } else {
        (void)sysctl(object->oid, unsigned(object->oid_len), nullptr, &length, nullptr, 0);
        length *= 2;
    }
    auto *buffer = static_cast<unsigned char *>(calloc(length + 1, 1));
    if (buffer == nullptr)
        xo_err(1, "allocation memory to get the value of '%s'", object->name);
    *size = length;
    if (sysctl(object->oid, unsigned(object->oid_len), buffer, &length, nullptr, 0) != 0) {
        *error = errno;
        free(buffer);
        return nullptr;
    }
    *size = length;
    return buffer;
}

// Says why the value of a named object could not be read: the read's
// error, or, for ENOMEM after a buffer of SIZE bytes was offered, that the
// value does not fit in it.
static void warn_unreadable(const oidkit_object *object, int error, size_t size)
{
    if (opts.qflag)
        return;
    if (error == ENOMEM && size > 0)
        xo_warnx("oid '%s': cannot read the value: buffer of %zu bytes too small", object->name,
                 size);
    else
        xo_warn_c(error, "oid '%s': cannot read the value", object->name);
}

// The OID's components joined by dots, in decimal or, under -x, in
// hexadecimal.
static std::string oid_text(const oidkit_object *object)
{
    std::string text;
    char component[16];

    for (size_t i = 0; i < object->oid_len; i++) {
        snprintf(component, sizeof(component), opts.xflag ? "%x." : "%d.", object->oid[i]);
        text += component;
    }
    if (!text.empty())
        text.pop_back();
    return text;
}

// Starts one property: the separator when something came before, then its
// label under -p.
static void begin_property(bool *printed, const char *label)
{
    if (*printed)
        xo_emit("{L:/%s}", opts.separator);
    if (opts.pflag)
        xo_emit(label);
    *printed = true;
}

// The flag names form a leaf-list, so that JSON keeps every one of them
// (an array even of one flag).
static void emit_flags(uint32_t flags)
{
    xo_open_container("flags");
    for (const auto &row : flag_table)
        if ((flags & row.bit) == row.bit)
            xo_emit("{Lw:}{l:flag/%s}", row.name);
    xo_close_container("flags");
}

// Emits the properties that the options ask for, in their fixed order.
static void emit_properties(const oidkit_object *object, bool wanted, size_t size, bool *printed)
{
    if (opts.Oflag) {
        begin_property(printed, "{L:[OID]: }");
        xo_emit("{:OID/%s}", oid_text(object).c_str());
    }
    if (!opts.nflag) {
        begin_property(printed, "{L:[NAME]: }");
        xo_emit("{:name/%s}", object->name);
    }
    if (opts.Lflag) {
        begin_property(printed, "{L:[LABEL]: }");
        xo_emit("{:label/%s}", object->label != nullptr ? object->label : "");
    }
    if (opts.dflag) {
        begin_property(printed, "{L:[DESCRIPTION]: }");
        xo_emit("{:description/%s}", object->description != nullptr ? object->description : "");
    }
    if (opts.tflag) {
        begin_property(printed, "{L:[TYPE]: }");
        xo_emit("{:type/%s}", type_name(object->type));
    }
    if (opts.Fflag) {
        begin_property(printed, "{L:[FORMAT]: }");
        xo_emit("{:format/%s}", object->format);
    }
    if (opts.gflag) {
        begin_property(printed, "{L:[FLAGS-RAW]: }");
        xo_emit(opts.xflag ? "{:flags-raw/%x}" : "{:flags-raw/%u}", object->flags);
    }
    if (opts.Gflag) {
        begin_property(printed, "{L:[FLAGS]:}");
        emit_flags(object->flags);
    }
    if (opts.Hflag) {
        bool defined;
        if (oidkit_hashandler(object->oid, object->oid_len, &defined) != 0)
            xo_err(1, "cannot get handler %s", object->name);
        begin_property(printed, "{L:[HANDLER]: }");
        xo_emit("{:handler/%s}", defined ? "Defined" : "Undefined");
    }
    if (opts.lflag && wanted) {
        begin_property(printed, "{L:[VALUE-SIZE]: }");
        xo_emit("{:value-size/%llu}", (unsigned long long)size);
    }
}

// Hands the value to the one renderer that fits the object. The messages
// of the renderers of special texts and opaque values name the object;
// those of the plain types name it themselves.
static int emit_value(const oidkit_object *object, unsigned char *value, size_t size)
{
    if (opts.Rflag) {
        display_raw(object, value, size);
        return 0;
    }
    bool special = has_special_display(object);
    if (special || object->type == CTLTYPE_OPAQUE || object->type == CTLTYPE_NODE) {
        message_context about(std::string("oid '") + object->name + "'");
        if (special)
            return display_special(object, reinterpret_cast<char *>(value), size);
        return display_opaque(object, value, size, opts.tflag, opts.hflag, opts.oflag, opts.xflag);
    }
    // The kernel's meta-objects under OID 0 have no value to show.
    if (object->oid_len > 0 && object->oid[0] != 0)
        return display_basic_type(object, value, size);
    return 0;
}

int display_object(oidkit_object *object, const char *newval, bool toggle, bool *opened)
{
    int count = 0;
    bool printed = false;
    size_t size = 0;
    unsigned char *value = nullptr;
    bool unreadable = false;
    int read_error = 0;
    size_t read_size = 0;

    *opened = false;
    if (!selected(object))
        return 0;

    bool wanted = !opts.Nflag && !has_children(object);
    // During -a, an opaque value that would show nothing is left out.
    if (wanted && opts.aflag && !opts.uflag &&
        (object->type == CTLTYPE_OPAQUE || object->type == CTLTYPE_NODE) && !opts.xflag &&
        !opts.oflag && !is_opaque_defined(object))
        return 0;

    if (wanted || toggle) {
        value = read_value(object, &size, &read_error);
        read_size = size;
        bool empty_opaque = value != nullptr && size == 0 && object->type == CTLTYPE_OPAQUE;
        if (value == nullptr || empty_opaque) {
            free(value);
            value = nullptr;
            size = 0;
            if (opts.aflag && !opts.uflag)
                return 0;
            unreadable = !empty_opaque;
            wanted = false;
        }
    }

    *opened = true;
    xo_open_instance("object");
    emit_properties(object, wanted, size, &printed);
    if (wanted) {
        begin_property(&printed, "{L:[VALUE]: }");
        count += emit_value(object, value, size);
    }

    if (toggle) {
        if (object->type == CTLTYPE_STRING) {
            xo_emit("{L:\n}");
            xo_warnx("'%s' cannot toggle a string", object->name);
            count++;
        } else if (unreadable) {
            // Never write blind: without the current value there is
            // nothing to toggle.
            xo_emit("{L:\n}");
            xo_warnx("oid '%s': cannot read the value to toggle", object->name);
            printed = false;
        } else {
            newval = "1";
            for (size_t i = 0; i < size; i++)
                if (value[i] != 0) {
                    newval = "0";
                    break;
                }
        }
    }
    free(value);

    // A walk (-a, or the subtree of a named node) does not fail because
    // some object cannot be read; a request that names an unreadable value
    // does, and says why, unless the object is a node, which has no value
    // of its own. A toggle that found nothing to toggle has said so and
    // fails too. A write is judged by the write alone.
    bool named = !opts.aflag && walk_depth == 0 && object->type != CTLTYPE_NODE;
    bool report = unreadable && named && newval == nullptr && !toggle;
    if (unreadable && (toggle || report))
        count++;

    if (newval != nullptr) {
        // A refused or failed write is a failure of the run too.
        int failed = set_value(object, newval);
        count += failed;
        if (failed != 0)
            printed = false;
    }
    if (printed)
        xo_emit("{L:\n}");
    if (report)
        warn_unreadable(object, read_error, read_size);
    return count;
}
