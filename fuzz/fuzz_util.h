/*
 * Helpers shared by the fuzz targets that call the program's routines:
 * libxo output thrown away and reset between inputs, the run options set
 * from a byte of the input, and a private MIB image booted in-process.
 */
#ifndef TUNEX_FUZZ_UTIL_H
#define TUNEX_FUZZ_UTIL_H

#include <cstddef>
#include <cstdint>
#include <string>

/* Resets libxo to STYLE (0-3: text, XML, JSON, HTML), optionally pretty,
 * writing to /dev/null. */
void fuzz_xo_begin(int style, bool pretty);

/* Ends the document and frees libxo's state, so that no input sees the
 * output state of an earlier one. */
void fuzz_xo_end();

/* Resets the run options and sets the value options from BITS: -x, -o or
 * -b (at most one, as the command line allows), -h, -t, -N (only without
 * -h and the value options), -d, -l, -p, -z. */
void fuzz_set_options(uint8_t bits);

/* Writes TEXT as the MIB image that the kernel stand-in boots next (a file
 * on tmpfs when there is one, since writes persist into it and sync) and
 * forgets the booted one. Returns false when TEXT does not load, so that
 * the stand-in is never asked to boot a broken image (that stops the
 * process, as it must). */
bool fuzz_boot_image(const std::string &text);

#endif
