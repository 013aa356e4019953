// SHA-256 against the FIPS 180-2 / NIST example messages, whole and in pieces.
#include <gtest/gtest.h>

#include <string>

#include "io/sha256.h"

using namespace orvandel;

namespace {

struct Vector {
    std::string message;
    size_t repeat;
    const char* digest;
};

const Vector VECTORS[] = {
    {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
     1, "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {"a", 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

TEST(Sha256, GivesTheNistDigests) {
    for (const Vector& v : VECTORS) {
        std::string message;
        for (size_t k = 0; k < v.repeat; ++k) message += v.message;
        EXPECT_EQ(sha256_hex(sha256(message.data(), message.size())), v.digest) << v.message.substr(0, 8);
    }
}

// Pieces of every size up to two blocks, so each way a piece can meet a
// block's end (and the length's 56-byte mark) is taken.
TEST(Sha256, PiecesGiveTheWholeMessagesDigest) {
    std::string message;
    for (int k = 0; k < 1000; ++k) message += char(k * 7 + k / 13);
    const Sha256Digest whole = sha256(message.data(), message.size());
    for (size_t piece = 1; piece <= 128; ++piece) {
        Sha256State state = sha256_start();
        for (size_t at = 0; at < message.size(); at += piece)
            sha256_add(&state, message.data() + at, std::min(piece, message.size() - at));
        ASSERT_EQ(sha256_finish(state), whole) << "pieces of " << piece;
    }
}

}  // namespace
