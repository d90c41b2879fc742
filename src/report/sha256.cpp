#include "report/sha256.h"

#include <algorithm>
#include <stdexcept>

#ifdef _WIN32
// Windows has no libcrypto; its own CNG (bcrypt) hashes instead.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>
#else
#include <openssl/evp.h>
#endif

namespace quarrow {

namespace {

std::string Hex(const unsigned char* digest, size_t length) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * length);
  for (size_t i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

}  // namespace

#ifdef _WIN32

struct Sha256::Context {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~Context() {
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&context_->algorithm, BCRYPT_SHA256_ALGORITHM,
                                                  nullptr, 0)) ||
      !BCRYPT_SUCCESS(BCryptCreateHash(context_->algorithm, &context_->hash, nullptr, 0, nullptr,
                                       0, 0)))
    throw std::runtime_error("SHA-256 is not available from the system (bcrypt)");
}

Sha256::~Sha256() = default;

void Sha256::Update(std::string_view bytes) {
  // The call takes at most 4 GiB - 1 bytes at a time.
  while (!bytes.empty()) {
    const auto piece = static_cast<ULONG>(std::min<size_t>(bytes.size(), size_t{1} << 30));
    BCryptHashData(context_->hash,
                   reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())), piece, 0);
    bytes.remove_prefix(piece);
  }
}

std::string Sha256::HexDigest() {
  unsigned char digest[32];
  BCryptFinishHash(context_->hash, digest, sizeof digest, 0);
  return Hex(digest, sizeof digest);
}

#else

struct Sha256::Context {
  EVP_MD_CTX* md = nullptr;
  ~Context() { EVP_MD_CTX_free(md); }
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
  context_->md = EVP_MD_CTX_new();
  // Only an out-of-memory condition or a broken libcrypto fails here.
  if (context_->md == nullptr || EVP_DigestInit_ex(context_->md, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 is not available from libcrypto");
}

Sha256::~Sha256() = default;

void Sha256::Update(std::string_view bytes) {
  if (!bytes.empty()) EVP_DigestUpdate(context_->md, bytes.data(), bytes.size());
}

std::string Sha256::HexDigest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context_->md, digest, &length);
  return Hex(digest, length);
}

#endif

std::string Sha256Hex(std::string_view bytes) {
  Sha256 hash;
  hash.Update(bytes);
  return hash.HexDigest();
}

}  // namespace quarrow
