/*
 * Tests of the kernel structure formatters through display_opaque: golden
 * documents in every style, the kernel's own sample values, the size
 * checks with their warnings, and the fields that need care (signed
 * thread counts, page scaling, the end of the page size list, dates).
 */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "opaque.h"
#include "xo_capture.h"

namespace
{

const std::string golden_dir = testdata_dir(__FILE__, "xo");
const std::string sample_dir = testdata_dir(__FILE__, "");

// Little-endian bytes of a structure, built field by field.
struct bytes_builder {
    std::vector<unsigned char> bytes;
    template <typename T> bytes_builder &put(T field)
    {
        unsigned char raw[sizeof(T)];
        std::memcpy(raw, &field, sizeof(T));
        bytes.insert(bytes.end(), raw, raw + sizeof(T));
        return *this;
    }
};

std::vector<unsigned char> sample(const char *file)
{
    std::string text = read_file(sample_dir + file);
    return std::vector<unsigned char>(text.begin(), text.end());
}

int show(const char *format, const std::vector<unsigned char> &value, bool hflag = false)
{
    test_object object("t.struct", format);
    return display_opaque(&object.object, value.data(), value.size(), false, hflag, false, false);
}

// The value of one record as text, without the record around it.
std::string text_of(const char *format, const std::vector<unsigned char> &value, bool hflag = false)
{
    return xo_capture(XO_STYLE_TEXT, [&] { show(format, value, hflag); });
}

std::string json_of(const char *format, const std::vector<unsigned char> &value, bool hflag = false)
{
    return xo_capture(XO_STYLE_JSON, [&] { show(format, value, hflag); });
}

void record(const char *name, const char *format, const std::vector<unsigned char> &value,
            bool hflag = false)
{
    xo_record(name, [&] {
        test_object object(name, format);
        EXPECT_EQ(
            display_opaque(&object.object, value.data(), value.size(), false, hflag, false, false),
            0);
    });
}

class StructFormatters : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

TEST_F(StructFormatters, MatchGoldenDocuments)
{
    expect_golden(golden_dir, "struct-clockinfo", [] {
        record("kern.clockrate", "S,clockinfo",
               bytes_builder().put(1000).put(1000).put(0).put(127).put(8128).bytes);
    });
    expect_golden(golden_dir, "struct-timeval", [] {
        record("kern.boottime", "S,timeval",
               bytes_builder().put(int64_t{1700000000}).put(int64_t{123456}).bytes);
    });
    // The scale of 0 gives inf and nan; the counts are unsigned, so no
    // quotient can be -inf (the golden file was adapted for that).
    expect_golden(golden_dir, "struct-loadavg", [] {
        xo_open_list("tree");
        record("vm.loadavg", "S,loadavg",
               bytes_builder().put(1064u).put(2112u).put(512u).put(0u).put(int64_t{2048}).bytes);
        record("vm.loadavg", "S,loadavg",
               bytes_builder().put(1u).put(0u).put(1u).put(0u).put(int64_t{0}).bytes);
        xo_close_list("tree");
    });
    std::vector<unsigned char> pagesizes =
        bytes_builder().put(uint64_t{4096}).put(uint64_t{2097152}).put(uint64_t{1073741824}).bytes;
    for (bool hflag : {false, true}) {
        expect_golden(golden_dir, hflag ? "struct-pagesizes-humanize" : "struct-pagesizes", [&] {
            xo_open_list("tree");
            record("hw.pagesizes", "S,pagesizes", pagesizes, hflag);
            record("hw.pagesizes", "S,pagesizes", {}, hflag);
            xo_close_list("tree");
        });
    }
    expect_golden(golden_dir, "struct-input-id", [] {
        record("kern.evdev.input.0.id", "S,input_id",
               bytes_builder()
                   .put(uint16_t{3})
                   .put(uint16_t{1133})
                   .put(uint16_t{50475})
                   .put(uint16_t{273})
                   .bytes);
    });
}

TEST_F(StructFormatters, VmtotalMatchesGoldenDocumentsWithPagesOf4KiB)
{
    if (getpagesize() != 4096)
        GTEST_SKIP() << "the golden figures assume pages of 4 KiB";
    // Kilobytes of the golden files divided by four; the thread counts are
    // not scaled, and 0xffff is -1.
    bytes_builder value;
    for (uint64_t kb : {8594128, 23456, 1310720, 524288, 102400, 1024, 51200, 996})
        value.put(uint64_t{kb / 4});
    value.put(uint64_t{16106127360 / 4});
    value.put(int16_t{2}).put(int16_t{0}).put(uint16_t{0xffff}).put(int16_t{1234});
    value.put(uint64_t{0});
    ASSERT_EQ(value.bytes.size(), 88u);
    expect_golden(golden_dir, "struct-vmtotal",
                  [&] { record("vm.vmtotal", "S,vmtotal", value.bytes); });
    expect_golden(golden_dir, "struct-vmtotal-humanize",
                  [&] { record("vm.vmtotal", "S,vmtotal", value.bytes, true); });
}

TEST_F(StructFormatters, ShowTheKernelSamples)
{
    struct sample_case {
        const char *file;
        const char *format;
        const char *text;
    };
    const sample_case cases[] = {
        {"kern.clockrate.bin", "S,clockinfo",
         "{ hz = 1000, tick = 1000, profhz = 8128, stathz = 127 }"},
        {"kern.boottime.bin", "S,timeval",
         "{ sec = 1733912345, usec = 412345 } Wed Dec 11 10:19:05 2024"},
        {"vm.loadavg.bin", "S,loadavg", "{ 0.12 0.18 0.15 }"},
        {"hw.pagesizes.bin", "S,pagesizes", "{ 4096, 2097152, 1073741824 }"},
        {"kern.evdev.input.0.id.bin", "S,input_id",
         "{ bustype = 0x0011, vendor = 0x0001, product = 0x0001, version = 0xab41 }"},
        {"kern.evdev.input.1.id.bin", "S,input_id",
         "{ bustype = 0x0003, vendor = 0x046d, product = 0xc077, version = 0x0111 }"},
    };
    for (const sample_case &c : cases)
        EXPECT_EQ(text_of(c.format, sample(c.file)), c.text) << c.file;
}

TEST_F(StructFormatters, VmtotalScalesPagesByThePageSize)
{
    std::string json = json_of("S,vmtotal", sample("vm.vmtotal.bin"));
    uint64_t kb = static_cast<uint64_t>(getpagesize() / 1024);
    // Free memory is 3574779 pages; the run queue (1) and sleepers (57)
    // are thread counts and keep their value.
    EXPECT_NE(json.find("\"free-memory\":" + std::to_string(3574779 * kb) + "}"), std::string::npos)
        << json;
    EXPECT_NE(json.find("\"total\":" + std::to_string(3815921 * kb) + ","), std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"runq\":1,\"disk-wait\":0,\"page-wait\":0,\"sleep\":57}"),
              std::string::npos)
        << json;
}

TEST_F(StructFormatters, RejectWrongSizesWithAWarningAndNoContainer)
{
    struct size_case {
        const char *format;
        size_t size;
        const char *warning;
    };
    const size_case cases[] = {
        {"S,clockinfo", 19, "S_clockinfo 19 != 20"},
        {"S,clockinfo", 21, "S_clockinfo 21 != 20"},
        {"S,timeval", 15, "S_timeval 15 != 16"},
        {"S,timeval", 32, "S_timeval 32 != 16"},
        {"S,loadavg", 23, "S_loadavg 23 != 24"},
        {"S,vmtotal", 87, "S_vmtotal 87 != 88"},
        {"S,vmtotal", 89, "S_vmtotal 89 != 88"},
        {"S,pagesizes", 12, "S_pagesize 12 / size(u_long) != 0"},
        {"S,pagesizes", 7, "S_pagesize 7 / size(u_long) != 0"},
        {"S,input_id", 7, "S_input_id 7 != 8"},
        {"S,input_id", 9, "S_input_id 9 != 8"},
    };
    // Nothing but the empty container "value" is shown, in any style.
    const struct {
        xo_style_t style;
        const char *document;
    } styles[] = {
        {XO_STYLE_TEXT, ""},
        {XO_STYLE_XML, "<value></value>"},
        {XO_STYLE_JSON, "{\"value\": {}}\n"},
    };
    for (const size_case &c : cases) {
        std::vector<unsigned char> value(c.size, 0x5a);
        for (const auto &style : styles) {
            int result = -1;
            testing::internal::CaptureStderr();
            std::string document = xo_capture(style.style, [&] { result = show(c.format, value); });
            std::string warning = testing::internal::GetCapturedStderr();
            EXPECT_EQ(result, 1) << c.format << " " << c.size;
            EXPECT_EQ(document, style.document) << c.format << " " << c.size;
            EXPECT_EQ(warning, std::string("tunex: ") + c.warning + "\n")
                << c.format << " " << c.size;
        }
    }
}

TEST_F(StructFormatters, RejectedValueLeavesAnEmptyValueContainer)
{
    std::vector<unsigned char> value(19);
    for (const xo_style_case &style : xo_style_cases) {
        testing::internal::CaptureStderr();
        std::string document = xo_capture(style.style, style.pretty, [&] {
            xo_record("kern.clockrate", [&] {
                test_object object("kern.clockrate", "S,clockinfo");
                EXPECT_EQ(display_opaque(&object.object, value.data(), value.size(), false, false,
                                         false, false),
                          1);
            });
        });
        std::string warning = testing::internal::GetCapturedStderr();
        EXPECT_EQ(document,
                  read_file(golden_dir + "/warnx-size-rejected-in-value." + style.tag + ".out"))
            << style.tag;
        EXPECT_EQ(warning, read_file(golden_dir + "/warnx-size-rejected-in-value.text.err"));
    }
}

TEST_F(StructFormatters, PageSizesEndAtTheFirstZero)
{
    struct pagesize_case {
        std::vector<uint64_t> entries;
        const char *text;
    };
    const pagesize_case cases[] = {
        {{}, "{  }"},
        {{4096}, "{ 4096 }"},
        {{4096, 0, 1073741824}, "{ 4096 }"},
        {{0, 4096}, "{  }"},
        {{4096, 8192, 16384, 32768}, "{ 4096, 8192, 16384, 32768 }"},
        {{UINT64_MAX}, "{ 18446744073709551615 }"},
    };
    for (const pagesize_case &c : cases) {
        bytes_builder value;
        for (uint64_t entry : c.entries)
            value.put(entry);
        EXPECT_EQ(text_of("S,pagesizes", value.bytes), c.text) << c.entries.size() << " entries";
    }
}

TEST_F(StructFormatters, TimevalShowsTheDateWithoutANewline)
{
    struct timeval_case {
        int64_t sec;
        int64_t usec;
        const char *json;
    };
    const timeval_case cases[] = {
        {0, 0,
         "{\"value\": {\"timeval\": {\"sec\":0,\"usec\":0,"
         "\"date\":\"Thu Jan  1 00:00:00 1970\"}}}\n"},
        {-1, 999999,
         "{\"value\": {\"timeval\": {\"sec\":-1,\"usec\":999999,"
         "\"date\":\"Wed Dec 31 23:59:59 1969\"}}}\n"},
        // A year that does not fit gives no calendar text: the date is
        // empty, the numbers are still shown.
        {INT64_MAX, -1,
         "{\"value\": {\"timeval\": {\"sec\":9223372036854775807,\"usec\":-1,"
         "\"date\":\"\"}}}\n"},
    };
    for (const timeval_case &c : cases) {
        std::vector<unsigned char> value = bytes_builder().put(c.sec).put(c.usec).bytes;
        EXPECT_EQ(json_of("S,timeval", value), c.json) << c.sec;
    }
    EXPECT_EQ(text_of("S,timeval", bytes_builder().put(int64_t{0}).put(int64_t{5}).bytes),
              "{ sec = 0, usec = 5 } Thu Jan  1 00:00:00 1970");
}

TEST_F(StructFormatters, HumanizeRolesFollowTheFormatter)
{
    // Under -h the counts of clockinfo, timeval and pagesizes are scaled in
    // text; loadavg and input_id take no role, so -h changes nothing there.
    // XML and JSON carry the plain numbers whatever the role.
    std::vector<unsigned char> clockinfo =
        bytes_builder().put(4096).put(2097152).put(0).put(1073741824).put(1).bytes;
    EXPECT_EQ(text_of("S,clockinfo", clockinfo, true),
              "{ hz = 4K, tick = 2M, profhz = 1, stathz = 1G }");
    EXPECT_EQ(json_of("S,clockinfo", clockinfo, true), json_of("S,clockinfo", clockinfo, false));

    std::vector<unsigned char> timeval =
        bytes_builder().put(int64_t{1700000000}).put(int64_t{123456}).bytes;
    EXPECT_EQ(text_of("S,timeval", timeval, true),
              "{ sec = 1.6G, usec = 121K } Tue Nov 14 22:13:20 2023");
    EXPECT_EQ(json_of("S,timeval", timeval, true), json_of("S,timeval", timeval, false));

    std::vector<unsigned char> loadavg = sample("vm.loadavg.bin");
    EXPECT_EQ(text_of("S,loadavg", loadavg, true), text_of("S,loadavg", loadavg, false));
    std::vector<unsigned char> input_id = sample("kern.evdev.input.1.id.bin");
    EXPECT_EQ(text_of("S,input_id", input_id, true), text_of("S,input_id", input_id, false));
}

} // namespace
