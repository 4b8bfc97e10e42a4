/*
 * Memory for the arenas of a MIB image (image.h): large allocations are
 * mapped on their own, aligned to 2 MiB and advised into huge pages.
 */
#include <cstdint>
#include <new>
#include <sys/mman.h>

#include "image.h"

namespace
{

constexpr size_t huge_page = size_t(2) << 20;

} // namespace

void *arena_allocate(size_t bytes)
{
    if (bytes < arena_mapped_from)
        return ::operator new(bytes);
    // Map a huge page more than needed and give back the ends, so that
    // the memory starts on a huge page.
    size_t len = (bytes + huge_page - 1) / huge_page * huge_page;
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

void arena_free(void *p, size_t bytes)
{
    if (bytes < arena_mapped_from) {
        ::operator delete(p);
        return;
    }
    munmap(p, (bytes + huge_page - 1) / huge_page * huge_page);
}
