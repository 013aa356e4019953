// The one allocator for large working memory: pictures, the atlas held as its
// file, the modern builders' blocks of working values. Every block starts
// zeroed, and one rule decides which blocks ask for huge pages.
#ifndef ORVANDEL_PICTURE_MEMORY_H
#define ORVANDEL_PICTURE_MEMORY_H

#include <cstddef>
#include <memory>

namespace orvandel {

// Blocks from HUGE_PAGE_BLOCK_BYTES (memory.cpp) up are aligned to a huge
// page, rounded up to whole ones and advised to be backed by them.

// `bytes` zero bytes aligned to 64 at least, or null for 0 bytes or a failed
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
