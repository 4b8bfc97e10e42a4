// Fuzzes the format parser and the encoders: the first byte picks the style
// and flags, the rest is a libxo format given to xo_emit and, split at its
// first NUL, to xo_emit_field as role and contents. Arguments are all valid
// strings, and inputs that could take more arguments than are passed are
// skipped, so any fault found is the layer's own.
#include <libxo/xo.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#define A4 a, a, a, a
#define A16 A4, A4, A4, A4
#define A64 A16, A16, A16, A16

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 4096)
        return 0;
    std::string in(reinterpret_cast<const char *>(data) + 1, size - 1);
    // A conversion takes at most four argument slots ("%*.*Lf") and a field
    // without a format one ("%s"); sixty-four are passed.
    size_t slots = 0;
    for (char c : in)
        slots += c == '%' ? 4 : c == '{' ? 1 : 0;
    if (slots > 60)
        return 0;
    static FILE *null = fopen("/dev/null", "w");
    static const xo_xof_flags_t flag_sets[] = {0, XOF_PRETTY, XOF_UNITS, XOF_PRETTY | XOF_UNITS};
    xo_destroy(nullptr);
    xo_set_style(nullptr, data[0] & 3);
    xo_set_flags(nullptr, flag_sets[(data[0] >> 2) & 3] | XOF_UNDERSCORES | XOF_KEYS);
    xo_set_file(null);
    const char *a = "a<&>\"\x01\xff%s{}";
    std::string fmt = in.substr(0, in.find('\0'));
    std::string rest = in.size() > fmt.size() ? in.substr(fmt.size() + 1) : std::string();
    std::string rolmod = rest.substr(0, rest.find('\0'));
    xo_open_container(fmt.c_str());
    xo_open_instance(rolmod.c_str());
    xo_emit(fmt.c_str(), A64);
    xo_emit_field(rolmod.c_str(), fmt.c_str(), nullptr, nullptr, A64);
    xo_emit_field(rolmod.c_str(), "", fmt.c_str(), fmt.c_str(), A64);
    xo_close_instance(rolmod.c_str());
    xo_finish();
    xo_destroy(nullptr);
    return 0;
}
