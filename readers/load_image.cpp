// Picks the format from the first three bytes, never from the file name, and
// hands the bytes to that format's loaders. BMP and PCX have more than one
// loader; the next is tried when one declines, and a BMP the classic two
// decline goes to the reader of every BMP variant. A file that matches a
// signature is never tried as another format. OpenEXR and TIFF files go to
// readers built into a module of their own, loaded by the first such file.
// The file is read whole, once, into memory of our own (io/input_file.h);
// every decoder reads from there, and the bytes are released before the
// picture goes back to the caller, so they never sit in memory beside the
// picture made from them.
#include "readers/load_image.h"

#include <new>

#include "io/input_file.h"
#include "readers/bmp.h"
#include "readers/bmp_variants.h"
#include "readers/exr_tiff_module.h"
#include "readers/gif.h"
#include "readers/hdr.h"
#include "readers/jpeg.h"
#include "readers/pcx.h"
#include "readers/png.h"
#include "readers/tga.h"

namespace orvandel {

namespace {

// No file the loaders accept comes near this: the largest picture as 32-bit
// TGA is 1 GiB. A bigger file is refused before its bytes are read.
constexpr int64_t MAX_INPUT_BYTES = int64_t(4) << 30;

}  // namespace

ImageFormat classify_format(int b0, int b1, int b2) {
    if (b0 == 0x42 && b1 == 0x4D) return ImageFormat::bmp;
    if (b0 == 0x0A && (b1 == 0 || b1 == 2 || b1 == 3 || b1 == 5)) return ImageFormat::pcx;
    if (b0 == 0x47 && b1 == 0x49 && b2 == 0x46) return ImageFormat::gif;
    // Before TGA, which matches on the third byte alone.
    if (b0 == 0x89 && b1 == 'P' && b2 == 'N') return ImageFormat::png;
    if (b0 == 0xFF && b1 == 0xD8 && b2 == 0xFF) return ImageFormat::jpeg;
    if (b0 == 0x76 && b1 == 0x2F && b2 == 0x31) return ImageFormat::exr;
    if (b0 == '#' && b1 == '?' && (b2 == 'R')) return ImageFormat::hdr;
    if ((b0 == 'I' && b1 == 'I' && b2 == 0x2A) || (b0 == 'M' && b1 == 'M' && b2 == 0)) return ImageFormat::tiff;
    switch (b2) {
        case 1: case 2: case 3: case 9: case 10: case 11:
            return ImageFormat::tga;
        default:
            return ImageFormat::unknown;
    }
}

ImageFormat detect_format(const uint8_t* bytes, size_t size) {
    int b[3] = {-1, -1, -1};
    for (size_t i = 0; i < size && i < 3; ++i) b[i] = bytes[i];
    return classify_format(b[0], b[1], b[2]);
}

LoadResult decline(LoadError error, std::string reason) {
    LoadResult result;
    result.error = error;
    result.reason = std::move(reason);
    return result;
}

int64_t pixel_limit(const LoadOptions& options) {
    return options.max_pixels < MAX_IMAGE_PIXELS ? options.max_pixels : MAX_IMAGE_PIXELS;
}

bool within_pixel_limit(int64_t width, int64_t height, const LoadOptions& options) {
    size_t pixels = 0;
    return checked_byte_count(width, height, 1, &pixels, pixel_limit(options));
}

LoadResult picture_too_large(const char* format, const LoadOptions& options) {
    const int64_t limit = pixel_limit(options);
    const std::string bound = limit == MAX_IMAGE_PIXELS ? "16384 x 16384" : std::to_string(limit) + " pixels";
    return decline(LoadError::too_large, std::string(format) + ": picture larger than " + bound);
}

LoadResult no_memory_for(const char* format) {
    return decline(LoadError::no_memory, std::string(format) + ": no memory for the picture");
}

void warn(const LoadOptions& options, const char* text) {
    if (options.warnings.warn) options.warnings.warn(options.warnings.context, text);
}

LoadResult load_image_from_memory(const uint8_t* bytes, size_t size, const LoadOptions& options) {
    // The decoders' working buffers are small, but a failed allocation must
    // still come back as a reason rather than end the program.
    try {
        switch (detect_format(bytes, size)) {
            case ImageFormat::bmp: {
                // Each loader declines what is not its kind as unsupported,
                // and the next one is tried; the last decline is the reason.
                LoadResult result = load_bmp24(bytes, size, options);
                if (result.error == LoadError::unsupported) result = load_bmp8(bytes, size, options);
                if (result.image || result.in_destination || result.error == LoadError::no_memory) return result;
                // Every other BMP variant, with its alpha. Where it declines
                // too, a classic reader that knew the kind and found fault
                // with the file has the more telling reason.
                LoadResult variant = load_bmp_variant(bytes, size, options);
                const bool keep_classic = !variant.image && result.error != LoadError::unsupported &&
                                          variant.error != LoadError::no_memory;
                return keep_classic ? std::move(result) : std::move(variant);
            }
            case ImageFormat::pcx: {
                // The 8-bit loader takes any file the 24-bit one declines, as it
                // always has; its reason is the one to give unless the 24-bit
                // loader found a 24-bit file at fault.
                LoadResult first = load_pcx24(bytes, size, options);
                if (first.image) return first;
                LoadResult second = load_pcx8(bytes, size, options);
                const bool keep_first = !second.image && first.error != LoadError::unsupported &&
                                        second.error != LoadError::no_memory;
                return keep_first ? std::move(first) : std::move(second);
            }
            case ImageFormat::gif:
                return load_gif(bytes, size, options);
            case ImageFormat::tga:
                return load_tga(bytes, size, options);
            case ImageFormat::png:
                return load_png(bytes, size, options);
            case ImageFormat::jpeg:
                return load_jpeg(bytes, size, options);
            case ImageFormat::exr:
                if (options.high_precision) return load_exr_or_tiff(ImageFormat::exr, bytes, size, options);
                break;
            case ImageFormat::hdr:
                if (options.high_precision) return load_hdr(bytes, size, options);
                break;
            case ImageFormat::tiff:
                if (options.high_precision) return load_exr_or_tiff(ImageFormat::tiff, bytes, size, options);
                break;
            case ImageFormat::unknown:
                break;
        }
        return decline(LoadError::unrecognised, options.high_precision
                                                    ? "not a BMP, PCX, GIF, TGA, PNG, JPEG, OpenEXR, Radiance or TIFF file"
                                                    : "not a BMP, PCX, GIF, TGA, PNG or JPEG file");
    } catch (const std::bad_alloc&) {
        return decline(LoadError::no_memory, "no memory to decode the file");
    }
}

LoadResult load_image_file(const std::string& path, const LoadOptions& options) {
    const InputFile file = read_input_file(path, MAX_INPUT_BYTES, options.threads);
    switch (file.error) {
        case InputError::none:
            if (options.digest) *options.digest = sha256(file.bytes.get(), file.size);
            return load_image_from_memory(file.bytes.get(), file.size, options);
        case InputError::too_large:
            return decline(LoadError::too_large, file.reason);
        case InputError::no_memory:
            return decline(LoadError::no_memory, file.reason);
        case InputError::unreadable:
        case InputError::changed:
            break;
    }
    return decline(LoadError::unreadable, file.reason);
}

}  // namespace orvandel
