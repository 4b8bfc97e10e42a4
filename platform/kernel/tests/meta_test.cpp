/*
 * The meta-OIDs under 0 as the FreeBSD kernel answers them (name, next,
 * name2oid, oidfmt, oiddescr, oidlabel, nextnoskip) and the two that the
 * module oidlens adds (handler presence, bulk entries).
 */
#include <sys/oidlens.h>
#include <sys/sysctl.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"

namespace
{

class Meta : public ::testing::Test
{
  protected:
    void SetUp() override { boot(fixture("basic.json")); }
    void TearDown() override { boot(""); }
};

/* Asks meta-OID WHICH about OID; returns the errno and the answer. */
int ask(int which, std::vector<int> oid, std::string *out, const std::string *newval = nullptr)
{
    std::vector<int> name = {0, which};
    name.insert(name.end(), oid.begin(), oid.end());
    char buf[4096];
    size_t len = sizeof buf;
    if (sysctl(name.data(), unsigned(name.size()), buf, &len, newval ? newval->data() : nullptr,
               newval ? newval->size() : 0) != 0)
        return errno;
    out->assign(buf, len);
    return 0;
}

std::string text(const char *s)
{
    return std::string(s, std::strlen(s) + 1);
}

std::string ints(std::vector<int> v)
{
    return std::string(reinterpret_cast<const char *>(v.data()), v.size() * sizeof(int));
}

std::string oidstr(const std::vector<int> &v)
{
    std::string s;
    for (int c : v)
        s += std::to_string(c) + ".";
    return s;
}

TEST_F(Meta, Answers)
{
    uint32_t arr_kind = CTLFLAG_RD | CTLFLAG_WR | CTLTYPE_INT;
    struct row {
        int which;
        std::vector<int> oid;
        int error;
        std::string answer;
    };
    const row rows[] = {
        {1, {1, 1}, 0, text("kern.ostype")},
        {1, {1, 999}, 0, text("kern.999")},       // below a node: numbers
        {1, {1, 1, 5}, 0, text("kern.ostype.5")}, // below a leaf: numbers
        {1, {7, 3}, 0, text("7.3")},
        {1, {2, 1, 1}, 0, text("net.inet.forwarding")},
        {1, {}, 0, text("")},
        {2, {}, 0, ints({0, 1})},         // the first leaf (a node with a handler)
        {2, {0, 1}, 0, ints({1, 1})},     // nodes without handler are entered
        {2, {1, 14}, 0, ints({1, 18})},   // past dormant, SKIP and an empty node
        {2, {1, 16}, 0, ints({1, 18})},   // out of a SKIP subtree
        {2, {1, 50}, 0, ints({2, 1, 1})}, // from an OID that does not exist
        {2, {2, 1, 1}, ENOENT, ""},       // after the last
        {7, {1, 14}, 0, ints({1, 16})},   // nextnoskip returns nodes and SKIP
        {7, {1, 16}, 0, ints({1, 16, 1})},
        {7, {1, 16, 1}, 0, ints({1, 17})},
        {7, {1, 18}, 0, ints({2})},
        {4, {1, 13}, 0, std::string(reinterpret_cast<const char *>(&arr_kind), 4) + text("IK")},
        {4, {1, 99}, ENOENT, ""},
        {4, {1, 15}, ENOENT, ""}, // dormant
        {5, {1, 1}, 0, text("Operating system type")},
        {5, {1, 2}, ENOENT, ""},
        {6, {1, 2}, 0, text("limit")},
        {6, {1, 1}, ENOENT, ""},
        {CTL_SYSCTL_OIDHANDLER, {1, 2}, 0, ints({1})},
        {CTL_SYSCTL_OIDHANDLER, {1, 10}, 0, ints({0})},
        {CTL_SYSCTL_OIDHANDLER, {1}, 0, ints({0})},
        {CTL_SYSCTL_OIDHANDLER, {1, 18}, EOPNOTSUPP, ""},
        {CTL_SYSCTL_OIDHANDLER, {1, 99}, ENOENT, ""},
        {8, {1, 1}, ENOENT, ""}, // no such meta-OID
    };
    for (const row &r : rows) {
        std::string got;
        std::string what = std::to_string(r.which) + ":" + oidstr(r.oid);
        EXPECT_EQ(ask(r.which, r.oid, &got), r.error) << what;
        if (r.error == 0) {
            EXPECT_EQ(got, r.answer) << what;
        }
    }
}

TEST_F(Meta, NameToOid)
{
    struct row {
        std::string name;
        int error;
        std::string answer;
    };
    const row rows[] = {
        {"kern.maxfiles", 0, ints({1, 2})},
        {std::string("kern.maxfiles\0", 14), 0, ints({1, 2})},
        {"net.inet", 0, ints({2, 1})},
        {"kern.nope", ENOENT, ""},
        {"", ENOENT, ""},
        {std::string(1024, 'k'), ENAMETOOLONG, ""},
    };
    for (const row &r : rows) {
        std::string got;
        EXPECT_EQ(ask(3, {}, &got, &r.name), r.error) << r.name.substr(0, 20);
        if (r.error == 0) {
            EXPECT_EQ(got, r.answer) << r.name;
        }
    }
}

TEST_F(Meta, ReadOnlyAndShortBuffers)
{
    std::string got, v = "x";
    EXPECT_EQ(ask(1, {1, 1}, &got, &v), EPERM);
    int name[] = {0, CTL_SYSCTL_NAME, 1, 1};
    char buf[4];
    size_t len = sizeof buf;
    EXPECT_EQ(sysctl(name, 4, buf, &len, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(std::string(buf, len), "kern");
    len = 0;
    ASSERT_EQ(sysctl(name, 4, nullptr, &len, nullptr, 0), 0);
    EXPECT_EQ(len, 12u);
}

/* Decodes bulk entries into "name oid" lines. */
std::string entries(const std::string &raw)
{
    std::string out;
    size_t at = 0;
    while (at + sizeof(oidlens_entry) <= raw.size()) {
        oidlens_entry e;
        std::memcpy(&e, raw.data() + at, sizeof e);
        std::vector<int> oid(e.oid_len);
        std::memcpy(oid.data(), raw.data() + at + sizeof e, e.oid_len * sizeof(int));
        out += std::string(raw.data() + at + sizeof e + e.oid_len * sizeof(int)) + " " +
               oidstr(oid) + "\n";
        at += e.size;
    }
    return out;
}

TEST_F(Meta, BulkEntries)
{
    struct row {
        std::vector<int> args; // scope, oid...
        int error;
        const char *names;
    };
    const row rows[] = {
        {{2, 1, 16}, 0, "kern.skipped 1.16.\nkern.skipped.leaf 1.16.1.\n"},
        {{2 | OIDLENS_AFTER, 1, 16}, 0, "kern.skipped.leaf 1.16.1.\n"},
        {{1, 2}, 0, "net 2.\nnet.inet 2.1.\nnet.inet.forwarding 2.1.1.\n"},
        {{2, 1, 15}, ENOENT, ""}, // dormant
        {{3, 1, 16}, EINVAL, ""}, // scope deeper than the OID
        {{0 | OIDLENS_AFTER, 2, 1, 1}, ENOENT, ""},
    };
    for (const row &r : rows) {
        std::string got;
        EXPECT_EQ(ask(CTL_SYSCTL_OIDENTRIES, r.args, &got), r.error) << oidstr(r.args);
        if (r.error == 0) {
            EXPECT_EQ(entries(got), r.names) << oidstr(r.args);
        }
    }

    // Whole entries only: a buffer for one and a half holds one, and one
    // too small for the first says what the first needs.
    int name[] = {0, CTL_SYSCTL_OIDENTRIES, 0};
    size_t first = 0;
    ASSERT_EQ(sysctl(name, 3, nullptr, &first, nullptr, 0), 0);
    std::vector<char> buf(first + first / 2);
    size_t len = buf.size();
    ASSERT_EQ(sysctl(name, 3, buf.data(), &len, nullptr, 0), 0);
    EXPECT_EQ(len, first);
    len = first - 4;
    EXPECT_EQ(sysctl(name, 3, buf.data(), &len, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(len, first);
}

TEST(MetaWithoutModule, OnlyTheKernelsOwn)
{
    std::string path = temp_dir() + "/img.json";
    write_file(path, R"({"objects": [{"oid": [1, 1], "name": "kern.x", "type": "integer"}]})");
    boot(path);
    std::string got;
    EXPECT_EQ(ask(CTL_SYSCTL_OIDHANDLER, {1, 1}, &got), ENOENT);
    EXPECT_EQ(ask(CTL_SYSCTL_OIDENTRIES, {0}, &got), ENOENT);
    EXPECT_EQ(ask(1, {1, 1}, &got), 0);
    EXPECT_EQ(got, text("kern.x"));
    boot("");
}

} // namespace
