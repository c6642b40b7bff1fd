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

// The 64 rounds of the compressions of N blocks, each on its state's two
// registers, interleaved instruction by instruction: each compression is a
// chain of dependent rounds, and independent chains share the SHA unit. The
// states and messages are copied into locals: through pointers they may
// alias and would be stored and reloaded around every instruction.
template <int N>
[[gnu::target("sha,ssse3,sse4.1"), gnu::always_inline]] inline void compress(State* states, const __m128i (*m)[4]) {
  __m128i s0[N], s1[N], w[N][4];
  for (int j = 0; j < N; ++j) {
    s0[j] = states[j].abef;
    s1[j] = states[j].cdgh;
    for (int i = 0; i < 4; ++i) w[j][i] = m[j][i];
  }
#pragma GCC unroll 16
  for (int q = 0; q < 16; ++q) {
    const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(K + 4 * q));
    for (int j = 0; j < N; ++j) {
      // Two rounds per instruction, the second pair from the upper lanes.
      __m128i pair = _mm_add_epi32(w[j][q & 3], k);
      s1[j] = _mm_sha256rnds2_epu32(s1[j], s0[j], pair);
      pair = _mm_shuffle_epi32(pair, 0x0E);
      s0[j] = _mm_sha256rnds2_epu32(s0[j], s1[j], pair);
    }
    if (q < 12) {
      for (int j = 0; j < N; ++j) {
        // W[4q + 16 .. 4q + 19] from the four vectors before them.
        const __m128i next = _mm_add_epi32(_mm_sha256msg1_epu32(w[j][q & 3], w[j][(q + 1) & 3]),
                                           _mm_alignr_epi8(w[j][(q + 3) & 3], w[j][(q + 2) & 3], 4));
        w[j][q & 3] = _mm_sha256msg2_epu32(next, w[j][(q + 3) & 3]);
      }
    }
  }
  for (int j = 0; j < N; ++j) {
    states[j].abef = _mm_add_epi32(states[j].abef, s0[j]);
    states[j].cdgh = _mm_add_epi32(states[j].cdgh, s1[j]);
  }
}

// N HMACs side by side.
template <int N>
[[gnu::target("sha,ssse3,sse4.1")]] void runLanes(const OneBlockHmac* const* hmacs, const uint8_t* const* blocks,
                                                  uint32_t (*digests)[8]) {
  __m128i m[N][4];
  State states[N];
  for (int j = 0; j < N; ++j) {
    loadBlock(blocks[j], m[j]);
    states[j] = load(hmacs[j]->inner);
  }
  compress<N>(states, m);
  for (int j = 0; j < N; ++j) {
    // The outer block: the inner digest, 0x80, zeros and the length of the
    // key block and the digest in bits, 768.
    toWords(states[j], m[j][0], m[j][1]);
    m[j][2] = _mm_set_epi32(0, 0, 0, static_cast<int>(0x80000000u));
    m[j][3] = _mm_set_epi32(768, 0, 0, 0);
    states[j] = load(hmacs[j]->outer);
  }
  compress<N>(states, m);
  for (int j = 0; j < N; ++j) {
    __m128i abcd, efgh;
    toWords(states[j], abcd, efgh);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(digests[j]), abcd);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(digests[j] + 4), efgh);
  }
}

}  // namespace

bool shaExtensions() {
  static const bool available = detect();
  return available;
}

[[gnu::target("sha,ssse3,sse4.1")]] OneBlockHmac OneBlockHmac::of(const SHA256_CTX& inner, const SHA256_CTX& outer) {
  return {store(fromContext(inner)), store(fromContext(outer))};
}

void OneBlockHmac::run(const uint8_t* block, uint32_t digest[8]) const {
  const OneBlockHmac* self = this;
  runLanes<1>(&self, &block, reinterpret_cast<uint32_t(*)[8]>(digest));
}

void OneBlockHmac::runMany(const OneBlockHmac* const* hmacs, const uint8_t* const* blocks, uint32_t (*digests)[8],
                           int count) {
  switch (count) {
    case 1: return runLanes<1>(hmacs, blocks, digests);
    case 2: return runLanes<2>(hmacs, blocks, digests);
    case 3: return runLanes<3>(hmacs, blocks, digests);
    case 4: return runLanes<4>(hmacs, blocks, digests);
    default: fail("one to four HMACs side by side");
  }
}

#else

bool shaExtensions() { return false; }

OneBlockHmac OneBlockHmac::of(const SHA256_CTX&, const SHA256_CTX&) { fail("the SHA extensions are x86-64 only"); }

void OneBlockHmac::run(const uint8_t*, uint32_t*) const { fail("the SHA extensions are x86-64 only"); }

void OneBlockHmac::runMany(const OneBlockHmac* const*, const uint8_t* const*, uint32_t (*)[8], int) {
  fail("the SHA extensions are x86-64 only");
}

#endif

}  // namespace morvo
