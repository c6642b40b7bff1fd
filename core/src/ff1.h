// FF1 (NIST SP 800-38G) over AES-256, encryption only. The AES key schedule
// is expanded once per cipher; short numeral strings run in machine integers.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "common.h"

namespace morvo {

struct Ff1 {
  // Implementation-defined key schedule and radix data.
  alignas(16) std::array<uint8_t, 16 * 15> roundKeys{};
  uint64_t minimumLength = 0;
  uint32_t radix = 0;

  // Expands the 32-byte key; minimumLength is the least i >= 1 with radix^i > 999999.
  static Ff1 make(std::span<const uint8_t, 32> key, uint32_t radix);

  // FF1 encryption of numerals (each below radix, at least minimumLength of
  // them) under the tweak; the result has the same length.
  Vec<uint32_t> encrypt(std::span<const uint32_t> numerals, std::string_view tweak) const;
};

}  // namespace morvo
