/*
 * Proves that <libxo/xo.h> is C: this file is compiled as C11 and calls a
 * few of the API's functions, capturing one JSON document in memory.
 */
#include <libxo/xo.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(void)
{
    char *buf = NULL;
    size_t len = 0;
    FILE *fp = open_memstream(&buf, &len);
    if (fp == NULL)
        return 2;
    xo_destroy(NULL);
    xo_set_style(NULL, XO_STYLE_JSON);
    xo_set_flags(NULL, XOF_UNITS | XOF_FLUSH);
    if (xo_set_file(fp) != 0)
        return 2;
    xo_open_container("top");
    xo_emit("{L:size}{:size/%d}{U:K}\n", 4);
    xo_emit_field(NULL, "name", "%s", NULL, "c");
    xo_close_container("top");
    xo_finish();
    fclose(fp);
    const char *want = "{\"top\": {\"size\":4,\"name\":\"c\"}}\n";
    int rc = strcmp(buf, want) == 0 ? 0 : 1;
    if (rc != 0)
        fprintf(stderr, "got '%s'\nwant '%s'\n", buf, want);
    free(buf);
    xo_destroy(NULL);
    return rc;
}
