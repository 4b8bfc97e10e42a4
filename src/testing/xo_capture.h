/*
 * Test helpers for the unit tests of the program: run a piece of output
 * through libxo in a chosen style and get the whole document back as a
 * string, wrap it in a record as the program prints one, and compare
 * it in every style with the golden files in a testdata directory.
 */
#ifndef TUNEX_XO_CAPTURE_H
#define TUNEX_XO_CAPTURE_H

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <libxo/xo.h>

#include <oidkit.h>

struct xo_style_case {
    const char *tag; /* the style's name in golden file names */
    xo_style_t style;
    bool pretty;
};

inline const xo_style_case xo_style_cases[] = {
    {"text", XO_STYLE_TEXT, false},     {"xml", XO_STYLE_XML, false},
    {"json", XO_STYLE_JSON, false},     {"html", XO_STYLE_HTML, false},
    {"xml-pretty", XO_STYLE_XML, true}, {"json-pretty", XO_STYLE_JSON, true},
};

// Runs BODY on a fresh default handle that SETUP configures before the
// output goes to the capture, and returns the finished document.
inline std::string xo_capture_with(const std::function<void()> &setup,
                                   const std::function<void()> &body)
{
    char *data = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&data, &size);
    xo_destroy(nullptr);
    setup();
    xo_set_file(stream);
    body();
    xo_finish();
    xo_destroy(nullptr);
    std::fclose(stream);
    std::string document(data, size);
    std::free(data);
    return document;
}

// Runs BODY on a fresh default handle in STYLE, with the flags the program
// sets at start-up, and returns the finished document.
inline std::string xo_capture(xo_style_t style, bool pretty, const std::function<void()> &body)
{
    return xo_capture_with(
        [&] {
            xo_set_program("tunex");
            xo_set_style(nullptr, style);
            xo_set_flags(nullptr,
                         XOF_UNITS | XOF_FLUSH | XOF_VALID_UTF8 | (pretty ? XOF_PRETTY : 0));
        },
        body);
}

inline std::string xo_capture(xo_style_t style, const std::function<void()> &body)
{
    return xo_capture(style, false, body);
}

// Emits BODY as the value of one record, as the program shows an object:
// the instance "object", its name, the separator, the value, the line end.
inline void xo_record(const char *name, const std::function<void()> &body)
{
    xo_open_instance("object");
    xo_emit("{:name/%s}", name);
    xo_emit("{L:/%s}", ": ");
    body();
    xo_emit("{L:\n}");
    xo_close_instance("object");
}

// The directory of the test data beside the test source FILE.
inline std::string testdata_dir(const char *file, const char *subdir)
{
    std::string dir(file);
    dir.erase(dir.find_last_of('/') + 1);
    const char *root = std::getenv("TUNEX_SOURCE_DIR");
    if (root != nullptr && dir.front() != '/')
        dir = std::string(root) + "/" + dir;
    return dir + "testdata/" + subdir;
}

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Compares the output of BODY in every style with DIR/SCENARIO.STYLE.out.
// With TUNEX_UPDATE_GOLDEN set in the environment, writes the files
// instead, for a change of output that is meant (review their diff).
inline void expect_golden(const std::string &dir, const char *scenario,
                          const std::function<void()> &body)
{
    bool update = std::getenv("TUNEX_UPDATE_GOLDEN") != nullptr;
    for (const xo_style_case &style : xo_style_cases) {
        std::string path = dir + "/" + scenario + "." + style.tag + ".out";
        std::string actual = xo_capture(style.style, style.pretty, body);
        if (update) {
            std::ofstream(path, std::ios::binary) << actual;
            continue;
        }
        EXPECT_EQ(actual, read_file(path)) << scenario << " in style " << style.tag;
    }
}

// A MIB object with only the fields that renderers look at.
struct test_object {
    std::string name;
    std::string format;
    oidkit_object object{};

    test_object(const char *name_, const char *format_) : name(name_), format(format_)
    {
        object.name = name.data();
        object.format = format.data();
    }
    test_object(const test_object &) = delete;
};

#endif
