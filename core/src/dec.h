// Exact decimal numbers for the number strategy: a coefficient, a signed
// 64-bit exponent and a sign, with every arithmetic result cut to 60
// significant digits (rounding half to even).
//
// Coefficients of up to four limbs (every coefficient of 60 digits or fewer)
// live inline and all arithmetic runs on GMP's mpn layer over stack buffers,
// so ordinary values never allocate. Operands whose exponents lie far apart
// are decided from their digit counts: no operation builds 10^(difference)
// when the exact result does not need it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "common.h"
#include "integer.h"

namespace morvo {

inline constexpr uint64_t SIGNIFICANT_DIGITS = 60;

// An unsigned magnitude: 64-bit limbs, least significant first, no high zero
// limbs (zero has none).
class Coefficient {
 public:
  static constexpr size_t INLINE = 4;

  Coefficient() = default;
  static Coefficient fromU128(u128 v);
  // Copies the limbs, dropping high zero limbs.
  static Coefficient fromLimbs(std::span<const uint64_t> limbs);

  size_t size() const { return size_; }
  bool isZero() const { return size_ == 0; }
  std::span<const uint64_t> limbs() const {
    return {size_ > INLINE ? large_.data() : small_.data(), size_};
  }
  bool fitsU128() const { return size_ <= 2; }
  u128 toU128() const;  // requires fitsU128()
  bool operator==(const Coefficient& other) const;

 private:
  size_t size_ = 0;
  std::array<uint64_t, INLINE> small_{};
  Vec<uint64_t> large_;  // holds the limbs when size_ > INLINE
};

enum class Rounding : uint8_t { halfEven, ceiling, floor };

// (-1)^negative * coefficient * 10^exponent. Trailing zeros are kept and a
// zero may be negative; compare treats equal values as equal.
struct Dec {
  Coefficient coefficient;
  int64_t exponent = 0;
  bool negative = false;

  static Dec fromU128(u128 coefficient, int64_t exponent, bool negative = false);

  // A finite decimal: [+-] digits [. digits] [(E|e) [+-] digits], or none.
  static std::optional<Dec> parse(std::string_view text);
  // Sign, coefficient, "E", exponent: "1234E-2", "-0E0".
  Text toText() const;
  // The nearest double (ties to even); overflow gives an infinity and
  // underflow a zero of the value's sign.
  double toF64() const;
  // Truncated toward zero. Memory grows with a positive exponent, so callers
  // pass values that were quantized to a small exponent.
  Integer toBigInt() const;
  // -1, 0 or +1; all zeros are equal.
  static int compare(const Dec& a, const Dec& b);
  static Dec add(const Dec& a, const Dec& b);
  static Dec subtract(const Dec& a, const Dec& b);
  // At most 60 significant digits, half to even.
  static Dec rounded(const Dec& x);
  // x rounded to a multiple of 10^target, or none when that needs more than
  // 60 digits.
  static std::optional<Dec> quantize(const Dec& x, int64_t target, Rounding rounding);
  // The exact value of a unit in [0, 1) that is a multiple of 2^-53:
  // (unit * 2^53) * 5^53 * 10^-53.
  static Dec fromUnit(double unit);

  // The number of decimal digits of the coefficient; 1 for zero.
  uint64_t digits() const;
  bool isZero() const { return coefficient.isZero(); }
};

Dec multiply(const Dec& a, const Dec& b);

// The decimal digits of a coefficient, most significant first ("0" for zero).
Text digitText(const Coefficient& c);

// Whether a cut quotient grows by one, given what was cut off
// (remainder / divisor, remainder < divisor) and the sign of the value.
bool roundsUp(std::span<const uint64_t> quotient, std::span<const uint64_t> remainder,
              std::span<const uint64_t> divisor, Rounding rounding, bool negative);

// 5^53: 2^-53 = 5^53 * 10^-53. Built once.
u128 fives();

}  // namespace morvo
