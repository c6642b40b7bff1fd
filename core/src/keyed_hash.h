// The column's keyed hash: HMAC-SHA-256 under the 32-byte subkey, with the
// inner and outer SHA-256 states precomputed once and copied by value per
// call. Every keyed computation of the library goes through this record and
// names its purpose with one of the labels below.
#pragma once

#include <openssl/sha.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

#include "common.h"
#include "integer.h"

namespace morvo {

using Digest = std::array<uint8_t, 32>;

// Labels, each naming one use of the keyed hash.
namespace label {
inline constexpr std::string_view FF1_KEY = "ff1 key";
inline constexpr std::string_view NONE = "";
inline constexpr std::string_view STEP = "step";
inline constexpr std::string_view LEAD = "lead";
inline constexpr std::string_view NUMBER = "number";
inline constexpr std::string_view INTEGER = "integer";
inline constexpr std::string_view NEGATIVE = "negative";
inline constexpr std::string_view FIRST = "first";
inline constexpr std::string_view LAST = "last";
inline constexpr std::string_view CITY = "city";
inline constexpr std::string_view COMPANY = "company";
inline constexpr std::string_view SUFFIX = "suffix";
inline constexpr std::string_view STREET = "street";
}  // namespace label

inline constexpr size_t SUBKEY_SIZE = 32;

// One walk of KeyedHash::permuteMany: permuteSmall(sizeMinusOne, value,
// label) into result. The label's bytes must outlive the call.
struct PermuteJob {
  u128 sizeMinusOne = 0;
  u128 value = 0;
  std::string_view label;
  u128 result = 0;
};

struct KeyedHash {
  SHA256_CTX inner;
  SHA256_CTX outer;

  static KeyedHash fromSubkey(std::span<const uint8_t, SUBKEY_SIZE> subkey);

  // HMAC over the concatenation of the pieces; the building block of the rest.
  Digest hmac(std::initializer_list<std::string_view> pieces) const;

  // HMAC(label || 0x00 || message).
  Digest digest(std::string_view message, std::string_view label) const;
  // digest of every message into out (of the same size). On the SHA
  // extensions, messages that fit one block with the label go two at a time
  // (OneBlockHmac::runMany, a digest's two compressions in registers and
  // the two digests interleaved); the rest one at a time. The same digests.
  void digestMany(std::span<const std::string_view> messages, std::string_view label, std::span<Digest> out) const;

  // count bytes: digest of message under label || "#" || BE32(i), i = 0, 1, ...
  Vec<uint8_t> expand(std::string_view message, size_t count, std::string_view label) const;

  // An integer in [0, bound): expand to ceil(bitlen(bound) / 8) + 32 bytes,
  // read big-endian, reduced modulo bound. bound >= 1.
  uint64_t below(std::string_view message, uint64_t bound, std::string_view label) const;

  // A keyed bijection of [0, size): value < size. Sizes up to 2^128 run in
  // machine integers, larger ones on GMP, with identical results.
  mpz_class permute(const mpz_class& size, const mpz_class& value, std::string_view label) const;
  // The 128-bit path: sizeMinusOne = size - 1 (so size 2^128 fits), value < size.
  u128 permuteSmall(u128 sizeMinusOne, u128 value, std::string_view label) const;
  // The arbitrary-precision path for any size; tests run it on small sizes too.
  mpz_class permuteBig(const mpz_class& size, const mpz_class& value, std::string_view label) const;
  // permuteSmall of every job, walks side by side on the SHA extensions
  // (OneBlockHmac::runMany): each walk is a chain of digests, each waiting
  // for the one before, and independent chains share the SHA unit. The same
  // results as one at a time.
  void permuteMany(std::span<PermuteJob> jobs) const;
  // permuteSmall that also reports how many passes of the ten rounds the
  // cycle walk took (at least one), for measuring the cost per round.
  u128 permuteSmall(u128 sizeMinusOne, u128 value, std::string_view label, uint64_t& passes) const;
};

}  // namespace morvo
