// SHA-256 as FIPS 180-4 defines it, for the digest of a source file's bytes
// that manifests carry. Any length of input, given at once or in pieces.
#ifndef ORVANDEL_IO_SHA256_H
#define ORVANDEL_IO_SHA256_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace orvandel {

using Sha256Digest = std::array<uint8_t, 32>;

struct Sha256State {
    std::array<uint32_t, 8> h;
    std::array<uint8_t, 64> block;  // bytes waiting for a whole block
    size_t waiting = 0;
    uint64_t length = 0;  // bytes taken so far
};

Sha256State sha256_start();
void sha256_add(Sha256State* state, const void* bytes, size_t count);
Sha256Digest sha256_finish(Sha256State state);

Sha256Digest sha256(const void* bytes, size_t count);
// 64 lowercase hexadecimal digits.
std::string sha256_hex(const Sha256Digest& digest);

}  // namespace orvandel

#endif
