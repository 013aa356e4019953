#include "formats/image.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

bool checked_byte_count(int64_t a, int64_t b, int64_t c, size_t* out, int64_t limit) {
    if (a <= 0 || b <= 0 || c <= 0) return false;
    if (a > limit / b) return false;
    const int64_t ab = a * b;
    if (ab > limit / c) return false;
    const int64_t total = ab * c;
    if (static_cast<uint64_t>(total) > SIZE_MAX) return false;
    *out = static_cast<size_t>(total);
    return true;
}

Pixel* allocate_pixels(size_t count) {
    Pixel* pixels = static_cast<Pixel*>(std::calloc(count, sizeof(Pixel)));
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t HUGE_PAGE = uintptr_t(1) << 21;
    // calloc succeeded, so count * sizeof(Pixel) did not overflow.
    const size_t bytes = count * sizeof(Pixel);
    if (pixels && bytes >= 8 * HUGE_PAGE) {
        // Only whole huge pages inside the block; the advice is a hint, and
        // the memory works the same without it.
        const uintptr_t start = reinterpret_cast<uintptr_t>(pixels);
        const uintptr_t first = (start + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
        const uintptr_t end = (start + bytes) & ~(HUGE_PAGE - 1);
        if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
    }
#endif
    return pixels;
}

Image* new_image_within(int32_t width, int32_t height, int64_t max_pixels) {
    size_t bytes = 0;
    if (!checked_byte_count(width, height, sizeof(Pixel), &bytes, max_pixels * int64_t(sizeof(Pixel))))
        return nullptr;
    Image* image = static_cast<Image*>(std::malloc(sizeof(Image)));
    if (!image) return nullptr;
    // calloc: pixels a decoder never reaches are black, never old heap contents.
    image->pixels = allocate_pixels(bytes / sizeof(Pixel));
    if (!image->pixels) {
        std::free(image);
        return nullptr;
    }
    image->width = width;
    image->height = height;
    return image;
}

Image* new_image(int32_t width, int32_t height) { return new_image_within(width, height, MAX_IMAGE_PIXELS); }

void free_image(Image* image) {
    if (!image) return;
    std::free(image->pixels);
    std::free(image);
}

int64_t bytes_remaining(FILE* file) {
    const long here = std::ftell(file);
    if (here < 0 || std::fseek(file, 0, SEEK_END) != 0) return -1;
    const long end = std::ftell(file);
    if (end < 0 || std::fseek(file, here, SEEK_SET) != 0) return -1;
    return end >= here ? end - here : 0;
}
