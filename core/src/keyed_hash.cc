#include "keyed_hash.h"

#include <cstring>

namespace morvo {

KeyedHash KeyedHash::fromSubkey(std::span<const uint8_t, SUBKEY_SIZE> subkey) {
  uint8_t block[64] = {};
  std::memcpy(block, subkey.data(), SUBKEY_SIZE);
  uint8_t pad[64];
  KeyedHash out;
  for (int i = 0; i < 64; ++i) pad[i] = block[i] ^ 0x36;
  SHA256_Init(&out.inner);
  SHA256_Update(&out.inner, pad, 64);
  for (int i = 0; i < 64; ++i) pad[i] = block[i] ^ 0x5c;
  SHA256_Init(&out.outer);
  SHA256_Update(&out.outer, pad, 64);
  return out;
}

Digest KeyedHash::hmac(std::initializer_list<std::string_view> pieces) const {
  SHA256_CTX ctx = inner;
  for (std::string_view piece : pieces) SHA256_Update(&ctx, piece.data(), piece.size());
  Digest innerDigest;
  SHA256_Final(innerDigest.data(), &ctx);
  ctx = outer;
  SHA256_Update(&ctx, innerDigest.data(), innerDigest.size());
  Digest out;
  SHA256_Final(out.data(), &ctx);
  return out;
}

Digest KeyedHash::digest(std::string_view message, std::string_view label) const {
  static constexpr char ZERO = 0;
  return hmac({label, std::string_view(&ZERO, 1), message});
}

Vec<uint8_t> KeyedHash::expand(std::string_view message, size_t count, std::string_view label) const {
  Vec<uint8_t> out;
  out.reserve((count + 31) / 32 * 32);
  static constexpr char SEPARATOR[2] = {'#', 0};
  for (uint32_t i = 0; out.size() < count; ++i) {
    char counter[4] = {static_cast<char>(i >> 24), static_cast<char>(i >> 16),
                       static_cast<char>(i >> 8), static_cast<char>(i)};
    Digest block = hmac({label, std::string_view(SEPARATOR, 1), std::string_view(counter, 4),
                         std::string_view(SEPARATOR + 1, 1), message});
    out.insert(out.end(), block.begin(), block.end());
  }
  out.resize(count);
  return out;
}

uint64_t KeyedHash::below(std::string_view message, uint64_t bound, std::string_view label) const {
  check(bound >= 1, "below needs a bound of at least 1");
  size_t bits = 64 - __builtin_clzll(bound);
  size_t length = (bits + 7) / 8 + 32;
  Vec<uint8_t> stream = expand(message, length, label);
  // Horner's rule modulo bound over 64-bit words, the odd leading bytes first:
  // r < bound < 2^64, so r * 2^64 + word fits 128 bits.
  size_t head = length % 8;
  uint64_t r = 0;
  for (size_t i = 0; i < head; ++i) r = (r << 8) | stream[i];  // head < 8 bytes: exact
  r %= bound;
  for (size_t i = head; i < length; i += 8) {
    uint64_t word = 0;
    for (size_t j = 0; j < 8; ++j) word = (word << 8) | stream[i + j];
    r = static_cast<uint64_t>(((static_cast<u128>(r) << 64) | word) % bound);
  }
  return r;
}

}  // namespace morvo
