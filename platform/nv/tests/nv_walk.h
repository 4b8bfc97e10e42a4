/*
 * Test helper for name/value lists: a walk printer that turns a list into
 * the event lines of the vectors' .walk files ("open", "close", "pair DEPTH
 * TYPE "NAME" VALUE...").
 */
#ifndef TUNEX_NV_WALK_H
#define TUNEX_NV_WALK_H

#include <cstddef>
#include <string>

#include <sys/nv.h>

/* The walk of NVL, one event a line, each ending in a newline. Lists are
 * entered and values read through the cookie of their pair. The
 * walk stops with a line "budget-exhausted" after BUDGET steps, so that a
 * walk that never ends fails a test instead of hanging it. */
std::string nv_walk_text(const nvlist_t *nvl, size_t budget = 1000000);

#endif
