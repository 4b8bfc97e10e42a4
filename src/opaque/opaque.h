/*
 * Formatted values: opaque and node values dispatched by their format
 * string, the kernel structure formatters, the firmware memory maps,
 * packed name/value lists, and the temperature conversions.
 * Formatters read the value in place, write only through libxo and return
 * 0 when the value was shown, 1 when it was rejected (after a warning).
 */
#ifndef TUNEX_OPAQUE_H
#define TUNEX_OPAQUE_H

#include <cstddef>
#include <cstdint>

#include <oidkit.h>

/* True when OBJECT's format has a formatter. */
bool is_opaque_defined(const oidkit_object *object);

/* Shows an opaque or node value inside the container "value": by its
 * formatter, or as a hexadecimal dump under -o or -x. */
int display_opaque(const oidkit_object *object, const void *value, size_t size, bool tflag,
                   bool hflag, bool oflag, bool xflag);

/* Shows any value, whatever its type and format, inside the container
 * "value" as a whole dump of its bytes (-R). */
void display_raw(const oidkit_object *object, const void *value, size_t size);

int S_clockinfo(const void *value, size_t size, bool hflag);
int S_timeval(const void *value, size_t size, bool hflag);
int S_loadavg(const void *value, size_t size);
int S_vmtotal(const void *value, size_t size, bool hflag);
int S_pagesize(const void *value, size_t size, bool hflag);
int S_input_id(const void *value, size_t size);
int S_efi_map(const void *value, size_t size);
int S_bios_smap_xattr(const void *value, size_t size);

/* Shows a packed name/value list pair by pair. */
int display_nv(const void *value, size_t size, bool tflag, bool hflag);

/* Shows the temperature *VALUE (an "IK" integer) in degrees Celsius, as an
 * element of the leaf-list "value" under LIST. */
int display_IK(const oidkit_object *object, const int32_t *value, bool hflag, bool list = false);

/* Parses a temperature typed by the user into the kernel's integer for
 * FORMAT ("IK" or "IK" and a digit). Needs errno 0 and a non-empty TEXT.
 * Returns 0 on success, 1 on failure (errno ERANGE for a range error). */
int strIK_to_int(const char *text, int32_t *result, const char *format);

#endif
