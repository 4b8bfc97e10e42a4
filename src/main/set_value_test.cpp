/*
 * Tests of the writer on the paths that never reach the kernel: the
 * refusals in their order, type codes without a parser, values that do
 * not fit a -B buffer, and texts that do not parse. Each must end the
 * output line before its message and write nothing.
 */
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <libxo/xo.h>
#include <sys/sysctl.h>

#include "main.h"
#include "xo_capture.h"

namespace
{

struct outcome {
    std::string out, err;
    int count;
};

// Runs set_value on an object of TYPE, FLAGS and FORMAT with the run
// options that SETUP chose, and returns the text output, the warnings and
// the count.
outcome attempt(uint8_t type, uint32_t flags, const char *format, const char *newval,
                void (*setup)())
{
    int oid[2] = {1, 999};
    test_object t("t.object", format);
    oidkit_object &object = t.object;
    object.type = type;
    object.flags = flags;
    object.oid = oid;
    object.oid_len = 2;

    reset_options();
    if (setup != nullptr)
        setup();
    int count = 0;
    testing::internal::CaptureStderr();
    std::string out = xo_capture_with([] { xo_set_program("tunex"); },
                                      [&] { count = set_value(&object, newval); });
    std::string err = testing::internal::GetCapturedStderr();
    reset_options();
    return {out, err, count};
}

struct refusal_case {
    const char *what;
    uint8_t type;
    uint32_t flags;
    const char *format;
    const char *newval;
    void (*setup)();
    const char *warnings;
    int count;
};

const refusal_case refusal_cases[] = {
    {"-T before the read-only test", CTLTYPE_INT, CTLFLAG_RD, "I", "1", [] { opts.Tflag = true; },
     "tunex: Can't set variables when using -T or -W\n", 1},
    {"-W", CTLTYPE_INT, CTLFLAG_RW, "I", "1", [] { opts.Wflag = true; },
     "tunex: Can't set variables when using -T or -W\n", 1},
    {"read only before opaque", CTLTYPE_OPAQUE, CTLFLAG_RD, "S,x", "1", nullptr,
     "tunex: oid 't.object' is read only\n", 1},
    {"read-only tunable", CTLTYPE_INT, CTLFLAG_RDTUN, "I", "1", nullptr,
     "tunex: oid 't.object' is a read only tunable\n"
     "tunex: Tunable values are set in /boot/loader.conf\n",
     1},
    {"opaque", CTLTYPE_OPAQUE, CTLFLAG_RW, "S,x", "1", nullptr,
     "tunex: 't.object' cannot set an opaque input\n", 1},
    {"node", CTLTYPE_NODE, CTLFLAG_RW, "N", "1", nullptr,
     "tunex: oid 't.object' isn't a leaf node\n", 1},
    {"type code without a parser, once per element", 0, CTLFLAG_RW, "", "1,2", nullptr,
     "tunex: Unknown type 't.object'\ntunex: Unknown type 't.object'\n", 2},
    {"more values than fit in -B", CTLTYPE_INT, CTLFLAG_RW, "I", "1,2", [] { opts.bufsize = 6; },
     "tunex: oid 't.object': more values than fit in 6 bytes\n", 1},
    {"no number stops at the first bad element", CTLTYPE_U16, CTLFLAG_RW, "SU", "x,y", nullptr,
     "tunex:  cannot set new value 'x,y': Invalid argument\n", 1},
    {"out of range", CTLTYPE_U64, CTLFLAG_RW, "QU", "18446744073709551616", nullptr,
     "tunex:  cannot set new value '18446744073709551616': Numerical result out of range\n", 1},
    {"empty temperature element", CTLTYPE_INT, CTLFLAG_RW, "IK", "30C,", nullptr,
     "tunex:  cannot set new value '30C,': Invalid argument\n", 1},
    {"temperature without a unit letter", CTLTYPE_INT, CTLFLAG_RW, "IK", "30c", nullptr,
     "tunex: oid 't.object': invalid temperature '30c'\n", 1},
    {"a temperature out of range counts once", CTLTYPE_INT, CTLFLAG_RW, "IK", "1e40C", nullptr,
     "tunex:  cannot set new value '1e40C': Numerical result out of range\n", 1},
    {"text after a number", CTLTYPE_INT, CTLFLAG_RW, "I", "12abc", nullptr,
     "tunex:  cannot set new value '12abc': Invalid argument\n", 1},
    {"an empty element between two commas", CTLTYPE_INT, CTLFLAG_RW, "I", "1, ,2", nullptr,
     "tunex:  cannot set new value '1, ,2': Invalid argument\n", 1},
    {"blanks only", CTLTYPE_LONG, CTLFLAG_RW, "L", "  ", nullptr,
     "tunex:  cannot set new value '  ': Invalid argument\n", 1},
};

TEST(SetValue, RefusesWithAFinishedLineAndWritesNothing)
{
    for (const auto &c : refusal_cases) {
        SCOPED_TRACE(c.what);
        outcome o = attempt(c.type, c.flags, c.format, c.newval, c.setup);
        // Each message follows a finished line; a type without a parser
        // warns, and ends the line, once per element.
        EXPECT_EQ(o.out, std::string(size_t(c.type == 0 ? c.count : 1), '\n'));
        EXPECT_EQ(o.err, c.warnings);
        EXPECT_EQ(o.count, c.count);
    }
}

} // namespace
