/*
 * libFuzzer target for unpacking packed name/value lists: any bytes either
 * fail to unpack or give a list that iterates to its end, packs, and
 * unpacks again from its own packed form to the same bytes. Run under
 * ASan and UBSan, so a read outside the input is a crash.
 */
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sys/cnv.h>
#include <sys/nv.h>

/* Visits every pair of NVL the way the program's display does, entering
 * lists through their cookies; returns the number of pairs seen. */
static size_t visit(const nvlist_t *nvl)
{
    size_t pairs = 0;
    const nvlist_t *list = nvl;
    void *cookie = nullptr;
    for (;;) {
        int type = 0;
        const char *name = nvlist_next(list, &type, &cookie);
        if (name == nullptr) {
            list = nvlist_get_pararr(list, &cookie);
            if (list == nullptr)
                return pairs;
            continue;
        }
        pairs++;
        if (type == NV_TYPE_NVLIST) {
            list = cnvlist_get_nvlist(cookie);
            cookie = nullptr;
        } else if (type == NV_TYPE_NVLIST_ARRAY) {
            list = cnvlist_get_nvlist_array(cookie, nullptr)[0];
            cookie = nullptr;
        } else if (!nvlist_exists_type(list, name, type)) {
            abort();
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    nvlist_t *nvl = nvlist_unpack(data, size, 0);
    if (nvl == nullptr)
        return 0;
    visit(nvl);
    size_t packed_size = 0;
    void *packed = nvlist_pack(nvl, &packed_size);
    if (packed == nullptr)
        abort();
    nvlist_t *again = nvlist_unpack(packed, packed_size, 0);
    if (again == nullptr)
        abort();
    size_t repacked_size = 0;
    void *repacked = nvlist_pack(again, &repacked_size);
    if (repacked == nullptr || repacked_size != packed_size ||
        memcmp(packed, repacked, packed_size) != 0)
        abort();
    free(repacked);
    free(packed);
    nvlist_destroy(again);
    nvlist_destroy(nvl);
    return 0;
}
