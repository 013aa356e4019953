#include "picture/memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace orvandel {

namespace {

// From this size up (eight huge pages) a block is aligned to a huge page,
// rounded up to whole ones and advised to be backed by them: such blocks are
// filled end to end right after, and one huge-page fault replaces 512 small
// ones. Smaller blocks stay as the heap gives them: rounding them up costs
// more to clear than the faults it saves (a batch of 256 x 256 textures took
// twice the processor time with a 64 KiB threshold), and the heap hands back
// memory it already holds (many small textures in one process, the fuzzer).
constexpr size_t HUGE_PAGE_BLOCK_BYTES = size_t(16) << 20;

constexpr size_t HUGE_PAGE_BYTES = size_t(1) << 21;
constexpr size_t SMALL_ALIGNMENT = 64;
size_t whole_huge_pages(size_t bytes) { return (bytes + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1); }
}  // namespace

void* allocate_zeroed(size_t bytes) {
    if (bytes == 0 || bytes > SIZE_MAX - 2 * HUGE_PAGE_BYTES) return nullptr;
    const bool huge = bytes >= HUGE_PAGE_BLOCK_BYTES;
    const size_t alignment = huge ? HUGE_PAGE_BYTES : SMALL_ALIGNMENT;
    const size_t length = huge ? whole_huge_pages(bytes) : bytes;
    // From calloc, which is where the sanitizers' and the system's memory
    // limits see it, one alignment longer than needed: the block starts at
    // the first boundary past a slot that keeps calloc's own pointer for the
    // release, so that every page of a huge block can be a huge one.
    void* allocated = std::calloc(1, length + alignment);
    if (!allocated) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(allocated) + sizeof(void*);
    uint8_t* block = reinterpret_cast<uint8_t*>((start + alignment - 1) & ~uintptr_t(alignment - 1));
    std::memcpy(block - sizeof(void*), &allocated, sizeof(void*));
#ifdef MADV_HUGEPAGE
    // A hint: the memory works the same without it.
    if (huge) madvise(block, length, MADV_HUGEPAGE);
#endif
    return block;
}

void release_zeroed(void* block) {
    if (!block) return;
    void* allocated;
    std::memcpy(&allocated, static_cast<uint8_t*>(block) - sizeof(void*), sizeof(void*));
    std::free(allocated);
}

}  // namespace orvandel
