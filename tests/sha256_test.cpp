// The SHA-256 that names an input: both ways of compressing blocks give the
// published digests, whatever the pieces the stream comes in.
#include "report/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace quarrow {
namespace {

std::string Patterned(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + 3) % 256);
  return bytes;
}

std::string DigestInPieces(std::string_view bytes, size_t piece, Sha256::Engine engine) {
  Sha256 hash(engine);
  while (!bytes.empty()) {
    const size_t taken = std::min(piece, bytes.size());
    hash.Update(bytes.substr(0, taken));
    bytes.remove_prefix(taken);
  }
  return hash.HexDigest();
}

class Sha256EngineTest : public testing::TestWithParam<Sha256::Engine> {};

// Sizes around the padding's edges (55 bytes fit one block, 56 need two),
// the published vectors, and a stream fed in pieces of every awkward size.
TEST_P(Sha256EngineTest, GivesThePublishedDigests) {
  const std::vector<std::pair<size_t, std::string>> patterned = {
      {55, "e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b"},
      {56, "4324d65f3c103567f5589c710bc08f8523f929a9272e3af36fc968e52abc6c27"},
      {63, "81c80242132f230c3bd41b3e63bbcff16107339549214a99614ff26664625055"},
      {64, "39e3d7b6b5d075d37d053ad89b24b41bef4f3c29760c84447cab3f3be1882241"},
      {65, "aacca6ff74fdbb296d165a45cecfa04e5127bc008770fbbdd48006f2d2fae95e"},
      {119, "9ce7368e4daf32341631b492e80359dc9f594b48453cd0dd5bf0b19279cc177e"},
      {1000, "1e9bc38cbf860b9ec31918b065f9b52476c549a782e0e7990bed8ce3868d2371"}};
  for (const auto& [size, digest] : patterned)
    for (size_t piece : {size_t{1}, size_t{7}, size_t{63}, size_t{64}, size_t{65}, size})
      EXPECT_EQ(DigestInPieces(Patterned(size), piece, GetParam()), digest)
          << size << " bytes in pieces of " << piece;
  EXPECT_EQ(DigestInPieces("", 1, GetParam()),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(DigestInPieces("abc", 3, GetParam()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(DigestInPieces("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 5,
                           GetParam()),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(DigestInPieces(std::string(1000000, 'a'), 4096 + 3, GetParam()),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha256EngineTest,
                         testing::Values(Sha256::Engine::kFastest, Sha256::Engine::kPortable),
                         [](const testing::TestParamInfo<Sha256::Engine>& info) {
                           return std::string(info.param == Sha256::Engine::kPortable
                                                  ? "Portable"
                                                  : "Fastest");
                         });

// The fast path, where there is one, agrees with the portable one on every
// size up to a few blocks (a wrong schedule word shows on some of them).
TEST(Sha256Test, TheEnginesAgreeOnEverySize) {
  if (!Sha256::UsesShaInstructions()) GTEST_SKIP() << "no SHA instructions here";
  const std::string bytes = Patterned(300);
  for (size_t size = 0; size <= bytes.size(); ++size) {
    const std::string_view prefix(bytes.data(), size);
    ASSERT_EQ(DigestInPieces(prefix, 13, Sha256::Engine::kFastest),
              DigestInPieces(prefix, size + 1, Sha256::Engine::kPortable))
        << size;
  }
}

}  // namespace
}  // namespace quarrow
