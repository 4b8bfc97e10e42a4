/*
 * Proves that the list headers are C: builds a list with every kind of
 * pair, packs it, unpacks it and reads it back, in plain C11.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sys/cnv.h>
#include <sys/nv.h>

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond);                             \
            return 1;                                                                              \
        }                                                                                          \
    } while (0)

int main(void)
{
    nvlist_t *nvl = nvlist_create(0);
    nvlist_t *inner = nvlist_create(0);
    const char *strings[] = {"a", "bc"};
    uint64_t numbers[] = {1, 2};
    void *cookie = NULL;
    size_t size = 0, n = 0;
    int type = 0;

    CHECK(nvl != NULL && inner != NULL);
    nvlist_add_string(inner, "s", "x");
    nvlist_add_number(nvl, "a", 1);
    nvlist_add_nvlist(nvl, "b", inner);
    nvlist_add_string_array(nvl, "sa", strings, 2);
    nvlist_add_number_array(nvl, "na", numbers, 2);
    nvlist_destroy(inner);
    CHECK(nvlist_error(nvl) == 0);

    void *buf = nvlist_pack(nvl, &size);
    CHECK(buf != NULL);
    nvlist_t *copy = nvlist_unpack(buf, size, 0);
    free(buf);
    CHECK(copy != NULL);
    CHECK(nvlist_get_number(copy, "a") == 1);
    CHECK(strcmp(nvlist_get_string(nvlist_get_nvlist(copy, "b"), "s"), "x") == 0);
    CHECK(strcmp(nvlist_get_string_array(copy, "sa", &n)[1], "bc") == 0 && n == 2);
    CHECK(strcmp(nvlist_next(copy, &type, &cookie), "a") == 0 && type == NV_TYPE_NUMBER);
    CHECK(cnvlist_get_number(cookie) == 1);
    nvlist_destroy(copy);
    nvlist_destroy(nvl);
    return 0;
}
