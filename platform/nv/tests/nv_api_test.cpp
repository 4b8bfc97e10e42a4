/*
 * The list API: lists built with the adders pack to the vectors' canonical
 * bytes, failed adds leave the list in its error state, iteration moves
 * through nested lists and arrays as libnv's does, and copies are deep.
 */
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/cnv.h>
#include <sys/nv.h>

#include "nv_test_util.h"
#include "nv_walk.h"

namespace
{

const std::string data_dir = NV_TEST_DATA;

struct build_case {
    const char *vector;
    std::function<void(nvlist_t *)> build;
};

TEST(NvPack, BuildsTheCanonicalBytes)
{
    static const bool bools[] = {true, false};
    static const uint64_t numbers[] = {1, 2, 3};
    static const char *const strings[] = {"one", "", "three"};
    const std::vector<build_case> cases = {
        {"empty", [](nvlist_t *) {}},
        {"number", [](nvlist_t *l) { nvlist_add_number(l, "n", 42); }},
        {"string", [](nvlist_t *l) { nvlist_add_string(l, "s", "hello"); }},
        {"null", [](nvlist_t *l) { nvlist_add_null(l, "nothing"); }},
        {"binary", [](nvlist_t *l) { nvlist_add_binary(l, "bin", "\x01\xab\x00", 3); }},
        {"bool-array", [](nvlist_t *l) { nvlist_add_bool_array(l, "ba", bools, 2); }},
        {"number-array", [](nvlist_t *l) { nvlist_add_number_array(l, "na", numbers, 3); }},
        {"string-array", [](nvlist_t *l) { nvlist_add_string_array(l, "sa", strings, 3); }},
        {"nested",
         [](nvlist_t *l) {
             nvlist_add_number(l, "a", 1);
             nvlist_t *b = nvlist_create(0);
             nvlist_add_string(b, "s", "x");
             nv_add_list(l, "b", b);
         }},
        {"array-top",
         [](nvlist_t *l) {
             nvlist_add_number(l, "first", 0);
             nv_add_array(l, "arr", {nv_one_number("x", 1), nv_one_number("y", 2)});
             nvlist_add_string(l, "after", "z");
         }},
        {"array-elem-nested",
         [](nvlist_t *l) {
             nvlist_t *e0 = nvlist_create(0);
             nv_add_list(e0, "n", nv_one_number("m", 1));
             nv_add_array(l, "arr", {e0, nv_one_number("k", 2)});
             nvlist_add_number(l, "after", 3);
         }},
        {"array-in-nested",
         [](nvlist_t *l) {
             nvlist_t *n = nvlist_create(0);
             nv_add_array(n, "arr", {nv_one_number("p", 1), nv_one_number("q", 2)});
             nvlist_add_number(n, "tail", 3);
             nv_add_list(l, "l", n);
             nvlist_add_number(l, "end", 4);
         }},
        {"array-empty-elements",
         [](nvlist_t *l) {
             nv_add_array(l, "arr", {nvlist_create(0), nv_one_number("a", 1), nvlist_create(0)});
             nvlist_add_number(l, "after", 1);
         }},
    };
    for (const build_case &c : cases) {
        SCOPED_TRACE(c.vector);
        nvlist_t *nvl = nvlist_create(0);
        c.build(nvl);
        ASSERT_EQ(nvlist_error(nvl), 0);
        std::string hex = nv_read_file(data_dir + "/vectors/" + c.vector + ".hex");
        EXPECT_EQ(nv_pack(nvl), nv_hex_bytes(hex));
        EXPECT_EQ(nvlist_size(nvl), nv_hex_bytes(hex).size());
        nvlist_destroy(nvl);
    }
}

struct bad_add {
    const char *what;
    int error;
    std::function<void(nvlist_t *)> add;
};

TEST(NvAdd, FailuresLeaveTheListInError)
{
    static const std::string long_name(NV_NAME_MAX, 'n');
    static const char *const with_null[] = {"a", nullptr};
    const std::vector<bad_add> cases = {
        {"duplicate name", EEXIST, [](nvlist_t *l) { nvlist_add_bool(l, "dup", true); }},
        {"name too long", ENAMETOOLONG, [](nvlist_t *l) { nvlist_add_null(l, long_name.c_str()); }},
        {"NULL name", EINVAL, [](nvlist_t *l) { nvlist_add_null(l, nullptr); }},
        {"NULL string", EINVAL, [](nvlist_t *l) { nvlist_add_string(l, "s", nullptr); }},
        {"empty binary", EINVAL, [](nvlist_t *l) { nvlist_add_binary(l, "b", "x", 0); }},
        {"empty array", EINVAL, [](nvlist_t *l) { nvlist_add_number_array(l, "a", nullptr, 0); }},
        {"NULL in string array", EINVAL,
         [](nvlist_t *l) { nvlist_add_string_array(l, "a", with_null, 2); }},
        {"negative descriptor", EBADF, [](nvlist_t *l) { nvlist_add_descriptor(l, "d", -1); }},
    };
    for (const bad_add &c : cases) {
        SCOPED_TRACE(c.what);
        nvlist_t *nvl = nvlist_create(0);
        nvlist_add_number(nvl, "dup", 1);
        c.add(nvl);
        EXPECT_EQ(nvlist_error(nvl), c.error);
        nvlist_add_number(nvl, "later", 2); // ignored once in error
        EXPECT_FALSE(nvlist_exists(nvl, "later"));
        errno = 0;
        EXPECT_EQ(nvlist_pack(nvl, nullptr), nullptr);
        EXPECT_EQ(errno, c.error);
        nvlist_destroy(nvl);
    }
}

TEST(NvAdd, FlagsDecideWhatCountsAsADuplicate)
{
    nvlist_t *nvl = nvlist_create(NV_FLAG_NO_UNIQUE);
    nvlist_add_number(nvl, "a", 1);
    nvlist_add_number(nvl, "a", 2);
    EXPECT_EQ(nvlist_error(nvl), 0);
    EXPECT_EQ(nvlist_get_number(nvl, "a"), 1u); // the first of the name
    nvlist_destroy(nvl);

    nvl = nvlist_create(NV_FLAG_IGNORE_CASE);
    nvlist_add_number(nvl, "Name", 1);
    EXPECT_EQ(nvlist_get_number(nvl, "NAME"), 1u);
    nvlist_add_number(nvl, "name", 2);
    EXPECT_EQ(nvlist_error(nvl), EEXIST);
    nvlist_destroy(nvl);

    EXPECT_EQ(nvlist_create(0x80), nullptr);
}

TEST(NvAdd, LongListsFindEveryNameAndRefuseDuplicates)
{
    // Long lists of unique names are searched through a hash of the names;
    // these rows cross its size limits and its growth.
    struct row {
        int flags;
        const char *again; /* a name added a second time */
        int error;         /* what that add gives */
    };
    const row rows[] = {
        {0, "n150", EEXIST},
        {NV_FLAG_IGNORE_CASE, "N150", EEXIST},
        {0, "N150", 0},
        {NV_FLAG_NO_UNIQUE, "n150", 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::string("flags ") + std::to_string(r.flags) + " adding " + r.again);
        nvlist_t *nvl = nvlist_create(r.flags);
        for (uint64_t i = 0; i < 300; i++)
            nvlist_add_number(nvl, std::string("n").append(std::to_string(i)).c_str(), i);
        for (uint64_t i = 0; i < 300; i++)
            EXPECT_EQ(nvlist_get_number(nvl, std::string("n").append(std::to_string(i)).c_str()),
                      i);
        EXPECT_FALSE(nvlist_exists_string(nvl, "n7"));
        EXPECT_FALSE(nvlist_exists(nvl, "n300"));
        nvlist_add_string(nvl, r.again, "again");
        EXPECT_EQ(nvlist_error(nvl), r.error);
        if (r.error == 0) {
            std::vector<unsigned char> bytes = nv_pack(nvl);
            nvlist_t *copy = nvlist_unpack(bytes.data(), bytes.size(), r.flags);
            ASSERT_NE(copy, nullptr);
            EXPECT_STREQ(nvlist_get_string(copy, r.again), "again");
            EXPECT_EQ(nvlist_get_number(copy, "n150"), 150u);
            nvlist_destroy(copy);
        }
        nvlist_destroy(nvl);
    }
}

TEST(NvAdd, DescriptorsAreKeptButNotPacked)
{
    static const int fds[] = {3, 4};
    nvlist_t *nvl = nvlist_create(0);
    nvlist_t *inner = nvlist_create(0);
    nvlist_add_descriptor_array(inner, "fds", fds, 2);
    nv_add_list(nvl, "in", inner);
    nvlist_add_descriptor(nvl, "fd", 7);
    EXPECT_EQ(nvlist_get_descriptor(nvl, "fd"), 7);
    size_t n = 0;
    EXPECT_EQ(nvlist_get_descriptor_array(nvlist_get_nvlist(nvl, "in"), "fds", &n)[1], 4);
    EXPECT_EQ(n, 2u);
    errno = 0;
    EXPECT_EQ(nvlist_pack(nvl, nullptr), nullptr);
    EXPECT_EQ(errno, EOPNOTSUPP);
    nvlist_destroy(nvl);
}

TEST(NvAdd, NestedListsAreCopies)
{
    nvlist_t *child = nvlist_create(0);
    nvlist_add_number(child, "v", 1);
    nvlist_t *nvl = nvlist_create(0);
    nvlist_add_nvlist(nvl, "c", child);
    nvlist_add_number(child, "w", 2); // after the add: not in the copy
    const nvlist_t *held = nvlist_get_nvlist(nvl, "c");
    EXPECT_NE(held, child);
    EXPECT_FALSE(nvlist_exists(held, "w"));
    void *cookie = nullptr;
    EXPECT_EQ(nvlist_get_parent(held, &cookie), nvl);
    EXPECT_STREQ(cnvlist_name(cookie), "c");

    nvlist_t *clone = nvlist_clone(nvl);
    EXPECT_EQ(nv_pack(clone), nv_pack(nvl));
    nvlist_destroy(clone);
    nvlist_destroy(child);
    nvlist_destroy(nvl);
}

/* arr=[{inner=[{z=1},{w=2}], t=9},{v=3}], after=4 */
nvlist_t *array_of_arrays()
{
    nvlist_t *e0 = nvlist_create(0);
    nv_add_array(e0, "inner", {nv_one_number("z", 1), nv_one_number("w", 2)});
    nvlist_add_number(e0, "t", 9);
    nvlist_t *nvl = nvlist_create(0);
    nv_add_array(nvl, "arr", {e0, nv_one_number("v", 3)});
    nvlist_add_number(nvl, "after", 4);
    return nvl;
}

TEST(NvIterate, PararrMovesAcrossElementsThenUp)
{
    nvlist_t *top = array_of_arrays();
    size_t n = 0;
    const nvlist_t *const *arr = nvlist_get_nvlist_array(top, "arr", &n);
    ASSERT_EQ(n, 2u);
    const nvlist_t *const *inner = nvlist_get_nvlist_array(arr[0], "inner", nullptr);
    struct row {
        const char *list;
        const nvlist_t *nvl;
        bool in_array;
        const nvlist_t *pararr;
        const char *cookie; /* name of the pair the cookie lands on */
    };
    const row rows[] = {
        {"top", top, false, nullptr, nullptr},
        {"arr[0]", arr[0], true, arr[1], nullptr},
        {"inner[0]", inner[0], true, inner[1], nullptr},
        {"inner[1]", inner[1], true, arr[0], "inner"},
        {"arr[1]", arr[1], true, top, "arr"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.list);
        EXPECT_EQ(nvlist_in_array(r.nvl), r.in_array);
        void *cookie = reinterpret_cast<void *>(1);
        EXPECT_EQ(nvlist_get_pararr(r.nvl, &cookie), r.pararr);
        if (r.cookie == nullptr)
            EXPECT_EQ(cookie, nullptr);
        else
            EXPECT_STREQ(cnvlist_name(cookie), r.cookie);
    }
    // The parent of any element is the list holding the array pair.
    void *cookie = nullptr;
    EXPECT_EQ(nvlist_get_parent(arr[0], &cookie), top);
    EXPECT_STREQ(cnvlist_name(cookie), "arr");
    EXPECT_EQ(nvlist_get_array_next(arr[1]), nullptr);
    nvlist_destroy(top);
}

TEST(NvIterate, NextAtTheEndChangesNothing)
{
    nvlist_t *nvl = nvlist_create(0);
    void *cookie = nullptr;
    int type = 99;
    EXPECT_EQ(nvlist_next(nvl, &type, &cookie), nullptr);
    EXPECT_EQ(cookie, nullptr);
    nvlist_add_bool(nvl, "b", true);
    EXPECT_STREQ(nvlist_next(nvl, &type, &cookie), "b");
    EXPECT_EQ(type, NV_TYPE_BOOL);
    void *last = cookie;
    type = 99;
    EXPECT_EQ(nvlist_next(nvl, &type, &cookie), nullptr);
    EXPECT_EQ(cookie, last);
    EXPECT_EQ(type, 99);
    EXPECT_TRUE(cnvlist_get_bool(cookie));
    EXPECT_FALSE(nvlist_empty(nvl));
    nvlist_destroy(nvl);
}

TEST(NvGetDeathTest, MissingPairEndsTheProcess)
{
    // As in libnv: a getter has no way to report a missing pair.
    nvlist_t *nvl = nvlist_create(0);
    nvlist_add_string(nvl, "s", "x");
    EXPECT_DEATH(nvlist_get_number(nvl, "s"), "no pair named 's'");
    EXPECT_DEATH(nvlist_get_string(nvl, "t"), "no pair named 't'");
    nvlist_destroy(nvl);
}

TEST(NvUnpack, FlagsMustMatchTheTopList)
{
    nvlist_t *nvl = nvlist_create(NV_FLAG_NO_UNIQUE);
    nvlist_add_number(nvl, "a", 1);
    std::vector<unsigned char> bytes = nv_pack(nvl);
    nvlist_destroy(nvl);
    errno = 0;
    EXPECT_EQ(nvlist_unpack(bytes.data(), bytes.size(), 0), nullptr);
    EXPECT_EQ(errno, EILSEQ);
    nvl = nvlist_unpack(bytes.data(), bytes.size(), NV_FLAG_NO_UNIQUE);
    ASSERT_NE(nvl, nullptr);
    EXPECT_EQ(nvlist_flags(nvl), NV_FLAG_NO_UNIQUE);
    nvlist_destroy(nvl);
}

/* Packed bytes of LEVELS lists nested one in the other, each holding one
 * nested list "n" except the innermost, written the way the packer does. */
std::vector<unsigned char> deep_bytes(size_t levels)
{
    const size_t header = 19, pair = 19 + 2, marker = 20;
    size_t total = levels * header + (levels - 1) * (pair + marker);
    std::vector<unsigned char> out;
    auto put64 = [&out](uint64_t v) {
        for (int i = 0; i < 8; i++)
            out.push_back(static_cast<unsigned char>(v >> (8 * i)));
    };
    for (size_t i = 0; i < levels; i++) {
        out.insert(out.end(), {0x6c, 0, 0});
        put64(0);
        put64(total - out.size() - 8);
        if (i + 1 < levels) {
            out.insert(out.end(), {5, 2, 0});
            size_t inner = levels - i - 1; // lists inside the pair's child
            put64(inner * header + (inner - 1) * (pair + marker));
            put64(0);
            out.insert(out.end(), {'n', 0});
        }
    }
    for (size_t i = 1; i < levels; i++) {
        out.insert(out.end(), {0xff, 1, 0});
        put64(0);
        put64(0);
        out.push_back(0);
    }
    return out;
}

TEST(NvUnpack, DeepNestingNeedsNoStack)
{
    // Far deeper than any C stack would survive with one frame per level.
    std::vector<unsigned char> bytes = deep_bytes(200000);
    nvlist_t *nvl = nvlist_unpack(bytes.data(), bytes.size(), 0);
    ASSERT_NE(nvl, nullptr);
    EXPECT_EQ(nv_pack(nvl), bytes);
    nvlist_t *clone = nvlist_clone(nvl);
    ASSERT_NE(clone, nullptr);
    nvlist_destroy(clone);
    nvlist_destroy(nvl);
}

} // namespace
