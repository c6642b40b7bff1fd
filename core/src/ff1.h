// FF1 (NIST SP 800-38G) over AES-256, encryption only. The AES key schedule
// is expanded once per cipher; short numeral strings run in machine integers.
// An Ff1 is immutable after make(), so any number of threads may encrypt
// with one at once.
#pragma once

#include <gmpxx.h>
#include <openssl/aes.h>

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "common.h"

namespace morvo {

using Block = std::array<uint8_t, 16>;

struct Ff1 {
  // AES-256 round keys in the layout of the AES instructions (15 x 16 bytes).
  alignas(16) std::array<uint8_t, 16 * 15> roundKeys{};
  // The same schedule for OpenSSL's portable AES, used without AES-NI.
  AES_KEY softwareKey{};
  // Whether block() uses the AES instructions; detected once in make().
  bool hardware = false;
  uint64_t minimumLength = 0;
  uint32_t radix = 0;

  // Expands the 32-byte key; minimumLength is the least i >= 1 with
  // radix^i > 999999. radix is 2 to 65536.
  static Ff1 make(std::span<const uint8_t, 32> key, uint32_t radix);

  // FF1 encryption of numerals (each below radix, at least minimumLength of
  // them) under the tweak; the result has the same length.
  Vec<uint32_t> encrypt(std::span<const uint32_t> numerals, std::string_view tweak) const;
  // The same on arbitrary-precision integers whatever the length; encrypt()
  // uses it when radix^v does not fit 64 bits, tests on short strings too.
  Vec<uint32_t> encryptBig(std::span<const uint32_t> numerals, std::string_view tweak) const;

  // CBC-MAC under AES-256 with a zero IV; bytes is a multiple of 16 long.
  Block prf(std::span<const uint8_t> bytes) const;
  // AES-256 encryption of one block in place.
  void block(Block& b) const;
};

// The working record of one encryption: the sizes FF1 derives from the
// radix, the length n and the tweak length t.
struct Rounds {
  Block p{};               // P: the first PRF block
  uint64_t u = 0, v = 0;   // lengths of the halves A and B
  uint64_t b = 0, d = 0;   // bytes of NUM(B) in Q, bytes of S
  uint64_t pad = 0;        // (-t - b - 1) mod 16
  bool small = false;      // radix^v < 2^64: the machine-integer path
  uint64_t powU = 0, powV = 0;  // radix^u, radix^v when small
  mpz_class bigPowU, bigPowV;   // radix^u, radix^v otherwise

  // Requires radix in [2, 65536], n >= 2 and n, t below 2^32.
  static Rounds make(uint32_t radix, uint64_t n, uint64_t t, bool forceBig);

  // Bytes of P || T || 0^pad, and of the whole PRF input of one round.
  uint64_t prefixSize(uint64_t t) const { return 16 + t + pad; }
  uint64_t messageSize(uint64_t t) const { return prefixSize(t) + 1 + b; }
  // Writes P || T || 0^pad at the head of out, which has room for the round
  // byte and the b bytes of NUM(B) that each round appends.
  void messagePrefix(std::string_view tweak, std::span<uint8_t> out) const;
};

}  // namespace morvo
