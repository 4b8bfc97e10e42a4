/*
 * Fuzzes the MIB image loader: any text either loads or is refused with a
 * message that names the place or the object; a loaded image's index
 * finds every object by its name and OID, and its tree is consistent.
 */
#include <cstdint>
#include <cstdlib>
#include <string>

#include "image_load.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 65536)
        return 0;
    std::string text(reinterpret_cast<const char *>(data), size);
    image_data image;
    std::string err;
    bool loaded = image_load_text("fuzz.json", text, image, err);
    if (!loaded) {
        if (err.rfind("fuzz.json", 0) != 0)
            abort();
        return 0;
    }
    const image_view &v = image.view;
    for (uint32_t i = 0; i < v.count; i++) {
        const mib_object &o = v.objects[i];
        if (image_find_name(v, v.strings + o.name) != i)
            abort();
        if (image_find_oid(v, v.oids + o.oid, o.oid_len) != i)
            abort();
        if (o.end <= i || o.end > v.count || (o.parent != NONE && o.parent >= i))
            abort();
    }
    return 0;
}
