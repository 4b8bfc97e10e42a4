/*
 * Tests of the plain value renderer on values that the kernel rarely or
 * never gives: unknown type codes, a node, a string that fills its buffer,
 * a partial last element.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <libxo/xo.h>
#include <sys/sysctl.h>

#include "main.h"
#include "xo_capture.h"

namespace
{

struct shown {
    std::string out, err;
    int count;
};

// Renders BYTES as a value of TYPE in STYLE; the buffer has the spare
// byte that the record gives every value, set to 'Z' to see that it is
// never shown.
shown render(uint8_t type, const std::vector<unsigned char> &bytes, xo_style_t style)
{
    test_object t("t.value", "I");
    oidkit_object &object = t.object;
    object.type = type;
    std::vector<unsigned char> buffer(bytes);
    buffer.push_back('Z');

    int count = 0;
    testing::internal::CaptureStderr();
    std::string out = xo_capture_with(
        [&] {
            xo_set_program("tunex");
            xo_set_style(nullptr, style);
        },
        [&] {
            xo_open_container("v");
            count = display_basic_type(&object, buffer.data(), bytes.size());
            xo_close_container("v");
        });
    std::string err = testing::internal::GetCapturedStderr();
    return {out, err, count};
}

struct value_case {
    const char *what;
    uint8_t type;
    std::vector<unsigned char> bytes;
    const char *json;
    const char *warning;
    int count;
};

const value_case value_cases[] = {
    {"integer of 6 bytes", CTLTYPE_INT, {7, 0, 0, 0, 9, 9}, "{\"v\": {\"value\":7}}", "", 0},
    {"empty integer", CTLTYPE_INT, {}, "{\"v\": {}}", "", 0},
    {"empty string", CTLTYPE_STRING, {}, "{\"v\": {\"value\":\"\"}}", "", 0},
    {"string filling its buffer", CTLTYPE_STRING, {'a', 'b'}, "{\"v\": {\"value\":\"ab\"}}", "", 0},
    {"string with an inner NUL",
     CTLTYPE_STRING,
     {'a', 0, 'b'},
     "{\"v\": {\"value\":\"a\"}}",
     "",
     0},
    {"type code 0", 0, {1, 2, 3, 4}, "{\"v\": {}}", "tunex: 't.value' unknown type\n", 1},
    {"type code beyond the table",
     0x1f,
     {1, 2, 3, 4},
     "{\"v\": {}}",
     "tunex: 't.value' unknown type\n",
     1},
    {"opaque", CTLTYPE_OPAQUE, {1}, "{\"v\": {}}", "tunex: 't.value' unknown type\n", 1},
    {"node", CTLTYPE_NODE, {1}, "{\"v\": {}}", "tunex: 't.value' is a node\n", 1},
    {"int16 array",
     CTLTYPE_S16,
     {0, 0x80, 0xff, 0x7f},
     "{\"v\": {\"value\": [-32768,32767]}}",
     "",
     0},
};

TEST(DisplayBasicType, RendersEveryValueWithinItsBytes)
{
    reset_options();
    for (const auto &c : value_cases) {
        SCOPED_TRACE(c.what);
        shown s = render(c.type, c.bytes, XO_STYLE_JSON);
        EXPECT_EQ(s.out, std::string(c.json) + "\n");
        EXPECT_EQ(s.err, c.warning);
        EXPECT_EQ(s.count, c.count);
    }
}

TEST(DisplayBasicType, HexadecimalAndRawBytes)
{
    reset_options();
    opts.xflag = true;
    EXPECT_EQ(render(CTLTYPE_U8, {0, 0xff}, XO_STYLE_TEXT).out, "0000 0xff");
    EXPECT_EQ(render(CTLTYPE_S64, {1, 0, 0, 0, 0, 0, 0, 0}, XO_STYLE_TEXT).out,
              "0x0000000000000001");
    EXPECT_EQ(render(CTLTYPE_STRING, {'h', 'i', 0}, XO_STYLE_TEXT).out, "hi");
    opts.bflag = true;
    EXPECT_EQ(render(CTLTYPE_INT, {'a', 'b', 'c', 'd'}, XO_STYLE_TEXT).out, "abcd");
    reset_options();
}

} // namespace
