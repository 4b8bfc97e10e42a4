/*
 * Tests of the layouts of the kernel texts on hand-made inputs: the
 * DOMAIN / FREE LIST state machine of vm.phys_free, texts that end early
 * or without a NUL byte, and kern.conftxt or debug.witness.fullgraph lines
 * without their separator. Each value lies in a heap buffer of exactly its
 * length, so that the sanitizers catch a read past its end.
 */
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "special.h"
#include "xo_capture.h"

namespace
{

std::string render(xo_style_t style, const char *name, const std::string &text)
{
    return xo_capture(style, [&] {
        std::unique_ptr<char[]> buffer(new char[text.size() == 0 ? 1 : text.size()]);
        std::memcpy(buffer.get(), text.data(), text.size());
        test_object object(name, "A");
        EXPECT_EQ(display_special(&object.object, buffer.get(), text.size()), 0) << text;
    });
}

const std::string headers = "  ORDER (SIZE)  |  NUMBER\n"
                            "                |  POOL 0\n"
                            "--            -- --      --\n";

struct layout_case {
    const char *what;
    const char *name;
    std::string value;
    const char *text;
    const char *json;
};

void check(const layout_case &c)
{
    EXPECT_EQ(render(XO_STYLE_TEXT, c.name, c.value), c.text) << c.what;
    EXPECT_EQ(render(XO_STYLE_JSON, c.name, c.value), c.json) << c.what;
}

TEST(PhysFree, DomainsAndFreeLists)
{
    std::string list0 = "FREE LIST 0:\n\n" + headers + "   0 (     4K)  |       1\n";
    std::string list1 = "\nFREE LIST 1:\n\n" + headers + "   1 (     8K)  |       2\n";
    std::string domain = "DOMAIN 0:\n\n" + list0 + list1;
    std::string rows_text = "FREE LIST 0:\n\n" + headers + "   0 (     4K)  |       1\n" +
                            "\nFREE LIST 1:\n\n" + headers + "   1 (     8K)  |       2\n";
    std::string two_domains_text = "\nDOMAIN 0:\n\n" + rows_text + "DOMAIN 1:\n\n" + rows_text;
    const char *lists_json = "\"free-list\": [{\"num-list\":0, \"order\": [{\"num-order\":0,"
                             "\"size\":4,\"pool0\":1}]}, {\"num-list\":1, "
                             "\"order\": [{\"num-order\":1,\"size\":8,\"pool0\":2}]}]";
    std::string two_domains_json = std::string("{\"value\": {\"domain\": [{\"num-domain\":0, ") +
                                   lists_json + "}, {\"num-domain\":1, " + lists_json + "}]}}\n";
    // The text's DOMAIN numbers are not read: the domains are counted.
    std::string two_domains = "\n" + domain + "\nDOMAIN 7:\n\n" + list0 + list1;
    check({"two domains of two free lists", "vm.phys_free", two_domains, two_domains_text.c_str(),
           two_domains_json.c_str()});

    check({"no DOMAIN line", "vm.phys_free", list0 + list1, ("\n" + rows_text).c_str(),
           (std::string("{\"value\": {") + lists_json + "}}\n").c_str()});
}

TEST(PhysFree, Rows)
{
    const layout_case cases[] = {
        {"three pools", "vm.phys_free",
         "FREE LIST 0:\n\n" + headers + "  12 ( 16384K)  |   1  |   2  |   3\n",
         "\nFREE LIST 0:\n\n  ORDER (SIZE)  |  NUMBER\n                |  POOL 0\n"
         "--            -- --      --\n  12 ( 16384K)  |       1  |       2  |       3\n",
         "{\"value\": {\"free-list\": [{\"num-list\":0, \"order\": [{\"num-order"
         "\":12,\"size\":16384,\"pool0\":1,\"pool1\":2,\"pool2\":3}]}]}}\n"},
        {"a minus sign before a count", "vm.phys_free",
         "FREE LIST 0:\n\n" + headers + "   2 (    16K)  |      -7\n",
         "\nFREE LIST 0:\n\n  ORDER (SIZE)  |  NUMBER\n                |  POOL 0\n"
         "--            -- --      --\n   2 (    16K)  |       7\n",
         "{\"value\": {\"free-list\": [{\"num-list\":0, \"order\": [{\"num-order"
         "\":2,\"size\":16,\"pool0\":7}]}]}}\n"},
        // A single number is the order; the row has no size, shown as 0.
        {"a row of one number", "vm.phys_free", "FREE LIST 0:\n\n" + headers + "   5\n",
         "\nFREE LIST 0:\n\n  ORDER (SIZE)  |  NUMBER\n                |  POOL 0\n"
         "--            -- --      --\n   5 (     0K)\n",
         "{\"value\": {\"free-list\": [{\"num-list\":0, \"order\": [{\"num-order"
         "\":5,\"size\":0}]}]}}\n"},
        // A DOMAIN line right after the rows holds a digit: it is a row.
        {"a DOMAIN line directly after the rows", "vm.phys_free",
         "FREE LIST 0:\n\n" + headers + "   3 (    32K)  |       9\nDOMAIN 1:\n\n" +
             "FREE LIST 0:\n\n" + headers,
         "\nFREE LIST 0:\n\n  ORDER (SIZE)  |  NUMBER\n                |  POOL 0\n"
         "--            -- --      --\n   3 (    32K)  |       9\n   1 (     0K)\n"
         "\nFREE LIST 1:\n\n  ORDER (SIZE)  |  NUMBER\n                |  POOL 0\n"
         "--            -- --      --\n",
         "{\"value\": {\"free-list\": [{\"num-list\":0, \"order\": [{\"num-order"
         "\":3,\"size\":32,\"pool0\":9}, {\"num-order\":1,\"size\":0}]}, {\"num-"
         "list\":1}]}}\n"},
        // The last row runs up to the end of the value, with no newline and
        // no NUL after it.
        {"a last row without a line end", "vm.phys_free",
         "FREE LIST 0:\n\n" + headers + "   0 (     4K)  |      11",
         "\nFREE LIST 0:\n\n  ORDER (SIZE)  |  NUMBER\n                |  POOL 0\n"
         "--            -- --      --\n   0 (     4K)  |      11\n",
         "{\"value\": {\"free-list\": [{\"num-list\":0, \"order\": [{\"num-order"
         "\":0,\"size\":4,\"pool0\":11}]}]}}\n"},
        {"a NUL byte ends a line", "vm.phys_free",
         "FREE LIST 0:\n\n" + headers + std::string("   0 (     4K)  |      11\0junk", 30),
         "\nFREE LIST 0:\n\n  ORDER (SIZE)  |  NUMBER\n                |  POOL 0\n"
         "--            -- --      --\n   0 (     4K)  |      11\n",
         "{\"value\": {\"free-list\": [{\"num-list\":0, \"order\": [{\"num-order"
         "\":0,\"size\":4,\"pool0\":11}]}]}}\n"},
    };
    for (const layout_case &c : cases)
        check(c);
}

TEST(PhysFree, TextsThatEndEarly)
{
    // Missing lines count as empty: the header lines are empty lines and
    // the free list ends at once.
    const layout_case cases[] = {
        {"empty", "vm.phys_free", "", "\n", "{\"value\": {}}\n"},
        {"only a FREE LIST line", "vm.phys_free", "FREE LIST 0:", "\nFREE LIST 0:\n\n\n\n\n",
         "{\"value\": {\"free-list\": [{\"num-list\":0}]}}\n"},
        {"one header line", "vm.phys_free", "FREE LIST 0:\n\nHEAD", "\nFREE LIST 0:\n\nHEAD\n\n\n",
         "{\"value\": {\"free-list\": [{\"num-list\":0}]}}\n"},
        {"only a DOMAIN line", "vm.phys_free", "DOMAIN 0:", "\nDOMAIN 0:\n\n",
         "{\"value\": {\"domain\": [{\"num-domain\":0}]}}\n"},
        {"FREE LIST right after DOMAIN", "vm.phys_free", "DOMAIN 0:\nFREE LIST 0:\n",
         "\nDOMAIN 0:\n\nFREE LIST 0:\n\n\n\n\n",
         "{\"value\": {\"domain\": [{\"num-domain\":0, \"free-list\": [{\"num-li"
         "st\":0}]}]}}\n"},
        {"lines without digits or keywords", "vm.phys_free", "\n\nnothing here\n\xff\n", "\n",
         "{\"value\": {}}\n"},
    };
    for (const layout_case &c : cases)
        check(c);
}

TEST(PairTexts, LinesAndSeparators)
{
    const layout_case cases[] = {
        {"conftxt lines", "kern.conftxt", "options\tA\n\n\nident\tGENERIC\n",
         "options\tA\nident\tGENERIC\n",
         "{\"value\": {\"configuration\": [{\"name\":\"options\",\"value\":\"A\""
         "}, {\"name\":\"ident\",\"value\":\"GENERIC\"}]}}\n"},
        // A line without its tab is all name; the next line is untouched.
        {"conftxt line without a tab", "kern.conftxt", "ident\tGENERIC\nnotab\nmachine\tamd64",
         "ident\tGENERIC\nnotab\t\nmachine\tamd64\n",
         "{\"value\": {\"configuration\": [{\"name\":\"ident\",\"value\":\"GENER"
         "IC\"}, {\"name\":\"notab\",\"value\":\"\"}, {\"name\":\"machine\",\"va"
         "lue\":\"amd64\"}]}}\n"},
        {"conftxt last line without a tab or line end", "kern.conftxt", "a\tb\nlast",
         "a\tb\nlast\t\n",
         "{\"value\": {\"configuration\": [{\"name\":\"a\",\"value\":\"b\"}, {\""
         "name\":\"last\",\"value\":\"\"}]}}\n"},
        {"conftxt tab first", "kern.conftxt", "\tvalue\n", "\tvalue\n",
         "{\"value\": {\"configuration\": [{\"name\":\"\",\"value\":\"value\"}]}"
         "}\n"},
        {"conftxt NUL between lines", "kern.conftxt", std::string("a\tb\0c\td", 7), "a\tb\nc\td\n",
         "{\"value\": {\"configuration\": [{\"name\":\"a\",\"value\":\"b\"}, {\""
         "name\":\"c\",\"value\":\"d\"}]}}\n"},
        {"conftxt only empty lines", "kern.conftxt", "\n\n\n", "", "{\"value\": {}}\n"},
        {"conftxt empty", "kern.conftxt", "", "", "{\"value\": {}}\n"},
        {"fullgraph line without a comma", "debug.witness.fullgraph",
         "\n\"a\",\"b\"\nlonely\n\"c\",\"d\",\"e\"", "\n\"a\",\"b\"\nlonely,\n\"c\",\"d\",\"e\"\n",
         "{\"value\": {\"property\": [{\"name\":\"\\\"a\\\"\",\"value\":\"\\\"b\\\""
         "\"}, {\"name\":\"lonely\",\"value\":\"\"}, {\"name\":\"\\\"c\\\"\",\"v"
         "alue\":\"\\\"d\\\",\\\"e\\\"\"}]}}\n"},
        {"fullgraph line ending in a comma", "debug.witness.fullgraph", "x,", "\nx,\n",
         "{\"value\": {\"property\": [{\"name\":\"x\",\"value\":\"\"}]}}\n"},
        {"fullgraph empty", "debug.witness.fullgraph", "", "\n", "{\"value\": {}}\n"},
        {"fullgraph one byte", "debug.witness.fullgraph", ",", "\n,\n",
         "{\"value\": {\"property\": [{\"name\":\"\",\"value\":\"\"}]}}\n"},
    };
    for (const layout_case &c : cases)
        check(c);
}

} // namespace
