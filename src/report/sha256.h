// SHA-256 of a byte stream, fed in pieces, for the title line of the evidence
// picture (a case file names the input by its digest). Backed by the system's
// libcrypto, which uses the processor's SHA instructions where there are any,
// so that hashing runs near the speed of reading the input.
// One object per stream; not thread-safe. Not copyable.
#ifndef QUARROW_REPORT_SHA256_H_
#define QUARROW_REPORT_SHA256_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quarrow {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // Adds `bytes` to the stream. Not after HexDigest.
  void Update(std::string_view bytes);
  // The digest of everything added, as 64 lower-case hex digits. Ends the
  // stream: call it once.
  std::string HexDigest();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

// The digest of `bytes` in one call.
std::string Sha256Hex(std::string_view bytes);

}  // namespace quarrow

#endif  // QUARROW_REPORT_SHA256_H_
