/*
 * Tests of the FreeBSD libc parts: the strto* parsers' error reporting and
 * getopt's order of parsing and diagnostics. <cstdlib> comes first on
 * purpose: the wrappers must hold also when the C++ header declared the
 * host's parsers before.
 */
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <inttypes.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace
{

struct number_case {
    const char *text;
    int base;
    long long value;
    int error;    /* errno after the call */
    size_t taken; /* characters consumed */
};

const number_case signed_cases[] = {
    {"42", 10, 42, 0, 2},
    {"-42", 0, -42, 0, 3},
    {"0x10", 0, 16, 0, 4},
    {"010", 0, 8, 0, 3},
    {"12abc", 0, 12, 0, 2},
    {"  7", 10, 7, 0, 3},
    {"", 0, 0, EINVAL, 0},
    {"abc", 0, 0, EINVAL, 0},
    {"-", 10, 0, EINVAL, 0},
    {" ", 10, 0, EINVAL, 0},
    {"99999999999999999999", 0, INT64_MAX, ERANGE, 20},
    {"-99999999999999999999", 0, INT64_MIN, ERANGE, 21},
};

TEST(Strtonum, SignedParsersReportLikeFreeBSD)
{
    for (const auto &c : signed_cases) {
        SCOPED_TRACE(std::string("text \"") + c.text + "\"");
        char *end;
        errno = 0;
        EXPECT_EQ(strtoll(c.text, &end, c.base), c.value);
        EXPECT_EQ(errno, c.error);
        EXPECT_EQ(size_t(end - c.text), c.taken);
        errno = 0;
        EXPECT_EQ(strtoimax(c.text, &end, c.base), c.value);
        EXPECT_EQ(errno, c.error);
        errno = 0;
        EXPECT_EQ(std::strtol(c.text, nullptr, c.base), c.value);
        EXPECT_EQ(errno, c.error);
    }
}

struct unsigned_case {
    const char *text;
    unsigned long long value;
    int error;
};

const unsigned_case unsigned_cases[] = {
    {"4294967296", 4294967296ULL, 0},
    {"-1", UINT64_MAX, 0},
    {"0xff", 255, 0},
    {"", 0, EINVAL},
    {"x", 0, EINVAL},
    {"18446744073709551616", UINT64_MAX, ERANGE},
};

TEST(Strtonum, UnsignedParsersNegateAndReportLikeFreeBSD)
{
    for (const auto &c : unsigned_cases) {
        SCOPED_TRACE(std::string("text \"") + c.text + "\"");
        errno = 0;
        EXPECT_EQ(strtoull(c.text, nullptr, 0), c.value);
        EXPECT_EQ(errno, c.error);
        errno = 0;
        EXPECT_EQ(strtoumax(c.text, nullptr, 0), c.value);
        EXPECT_EQ(errno, c.error);
        errno = 0;
        EXPECT_EQ(std::strtoul(c.text, nullptr, 0), c.value);
        EXPECT_EQ(errno, c.error);
    }
}

struct getopt_case {
    std::vector<std::string> args; /* after the program name */
    const char *parsed;            /* letters returned, '?' included */
    int first_operand;             /* optind at the end */
    const char *diagnostics;       /* stderr after the program name */
};

const getopt_case getopt_cases[] = {
    {{"-a", "-d", "name"}, "ad", 3, ""},
    {{"-ad", "name", "-b"}, "ad", 2, ""},
    {{"name", "-a"}, "", 1, ""},
    {{"-a", "--", "-d"}, "a", 3, ""},
    {{"-", "-a"}, "", 1, ""},
    {{"-B", "16", "-x"}, "Bx", 4, ""},
    {{"-B16"}, "B", 2, ""},
    {{"-Q"}, "?", 2, "illegal option -- Q\n"},
    {{"-aQd"}, "a?d", 2, "illegal option -- Q\n"},
    {{"-a", "-B"}, "a?", 3, "option requires an argument -- B\n"},
    {{"-:"}, "?", 2, "illegal option -- :\n"},
};

TEST(Getopt, StopsAtFirstOperandAndNeverReorders)
{
    for (const auto &c : getopt_cases) {
        std::string trace = "args";
        for (const auto &a : c.args)
            trace += " " + a;
        SCOPED_TRACE(trace);
        std::vector<std::string> storage = {"libc_test"};
        storage.insert(storage.end(), c.args.begin(), c.args.end());
        std::vector<char *> argv;
        for (auto &s : storage)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        std::vector<std::string> before = storage;

        optreset = 1;
        optind = 1;
        std::string parsed;
        testing::internal::CaptureStderr();
        int ch;
        while ((ch = getopt(int(argv.size()) - 1, argv.data(), "aB:bdx")) != -1)
            parsed += char(ch);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(parsed, c.parsed);
        EXPECT_EQ(optind, c.first_operand);
        std::string expected;
        if (*c.diagnostics != '\0')
            expected = std::string(program_invocation_short_name) + ": " + c.diagnostics;
        EXPECT_EQ(err, expected);
        for (size_t i = 0; i < storage.size(); i++)
            EXPECT_EQ(std::string(argv[i]), before[i]);
    }
}

TEST(Getopt, GivesTheArgumentOfAnOption)
{
    std::vector<std::string> storage = {"libc_test", "-B", "16", "-Bx", "name"};
    std::vector<char *> argv;
    for (auto &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    optreset = 1;
    optind = 1;
    ASSERT_EQ(getopt(5, argv.data(), "B:"), 'B');
    EXPECT_STREQ(optarg, "16");
    ASSERT_EQ(getopt(5, argv.data(), "B:"), 'B');
    EXPECT_STREQ(optarg, "x");
    EXPECT_EQ(getopt(5, argv.data(), "B:"), -1);
    EXPECT_EQ(optind, 4);
}

} // namespace
