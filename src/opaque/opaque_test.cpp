/*
 * Tests of the opaque dispatch: which formats have a formatter, the
 * "value" container around every result, and the hexadecimal dump under
 * -o and -x with its cut at 16 bytes.
 */
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "opaque.h"
#include "xo_capture.h"

namespace
{

const std::string golden_dir = testdata_dir(__FILE__, "xo");

const char *const defined_formats[] = {
    "NV",          "S,clockinfo", "S,timeval",        "S,loadavg",         "S,vmtotal",
    "S,pagesizes", "S,input_id",  "S,efi_map_header", "S,bios_smap_xattr",
};

TEST(OpaqueDispatch, KnowsExactlyTheNineFormats)
{
    for (const char *format : defined_formats) {
        test_object object("t.opaque", format);
        EXPECT_TRUE(is_opaque_defined(&object.object)) << format;
    }
    const char *const undefined[] = {
        "",           "N",           "S",           "S,",
        "nv",         "NVx",         "S,Clockinfo", "S,clockinfo ",
        " S,timeval", "S,timevalue", "S,pagesize",  "S,efi_map",
        "A",          "I",           "IK",          "S,foo",
    };
    for (const char *format : undefined) {
        test_object object("t.opaque", format);
        EXPECT_FALSE(is_opaque_defined(&object.object)) << '"' << format << '"';
    }
}

struct dump_run {
    int result;
    std::string document;
};

dump_run dump(xo_style_t style, const char *format, const std::vector<unsigned char> &value,
              bool oflag, bool xflag)
{
    dump_run run{-1, ""};
    run.document = xo_capture(style, [&] {
        test_object object("t.opaque", format);
        run.result =
            display_opaque(&object.object, value.data(), value.size(), false, false, oflag, xflag);
    });
    return run;
}

std::vector<unsigned char> counting_bytes(size_t size)
{
    std::vector<unsigned char> bytes(size);
    for (size_t i = 0; i < size; i++)
        bytes[i] = static_cast<unsigned char>(i * 17);
    return bytes;
}

TEST(OpaqueDump, MatchesGoldenDocuments)
{
    expect_golden(golden_dir, "opaque-dump", [] {
        xo_record("debug.foo", [] {
            test_object object("debug.foo", "S,foo");
            const unsigned char bytes[] = {0x00, 0x01, 0x0a, 0x7f, 0x80, 0xab, 0xcd, 0xff};
            EXPECT_EQ(
                display_opaque(&object.object, bytes, sizeof(bytes), false, false, false, true), 0);
        });
    });
    // A node's empty value; its one-letter format leaves no name for the
    // container, which is then "opaque".
    expect_golden(golden_dir, "opaque-dump-empty", [] {
        xo_record("kern", [] {
            test_object object("kern", "N");
            const unsigned char none = 0;
            EXPECT_EQ(display_opaque(&object.object, &none, 0, false, false, true, false), 0);
        });
    });
}

TEST(OpaqueDump, CutsAtSixteenBytesOnlyUnderO)
{
    struct dump_case {
        size_t size;
        bool oflag;
        bool xflag;
        const char *digits; /* text after "Dump:0x" */
    };
    const dump_case cases[] = {
        {16, true, false, "00112233445566778899aabbccddeeff"},
        {17, true, false, "00112233445566778899aabbccddeeff..."},
        {40, true, false, "00112233445566778899aabbccddeeff..."},
        {17, false, true, "00112233445566778899aabbccddeeff10"},
        {1, false, true, "00"},
        {0, true, false, ""},
        {0, false, true, ""},
    };
    for (const dump_case &c : cases) {
        dump_run run = dump(XO_STYLE_TEXT, "S,foo", counting_bytes(c.size), c.oflag, c.xflag);
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(run.document,
                  "Format:S,foo Length:" + std::to_string(c.size) + " Dump:0x" + c.digits)
            << c.size << (c.oflag ? " -o" : " -x");
    }
    dump_run run = dump(XO_STYLE_JSON, "S,foo", counting_bytes(17), true, false);
    EXPECT_EQ(run.document,
              "{\"value\": {\"foo\": {\"format\":\"S,foo\",\"lenght\":17, \"dump\": ["
              "\"0\",\"11\",\"22\",\"33\",\"44\",\"55\",\"66\",\"77\",\"88\",\"99\",\""
              "aa\",\"bb\",\"cc\",\"dd\",\"ee\",\"ff\"]}}}\n");
}

TEST(OpaqueDump, NamesItsContainerAfterTheFormat)
{
    struct name_case {
        const char *format;
        const char *xml;
    };
    const name_case cases[] = {
        {"S,foo", "<value><foo><format>S,foo</format>"},
        {"S,efi_map", "<value><efi_map><format>S,efi_map</format>"},
        {"XYZ", "<value><Z><format>XYZ</format>"},
        // Two characters or fewer leave no name: the container is "opaque".
        {"N", "<value><opaque><format>N</format>"},
        {"S,", "<value><opaque><format>S,</format>"},
        {"", "<value><opaque><format></format>"},
    };
    for (const name_case &c : cases) {
        dump_run run = dump(XO_STYLE_XML, c.format, counting_bytes(2), false, true);
        EXPECT_EQ(run.document.rfind(c.xml, 0), 0u) << '"' << c.format << "\": " << run.document;
    }
}

TEST(OpaqueDump, ShowsNothingWithoutOOrX)
{
    for (const char *format : {"S,foo", "N", "", "S,clockinfo2", "s,clockinfo"}) {
        dump_run run = dump(XO_STYLE_JSON, format, counting_bytes(20), false, false);
        EXPECT_EQ(run.result, 0) << format;
        EXPECT_EQ(run.document, "{\"value\": {}}\n") << format;
        EXPECT_EQ(dump(XO_STYLE_TEXT, format, counting_bytes(20), false, false).document, "")
            << format;
    }
}

TEST(OpaqueDispatch, FormattersWinOverTheDump)
{
    // A format of the table is rendered by its formatter also under -o and
    // -x, and its result is passed on.
    std::vector<unsigned char> clockinfo(20, 0);
    for (bool oflag : {false, true}) {
        dump_run run = dump(XO_STYLE_TEXT, "S,clockinfo", clockinfo, oflag, !oflag);
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(run.document, "{ hz = 0, tick = 0, profhz = 0, stathz = 0 }");
    }
    testing::internal::CaptureStderr();
    dump_run run = dump(XO_STYLE_XML, "S,clockinfo", counting_bytes(19), true, false);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.document, "<value></value>");
}

} // namespace
