/*
 * Tests of the temperature conversions: the digits shown for the kernel's
 * integers, and the integers stored for what a user types, at the edges
 * where single-precision rounding and the precision digit matter.
 */
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <libxo/xo.h>

#include "opaque.h"
#include "xo_capture.h"

namespace
{

// Shows VALUE with FORMAT through display_IK and returns the JSON text.
std::string shown(int32_t value, const char *format, bool hflag)
{
    test_object t("hw.acpi.thermal.tz0.temperature", format);
    oidkit_object &object = t.object;

    return xo_capture_with(
        [] {
            xo_set_style(nullptr, XO_STYLE_JSON);
            xo_set_flags(nullptr, XOF_UNITS);
        },
        [&] {
            xo_open_container("t");
            EXPECT_EQ(display_IK(&object, &value, hflag), 0);
            xo_close_container("t");
        });
}

struct display_case {
    int32_t value;
    const char *format;
    const char *celsius;
};

const display_case display_cases[] = {
    {3032, "IK", "30.050012"},    {3031, "IK", "29.950006"}, {2732, "IK", "0.050012"},
    {2731, "IK", "-0.049994"},    {0, "IK", "-273.150000"},  {-10, "IK", "-274.150000"},
    {303150, "IK3", "29.999994"}, {300, "IK0", "26.850000"}, {27415, "IK2", "0.999994"},
};

TEST(DisplayIK, ShowsDegreesCelsiusWithSinglePrecisionDigits)
{
    for (const auto &c : display_cases) {
        SCOPED_TRACE(std::to_string(c.value) + " with format " + c.format);
        for (bool hflag : {false, true}) {
            std::string json = shown(c.value, c.format, hflag);
            EXPECT_NE(json.find(std::string("\"value\":") + c.celsius), std::string::npos) << json;
        }
    }
}

struct parse_case {
    const char *text;
    const char *format;
    int failed;     /* the result */
    int32_t kelvin; /* the stored integer, when it succeeded */
    int error;      /* errno afterwards */
};

const parse_case parse_cases[] = {
    {"30C", "IK", 0, 3032, 0},    {"86F", "IK", 0, 3032, 0},     {"0C", "IK", 0, 2732, 0},
    {"32F", "IK", 0, 2732, 0},    {"300K", "IK", 0, 3000, 0},    {"25.5C", "IK", 0, 2987, 0},
    {"30C", "IK3", 0, 303150, 0}, {"30C", "IK0", 0, 303, 0},     {"1C", "IK2", 0, 27415, 0},
    {"30C", "IKx", 0, 3032, 0},   {"-300C", "IK", 0, -268, 0},   {"3000", "IK", 0, 3000, 0},
    {" -5", "IK", 0, -5, 0},      {"4294967296", "IK", 0, 0, 0}, {"3000x", "IK", 1, 0, 0},
    {"30c", "IK", 1, 0, 0},       {"30 C", "IK", 1, 0, 0},       {"C", "IK", 1, 0, 0},
    {"abc", "IK", 1, 0, EINVAL},  {"0x10", "IK", 1, 0, 0},       {"1e40C", "IK", 1, 0, ERANGE},
    {"1e9K", "IK", 1, 0, ERANGE}, {"infC", "IK", 1, 0, ERANGE},
};

TEST(StrIKToInt, ParsesTemperaturesAndRawIntegers)
{
    for (const auto &c : parse_cases) {
        SCOPED_TRACE(std::string("text \"") + c.text + "\" with format " + c.format);
        int32_t kelvin = 12345;
        errno = 0;
        int failed = strIK_to_int(c.text, &kelvin, c.format);
        int error = errno;
        EXPECT_EQ(failed, c.failed);
        EXPECT_EQ(error, c.error);
        if (c.failed == 0) {
            EXPECT_EQ(kelvin, c.kelvin);
        }
    }
}

#ifndef NDEBUG
TEST(StrIKToIntDeathTest, AssertsItsPreconditions)
{
    int32_t kelvin;
    EXPECT_DEATH(
        {
            errno = EINVAL;
            strIK_to_int("30C", &kelvin, "IK");
        },
        "errno == 0");
    EXPECT_DEATH(
        {
            errno = 0;
            strIK_to_int("", &kelvin, "IK");
        },
        "len > 0");
}
#endif

} // namespace
