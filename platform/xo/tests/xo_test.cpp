// Unit tests of the output layer through its public API: documents captured
// in memory in every style, field contents that look like directives,
// malformed formats, humanize, xo_parse_args, and the promise that a warm
// handle emits without allocating.
#include <libxo/xo.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <clocale>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

// Counts every allocation made through operator new while armed.
// While fail_allocations is set, every allocation fails.
static std::atomic<bool> count_allocations{false};
static std::atomic<long> allocations{0};
static std::atomic<bool> fail_allocations{false};

void *operator new(std::size_t n)
{
    if (fail_allocations.load(std::memory_order_relaxed))
        throw std::bad_alloc();
    if (count_allocations.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
    void *p = std::malloc(n == 0 ? 1 : n);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}
void operator delete(void *p) noexcept
{
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept
{
    std::free(p);
}

namespace
{

// Runs BODY against a fresh default handle in STYLE with FLAGS and returns
// the whole document it printed.
std::string capture(xo_style_t style, xo_xof_flags_t flags, const std::function<void()> &body)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *fp = open_memstream(&buf, &len);
    xo_destroy(nullptr);
    xo_set_style(nullptr, style);
    xo_set_flags(nullptr, flags);
    xo_set_file(fp);
    body();
    xo_finish();
    fclose(fp);
    std::string out(buf, len);
    free(buf);
    xo_destroy(nullptr);
    return out;
}

class XoTest : public ::testing::Test
{
  protected:
    void SetUp() override { setenv("LC_ALL", "C.UTF-8", 1); }
};

TEST_F(XoTest, CapturesOneDocumentPerStyle)
{
    struct row {
        xo_style_t style;
        xo_xof_flags_t flags;
        const char *want;
    };
    const row rows[] = {
        {XO_STYLE_TEXT, 0, "kern.a: 1\n"},
        {XO_STYLE_XML, 0, "<object><name>kern.a</name><value>1</value></object>"},
        {XO_STYLE_JSON, 0, "{\"object\": [{\"name\":\"kern.a\",\"value\":1}]}\n"},
        {XO_STYLE_HTML, 0,
         "<div class=\"line\"><div class=\"data\" data-tag=\"name\">kern.a</div>"
         "<div class=\"label\">: </div><div class=\"data\" data-tag=\"value\">1</div>"
         "<div class=\"label\">\n</div>"},
        {XO_STYLE_HTML, XOF_PRETTY,
         "<div class=\"line\">\n  <div class=\"data\" data-tag=\"name\">kern.a</div>\n"
         "  <div class=\"label\">: </div>\n  <div class=\"data\" data-tag=\"value\">1</div>\n"
         "  <div class=\"label\">\n</div>\n"},
        {XO_STYLE_XML, XOF_PRETTY,
         "<object>\n  <name>kern.a</name>\n  <value>1</value>\n</object>\n"},
        {XO_STYLE_JSON, XOF_PRETTY,
         "{\n  \"object\": [\n    {\n      \"name\": \"kern.a\",\n      \"value\": 1\n"
         "    }\n  ]\n}\n"},
    };
    for (const row &r : rows) {
        std::string got = capture(r.style, r.flags, [] {
            xo_open_instance("object");
            xo_emit("{:name/%s}{L:/%s}", "kern.a", ": ");
            xo_emit_field(nullptr, "value", "%d", nullptr, 1);
            xo_emit("{L:\n}");
            xo_close_instance("object");
        });
        EXPECT_EQ(got, r.want) << "style " << r.style << " flags " << r.flags;
    }
}

// Whatever a value holds is printed as data, escaped as the style needs,
// and never consumes arguments or opens fields.
TEST_F(XoTest, FieldContentsAreNeverDirectives)
{
    const char *nasty = "%s%n{:x}}{<&>\"'\\\x01";
    struct row {
        xo_style_t style;
        const char *want;
    };
    const row rows[] = {
        {XO_STYLE_TEXT, "%s%n{:x}}{<&>\"'\\\x01|%s%n{:x}}{<&>\"'\\\x01|7"},
        {XO_STYLE_XML, "<c><v>%s%n{:x}}{&lt;&amp;&gt;\"'\\ </v><n>7</n></c>"},
        {XO_STYLE_JSON, "{\"c\": {\"v\":\"%s%n{:x}}{<&>\\\"'\\\\\\u0001\",\"n\":7}}\n"},
        {XO_STYLE_HTML, "<div class=\"line\"><div class=\"data\" data-tag=\"v\">"
                        "%s%n{:x}}{&lt;&amp;&gt;\"'\\ </div><div class=\"text\">|</div>"
                        "<div class=\"label\">%s%n{:x}}{&lt;&amp;&gt;\"'\\ </div>"
                        "<div class=\"text\">|</div><div class=\"data\" data-tag=\"n\">7</div>"},
    };
    for (const row &r : rows) {
        std::string got = capture(r.style, 0, [nasty] {
            xo_open_container("c");
            xo_emit("{:v/%s}|{L:/%s}|{:n/%d}", nasty, nasty, 7);
            xo_close_container("c");
        });
        EXPECT_EQ(got, r.want) << "style " << r.style;
    }
}

// Broken formats print what they can and never read past the format or
// take more arguments than their conversions name.
TEST_F(XoTest, MalformedFormatsAreHarmless)
{
    const char *formats[] = {
        "{",
        "{:",
        "{:x",
        "{:x/",
        "{:x/%",
        "{:x/%l",
        "{:x/%5",
        "{:x/%.",
        "%",
        "{L:%}",
        "}}",
        "{{",
        "}",
        "{:a\\",
        "\\",
        "{:x/%*d}",
        "{:x/%.*s}",
        "{:x/%999999999999d}",
        "{:x/%.99999999999s}",
        "{:x/%n}",
        "{:x/%q}",
        "{,,,:x}",
        "{Lcwqnklhde,hn-decimal,:}",
        "{:x/%hhd%hd%ld%lld%jd%zd%td}",
        "{:x/%*.*.*s}",
        "{:x/%-4..4s}",
        "{:x/%...s}",
        "{:x/%.*.s%k%*k}",
        "{T:t/%d%s%s}",
    };
    for (xo_style_t style : {XO_STYLE_TEXT, XO_STYLE_XML, XO_STYLE_JSON, XO_STYLE_HTML}) {
        for (const char *fmt : formats) {
            // Every argument is a valid string, whatever a conversion takes.
            char stored[] = "abc";
            std::string got = capture(style, XOF_WARN, [&] {
                xo_open_container("c");
                xo_emit(fmt, stored, stored, stored, stored, stored, stored, stored, stored);
                xo_close_container("c");
            });
            EXPECT_STREQ(stored, "abc") << fmt;
            EXPECT_LT(got.size(), 200000u) << fmt;
        }
    }
}

// Roles this layer does not show (colors, gettext, anchors) still take
// their format's arguments, so the fields after them stay in step.
TEST_F(XoTest, UnshownRolesKeepArgumentsInStep)
{
    for (xo_style_t style : {XO_STYLE_TEXT, XO_STYLE_XML, XO_STYLE_JSON, XO_STYLE_HTML}) {
        std::string got = capture(
            style, 0, [] { xo_emit("{C:bold}{C:/%s}{G:}{[:/%d}{:a/%d}{]:}{C:}", "red", 8, 5); });
        std::string want = style == XO_STYLE_TEXT  ? "5"
                           : style == XO_STYLE_XML ? "<a>5</a>"
                           : style == XO_STYLE_JSON
                               ? "{\"a\":5}\n"
                               : "<div class=\"line\"><div class=\"data\" data-tag=\"a\">5</div>";
        EXPECT_EQ(got, want) << "style " << style;
    }
}

// A format is known by its text, not by where it lies: a buffer that
// holds another format the next time, and more formats than are kept
// parsed, come out as written.
TEST_F(XoTest, FormatsAreKnownByTheirText)
{
    std::string got = capture(XO_STYLE_JSON, 0, [] {
        char fmt[32] = "{:a/%s}";
        xo_emit(fmt, "x");
        std::strcpy(fmt, "{:b/%d}");
        xo_emit(fmt, 5);
        for (int i = 0; i < 100; i++) {
            std::snprintf(fmt, sizeof fmt, "{:f%d/%%d}", i % 70);
            xo_emit(fmt, i);
        }
    });
    std::string want = "{\"a\":\"x\",\"b\":5";
    for (int i = 0; i < 100; i++)
        want += ",\"f" + std::to_string(i % 70) + "\":" + std::to_string(i);
    EXPECT_EQ(got, want + "}\n");
}

// Widths count characters as a terminal shows them; XML and JSON drop
// right-justifying widths but keep left-justifying ones.
TEST_F(XoTest, StringWidths)
{
    struct row {
        const char *locale;
        xo_style_t style;
        const char *fmt;
        const char *want;
    };
    const row rows[] = {
        {"C.UTF-8", XO_STYLE_TEXT, "{:s/%4s}|", "   \xc3\xa9|"},
        {"C.UTF-8", XO_STYLE_TEXT, "{:s/%-4s}|", "\xc3\xa9   |"},
        {"C", XO_STYLE_TEXT, "{:s/%4s}|", "   ?|"},
        {"C", XO_STYLE_TEXT, "{:s/%.1s}|", "?|"},
        {"C.UTF-8", XO_STYLE_XML, "{:s/%4s}", "<s>\xc3\xa9</s>"},
        {"C.UTF-8", XO_STYLE_JSON, "{:s/%-4s}", "{\"s\":\"\xc3\xa9   \"}\n"},
    };
    for (const row &r : rows) {
        setenv("LC_ALL", r.locale, 1);
        std::string got = capture(r.style, 0, [&r] { xo_emit(r.fmt, "\xc3\xa9"); });
        EXPECT_EQ(got, r.want) << r.locale << " " << r.fmt;
    }
}

// Wide strings: the width counts characters, libxo's third part limits
// them, in every style that keeps widths.
TEST_F(XoTest, WideStringWidthsCountCharacters)
{
    struct row {
        xo_style_t style;
        const char *fmt;
        const char *want;
    };
    const row rows[] = {
        {XO_STYLE_TEXT, "{:w/%-4ls}|", "\xc3\xa9t\xc3\xa9 |"},
        {XO_STYLE_TEXT, "{:w/%5ls}|", "  \xc3\xa9t\xc3\xa9|"},
        {XO_STYLE_TEXT, "{:w/%-4..2ls}|", "\xc3\xa9t  |"},
        {XO_STYLE_HTML, "{:w/%-4ls}",
         "<div class=\"line\"><div class=\"data\" data-tag=\"w\">\xc3\xa9t\xc3\xa9 </div>"},
        {XO_STYLE_XML, "{:w/%5ls}", "<w>\xc3\xa9t\xc3\xa9</w>"},
        {XO_STYLE_JSON, "{:w/%-4ls}", "{\"w\":\"\xc3\xa9t\xc3\xa9 \"}\n"},
    };
    setlocale(LC_CTYPE, "C.UTF-8");
    for (const row &r : rows) {
        std::string got = capture(r.style, 0, [&r] { xo_emit(r.fmt, L"\u00e9t\u00e9"); });
        EXPECT_EQ(got, r.want) << r.style << " " << r.fmt;
    }
    setlocale(LC_CTYPE, "C");
}

// xo_emit returns the bytes it produced, or under XOF_COLUMNS ("columns")
// the columns they take.
TEST_F(XoTest, ColumnsOptionCountsColumns)
{
    ssize_t bytes = 0, cols = 0;
    capture(XO_STYLE_TEXT, 0, [&] { bytes = xo_emit("{:s/%s}|\n", "\xc3\xa9t\xc3\xa9"); });
    capture(XO_STYLE_TEXT, XOF_COLUMNS, [&] { cols = xo_emit("{:s/%s}|\n", "\xc3\xa9t\xc3\xa9"); });
    EXPECT_EQ(bytes, 7);
    EXPECT_EQ(cols, 5);
}

// "info": the data-type and data-help that xo_set_info gives a field.
TEST_F(XoTest, InfoDescribesFieldsInHtml)
{
    static xo_info_t info[] = {
        {"name", "string", "Name of the \"tunable\""},
        {"value", "number", nullptr},
        {nullptr, nullptr, nullptr},
    };
    for (xo_xof_flags_t flags : {xo_xof_flags_t(0), xo_xof_flags_t(XOF_INFO)}) {
        std::string got = capture(XO_STYLE_HTML, flags, [] {
            xo_set_info(nullptr, info, -1);
            xo_emit("{:name/%s}{:value/%d}{:other/%d}", "a", 1, 2);
        });
        std::string want =
            flags == 0
                ? "<div class=\"line\"><div class=\"data\" data-tag=\"name\">a</div>"
                  "<div class=\"data\" data-tag=\"value\">1</div>"
                  "<div class=\"data\" data-tag=\"other\">2</div>"
                : "<div class=\"line\"><div class=\"data\" data-tag=\"name\" data-type=\"string\" "
                  "data-help=\"Name of the &quot;tunable&quot;\">a</div>"
                  "<div class=\"data\" data-tag=\"value\" data-type=\"number\">1</div>"
                  "<div class=\"data\" data-tag=\"other\">2</div>";
        EXPECT_EQ(got, want);
    }
}

TEST_F(XoTest, PercentNStoresNothing)
{
    int n = 7;
    std::string got = capture(XO_STYLE_TEXT, 0, [&] { xo_emit("{:a/ab%n}|{:b/%d}", &n, 5); });
    EXPECT_EQ(got, "ab|5");
    EXPECT_EQ(n, 7);
}

TEST_F(XoTest, Humanize)
{
    struct row {
        const char *rolmod;
        long long value;
        const char *want;
    };
    const row rows[] = {
        {"h", 0, "0"},
        {"h", 1023, "1023"},
        {"h", 1024, "1K"},
        {"h", 1536, "2K"},
        {"h,hn-decimal", 1536, "1.5K"},
        {"h,hn-decimal", 10137, "9.9K"},
        {"h,hn-decimal", 10200, "10K"},
        {"h", 100000, "98K"},
        {"h", 4294967295LL, "4G"},
        {"h,hn-decimal", 4294967295LL, "4.0G"},
        {"h", -1, "-1"},
        {"h", -1536, "-2K"},
        {"h,hn-decimal", -5000, "-4.9K"},
        {"h", INT64_MIN, "-8E"},
        {"hn", INT64_MAX, "8E"},
    };
    for (const row &r : rows) {
        std::string got = capture(XO_STYLE_TEXT, 0,
                                  [&r] { xo_emit_field(r.rolmod, "v", "%lld", nullptr, r.value); });
        EXPECT_EQ(got, r.want) << r.rolmod << " " << r.value;
        // The encoding styles keep the plain number.
        got = capture(XO_STYLE_XML, 0,
                      [&r] { xo_emit_field(r.rolmod, "v", "%lld", nullptr, r.value); });
        EXPECT_EQ(got, "<v>" + std::to_string(r.value) + "</v>") << r.rolmod;
    }
    std::string got = capture(XO_STYLE_TEXT, 0, [] {
        xo_emit("{h:a/%llu} {h:b/%s}|{:c/%d}", 18446744073709551615ULL, "false", 1);
    });
    EXPECT_EQ(got, "16E false|1");
}

TEST_F(XoTest, ParseArgs)
{
    struct row {
        std::vector<const char *> argv;
        int want_argc;
        std::vector<const char *> want_rest;
        xo_style_t want_style;
    };
    const row rows[] = {
        {{"tunex", "-a"}, 2, {"-a"}, XO_STYLE_TEXT},
        {{"tunex", "--libxo", "json", "-a"}, 2, {"-a"}, XO_STYLE_JSON},
        {{"tunex", "--libxo=xml,pretty", "x"}, 2, {"x"}, XO_STYLE_XML},
        {{"tunex", "--libxo:H", "x", "--libxo:J"}, 2, {"x"}, XO_STYLE_JSON},
        {{"tunex", "--", "--libxo", "html"}, 2, {"--"}, XO_STYLE_HTML},
        {{"tunex", "--libxo"}, -1, {}, XO_STYLE_TEXT},
        {{"tunex", "--libxo=bogus"}, -1, {}, XO_STYLE_TEXT},
        {{"tunex", "--libxo:Z"}, -1, {}, XO_STYLE_TEXT},
        {{"tunex", "--libxox"}, -1, {}, XO_STYLE_TEXT},
    };
    testing::internal::CaptureStderr();
    for (const row &r : rows) {
        xo_destroy(nullptr);
        std::vector<char *> av;
        for (const char *a : r.argv)
            av.push_back(const_cast<char *>(a));
        av.push_back(nullptr);
        int argc = xo_parse_args(static_cast<int>(r.argv.size()), av.data());
        EXPECT_EQ(argc, r.want_argc) << r.argv[1];
        if (argc < 0)
            continue;
        for (size_t i = 0; i < r.want_rest.size(); i++)
            EXPECT_STREQ(av[i + 1], r.want_rest[i]) << r.argv[1];
        EXPECT_EQ(av[argc], nullptr);
        EXPECT_EQ(xo_get_style(nullptr), r.want_style) << r.argv[1];
    }
    // A name the program set before keeps prefixing messages.
    xo_destroy(nullptr);
    xo_set_program("myprog");
    char arg0[] = "/usr/bin/tunex", bad[] = "--libxo=bogus2";
    char *av[] = {arg0, bad, nullptr};
    EXPECT_EQ(xo_parse_args(2, av), -1);
    xo_set_program("tunex");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("myprog: unknown libxo option value: 'bogus2'"), std::string::npos) << err;
    EXPECT_NE(err.find("tunex: missing libxo option"), std::string::npos) << err;
    EXPECT_NE(err.find("tunex: unknown libxo option value: 'bogus'"), std::string::npos);
    EXPECT_NE(err.find("tunex: unknown option: 'Z'"), std::string::npos);
    EXPECT_NE(err.find("tunex: unknown libxo option: '--libxox'"), std::string::npos);
    xo_destroy(nullptr);
}

// After a first record has grown the handle's buffers, further records of
// the same shape allocate nothing, in every style.
TEST_F(XoTest, WarmHandleEmitsWithoutAllocating)
{
    for (xo_style_t style : {XO_STYLE_TEXT, XO_STYLE_XML, XO_STYLE_JSON, XO_STYLE_HTML}) {
        for (xo_xof_flags_t flags : {xo_xof_flags_t(0), xo_xof_flags_t(XOF_PRETTY | XOF_UNITS)}) {
            long during = -1;
            capture(style, flags, [&] {
                auto record = [](int i) {
                    xo_open_instance("object");
                    xo_emit("{:name/%s}{L:/%s}{:type/%s}{L:/%s}", "kern.maxfiles", ": ", "integer",
                            ": ");
                    xo_emit_field(nullptr, "value", "%d", nullptr, i);
                    xo_emit("{h:size/%d}{U:K}{L:\n}", i * 1024);
                    xo_close_instance("object");
                };
                xo_open_container("root");
                xo_open_list("tree");
                for (int i = 0; i < 3; i++)
                    record(i);
                allocations = 0;
                count_allocations = true;
                for (int i = 0; i < 1000; i++)
                    record(i);
                count_allocations = false;
                during = allocations;
                xo_close_list("tree");
                xo_close_container("root");
            });
            EXPECT_EQ(during, 0) << "style " << style << " flags " << flags;
        }
    }
}

// Whatever is still pending when the document ends goes through the same
// handover as the rest: JSON stays valid UTF-8 without XOF_FLUSH too.
TEST_F(XoTest, PendingOutputStaysValidUtf8)
{
    for (xo_xof_flags_t flags : {xo_xof_flags_t(0), xo_xof_flags_t(XOF_FLUSH)}) {
        std::string got =
            capture(XO_STYLE_JSON, flags | XOF_VALID_UTF8, [] { xo_emit("{:value/%s}", "a\xff"); });
        EXPECT_EQ(got, "{\"value\":\"a\\udcff\"}\n") << "flags " << flags;
    }
}

// Without memory the calls fail as C calls do, with -1 and ENOMEM, and no
// exception escapes; the handle works again once memory is back.
TEST_F(XoTest, ExhaustedMemoryIsAnErrorNotAnException)
{
    xo_destroy(nullptr);
    fail_allocations = true;
    errno = 0;
    xo_ssize_t emitted = xo_emit("{:a/%s}", "x");
    int emit_errno = errno;
    xo_ssize_t opened = xo_open_container("c");
    int argc = xo_parse_args(0, nullptr);
    fail_allocations = false;
    EXPECT_EQ(emitted, -1);
    EXPECT_EQ(emit_errno, ENOMEM);
    EXPECT_EQ(opened, -1);
    EXPECT_EQ(argc, 0);
    std::string got = capture(XO_STYLE_JSON, 0, [] { xo_emit("{:a/%s}", "x"); });
    EXPECT_EQ(got, "{\"a\":\"x\"}\n");
}

TEST_F(XoTest, FinishClosesEverythingOnce)
{
    std::string got = capture(XO_STYLE_JSON, 0, [] {
        xo_open_container("a");
        xo_open_list("l");
        xo_open_instance("i");
        xo_emit("{l:leaf/%d}{l:leaf/%d}", 1, 2);
    });
    EXPECT_EQ(got, "{\"a\": {\"l\": [{\"leaf\": [1,2]}]}}\n");
    got = capture(XO_STYLE_XML, 0, [] {
        xo_open_container("a");
        xo_open_instance("i");
    });
    EXPECT_EQ(got, "<a><i></i></a>");
    EXPECT_EQ(capture(XO_STYLE_JSON, 0, [] {}), "{ }\n");
}

// A close that matches nothing open is ignored; one that skips frames
// closes them too.
TEST_F(XoTest, MismatchedClosesKeepTheDocumentWellFormed)
{
    std::string got = capture(XO_STYLE_JSON, 0, [] {
        xo_open_instance("object");
        xo_open_container("children");
        xo_open_instance("object");
        xo_close_instance("object");
        xo_close_instance("object"); // closes the inner list and container
        xo_close_instance("object"); // nothing left to close
        xo_close_list("tree");
        xo_emit("{:after/%d}", 1);
    });
    EXPECT_EQ(got, "{\"object\": [{\"children\": {\"object\": [{}]}}],\"after\":1}\n");
    got = capture(XO_STYLE_XML, 0, [] {
        xo_open_container("a");
        xo_open_container("b");
        xo_close_container("a");
        xo_close_container("a");
    });
    EXPECT_EQ(got, "<a><b></b></a>");
}

} // namespace
