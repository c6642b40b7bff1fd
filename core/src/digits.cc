#include "digits.h"

#include <array>
#include <cmath>

namespace morvo {

namespace {

constexpr size_t POWERS_128 = 39;  // 10^0 .. 10^38; 10^39 exceeds 2^128

constexpr std::array<u128, POWERS_128> POWERS_OF_TEN_128 = [] {
  std::array<u128, POWERS_128> table{};
  table[0] = 1;
  for (size_t i = 1; i < table.size(); ++i) table[i] = table[i - 1] * 10;
  return table;
}();

// floor((bits - 1) * log10 2) + 1: never above the true digit count.
uint64_t estimateDigits(size_t bits) {
  return static_cast<uint64_t>(std::floor(static_cast<double>(bits - 1) * 0.3010299956639812)) + 1;
}

size_t bitLength128(u128 v) {
  uint64_t high = static_cast<uint64_t>(v >> 64);
  if (high != 0) return 128 - static_cast<size_t>(__builtin_clzll(high));
  uint64_t low = static_cast<uint64_t>(v);
  return low == 0 ? 0 : 64 - static_cast<size_t>(__builtin_clzll(low));
}

}  // namespace

const std::vector<mpz_class>& powersOfTen() {
  // Built once under the static-initialisation guard, and deliberately never
  // destroyed: masking threads may still read it while the process exits.
  static const std::vector<mpz_class>* const POWERS = [] {
    auto* table = new std::vector<mpz_class>();
    table->reserve(POWERS_SIZE);
    table->emplace_back(1);
    while (table->size() < POWERS_SIZE) table->push_back(table->back() * 10);
    return table;
  }();
  return *POWERS;
}

mpz_class powerOfTen(uint64_t e) {
  if (e < POWERS_SIZE) return powersOfTen()[e];
  mpz_class out;
  mpz_ui_pow_ui(out.get_mpz_t(), 10, e);
  return out;
}

uint64_t decimalDigits(const mpz_class& n) {
  if (sgn(n) == 0) return 1;
  uint64_t e = estimateDigits(mpz_sizeinbase(n.get_mpz_t(), 2));
  const auto& powers = powersOfTen();
  while (e < POWERS_SIZE && powers[e] <= n) ++e;
  while (e > 1 && e - 1 < POWERS_SIZE && powers[e - 1] > n) --e;
  return e;
}

u128 powerOfTen128(unsigned e) {
  check(e < POWERS_128, "10^e fits 128 bits");
  return POWERS_OF_TEN_128[e];
}

uint64_t decimalDigits(u128 n) {
  if (n == 0) return 1;
  // The estimate is at most one or two below; no GMP on this path.
  uint64_t d = estimateDigits(bitLength128(n));
  while (d < POWERS_128 && POWERS_OF_TEN_128[d] <= n) ++d;
  return d;
}

uint64_t decimalDigits(const Limbs& n) {
  if (fitsU128(n)) return decimalDigits(toU128(n));
  return decimalDigits(toMpz(n));
}

}  // namespace morvo
