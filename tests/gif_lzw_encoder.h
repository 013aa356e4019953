// A small GIF LZW encoder for building test and benchmark streams: colour
// indices in, data sub-blocks out. It grows its code width one code after its
// dictionary does, which is what a decoder that adds entries one code late
// expects, and it can leave out the end code or keep going with a full
// dictionary, to make streams that decoders must handle.
#ifndef ORVANDEL_TESTS_GIF_LZW_ENCODER_H
#define ORVANDEL_TESTS_GIF_LZW_ENCODER_H

#include <cstdint>
#include <utility>
#include <vector>

namespace gif_encoder {

// Codes packed lowest bit first, each {value, width in bits}.
inline std::vector<uint8_t> pack_codes(const std::vector<std::pair<int, int>>& codes) {
    std::vector<uint8_t> out;
    uint32_t bits = 0;
    int count = 0;
    for (const auto& code : codes) {
        bits |= static_cast<uint32_t>(code.first) << count;
        count += code.second;
        while (count >= 8) {
            out.push_back(static_cast<uint8_t>(bits));
            bits >>= 8;
            count -= 8;
        }
    }
    if (count > 0) out.push_back(static_cast<uint8_t>(bits));
    return out;
}

// Data bytes as sub-blocks of at most `block` bytes, ended by the zero length byte.
inline std::vector<uint8_t> sub_blocks(const std::vector<uint8_t>& data, size_t block = 255) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < data.size(); i += block) {
        const size_t n = data.size() - i < block ? data.size() - i : block;
        out.push_back(static_cast<uint8_t>(n));
        out.insert(out.end(), data.begin() + static_cast<long>(i), data.begin() + static_cast<long>(i + n));
    }
    out.push_back(0);
    return out;
}

struct EncodeOptions {
    bool clear_when_full = true;  // otherwise go on with 12-bit codes and no new entries
    bool end_code = true;
};

// The LZW codes (not yet in sub-blocks) of `indices`, starting with a clear code.
inline std::vector<uint8_t> lzw_encode(const std::vector<uint8_t>& indices, int min_code_size,
                                       EncodeOptions options = EncodeOptions()) {
    const int clear = 1 << min_code_size;
    const int end = clear + 1;
    std::vector<uint16_t> child(4096 * 256, 0);  // child[code * 256 + byte], 0 = none
    std::vector<std::pair<int, int>> codes;
    int next = clear + 2;
    int width = min_code_size + 1;
    codes.push_back({clear, width});
    if (!indices.empty()) {
        int string = indices[0];
        for (size_t i = 1; i < indices.size(); ++i) {
            const int byte = indices[i];
            const int found = child[static_cast<size_t>(string) * 256 + byte];
            if (found) {
                string = found;
                continue;
            }
            codes.push_back({string, width});
            if (next < 4096) {
                child[static_cast<size_t>(string) * 256 + byte] = static_cast<uint16_t>(next++);
                if (next > (1 << width) && width < 12) ++width;
            } else if (options.clear_when_full) {
                codes.push_back({clear, width});
                std::fill(child.begin(), child.end(), 0);
                next = clear + 2;
                width = min_code_size + 1;
            }
            string = byte;
        }
        codes.push_back({string, width});
        // The decoder adds one more entry for that last code.
        if (next == (1 << width) && width < 12) ++width;
    }
    if (options.end_code) codes.push_back({end, width});
    return pack_codes(codes);
}

}  // namespace gif_encoder

#endif
