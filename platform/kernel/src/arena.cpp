/*
 * Memory for the arenas of a MIB image (image.h): large allocations are
 * mapped on their own, middle-sized ones share chunks, both aligned to
 * 2 MiB and advised into huge pages.
 */
#include <cstdint>
#include <new>
#include <sys/mman.h>

#include "image.h"

namespace
{

constexpr size_t huge_page = size_t(2) << 20;

/* Maps LEN bytes (a multiple of huge_page) that start on a huge page. */
void *map_huge(size_t len)
{
    // Map a huge page more than needed and give back the ends, so that
    // the memory starts on a huge page.
    void *p =
        mmap(nullptr, len + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw std::bad_alloc();
    uintptr_t start = reinterpret_cast<uintptr_t>(p);
    uintptr_t aligned = (start + huge_page - 1) & ~(huge_page - 1);
    if (aligned > start)
        munmap(p, aligned - start);
    if (start + huge_page > aligned)
        munmap(reinterpret_cast<void *>(aligned + len), start + huge_page - aligned);
#ifdef MADV_HUGEPAGE
    madvise(reinterpret_cast<void *>(aligned), len, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<void *>(aligned);
}

/* The start of a shared chunk: what of it is handed out, and how many of
 * its allocations are live. Allocations follow, each at a multiple of 64
 * bytes. */
struct chunk_header {
    size_t used, live;
};
constexpr size_t chunk_start = 64;
static_assert(sizeof(chunk_header) <= chunk_start, "the header fits before the first allocation");

chunk_header *filling; /* the chunk that allocations come from */

void *pool_allocate(size_t bytes)
{
    bytes = (bytes + 63) & ~size_t(63);
    if (!filling || filling->used + bytes > huge_page) {
        filling = static_cast<chunk_header *>(map_huge(huge_page));
        *filling = chunk_header{chunk_start, 0};
    }
    void *p = reinterpret_cast<char *>(filling) + filling->used;
    filling->used += bytes;
    filling->live++;
    return p;
}

void pool_free(void *p)
{
    auto *chunk =
        reinterpret_cast<chunk_header *>(reinterpret_cast<uintptr_t>(p) & ~(huge_page - 1));
    if (--chunk->live != 0)
        return;
    // The chunk being filled starts over in the pages it has; another one
    // goes.
    if (chunk == filling)
        chunk->used = chunk_start;
    else
        munmap(chunk, huge_page);
}

} // namespace

void *arena_allocate(size_t bytes)
{
    if (bytes < arena_pooled_from)
        return ::operator new(bytes);
    if (bytes < arena_mapped_from)
        return pool_allocate(bytes);
    return map_huge((bytes + huge_page - 1) / huge_page * huge_page);
}

void arena_free(void *p, size_t bytes)
{
    if (bytes < arena_pooled_from)
        ::operator delete(p);
    else if (bytes < arena_mapped_from)
        pool_free(p);
    else
        munmap(p, (bytes + huge_page - 1) / huge_page * huge_page);
}
