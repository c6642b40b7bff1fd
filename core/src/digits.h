// Decimal digit counts of big integers and the shared table of powers of ten
// (POWERS: 10^0 to 10^920, built once on first use and never freed).
#pragma once

#include <gmpxx.h>

#include <cstdint>
#include <vector>

#include "common.h"
#include "integer.h"

namespace morvo {

inline constexpr size_t POWERS_SIZE = 921;

// POWERS[i] = 10^i for i in [0, 921). Thread-safe; built on first call.
const std::vector<mpz_class>& powersOfTen();

// 10^e, from the table when e is in it, computed otherwise.
mpz_class powerOfTen(uint64_t e);

// The number of decimal digits of n; 1 for zero. For n >= 10^921 the
// floating-point estimate (never below 921) is returned as it is.
uint64_t decimalDigits(const mpz_class& n);
uint64_t decimalDigits(const Limbs& n);
uint64_t decimalDigits(u128 n);

// 10^e as a 128-bit integer, e <= 38.
u128 powerOfTen128(unsigned e);

}  // namespace morvo
