// Shared pieces of the core's fuzz harnesses: a keyed hash drawn from the
// input, an invariant check that stops the run with a readable message, and
// exact references on GMP integers.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>
#include <gmpxx.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "common.h"
#include "integer.h"
#include "keyed_hash.h"

#define REQUIRE(cond)                                                                    \
  do {                                                                                   \
    if (!(cond)) {                                                                       \
      std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

namespace morvo::fuzz {

inline std::array<uint8_t, 32> keyBytes(FuzzedDataProvider& in) {
  std::array<uint8_t, 32> key{};
  // Mostly one fixed key, so that the corpus explores values, not keys.
  if (in.ConsumeBool()) {
    for (auto& b : key) b = in.ConsumeIntegral<uint8_t>();
  }
  return key;
}

inline KeyedHash keyedHash(FuzzedDataProvider& in) {
  auto key = keyBytes(in);
  return KeyedHash::fromSubkey(key);
}

// A non-negative big integer from up to maxBytes bytes, big-endian.
inline mpz_class bigFrom(FuzzedDataProvider& in, size_t maxBytes) {
  std::string bytes = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, maxBytes));
  mpz_class v;
  if (!bytes.empty()) mpz_import(v.get_mpz_t(), bytes.size(), 1, 1, 1, 0, bytes.data());
  return v;
}

inline Integer integerOf(const mpz_class& v) {
  if (sgn(v) == 0) return Integer{};
  mpz_class magnitude = abs(v);
  return Integer::fromMagnitude(sgn(v) < 0, fromMpz(magnitude));
}

inline mpz_class mpzOf(const Integer& v) {
  mpz_class m = toMpz(v.magnitude);
  return v.negative() ? mpz_class(-m) : m;
}

inline std::string str(std::string_view s) { return std::string(s); }

// Runs one input; an internal error escaping the core is a finding (the
// harnesses keep every precondition they know of), reported with its message.
template <class Body>
int run(const uint8_t* data, size_t size, Body body) {
  FuzzedDataProvider in(data, size);
  try {
    body(in);
  } catch (const InternalError& e) {
    std::fprintf(stderr, "internal error: %s\n", e.what());
    std::abort();
  }
  return 0;
}

}  // namespace morvo::fuzz
