// SHA-256 of a byte stream, fed in pieces: the title line of the evidence
// picture names the input by its digest, and contacts parts fingerprint their
// input with it. Self-contained (no crypto library to load: every shard of a
// cut input is a process of its own, and loading one cost more than a small
// shard's work); it uses the processor's SHA instructions where there are
// any, so that hashing an input runs near the speed of reading it.
// One object per stream; not thread-safe. Not copyable.
#ifndef QUARROW_REPORT_SHA256_H_
#define QUARROW_REPORT_SHA256_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quarrow {

class Sha256 {
 public:
  // How the blocks are compressed: kFastest takes the SHA instructions when
  // the processor has them; kPortable never does (the reference the fast
  // path is checked against).
  enum class Engine { kFastest, kPortable };

  explicit Sha256(Engine engine = Engine::kFastest);

  // Adds `bytes` to the stream. Not after HexDigest.
  void Update(std::string_view bytes);
  // The digest of everything added, as 64 lower-case hex digits. Ends the
  // stream: call it once.
  std::string HexDigest();

  // Whether kFastest uses the processor's SHA instructions here.
  static bool UsesShaInstructions();

 private:
  using Compress = void (*)(uint32_t* state, const unsigned char* blocks, size_t count);

  Compress compress_;
  std::array<uint32_t, 8> state_;
  std::array<unsigned char, 64> pending_{};  // a block begun
  size_t pending_size_ = 0;
  uint64_t total_size_ = 0;  // bytes added
};

// The digest of `bytes` in one call.
std::string Sha256Hex(std::string_view bytes);

}  // namespace quarrow

#endif  // QUARROW_REPORT_SHA256_H_
