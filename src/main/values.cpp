/*
 * Values of the plain types: strings, and arrays of integers of every
 * width and signedness, shown as raw bytes (-b), as hexadecimal bytes
 * (-x), or one decimal field per element. Temperatures go to display_IK.
 */
#include <cstring>
#include <string>

#include <libxo/xo.h>
#include <sys/sysctl.h>

#include "main.h"
#include "opaque.h"

// Reads one element at P, whatever its alignment; the callers widen the
// narrow ones with or without their sign.
template <typename T> static T load(const unsigned char *p)
{
    T element;
    memcpy(&element, p, sizeof(element));
    return element;
}

// Emits one element as "0x" and its bytes, most significant first, or as
// "00" and its bytes when they are all zero. The bytes are elements of the
// leaf-list "dump".
static void emit_hex(const unsigned char *element, size_t width)
{
    bool zero = true;
    for (size_t i = 0; i < width; i++)
        if (element[i] != 0)
            zero = false;
    xo_emit(zero ? "{L:00}" : "{L:0x}");
    for (size_t i = width; i > 0; i--)
        xo_emit("{l:dump/%02x}", element[i - 1]);
}

// Emits one element in decimal, as an element of the leaf-list "value"
// under LIST. Returns 1 for a type code without a decimal form.
static int emit_decimal(const oidkit_object *object, const unsigned char *p, bool list)
{
    const char *role = opts.hflag ? (list ? "hnl" : "hn") : (list ? "l" : nullptr);

    switch (object->type) {
    case CTLTYPE_INT:
    case CTLTYPE_S32:
        xo_emit_field(role, "value", "%d", nullptr, load<int32_t>(p));
        return 0;
    case CTLTYPE_S64:
    case CTLTYPE_LONG:
        xo_emit_field(role, "value", "%ld", nullptr, long(load<int64_t>(p)));
        return 0;
    case CTLTYPE_UINT:
    case CTLTYPE_U32:
        xo_emit_field(role, "value", "%u", nullptr, load<uint32_t>(p));
        return 0;
    case CTLTYPE_ULONG:
    case CTLTYPE_U64:
        xo_emit_field(role, "value", "%lu", nullptr, (unsigned long)load<uint64_t>(p));
        return 0;
    case CTLTYPE_U8:
        xo_emit_field(role, "value", "%u", nullptr, unsigned(load<uint8_t>(p)));
        return 0;
    case CTLTYPE_U16:
        xo_emit_field(role, "value", "%u", nullptr, unsigned(load<uint16_t>(p)));
        return 0;
    case CTLTYPE_S8:
        xo_emit_field(role, "value", "%d", nullptr, int(load<int8_t>(p)));
        return 0;
    case CTLTYPE_S16:
        xo_emit_field(role, "value", "%d", nullptr, int(load<int16_t>(p)));
        return 0;
    default:
        xo_warnx("'%s' unknown type", object->name);
        return 1;
    }
}

// Emits a string value. In text output each further line of a text that
// spans several starts with the name and the separator again, so that
// every line of the output says whose value it holds; the newline that
// ends a text's last line starts no line of its own. The other styles
// keep the whole text in one field.
static void emit_text(const oidkit_object *object, const char *text)
{
    const char *newline = strchr(text, '\n');
    if (newline == nullptr || opts.nflag || xo_get_style(nullptr) != XO_STYLE_TEXT) {
        xo_emit("{:value/%s}", text);
        return;
    }
    std::string line(text, newline);
    xo_emit("{:value/%s}", line.c_str());
    while (newline != nullptr && newline[1] != '\0') {
        text = newline + 1;
        newline = strchr(text, '\n');
        line.assign(text, newline != nullptr ? newline : text + strlen(text));
        xo_emit("{L:\n}{L:/%s}{L:/%s}{:value/%s}", object->name, opts.separator, line.c_str());
    }
}

int display_basic_type(const oidkit_object *object, unsigned char *value, size_t size)
{
    if (object->type == CTLTYPE_NODE) {
        xo_warnx("'%s' is a node", object->name);
        return 1;
    }
    if (opts.bflag) {
        // Text gets the bytes as they are; XML and JSON get them as
        // numbers, which stay valid whatever the bytes are.
        for (size_t i = 0; i < size; i++)
            xo_emit("{d:raw/%c}{el:raw/%u}", value[i], unsigned(value[i]));
        return 0;
    }
    if (object->type == CTLTYPE_STRING) {
        // The text is the value up to its first NUL; the caller's spare
        // byte after the value terminates a text that has none.
        if (value[size] != '\0')
            value[size] = '\0';
        emit_text(object, reinterpret_cast<const char *>(value));
        return 0;
    }

    size_t width = type_size(object->type);
    if (width == 0) {
        // No element width: nothing can be stepped through.
        xo_warnx("'%s' unknown type", object->name);
        return 1;
    }
    bool temperature = object->type == CTLTYPE_INT && strncmp(object->format, "IK", 2) == 0;
    int count = 0;
    size_t elements = size / width;
    // A value of two or more elements is a leaf-list; one element stays
    // a single field.
    bool list = elements > 1;
    for (size_t i = 0; i < elements; i++) {
        const unsigned char *p = value + i * width;
        if (i > 0)
            xo_emit("{Pw:}");
        if (opts.xflag) {
            emit_hex(p, width);
        } else if (temperature) {
            int32_t element = load<int32_t>(p);
            count += display_IK(object, &element, opts.hflag, list);
        } else {
            count += emit_decimal(object, p, list);
        }
    }
    return count;
}
