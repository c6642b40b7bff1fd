#include "digits.h"

#include <array>
#include <cmath>

namespace morvo {

const std::vector<mpz_class>& powersOfTen() {
  // A function-local static is initialised once; other threads wait for it.
  static const std::vector<mpz_class> POWERS = [] {
    std::vector<mpz_class> table;
    table.reserve(POWERS_SIZE);
    table.emplace_back(1);
    while (table.size() < POWERS_SIZE) table.push_back(table.back() * 10);
    return table;
  }();
  return POWERS;
}

mpz_class powerOfTen(uint64_t e) {
  if (e < POWERS_SIZE) return powersOfTen()[e];
  mpz_class out;
  mpz_ui_pow_ui(out.get_mpz_t(), 10, e);
  return out;
}

static uint64_t estimateDigits(size_t bits) {
  return static_cast<uint64_t>(std::floor(static_cast<double>(bits - 1) * 0.3010299956639812)) + 1;
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
  check(e <= 38, "10^e fits 128 bits");
  u128 v = 1;
  for (unsigned i = 0; i < e; ++i) v *= 10;
  return v;
}

uint64_t decimalDigits(u128 n) {
  static const auto TABLE = [] {
    std::array<u128, 39> t{};
    t[0] = 1;
    for (size_t i = 1; i < t.size(); ++i) t[i] = t[i - 1] * 10;
    return t;
  }();
  uint64_t d = 1;
  while (d < 39 && TABLE[d] <= n) ++d;
  return d;
}

uint64_t decimalDigits(const Limbs& n) {
  if (fitsU128(n)) return decimalDigits(toU128(n));
  return decimalDigits(toMpz(n));
}

}  // namespace morvo
