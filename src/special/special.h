/*
 * Three kernel texts with a layout of their own (vm.phys_free,
 * kern.conftxt, debug.witness.fullgraph), and the in-place field splitter
 * that they share.
 */
#ifndef TUNEX_SPECIAL_H
#define TUNEX_SPECIAL_H

#include <cstddef>
#include <cstdint>

#include <oidkit.h>

/* True when OBJECT's name is one of the three texts. */
bool has_special_display(const oidkit_object *object);

/* Shows the text in BUFFER (LENGTH bytes, split in place) with the
 * renderer that belongs to OBJECT's name. */
int display_special(const oidkit_object *object, char *buffer, size_t length);

int display_phys_free(char *buffer, size_t length);
int display_conftxt(char *buffer, size_t length);
int display_witness_fullgraph(char *buffer, size_t length);

/* Splits off the token at CURSOR, which ends at the first DELIM or NUL,
 * by overwriting that byte with NUL; *NEXT gets the byte after it (or the
 * byte itself when it is END). Returns false, changing nothing, when
 * CURSOR equals END. The scan never reaches END: a token that runs up to
 * END without a delimiter ends there, and *NEXT is END. */
bool next_token(char *cursor, char **next, char *end, char delim);

/* Finds the first number in TEXT (before a newline, NUL or 0xFF byte),
 * stores it in *NUMBER and the position after its digits in *AFTER.
 * Returns false, changing nothing, when there is none. */
bool next_number(const char *text, const char **after, int32_t *number);

#endif
