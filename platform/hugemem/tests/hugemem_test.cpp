#include "hugemem.h"

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace
{

// Blocks of every size class (small, sharing a chunk, mapped on
// their own) keep their bytes while others are freed and allocated around
// them, over more chunks than one.
TEST(HugeMem, BlocksKeepTheirBytes)
{
    struct block {
        unsigned char *p;
        size_t size;
        unsigned char fill;
    };
    const size_t sizes[] = {4096, 64 << 10, 100 << 10, 300 << 10, 900 << 10, 1 << 20, 3 << 20};
    std::vector<block> live;
    unsigned char fill = 0;
    auto intact = [](const block &b) {
        for (size_t i = 0; i < b.size; i += 997)
            if (b.p[i] != b.fill)
                return false;
        return b.p[b.size - 1] == b.fill;
    };
    for (int round = 0; round < 3; round++) {
        for (size_t size : sizes) {
            block b{static_cast<unsigned char *>(huge_allocate(size)), size, ++fill};
            std::memset(b.p, b.fill, size);
            live.push_back(b);
        }
        // Free every other block, oldest first, then check the rest.
        for (size_t i = 0; i < live.size(); i++) {
            if (i % 2 == 0)
                huge_free(live[i].p, live[i].size);
        }
        std::vector<block> kept;
        for (size_t i = 1; i < live.size(); i += 2) {
            EXPECT_TRUE(intact(live[i])) << "block of " << live[i].size << " bytes";
            kept.push_back(live[i]);
        }
        live = kept;
    }
    for (const block &b : live) {
        EXPECT_TRUE(intact(b)) << "block of " << b.size << " bytes";
        huge_free(b.p, b.size);
    }
}

} // namespace
