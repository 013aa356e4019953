// The one allocator for large working memory: pictures, the atlas held as its
// file, the modern builders' blocks of working values. Every block starts
// zeroed, and one rule decides which blocks ask for huge pages.
#ifndef ORVANDEL_PICTURE_MEMORY_H
#define ORVANDEL_PICTURE_MEMORY_H

#include <cstddef>
#include <memory>

namespace orvandel {

// From this size up a block is aligned to a huge page (2 MiB), rounded up to
// whole ones and advised to be backed by them: such blocks are filled end to
// end right after, and one huge-page fault replaces 512 small ones. Below it a
// huge page would cost more to clear than the small faults it saves, and the
// heap can hand back memory it already has (many small textures in one
// process, the fuzzer).
constexpr size_t HUGE_PAGE_BLOCK_BYTES = size_t(64) << 10;

// `bytes` zero bytes aligned to 64, or null for 0 bytes or a failed
// allocation. Release with release_zeroed, or hold in a ZeroedPtr.
void* allocate_zeroed(size_t bytes);
void release_zeroed(void* block);

struct ZeroedDeleter {
    void operator()(void* block) const { release_zeroed(block); }
};
// T is an element type or an array of them: ZeroedPtr<float[]>.
template <typename T>
using ZeroedPtr = std::unique_ptr<T, ZeroedDeleter>;

}  // namespace orvandel

#endif
