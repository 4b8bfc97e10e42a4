/*
 * The packed vectors: every file in vectors/ is run, found at run time so
 * that a new vector needs no code. A valid vector unpacks, walks as its
 * .walk file says and re-packs to the same bytes (or, for the inputs the
 * reader accepts but the packer never writes, to bytes that walk the
 * same); an invalid one fails to unpack. The same inputs, cut and mutated,
 * check that unpacking stays inside the buffer (run under ASan).
 */
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/nv.h>

#include "nv_test_util.h"
#include "nv_walk.h"

namespace
{

const std::string data_dir = NV_TEST_DATA;

struct vector_file {
    std::string name;
    std::vector<unsigned char> bytes;
    std::string walk;
};

std::vector<vector_file> load_vectors()
{
    std::vector<vector_file> out;
    for (const auto &entry : std::filesystem::directory_iterator(data_dir + "/vectors")) {
        if (entry.path().extension() != ".hex")
            continue;
        std::string stem = entry.path().stem().string();
        std::string base = data_dir + "/vectors/" + stem;
        out.push_back(
            {stem, nv_hex_bytes(nv_read_file(base + ".hex")), nv_read_file(base + ".walk")});
    }
    std::sort(out.begin(), out.end(),
              [](const vector_file &a, const vector_file &b) { return a.name < b.name; });
    return out;
}

/* Inputs the reader accepts but the packer never produces: an ignored
 * version byte or data size, open lists or unreached elements at the end,
 * big-endian data, a bool byte other than 0 and 1. */
const std::set<std::string> not_canonical = {
    "big-endian",
    "big-endian-nitems-host-order",
    "bool-array-byte-2",
    "lenient-array-cut",
    "missing-up",
    "nested-datasize-ignored",
    "nested-version-ignored",
    "trunc-array-top-123",
    "trunc-array-top-162",
    "trunc-array-top-191",
    "trunc-nested-111",
    "version-ignored",
};

/* Unpacks a heap copy of exactly SIZE bytes, so ASan sees any read past
 * the end; the copy is freed before returning. */
nvlist_t *unpack_exact(const unsigned char *bytes, size_t size)
{
    auto *copy = static_cast<unsigned char *>(malloc(size == 0 ? 1 : size));
    if (size != 0)
        memcpy(copy, bytes, size);
    nvlist_t *nvl = nvlist_unpack(size == 0 ? nullptr : copy, size, 0);
    free(copy);
    return nvl;
}

TEST(NvVectors, EachWalksAndRepacksOrFails)
{
    std::vector<vector_file> vectors = load_vectors();
    ASSERT_GT(vectors.size(), 100u) << "vectors not found in " << data_dir;
    for (const vector_file &v : vectors) {
        SCOPED_TRACE(v.name);
        ASSERT_FALSE(v.walk.empty() && v.bytes.size() != 19) << "no .walk file";
        nvlist_t *nvl = unpack_exact(v.bytes.data(), v.bytes.size());
        if (v.walk == "unpack-fails\n") {
            EXPECT_EQ(nvl, nullptr);
            nvlist_destroy(nvl);
            continue;
        }
        ASSERT_NE(nvl, nullptr) << strerror(errno);
        EXPECT_EQ(nv_walk_text(nvl), v.walk);
        std::vector<unsigned char> again = nv_pack(nvl);
        nvlist_t *clone = nvlist_clone(nvl);
        EXPECT_EQ(nv_pack(clone), again) << "copy differs";
        nvlist_destroy(clone);
        if (not_canonical.count(v.name) == 0) {
            EXPECT_EQ(again, v.bytes);
        } else {
            EXPECT_NE(again, v.bytes) << "canonical after all";
            nvlist_t *copy = unpack_exact(again.data(), again.size());
            ASSERT_NE(copy, nullptr);
            EXPECT_EQ(nv_walk_text(copy), v.walk);
            EXPECT_EQ(nv_pack(copy), again);
            nvlist_destroy(copy);
        }
        nvlist_destroy(nvl);
    }
}

/* Any result of unpacking must be a list that walks to an end and packs. */
void check_any(const unsigned char *bytes, size_t size)
{
    nvlist_t *nvl = unpack_exact(bytes, size);
    if (nvl == nullptr)
        return;
    EXPECT_EQ(nv_walk_text(nvl, 100000).find("budget-exhausted"), std::string::npos);
    size_t packed = 0;
    void *buf = nvlist_pack(nvl, &packed);
    EXPECT_NE(buf, nullptr);
    free(buf);
    nvlist_destroy(nvl);
}

TEST(NvVectors, EveryPrefixStaysInsideTheBuffer)
{
    for (const vector_file &v : load_vectors()) {
        SCOPED_TRACE(v.name);
        for (size_t n = 0; n <= v.bytes.size(); n++)
            check_any(v.bytes.data(), n);
    }
}

TEST(NvVectors, EveryByteMutatedStaysInsideTheBuffer)
{
    // Values that turn sizes, counts, types and markers into their
    // extremes; each byte of each vector takes each of them once.
    static const unsigned char replacements[] = {0x00, 0x01, 0x05, 0x0b, 0x7f, 0xfe, 0xff};
    for (const vector_file &v : load_vectors()) {
        SCOPED_TRACE(v.name);
        std::vector<unsigned char> bytes = v.bytes;
        for (size_t i = 0; i < bytes.size(); i++) {
            unsigned char saved = bytes[i];
            for (unsigned char r : replacements) {
                bytes[i] = r;
                check_any(bytes.data(), bytes.size());
            }
            bytes[i] = saved;
        }
    }
}

TEST(NvVectors, DuplicateSublistNamesWalkToAnEnd)
{
    // A sublist that allows duplicate names holds two lists named "x": a
    // walk that found lists by name would enter the first one forever.
    std::string hex = nv_read_file(data_dir + "/hazards/nested-dup-nvlist-loop.hex");
    std::vector<unsigned char> bytes = nv_hex_bytes(hex);
    ASSERT_FALSE(bytes.empty());
    nvlist_t *nvl = unpack_exact(bytes.data(), bytes.size());
    ASSERT_NE(nvl, nullptr);
    std::string walk = nv_walk_text(nvl, 10000);
    EXPECT_EQ(walk, "open\nopen\npair 2 NV_TYPE_NUMBER \"p\" 1\nclose\n"
                    "open\npair 2 NV_TYPE_NUMBER \"q\" 2\nclose\nclose\n");
    nvlist_destroy(nvl);
}

} // namespace
