/*
 * Memory in huge pages where the system allows, for the platform's
 * libraries (the kernel stand-in's arenas, liboidkit's copy of a MIB). A
 * first touch of a 4 KiB page costs a process a page fault, and on some
 * machines the faults cost more than filling the pages; a 2 MiB huge page
 * costs one.
 *
 * huge_allocate() hands out blocks of 1 MiB or more mapped on their own,
 * aligned to 2 MiB; blocks from 4 KiB share 2 MiB chunks, so that all the
 * blocks of a small MIB, whichever library holds them, cost one fault. A
 * chunk goes back to the system when the last block in it is freed.
 * Smaller blocks come from operator new. Not thread-safe: the platform
 * serves one thread.
 */
#ifndef TUNEX_HUGEMEM_H
#define TUNEX_HUGEMEM_H

#include <cstddef>

constexpr size_t huge_page = size_t(2) << 20;
constexpr size_t huge_pooled_from = size_t(4) << 10;
constexpr size_t huge_mapped_from = size_t(1) << 20;

/* A block of BYTES; throws std::bad_alloc when there is no memory. */
void *huge_allocate(size_t bytes);
/* Frees the block P of BYTES that huge_allocate() gave. */
void huge_free(void *p, size_t bytes);

/* Maps LEN bytes, a multiple of huge_page, that start on a huge page and
 * are advised into huge pages; throws std::bad_alloc. A block that grows
 * with mremap() starts here; huge_free(P, LEN) unmaps it. */
void *huge_map(size_t len);
/* Advises the whole huge pages within the LEN bytes at P into huge pages
 * (the part a mapping gained by mremap(), say). */
void huge_advise(void *p, size_t len);

#endif
