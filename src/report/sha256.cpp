#include "report/sha256.h"

#include <algorithm>
#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define QUARROW_SHA_INSTRUCTIONS 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace quarrow {

namespace {

constexpr std::array<uint32_t, 8> kInitialState = {0x6a09e667, 0xbb67ae85, 0x3c6ef372,
                                                   0xa54ff53a, 0x510e527f, 0x9b05688c,
                                                   0x1f83d9ab, 0x5be0cd19};

alignas(16) constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
    0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
    0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
    0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
    0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
    0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2};

constexpr uint32_t RotateRight(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

uint32_t BigEndianAt(const unsigned char* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

void CompressPortable(uint32_t* state, const unsigned char* blocks, size_t count) {
  for (; count > 0; --count, blocks += 64) {
    uint32_t w[64];
    for (int t = 0; t < 16; ++t) w[t] = BigEndianAt(blocks + 4 * t);
    for (int t = 16; t < 64; ++t) {
      const uint32_t s0 = RotateRight(w[t - 15], 7) ^ RotateRight(w[t - 15], 18) ^ (w[t - 15] >> 3);
      const uint32_t s1 = RotateRight(w[t - 2], 17) ^ RotateRight(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; ++t) {
      const uint32_t s1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
      const uint32_t choice = (e & f) ^ (~e & g);
      const uint32_t t1 = h + s1 + choice + kRoundConstants[t] + w[t];
      const uint32_t s0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
      const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + s0 + majority;
    }
    state[0] += a, state[1] += b, state[2] += c, state[3] += d;
    state[4] += e, state[5] += f, state[6] += g, state[7] += h;
  }
}

#ifdef QUARROW_SHA_INSTRUCTIONS

bool HasShaInstructions() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const bool ssse3 = ecx & (1u << 9), sse41 = ecx & (1u << 19);
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  const bool sha = ebx & (1u << 29);
  return ssse3 && sse41 && sha;
}

// The state is kept as the instructions want it: one register holding A, B,
// E, F and one C, D, G, H. Four rounds per step; the message schedule in
// four registers, each step's words made from the four before.
__attribute__((target("sha,sse4.1,ssse3"))) void CompressWithShaInstructions(
    uint32_t* state, const unsigned char* blocks, size_t count) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  for (; count > 0; --count, blocks += 64) {
    const __m128i abef_before = abef, cdgh_before = cdgh;
    __m128i words[4];
    for (int step = 0; step < 16; ++step) {
      __m128i& w = words[step % 4];
      if (step < 4) {
        w = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * step)), byte_swap);
      } else {
        const __m128i& last = words[(step + 3) % 4];
        const __m128i& before_last = words[(step + 2) % 4];
        w = _mm_sha256msg1_epu32(w, words[(step + 1) % 4]);
        w = _mm_add_epi32(w, _mm_alignr_epi8(last, before_last, 4));
        w = _mm_sha256msg2_epu32(w, last);
      }
      __m128i k = _mm_add_epi32(
          w, _mm_load_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * step)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, k);
      k = _mm_shuffle_epi32(k, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, k);
    }
    abef = _mm_add_epi32(abef, abef_before);
    cdgh = _mm_add_epi32(cdgh, cdgh_before);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}

#else

bool HasShaInstructions() { return false; }

#endif

}  // namespace

bool Sha256::UsesShaInstructions() {
  static const bool has = HasShaInstructions();
  return has;
}

Sha256::Sha256(Engine engine) : compress_(CompressPortable), state_(kInitialState) {
#ifdef QUARROW_SHA_INSTRUCTIONS
  if (engine == Engine::kFastest && UsesShaInstructions()) compress_ = CompressWithShaInstructions;
#else
  (void)engine;
#endif
}

void Sha256::Update(std::string_view bytes) {
  if (bytes.empty()) return;
  total_size_ += bytes.size();
  auto data = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t size = bytes.size();
  if (pending_size_ > 0) {
    const size_t taken = std::min(size, pending_.size() - pending_size_);
    std::memcpy(pending_.data() + pending_size_, data, taken);
    pending_size_ += taken;
    data += taken;
    size -= taken;
    if (pending_size_ < pending_.size()) return;
    compress_(state_.data(), pending_.data(), 1);
    pending_size_ = 0;
  }
  // Whole blocks straight from the caller's bytes.
  compress_(state_.data(), data, size / 64);
  pending_size_ = size % 64;
  if (pending_size_ > 0) std::memcpy(pending_.data(), data + size - pending_size_, pending_size_);
}

std::string Sha256::HexDigest() {
  // The padding: a one bit, zeros, and the size in bits, to a block's end.
  const uint64_t bits = total_size_ * 8;
  std::array<unsigned char, 72> tail{};
  tail[0] = 0x80;
  const size_t zeros = (pending_size_ < 56 ? 56 : 120) - pending_size_ - 1;
  for (int k = 0; k < 8; ++k) tail[1 + zeros + k] = static_cast<unsigned char>(bits >> (56 - 8 * k));
  Update(std::string_view(reinterpret_cast<const char*>(tail.data()), 1 + zeros + 8));
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(64);
  for (uint32_t word : state_)
    for (int shift = 28; shift >= 0; shift -= 4) hex += kHex[(word >> shift) & 15];
  return hex;
}

std::string Sha256Hex(std::string_view bytes) {
  Sha256 hash;
  hash.Update(bytes);
  return hash.HexDigest();
}

}  // namespace quarrow
