/*
 * Fuzzes the three kernel-text renderers (vm.phys_free, kern.conftxt,
 * debug.witness.fullgraph) and the splitters under them, next_token and
 * next_number. The first byte picks the renderer and the libxo style; the
 * text lies in a buffer of exactly its length, without a NUL after it, as
 * a kernel may return it: the renderers must never read or write past it.
 */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_util.h"
#include "special.h"

// Splits TEXT at DELIM to its end and checks every token against the
// splitter's promises.
static void split_all(std::vector<char> text, char delim)
{
    text.push_back('\0'); // callers keep a NUL at the end pointer
    char *end = text.data() + text.size() - 1;
    char *cursor = text.data();
    char *next = nullptr;
    while (next_token(cursor, &next, end, delim)) {
        if (next <= cursor || next > end)
            abort();
        cursor = next;
    }
    if (cursor != end)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    uint8_t mode = data[0];
    std::vector<char> text(data + 1, data + size);

    // next_number stops at a newline, NUL or 0xFF: give it a terminated copy.
    std::vector<char> line(text);
    line.push_back('\0');
    const char *cursor = line.data();
    const char *after;
    int32_t number;
    while (next_number(cursor, &after, &number)) {
        if (after <= cursor || after > line.data() + text.size() || number < 0)
            abort();
        cursor = after;
    }
    split_all(text, static_cast<char>(mode >> 4));

    fuzz_xo_begin(mode & 3, mode & 4);
    char *buffer = text.empty() ? nullptr : text.data();
    switch ((mode >> 3) % 3) {
    case 0:
        display_phys_free(buffer, text.size());
        break;
    case 1:
        display_conftxt(buffer, text.size());
        break;
    default:
        display_witness_fullgraph(buffer, text.size());
        break;
    }
    fuzz_xo_end();
    return 0;
}
