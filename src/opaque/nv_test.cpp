/*
 * Tests of the display of packed name/value lists: whole records against
 * libxo's own documents in every style, the text of each kind of pair and
 * nesting, the containers in XML and JSON, a value that does not unpack,
 * every packed vector of the list library against its walk, and a list
 * whose walk by names would never end.
 */
#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <libxo/xo.h>
#include <sys/nv.h>

#include "nv_test_util.h"
#include "opaque.h"
#include "xo_capture.h"

/* The walk over an unpacked list, from nv.cpp. */
void display_nvlist(const nvlist_t *nvl, bool tflag, bool hflag);

namespace
{

std::string source_root()
{
    const char *root = std::getenv("TUNEX_SOURCE_DIR");
    if (root != nullptr)
        return root;
    std::string dir(__FILE__);
    return dir.substr(0, dir.rfind("/src/opaque/"));
}

const std::string golden_dir = testdata_dir(__FILE__, "xo");
const std::string sample_dir = testdata_dir(__FILE__, "nv");

/* The packed bytes of a list built by BUILD. */
std::vector<unsigned char> packed(const std::function<void(nvlist_t *)> &build)
{
    nvlist_t *nvl = nvlist_create(0);
    build(nvl);
    EXPECT_EQ(nvlist_error(nvl), 0);
    size_t size = 0;
    auto *buf = static_cast<unsigned char *>(nvlist_pack(nvl, &size));
    EXPECT_NE(buf, nullptr);
    std::vector<unsigned char> bytes(buf, buf + size);
    free(buf);
    nvlist_destroy(nvl);
    return bytes;
}

/* Shows BYTES as the program shows an "NV" object named NAME. */
void nv_record(const char *name, const std::vector<unsigned char> &bytes, bool tflag, bool hflag)
{
    xo_record(name, [&] {
        test_object shown(name, "NV");
        EXPECT_EQ(
            display_opaque(&shown.object, bytes.data(), bytes.size(), tflag, hflag, false, false),
            0);
    });
}

TEST(DisplayNv, MatchesGoldenDocuments)
{
    // Descriptors never survive unpacking here, so this one list is shown
    // from memory.
    expect_golden(golden_dir, "nvlist-types", [] {
        static const uint64_t nums[] = {1, 2};
        nvlist_t *nvl = nvlist_create(0);
        nvlist_add_null(nvl, "null");
        nvlist_add_bool(nvl, "bool", true);
        nvlist_add_number(nvl, "num", UINT64_MAX);
        nvlist_add_binary(nvl, "bin", "\x01\xab\x00", 3);
        nvlist_add_number_array(nvl, "nums", nums, 2);
        nvlist_add_descriptor(nvl, "fd", 3);
        xo_record("t.nv", [&] {
            xo_open_container("value");
            display_nvlist(nvl, true, false);
            xo_close_container("value");
        });
        nvlist_destroy(nvl);
    });
    expect_golden(golden_dir, "nvlist-nested", [] {
        nv_record("kern.features.nv", packed([](nvlist_t *l) {
                      nvlist_add_number(l, "a", 5);
                      nvlist_t *b = nvlist_create(0);
                      nvlist_add_string(b, "s", "hello");
                      nvlist_t *c = nvlist_create(0);
                      nvlist_add_null(c, "n");
                      nv_add_list(b, "c", c);
                      nv_add_list(l, "b", b);
                      nvlist_add_string(l, "z", "end");
                  }),
                  false, false);
    });
    expect_golden(golden_dir, "nvlist-humanize", [] {
        static const uint64_t sizes[] = {1536000, 4096};
        nv_record("t.nvh", packed([](nvlist_t *l) {
                      nvlist_add_bool(l, "enabled", false);
                      nvlist_add_number(l, "bytes", 1536000);
                      nvlist_add_number_array(l, "sizes", sizes, 2);
                  }),
                  false, true);
    });
    expect_golden(golden_dir, "nvlist-arrays", [] {
        static const bool flags[] = {true, false};
        static const char *const words[] = {"one", "two words"};
        nv_record("t.nvarr", packed([](nvlist_t *l) {
                      nvlist_add_bool_array(l, "flags", flags, 2);
                      nvlist_add_string_array(l, "words", words, 2);
                      nv_add_array(l, "arr", {nv_one_number("x", 1), nv_one_number("x", 2)});
                  }),
                  false, false);
    });
}

struct text_case {
    const char *what;
    std::function<void(nvlist_t *)> build;
    bool tflag;
    const char *text;
};

TEST(DisplayNv, TextOfEachKindOfPair)
{
    static const bool bools[] = {true, false};
    static const uint64_t numbers[] = {1, 2, 3};
    const std::vector<text_case> cases = {
        {"no pairs", [](nvlist_t *) {}, false, ""},
        {"null", [](nvlist_t *l) { nvlist_add_null(l, "n"); }, false, "\nn"},
        {"null -t", [](nvlist_t *l) { nvlist_add_null(l, "n"); }, true, "\nn NV_TYPE_NULL"},
        {"binary", [](nvlist_t *l) { nvlist_add_binary(l, "b", "\x01\xab\x00", 3); }, false,
         "\nb=01ab00"},
        {"bool array", [](nvlist_t *l) { nvlist_add_bool_array(l, "ba", bools, 2); }, false,
         "\nba=true false"},
        {"number array", [](nvlist_t *l) { nvlist_add_number_array(l, "na", numbers, 3); }, false,
         "\nna=1 2 3"},
        {"string -t", [](nvlist_t *l) { nvlist_add_string(l, "s", "x y"); }, true,
         "\ns=x y NV_TYPE_STRING"},
        {"empty string and name", [](nvlist_t *l) { nvlist_add_string(l, "", ""); }, false, "\n="},
        {"nested, the holding pair shows no line",
         [](nvlist_t *l) {
             nvlist_add_number(l, "a", 1);
             nvlist_t *b = nvlist_create(0);
             nvlist_add_string(b, "s", "x");
             nv_add_list(l, "b", b);
         },
         false, "\na=1\n s=x"},
        {"empty nested list",
         [](nvlist_t *l) {
             nv_add_list(l, "e", nvlist_create(0));
             nvlist_add_number(l, "after", 2);
         },
         false, "\nafter=2"},
        {"array at the top: flat, then the pairs after it",
         [](nvlist_t *l) {
             nv_add_array(l, "arr",
                          {nv_one_number("x", 1), nvlist_create(0), nv_one_number("y", 2)});
             nvlist_add_number(l, "after", 3);
         },
         false, "\nx=1\ny=2\nafter=3"},
        {"array in a nested list keeps the holder's depth",
         [](nvlist_t *l) {
             nvlist_t *n = nvlist_create(0);
             nv_add_array(n, "arr", {nv_one_number("p", 1), nv_one_number("q", 2)});
             nvlist_add_number(n, "tail", 3);
             nv_add_list(l, "l", n);
             nvlist_add_number(l, "end", 4);
         },
         false, "\n p=1\n q=2\n tail=3\nend=4"},
        {"nested list in an array element",
         [](nvlist_t *l) {
             nvlist_t *e0 = nvlist_create(0);
             nv_add_list(e0, "n", nv_one_number("m", 1));
             nv_add_array(l, "arr", {e0, nv_one_number("k", 2)});
             nvlist_add_number(l, "after", 3);
         },
         false, "\n m=1\nk=2\nafter=3"},
    };
    for (const text_case &c : cases) {
        std::vector<unsigned char> bytes = packed(c.build);
        int result = -1;
        std::string text = xo_capture(XO_STYLE_TEXT, [&] {
            result = display_nv(bytes.data(), bytes.size(), c.tflag, false);
        });
        EXPECT_EQ(text, c.text) << c.what;
        EXPECT_EQ(result, 0) << c.what;
    }
}

TEST(DisplayNv, DescriptorsShowNameAndEqualsOnly)
{
    for (bool tflag : {false, true}) {
        nvlist_t *nvl = nvlist_create(0);
        nvlist_add_descriptor(nvl, "fd", 3);
        EXPECT_EQ(xo_capture(XO_STYLE_TEXT, [&] { display_nvlist(nvl, tflag, false); }), "\nfd=");
        nvlist_destroy(nvl);
    }
}

TEST(DisplayNv, NestedListsAndArraysInContainers)
{
    // Every "nvlist" opened is closed once, innermost first; array
    // elements add none, and pairs after an array stay in the container
    // of the list holding it.
    std::vector<unsigned char> bytes = packed([](nvlist_t *l) {
        nvlist_t *n = nvlist_create(0);
        nvlist_t *e0 = nvlist_create(0);
        nv_add_list(e0, "d", nv_one_number("m", 1));
        nv_add_array(n, "arr", {e0, nv_one_number("q", 2)});
        nvlist_add_number(n, "tail", 3);
        nv_add_list(l, "l", n);
        nvlist_add_number(l, "end", 4);
    });
    auto show = [&] { display_nv(bytes.data(), bytes.size(), false, false); };
    EXPECT_EQ(xo_capture(XO_STYLE_TEXT, show), "\n  m=1\n q=2\n tail=3\nend=4");
    EXPECT_EQ(xo_capture(XO_STYLE_XML, show),
              "<nvlist><nv><name>l</name><nvlist><nv><name>arr</name><nvlist><nv><nam"
              "e>d</name><nvlist><nv><name>m</name><value>1</value></nv></nvlist></nv"
              "></nvlist><nvlist><nv><name>q</name><value>2</value></nv></nvlist></nv"
              "><nv><name>tail</name><value>3</value></nv></nvlist></nv><nv><name>end"
              "</name><value>4</value></nv></nvlist>");
    EXPECT_EQ(xo_capture(XO_STYLE_JSON, show),
              "{\"nvlist\": {\"nv\": [{\"name\":\"l\", \"nvlist\": {\"nv\": [{\"name\""
              ":\"arr\", \"nvlist\": [{\"nv\": [{\"name\":\"d\", \"nvlist\": {\"nv\":"
              " [{\"name\":\"m\",\"value\":1}]}}]}, {\"nv\": [{\"name\":\"q\",\"value"
              "\":2}]}]}, {\"name\":\"tail\",\"value\":3}]}}, {\"name\":\"end\",\"val"
              "ue\":4}]}}\n");

    std::vector<unsigned char> empty = packed([](nvlist_t *) {});
    auto show_empty = [&] { display_nv(empty.data(), empty.size(), false, false); };
    EXPECT_EQ(xo_capture(XO_STYLE_XML, show_empty), "<nvlist></nvlist>");
    EXPECT_EQ(xo_capture(XO_STYLE_JSON, show_empty), "{\"nvlist\": {\"nv\": []}}\n");
}

TEST(DisplayNv, TypeNamesAreJsonStrings)
{
    std::vector<unsigned char> bytes = packed([](nvlist_t *l) { nvlist_add_string(l, "s", "x"); });
    std::string json =
        xo_capture(XO_STYLE_JSON, [&] { display_nv(bytes.data(), bytes.size(), true, false); });
    EXPECT_NE(json.find("\"nvtype\":\"NV_TYPE_STRING\""), std::string::npos) << json;
}

TEST(DisplayNv, ValueThatDoesNotUnpackShowsNothingAndCounts)
{
    static const unsigned char garbage[] = {0x6c, 0x00, 0x00, 0x01};
    for (const xo_style_case &style : xo_style_cases) {
        int result = 0;
        testing::internal::CaptureStderr();
        std::string document = xo_capture(style.style, style.pretty,
                                          [&] { result = display_nv(garbage, 4, false, false); });
        std::string warning = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, 1) << style.tag;
        EXPECT_EQ(document, xo_capture(style.style, style.pretty, [] {})) << style.tag;
        EXPECT_EQ(warning, "tunex: invalid packed name/value list (4 bytes)\n") << style.tag;
    }
    testing::internal::CaptureStderr();
    int result = 0;
    xo_capture(XO_STYLE_TEXT, [&] { result = display_nv(nullptr, 0, false, false); });
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, 1);
}

TEST(DisplayNv, RealisticSample)
{
    std::string bytes = read_file(sample_dir + "/nv-sample.flat.bin");
    std::string text = xo_capture(
        XO_STYLE_TEXT, [&] { EXPECT_EQ(display_nv(bytes.data(), bytes.size(), true, false), 0); });
    EXPECT_EQ(text, "\nhz=1000 NV_TYPE_NUMBER\nident=GENERIC NV_TYPE_STRING\nsmp=true NV_TYPE_BOOL"
                    "\nnone NV_TYPE_NULL\nblob=01ab00 NV_TYPE_BINARY"
                    "\npagesizes=4096 2097152 1073741824 NV_TYPE_NUMBER_ARRAY"
                    "\nflags=true false NV_TYPE_BOOL_ARRAY\nnames=em0 lo0 NV_TYPE_STRING_ARRAY");
}

/* The text output a .walk file describes: each pair on a new line, its
 * depth in blanks, the name, and "=" and the value tokens joined by blanks
 * unless the pair is NULL. */
std::string text_of_walk(const std::string &walk)
{
    std::string out;
    size_t at = 0;
    while (at < walk.size()) {
        size_t end = walk.find('\n', at);
        std::string line = walk.substr(at, end - at);
        at = end + 1;
        if (line.rfind("pair ", 0) != 0)
            continue;
        // pair DEPTH TYPE "NAME" VALUE...; quoted tokens carry escapes.
        std::vector<std::string> tokens;
        for (size_t i = 5; i < line.size();) {
            std::string token;
            if (line[i] == '"') {
                for (i++; line[i] != '"'; i++) {
                    if (line[i] == '\\' && line[i + 1] == 'x') {
                        token += static_cast<char>(std::stoi(line.substr(i + 2, 2), nullptr, 16));
                        i += 3;
                    } else {
                        token += line[i] == '\\' ? line[++i] : line[i];
                    }
                }
                i++;
            } else {
                while (i < line.size() && line[i] != ' ')
                    token += line[i++];
            }
            tokens.push_back(token);
            while (i < line.size() && line[i] == ' ')
                i++;
        }
        out.append("\n").append(std::stoul(tokens[0]), ' ').append(tokens[2]);
        if (tokens[1] == "NV_TYPE_NULL")
            continue;
        out += "=";
        for (size_t i = 3; i < tokens.size(); i++)
            out += (i > 3 ? " " : "") + tokens[i];
    }
    return out;
}

TEST(DisplayNv, EveryPackedVectorShowsItsWalk)
{
    std::string dir = source_root() + "/platform/nv/tests/vectors";
    size_t seen = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".hex")
            continue;
        seen++;
        std::string name = entry.path().stem().string();
        std::string hex = read_file(entry.path().string());
        std::string walk = read_file(dir + "/" + name + ".walk");
        std::vector<unsigned char> bytes = nv_hex_bytes(hex);
        int result = 0;
        testing::internal::CaptureStderr();
        std::string text = xo_capture(
            XO_STYLE_TEXT, [&] { result = display_nv(bytes.data(), bytes.size(), false, false); });
        testing::internal::GetCapturedStderr();
        if (walk == "unpack-fails\n") {
            EXPECT_EQ(result, 1) << name;
            EXPECT_EQ(text, "") << name;
        } else {
            EXPECT_EQ(result, 0) << name;
            EXPECT_EQ(text, text_of_walk(walk)) << name;
        }
    }
    EXPECT_GT(seen, 100u) << "no vectors in " << dir;
}

/* Runs BODY in a child process that an alarm ends after a few seconds, so
 * that a walk that never ends fails the test instead of hanging it.
 * Returns BODY's result, or "hung or crashed". */
std::string run_guarded(const std::function<std::string()> &body)
{
    int fds[2];
    if (pipe(fds) != 0)
        return "no pipe";
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        alarm(10);
        std::string out = body();
        if (write(fds[1], out.data(), out.size()) != static_cast<ssize_t>(out.size()))
            _exit(2);
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof(buf))) > 0;)
        out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "hung or crashed";
    return out;
}

TEST(DisplayNv, DuplicateNestedListNamesEndTheWalk)
{
    // A sublist allowing duplicate names holds two lists named "x"; both
    // are shown, each once.
    std::string hex = read_file(source_root() + "/platform/nv/tests/hazards/"
                                                "nested-dup-nvlist-loop.hex");
    std::vector<unsigned char> bytes = nv_hex_bytes(hex);
    std::string text = run_guarded([&] {
        return xo_capture(XO_STYLE_TEXT,
                          [&] { display_nv(bytes.data(), bytes.size(), false, false); });
    });
    EXPECT_EQ(text, "\n  p=1\n  q=2");
}

} // namespace
