/*
 * Fuzzes display_nv, the renderer of packed name/value lists: the first
 * byte picks the libxo style and -t/-h, the rest is the packed list, in a
 * buffer of exactly its size so that any read past it is caught.
 */
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_util.h"
#include "opaque.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    uint8_t mode = data[0];
    std::vector<uint8_t> value(data + 1, data + size);
    fuzz_xo_begin(mode & 3, mode & 4);
    display_nv(value.data(), value.size(), mode & 8, mode & 16);
    fuzz_xo_end();
    return 0;
}
