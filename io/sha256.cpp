// SHA-256 (FIPS 180-4, section 6.2): 64-byte blocks through the compression
// function, the message padded with a 1 bit, zeros and its length in bits.
#include "io/sha256.h"

#include <algorithm>
#include <cstring>

namespace orvandel {

namespace {

constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline uint32_t rotr(uint32_t x, int n) { return x >> n | x << (32 - n); }

void compress(std::array<uint32_t, 8>* state, const uint8_t* block) {
    uint32_t w[64];
    for (int t = 0; t < 16; ++t)
        w[t] = uint32_t(block[4 * t]) << 24 | uint32_t(block[4 * t + 1]) << 16 | uint32_t(block[4 * t + 2]) << 8 |
               block[4 * t + 3];
    for (int t = 16; t < 64; ++t) {
        const uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
        const uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = (*state)[0], b = (*state)[1], c = (*state)[2], d = (*state)[3];
    uint32_t e = (*state)[4], f = (*state)[5], g = (*state)[6], h = (*state)[7];
    for (int t = 0; t < 64; ++t) {
        const uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[t] + w[t];
        const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    (*state)[0] += a; (*state)[1] += b; (*state)[2] += c; (*state)[3] += d;
    (*state)[4] += e; (*state)[5] += f; (*state)[6] += g; (*state)[7] += h;
}

}  // namespace

Sha256State sha256_start() {
    Sha256State state;
    state.h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    state.block.fill(0);
    return state;
}

void sha256_add(Sha256State* state, const void* bytes, size_t count) {
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    state->length += count;
    if (state->waiting > 0) {
        const size_t take = std::min(count, 64 - state->waiting);
        std::memcpy(state->block.data() + state->waiting, p, take);
        state->waiting += take;
        p += take;
        count -= take;
        if (state->waiting < 64) return;
        compress(&state->h, state->block.data());
        state->waiting = 0;
    }
    for (; count >= 64; p += 64, count -= 64) compress(&state->h, p);
    if (count > 0) std::memcpy(state->block.data(), p, count);
    state->waiting = count;
}

Sha256Digest sha256_finish(Sha256State state) {
    const uint64_t bits = state.length * 8;
    uint8_t tail[72] = {0x80};
    // The 0x80 byte, then zeros up to 56 bytes into a block, then the length.
    const size_t zeros = (state.waiting < 56 ? 56 : 120) - state.waiting - 1;
    for (int k = 0; k < 8; ++k) tail[1 + zeros + k] = uint8_t(bits >> (56 - 8 * k));
    sha256_add(&state, tail, 1 + zeros + 8);
    Sha256Digest digest;
    for (int k = 0; k < 8; ++k)
        for (int b = 0; b < 4; ++b) digest[size_t(4 * k + b)] = uint8_t(state.h[size_t(k)] >> (24 - 8 * b));
    return digest;
}

Sha256Digest sha256(const void* bytes, size_t count) {
    Sha256State state = sha256_start();
    sha256_add(&state, bytes, count);
    return sha256_finish(state);
}

std::string sha256_hex(const Sha256Digest& digest) {
    static const char HEX[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : digest) {
        text += HEX[byte >> 4];
        text += HEX[byte & 15];
    }
    return text;
}

}  // namespace orvandel
