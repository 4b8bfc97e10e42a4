/*
 * Blocks in huge pages (hugemem.h): large ones mapped on their own,
 * middle-sized ones bump-allocated from shared chunks.
 */
#include "hugemem.h"

#include <cstdint>
#include <new>
#include <sys/mman.h>

namespace
{

/* The start of a shared chunk: what of it is handed out, and how many of
 * its blocks are live. Blocks follow, each at a multiple of 64 bytes. */
struct chunk_header {
    size_t used, live;
};
constexpr size_t chunk_start = 64;
static_assert(sizeof(chunk_header) <= chunk_start, "the header fits before the first block");

chunk_header *filling; /* the chunk that blocks come from */

void *pool_allocate(size_t bytes)
{
    bytes = (bytes + 63) & ~size_t(63);
    if (!filling || filling->used + bytes > huge_page) {
        filling = static_cast<chunk_header *>(huge_map(huge_page));
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

size_t whole_pages(size_t bytes)
{
    return (bytes + huge_page - 1) / huge_page * huge_page;
}

} // namespace

void *huge_map(size_t len)
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
    munmap(reinterpret_cast<void *>(aligned + len), start + huge_page - aligned);
    huge_advise(reinterpret_cast<void *>(aligned), len);
    return reinterpret_cast<void *>(aligned);
}

void huge_advise(void *p, size_t len)
{
#ifdef MADV_HUGEPAGE
    uintptr_t b = (reinterpret_cast<uintptr_t>(p) + huge_page - 1) & ~(huge_page - 1);
    uintptr_t e = (reinterpret_cast<uintptr_t>(p) + len) & ~(huge_page - 1);
    if (e > b)
        madvise(reinterpret_cast<void *>(b), e - b, MADV_HUGEPAGE);
#else
    (void)p;
    (void)len;
#endif
}

void *huge_allocate(size_t bytes)
{
    if (bytes < huge_pooled_from)
        return ::operator new(bytes);
    if (bytes < huge_mapped_from)
        return pool_allocate(bytes);
    return huge_map(whole_pages(bytes));
}

void huge_free(void *p, size_t bytes)
{
    if (bytes < huge_pooled_from)
        ::operator delete(p);
    else if (bytes < huge_mapped_from)
        pool_free(p);
    else
        munmap(p, whole_pages(bytes));
}
