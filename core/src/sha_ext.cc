#include "sha_ext.h"

#include <cstdlib>
#include <cstring>

#include "common.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace morvo {

#if defined(__x86_64__)

namespace {

bool detect() {
  if (const char* setting = std::getenv("MORVO_SHA_EXTENSIONS"); setting && std::strcmp(setting, "0") == 0) {
    return false;
  }
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool vectors = (c & bit_SSSE3) && (c & bit_SSE4_1);
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return vectors && (b & bit_SHA);
}

alignas(16) constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// The two registers: ABEF and CDGH, lanes from the highest.
struct State {
  __m128i abef;
  __m128i cdgh;
};

[[gnu::target("sha,ssse3,sse4.1")]] inline State load(const ShaRegisters& r) {
  return {_mm_load_si128(reinterpret_cast<const __m128i*>(r.lanes)),
          _mm_load_si128(reinterpret_cast<const __m128i*>(r.lanes + 4))};
}

[[gnu::target("sha,ssse3,sse4.1")]] inline ShaRegisters store(const State& s) {
  ShaRegisters out;
  _mm_store_si128(reinterpret_cast<__m128i*>(out.lanes), s.abef);
  _mm_store_si128(reinterpret_cast<__m128i*>(out.lanes + 4), s.cdgh);
  return out;
}

// State words A..H as two vectors of four (A in the lowest lane) to the
// registers' layout, and back.
[[gnu::target("sha,ssse3,sse4.1")]] inline State fromWords(__m128i abcd, __m128i efgh) {
  const __m128i badc = _mm_shuffle_epi32(abcd, 0xB1);
  const __m128i hgfe = _mm_shuffle_epi32(efgh, 0x1B);
  return {_mm_alignr_epi8(badc, hgfe, 8), _mm_blend_epi16(hgfe, badc, 0xF0)};
}

[[gnu::target("sha,ssse3,sse4.1")]] inline void toWords(const State& s, __m128i& abcd, __m128i& efgh) {
  const __m128i feba = _mm_shuffle_epi32(s.abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(s.cdgh, 0xB1);
  abcd = _mm_blend_epi16(feba, dchg, 0xF0);
  efgh = _mm_alignr_epi8(dchg, feba, 8);
}

[[gnu::target("sha,ssse3,sse4.1")]] inline State fromContext(const SHA256_CTX& ctx) {
  return fromWords(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ctx.h)),
                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(ctx.h + 4)));
}

// A 64-byte block as message words W0..W15, four to a vector.
[[gnu::target("sha,ssse3,sse4.1")]] inline void loadBlock(const uint8_t* block, __m128i m[4]) {
  const __m128i bigEndian = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  for (int i = 0; i < 4; ++i) {
    m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i)), bigEndian);
  }
}

// The 64 rounds of the compression of m, on the state's two registers. The
// state and the message are copied into locals: through references they may
// alias and would be stored and reloaded around every instruction.
[[gnu::target("sha,ssse3,sse4.1"), gnu::always_inline]] inline void compress(State& state, const __m128i m[4]) {
  __m128i s0 = state.abef, s1 = state.cdgh;
  __m128i w[4] = {m[0], m[1], m[2], m[3]};
#pragma GCC unroll 16
  for (int q = 0; q < 16; ++q) {
    // Two rounds per instruction, the second pair from the upper lanes.
    __m128i pair = _mm_add_epi32(w[q & 3], _mm_load_si128(reinterpret_cast<const __m128i*>(K + 4 * q)));
    s1 = _mm_sha256rnds2_epu32(s1, s0, pair);
    pair = _mm_shuffle_epi32(pair, 0x0E);
    s0 = _mm_sha256rnds2_epu32(s0, s1, pair);
    if (q < 12) {
      // W[4q + 16 .. 4q + 19] from the four vectors before them.
      const __m128i next = _mm_add_epi32(_mm_sha256msg1_epu32(w[q & 3], w[(q + 1) & 3]),
                                         _mm_alignr_epi8(w[(q + 3) & 3], w[(q + 2) & 3], 4));
      w[q & 3] = _mm_sha256msg2_epu32(next, w[(q + 3) & 3]);
    }
  }
  state.abef = _mm_add_epi32(state.abef, s0);
  state.cdgh = _mm_add_epi32(state.cdgh, s1);
}

}  // namespace

bool shaExtensions() {
  static const bool available = detect();
  return available;
}

[[gnu::target("sha,ssse3,sse4.1")]] OneBlockHmac OneBlockHmac::of(const SHA256_CTX& inner, const SHA256_CTX& outer) {
  return {store(fromContext(inner)), store(fromContext(outer))};
}

[[gnu::target("sha,ssse3,sse4.1")]] void OneBlockHmac::run(const uint8_t* block, uint32_t digest[8]) const {
  __m128i m[4];
  loadBlock(block, m);
  State state = load(inner);
  compress(state, m);
  // The outer block: the inner digest, 0x80, zeros and the length of the
  // key block and the digest in bits, 768.
  toWords(state, m[0], m[1]);
  m[2] = _mm_set_epi32(0, 0, 0, static_cast<int>(0x80000000u));
  m[3] = _mm_set_epi32(768, 0, 0, 0);
  state = load(outer);
  compress(state, m);
  __m128i abcd, efgh;
  toWords(state, abcd, efgh);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(digest), abcd);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(digest + 4), efgh);
}

#else

bool shaExtensions() { return false; }

OneBlockHmac OneBlockHmac::of(const SHA256_CTX&, const SHA256_CTX&) { fail("the SHA extensions are x86-64 only"); }

void OneBlockHmac::run(const uint8_t*, uint32_t*) const { fail("the SHA extensions are x86-64 only"); }

#endif

}  // namespace morvo
