// The SHA-256 seam: the published test vectors, a digest built in pieces, and files.
#include "platform/Sha256.h"

#include <gtest/gtest.h>

#include <string>

#include "support/PlantedFiles.h"
#include "support/TempDir.h"

namespace kz::platform {
namespace {

std::span<const std::uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

struct Vector {
    std::string input;
    const char* digest;
};

class Sha256VectorTest : public ::testing::TestWithParam<Vector> {};

TEST_P(Sha256VectorTest, MatchesThePublishedDigestWholeAndInPieces) {
    const Vector& v = GetParam();
    EXPECT_EQ(Sha256Hex(Bytes(v.input)), v.digest);
    // Fed in uneven pieces, the digest is the same.
    Sha256 hash;
    std::size_t at = 0;
    for (std::size_t piece = 1; at < v.input.size(); piece = piece * 3 + 1) {
        const std::size_t n = std::min(piece, v.input.size() - at);
        hash.Update(Bytes(v.input).subspan(at, n));
        at += n;
    }
    EXPECT_EQ(DigestHex(hash.Finish()), v.digest);

    test::TempDir dir;
    EXPECT_EQ(FileSha256(dir.Write("f.bin", v.input)).value_or("none"), v.digest);
}

INSTANTIATE_TEST_SUITE_P(
    Published, Sha256VectorTest,
    ::testing::Values(
        Vector{"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        Vector{"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        Vector{"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
               "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        Vector{std::string(1000000, 'a'),
               "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}));

TEST(FileSha256Test, OnlyARegularFileThatCanBeReadHasADigest) {
    test::TempDir dir;
    EXPECT_FALSE(FileSha256(dir.str() + "missing"));
    EXPECT_FALSE(FileSha256(dir.str()));  // a folder
    const std::string fifo = dir.str() + "pipe";
    if (test::MakeFifo(fifo)) {
        EXPECT_FALSE(FileSha256(fifo));  // would wait for a writer
    }
}

}  // namespace
}  // namespace kz::platform
