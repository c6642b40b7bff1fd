// SipHash-1-3 under random keys, for the hash maps of column masking: keys
// drawn from the kernel make collisions impossible to plan from outside.
#pragma once

#include <cstdint>
#include <string_view>

namespace morvo {

struct SipKeys {
  uint64_t k0 = 0;
  uint64_t k1 = 0;
  // Fresh keys from the kernel's random source.
  static SipKeys random();
};

// SipHash-1-3 of a tag byte followed by the bytes.
uint64_t sipHash13(const SipKeys& keys, uint8_t tag, std::string_view bytes);

}  // namespace morvo
