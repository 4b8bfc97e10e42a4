/*
 * Tests of the firmware memory maps: golden documents, the kernel's
 * sample maps checked line by line against their decoded listings, and
 * headers that lie about sizes, which must be rejected or shown without a
 * read outside the value (the buffers here have exactly the value's size,
 * so the sanitizers catch any such read).
 */
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "opaque.h"
#include "xo_capture.h"

namespace
{

const std::string golden_dir = testdata_dir(__FILE__, "xo");
const std::string sample_dir = testdata_dir(__FILE__, "");

const char efi_titles[] = "\n                   Type    Physical     Virtual  #PagesAttr";

struct descriptor {
    uint32_t type;
    uint64_t phys, virt, pages, attr;
};

// A UEFI map value: the 32-byte header and the descriptors at STRIDE.
// AREA is the area size the header claims; by default the true one.
std::vector<unsigned char> efi_map(const std::vector<descriptor> &descriptors, uint64_t stride,
                                   int64_t area = -1)
{
    uint64_t true_area = descriptors.size() * stride;
    uint64_t claimed = area < 0 ? true_area : static_cast<uint64_t>(area);
    std::vector<unsigned char> value(32 + true_area, 0xee);
    std::memcpy(&value[0], &claimed, 8);
    std::memcpy(&value[8], &stride, 8);
    std::memset(&value[16], 0, 16);
    for (size_t i = 0; i < descriptors.size(); i++) {
        unsigned char *md = &value[32 + i * stride];
        const descriptor &d = descriptors[i];
        std::memcpy(md, &d.type, 4);
        std::memcpy(md + 8, &d.phys, 8);
        std::memcpy(md + 16, &d.virt, 8);
        std::memcpy(md + 24, &d.pages, 8);
        std::memcpy(md + 32, &d.attr, 8);
    }
    return value;
}

// A raw header of SIZE bytes giving AREA and STRIDE.
std::vector<unsigned char> efi_header(size_t size, uint64_t area, uint64_t stride)
{
    std::vector<unsigned char> value(size, 0);
    std::memcpy(&value[0], &area, 8);
    std::memcpy(&value[8], &stride, 8);
    return value;
}

struct map_run {
    int result;
    std::string document;
    std::string warning;
};

map_run show(xo_style_t style, const char *format, const std::vector<unsigned char> &value)
{
    map_run run{-1, "", ""};
    testing::internal::CaptureStderr();
    run.document = xo_capture(style, [&] {
        run.result = std::strcmp(format, "S,efi_map_header") == 0
                         ? S_efi_map(value.data(), value.size())
                         : S_bios_smap_xattr(value.data(), value.size());
    });
    run.warning = testing::internal::GetCapturedStderr();
    return run;
}

TEST(MemoryMaps, MatchGoldenDocuments)
{
    // A stride of 48 bytes: the fields are read from the start of each.
    std::vector<unsigned char> efi =
        efi_map({{7, 0x100000, 0, 0x700, 0x8000000000000009},
                 {4, 0xfffffffff000, UINT64_MAX, 0x100000000, 0x7016 | 0x20 | 0x8000},
                 {15, 0, 0, 0, 0}},
                48);
    expect_golden(golden_dir, "efi-map", [&] {
        xo_record("machdep.efi_map", [&] {
            test_object object("machdep.efi_map", "S,efi_map_header");
            EXPECT_EQ(
                display_opaque(&object.object, efi.data(), efi.size(), false, false, false, false),
                0);
        });
    });

    std::vector<unsigned char> smap(48);
    const uint64_t fields[] = {0, 654336, 4294967296, UINT64_MAX};
    const uint32_t types[] = {1, 1, 171, 0};
    std::memcpy(&smap[0], &fields[0], 16);
    std::memcpy(&smap[16], &types[0], 8);
    std::memcpy(&smap[24], &fields[2], 16);
    std::memcpy(&smap[40], &types[2], 8);
    expect_golden(golden_dir, "smap", [&] {
        xo_record("machdep.smap", [&] {
            test_object object("machdep.smap", "S,bios_smap_xattr");
            EXPECT_EQ(display_opaque(&object.object, smap.data(), smap.size(), false, false, false,
                                     false),
                      0);
        });
    });
}

// The attribute names of an attribute word, as the table line shows them.
std::string attribute_text(uint64_t attr)
{
    static const struct {
        uint64_t bit;
        const char *name;
    } names[] = {{0x1, "UC "},   {0x2, "WC "},    {0x4, "WT "},    {0x8, "WB "},
                 {0x10, "UCE "}, {0x1000, "WP "}, {0x2000, "RP "}, {0x4000, "XP "}};
    std::string text;
    for (const auto &name : names)
        if (attr & name.bit)
            text += name.name;
    if (attr >> 63)
        text += "RUNTIME";
    return text;
}

TEST(MemoryMaps, ShowTheSampleEfiMapAsItsDecodedListing)
{
    std::string bin = read_file(sample_dir + "machdep.efi_map.bin");
    std::istringstream decoded(read_file(sample_dir + "machdep.efi_map.decoded.txt"));
    std::string expected = efi_titles;
    std::string line;
    int lines = 0;
    while (std::getline(decoded, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        unsigned type;
        char name[64], phys[32], virt[32], pages[32];
        unsigned long long attr;
        ASSERT_EQ(std::sscanf(line.c_str(), "%u %63s %31s %31s %31s %llx", &type, name, phys, virt,
                              pages, &attr),
                  6)
            << line;
        char type_column[80];
        std::snprintf(type_column, sizeof(type_column), "%23s", name);
        expected += std::string("\n") + type_column + " " + phys + " " + virt + " " + pages + " " +
                    attribute_text(attr);
        lines++;
    }
    EXPECT_EQ(lines, 29);
    map_run run =
        show(XO_STYLE_TEXT, "S,efi_map_header", std::vector<unsigned char>(bin.begin(), bin.end()));
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.document, expected);
}

TEST(MemoryMaps, ShowTheSampleSmapAsItsDecodedListing)
{
    std::string bin = read_file(sample_dir + "machdep.smap.bin");
    std::istringstream decoded(read_file(sample_dir + "machdep.smap.decoded.txt"));
    std::string expected;
    std::string line;
    while (std::getline(decoded, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        char base[32], len[32], type[16], xattr[16];
        ASSERT_EQ(std::sscanf(line.c_str(), "%31s %31s %15s %15s", base, len, type, xattr), 4);
        expected += std::string("\nSMAP type=") + type + ", xattr=" + xattr + ", base=" + base +
                    ", len=" + len;
    }
    map_run run = show(XO_STYLE_TEXT, "S,bios_smap_xattr",
                       std::vector<unsigned char>(bin.begin(), bin.end()));
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.document, expected);
}

TEST(MemoryMaps, EfiHeaderChecks)
{
    struct header_case {
        const char *what;
        std::vector<unsigned char> value;
        int result;
        const char *text; /* text output, after the title line when shown */
        const char *warning;
    };
    const descriptor conventional{7, 0x1000, 0, 0x10, 0xf};
    const std::string conventional_line =
        "\n     ConventionalMemory 000000001000 000000000000 00000010 UC WC WT WB ";
    const header_case cases[] = {
        {"23 bytes", std::vector<unsigned char>(23, 0xff), 1, nullptr,
         "S_efi_map length less than header"},
        {"descriptor size 0", efi_header(24, 0, 0), 0, "", nullptr},
        {"descriptor size 0, sizes that match nothing", efi_header(100, 12345, 0), 0, "", nullptr},
        {"24 bytes, area 0", efi_header(24, 0, 48), 1, nullptr,
         "S_efi_map length mismatch 24 vs 32"},
        {"area one byte too long", efi_map({conventional}, 40, 41), 1, nullptr,
         "S_efi_map length mismatch 72 vs 73"},
        {"32 bytes, area 0", efi_header(32, 0, 48), 0, efi_titles, nullptr},
        {"32 bytes, area 0, tiny stride", efi_header(32, 0, 1), 0, efi_titles, nullptr},
        {"area not a multiple of the stride", efi_header(32 + 79, 79, 40), 0,
         "\n                   Type    Physical     Virtual  #PagesAttr"
         "\n               Reserved 000000000000 000000000000 00000000 ",
         nullptr},
        // The sum of the header and a huge area wraps around to the size;
        // the value cannot hold such an area.
        {"area wraps around", efi_header(24, UINT64_MAX - 7, 48), 1, nullptr,
         "S_efi_map length mismatch 24 vs 18446744073709551615"},
        {"area of the largest size", efi_header(31, UINT64_MAX, 40), 1, nullptr,
         "S_efi_map length mismatch 31 vs 18446744073709551615"},
        // Descriptors shorter than the 40 bytes read would reach past the
        // value.
        {"stride below 40", efi_header(32 + 80, 80, 8), 1, nullptr,
         "S_efi_map descriptor size 8 is less than 40"},
        {"stride 39", efi_header(32 + 39, 39, 39), 1, nullptr,
         "S_efi_map descriptor size 39 is less than 40"},
        {"stride 40", efi_map({conventional, conventional}, 40), 0, nullptr, nullptr},
        {"stride 4096", efi_map({conventional}, 4096), 0, nullptr, nullptr},
    };
    for (const header_case &c : cases) {
        map_run run = show(XO_STYLE_TEXT, "S,efi_map_header", c.value);
        EXPECT_EQ(run.result, c.result) << c.what;
        if (c.text != nullptr) {
            EXPECT_EQ(run.document, c.text) << c.what;
        } else if (c.warning != nullptr) {
            EXPECT_EQ(run.document, "") << c.what;
        }
        EXPECT_EQ(run.warning, c.warning ? std::string("tunex: ") + c.warning + "\n" : "")
            << c.what;
        // A rejected or empty map emits nothing at all in XML and JSON.
        if (c.warning != nullptr || (c.text != nullptr && *c.text == '\0')) {
            EXPECT_EQ(show(XO_STYLE_XML, "S,efi_map_header", c.value).document, "") << c.what;
            EXPECT_EQ(show(XO_STYLE_JSON, "S,efi_map_header", c.value).document, "{ }\n") << c.what;
        }
    }
    EXPECT_EQ(
        show(XO_STYLE_TEXT, "S,efi_map_header", efi_map({conventional, conventional}, 40)).document,
        efi_titles + conventional_line + conventional_line);
    EXPECT_EQ(show(XO_STYLE_TEXT, "S,efi_map_header", efi_map({conventional}, 4096)).document,
              efi_titles + conventional_line);
}

TEST(MemoryMaps, EfiTypesAndAttributes)
{
    struct line_case {
        descriptor d;
        const char *line;
    };
    const line_case cases[] = {
        {{0, 0, 0, 0, 0}, "               Reserved 000000000000 000000000000 00000000 "},
        {{14, 1, 2, 3, 0}, "       PersistentMemory 000000000001 000000000002 00000003 "},
        {{12, 0, 0, 0, 0}, "MemoryMappedIOPortSpace 000000000000 000000000000 00000000 "},
        {{15, 0, 0, 0, 0}, "              <INVALID> 000000000000 000000000000 00000000 "},
        {{UINT32_MAX, 0, 0, 0, 0}, "              <INVALID> 000000000000 000000000000 00000000 "},
        {{1, 0, 0, 0, 0x8000000000000009},
         "             LoaderCode 000000000000 000000000000 00000000 UC WB RUNTIME"},
        {{2, 0, 0, 0, 0x701f},
         "             LoaderData 000000000000 000000000000 00000000 UC WC WT WB UCE WP RP XP "},
        // Bits outside the table are left out.
        {{3, 0, 0, 0, 0x7ffffffffffe8fe0},
         "       BootServicesCode 000000000000 000000000000 00000000 "},
        {{3, 0x123456789abcd, 0, 0x123456789, 0},
         "       BootServicesCode 123456789abcd 000000000000 123456789 "},
    };
    for (const line_case &c : cases) {
        map_run run = show(XO_STYLE_TEXT, "S,efi_map_header", efi_map({c.d}, 40));
        EXPECT_EQ(run.document, std::string(efi_titles) + "\n" + c.line) << c.line;
    }
    map_run run = show(XO_STYLE_JSON, "S,efi_map_header",
                       efi_map({{6, 0xc4fff000, 0, 0x80, 0x800000000000000f}}, 48));
    EXPECT_EQ(run.document, "{\"md\": [{\"types\":\"RuntimeServicesData\",\"md_phys\":\"c4fff000\","
                            "\"md_virt\":\"0\",\"md_pages\":\"80\", \"md_attrs\": {\"md_attr\": [\""
                            "UC\",\"WC\",\"WT\",\"WB\",\"RUNTIME\"]}}]}\n");
}

TEST(MemoryMaps, SmapSizes)
{
    struct smap_case {
        size_t size;
        int result;
        int entries;
        const char *warning;
    };
    const smap_case cases[] = {
        {0, 0, 0, nullptr},
        {24, 0, 1, nullptr},
        {48, 0, 2, nullptr},
        {25, 1, 0, "tunex: S_bios_smap_xattr 25 is not a multiple of 24\n"},
        {23, 1, 0, "tunex: S_bios_smap_xattr 23 is not a multiple of 24\n"},
        {47, 1, 0, "tunex: S_bios_smap_xattr 47 is not a multiple of 24\n"},
    };
    for (const smap_case &c : cases) {
        std::vector<unsigned char> value(c.size, 0x11);
        map_run run = show(XO_STYLE_TEXT, "S,bios_smap_xattr", value);
        EXPECT_EQ(run.result, c.result) << c.size;
        std::string expected;
        for (int i = 0; i < c.entries; i++)
            expected += "\nSMAP type=11111111, xattr=11111111, base=1111111111111111, "
                        "len=1111111111111111";
        EXPECT_EQ(run.document, expected) << c.size;
        EXPECT_EQ(run.warning, c.warning ? c.warning : "") << c.size;
        if (c.warning != nullptr) {
            EXPECT_EQ(show(XO_STYLE_XML, "S,bios_smap_xattr", value).document, "") << c.size;
            EXPECT_EQ(show(XO_STYLE_JSON, "S,bios_smap_xattr", value).document, "{ }\n") << c.size;
        }
    }
}

} // namespace
