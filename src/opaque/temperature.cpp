/*
 * Temperatures: the kernel keeps them as an integer count of fractions of
 * a kelvin, marked by the format "IK" (tenths) or "IK" and the number of
 * decimal places. They are shown in degrees Celsius and may be written in
 * degrees Celsius, Fahrenheit or kelvins. The arithmetic runs in single
 * precision with double constants, exactly as the kernel's own tools do,
 * so that the printed digits and the stored integers agree with theirs.
 */
#include <cassert>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <stdlib.h>

#include <libxo/xo.h>

#include "opaque.h"

// The number of decimal places of the kelvin value: the digit after "IK",
// or 1 when there is none (or something else stands there).
static int precision(const char *format)
{
    char digit = format[0] != '\0' && format[1] != '\0' ? format[2] : '\0';
    return digit >= '0' && digit <= '9' ? digit - '0' : 1;
}

int display_IK(const oidkit_object *object, const int32_t *value, bool hflag, bool list)
{
    int places = precision(object->format);
    float divisor = 1.0f;
    for (int i = 0; i < places; i++)
        divisor = float(double(divisor) * 10.0);
    double celsius = double(float(*value) / divisor) - 273.15;

    static const char *const formats[2][2] = {
        {"{:value/%f}{U:C}", "{l:value/%f}{U:C}"},
        {"{h:value/%f}{U:C}", "{hl:value/%f}{U:C}"},
    };
    xo_emit(formats[hflag][list], celsius);
    return 0;
}

int strIK_to_int(const char *text, int32_t *result, const char *format)
{
    size_t len = strlen(text);

    assert(errno == 0);
    assert(len > 0);

    int places = precision(format);
    char unit = text[len - 1];
    if (unit != 'C' && unit != 'F' && unit != 'K') {
        // A plain integer in the kernel's own units, cut to 32 bits.
        char *end;
        long raw = strtol(text, &end, 10);
        *result = int32_t(uint32_t(raw));
        return end != text && *end == '\0' && errno == 0 ? 0 : 1;
    }

    char *end;
    float t = strtof(text, &end);
    if (end == text || end != text + len - 1 || errno != 0)
        return 1;
    if (unit == 'F')
        t = (t - 32.0f) * 5.0f / 9.0f;
    if (unit != 'K')
        t = float(double(t) + 273.15);
    for (int i = 0; i < places; i++)
        t = float(double(t) * 10.0);

    // Beyond the range of the integer there is no stored value to give:
    // report it as a range error rather than convert it.
    double rounded = double(t) + 0.5;
    if (!(rounded > -2147483649.0 && rounded < 2147483648.0)) {
        errno = ERANGE;
        return 1;
    }
    *result = int32_t(rounded);
    return 0;
}
