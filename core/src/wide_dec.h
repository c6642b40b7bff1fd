// Fixed-width decimals for the number strategy's fast path: a magnitude of at
// most eight 64-bit limbs on the stack, an exponent and a sign, with the same
// 60-digit half-even cut as Dec. No operation allocates or calls GMP; one
// whose exact result would not fit says so (none), and the caller then takes
// the exact path on Dec, so results are the same either way.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "common.h"
#include "dec.h"

namespace morvo {

inline constexpr uint32_t WIDE_LIMBS = 8;
// 10^154 < 2^512 < 10^155: every power of ten up to 10^154 fits.
inline constexpr uint32_t WIDE_POWERS = 155;

// A magnitude: limbs least significant first, n in use, no high zero limbs,
// and the limbs above n zero.
//
// Copies move the limbs in use one at a time. The arithmetic writes limbs one
// at a time, and a copy of all of them by vector loads right after that
// waits for every one of those stores to complete first (a failed store
// forwarding, about a dozen cycles each time): it cost more than the
// arithmetic it copied.
struct Wide {
  std::array<uint64_t, WIDE_LIMBS> limb{};
  uint32_t n = 0;

  constexpr Wide() = default;
  constexpr Wide(const Wide& other) { assign(other); }
  constexpr Wide& operator=(const Wide& other) {
    assign(other);
    return *this;
  }

  bool isZero() const { return n == 0; }
  static Wide fromU128(u128 v);

 private:
  constexpr void assign(const Wide& other) {
    const uint32_t count = other.n;
    for (uint32_t i = 0; i < count; ++i) {
      uint64_t v = other.limb[i];
      // Keeps the compiler from turning the loop back into a vector copy.
      if (!std::is_constant_evaluated()) asm("" : "+r"(v));
      limb[i] = v;
    }
    for (uint32_t i = count; i < n; ++i) limb[i] = 0;
    n = count;
  }
};

int compareWide(const Wide& a, const Wide& b);
// a *= m in place; false when the product would not fit.
bool multiplySmall(Wide& a, uint64_t m);
// out = a * b or a + b; false when that would not fit.
bool multiplyWide(const Wide& a, const Wide& b, Wide& out);
bool addWide(const Wide& a, const Wide& b, Wide& out);
// a - b for a >= b.
Wide subtractWide(const Wide& a, const Wide& b);
// Decimal digits of the magnitude; 1 for zero.
uint32_t wideDigits(const Wide& a);
// 10^k, k < WIDE_POWERS.
const Wide& widePower(uint32_t k);

// (-1)^negative * c * 10^exponent. Exponents stay far inside int64: the fast
// path only admits values whose exponents lie within EXPONENT_LIMIT.
struct WideDec {
  Wide c;
  int64_t exponent = 0;
  bool negative = false;

  bool isZero() const { return c.isZero(); }
};
inline constexpr int64_t EXPONENT_LIMIT = int64_t{1} << 40;

// Conversions with Dec; none when the value does not fit or its exponent is
// beyond EXPONENT_LIMIT.
std::optional<WideDec> toWide(const Dec& x);
Dec toDec(const WideDec& x);

// Dec's arithmetic on wide values: the exact result cut to 60 digits half
// even, or none when an intermediate would not fit.
std::optional<WideDec> wideMultiply(const WideDec& a, const WideDec& b);
std::optional<WideDec> wideAdd(const WideDec& a, const WideDec& b);
// An exact result cut as those two cut theirs (its exponent within the
// limit, give or take a few hundred).
std::optional<WideDec> wideCut(const WideDec& exact);

// Dec::quantize into out: ok with the value at exponent target,
// unrepresentable where Dec::quantize gives none, deferred when the fast
// path cannot decide.
enum class Quantized : uint8_t { ok, unrepresentable, deferred };
Quantized wideQuantize(const WideDec& x, int64_t target, Rounding rounding, WideDec& out);

// Dec::compare by value (all zeros are equal), or none when aligning the
// two would not fit.
std::optional<int> wideCompare(const WideDec& a, const WideDec& b);

// Dec::toF64: the nearest double, in binary where that fits, else from the
// leading digits or the full text through std::from_chars; none on overflow
// or underflow (Dec::toF64 decides those).
std::optional<double> wideToF64(const WideDec& x);

// Sign, digits, 'E', exponent: the text of Dec::toText. out holds at least
// WIDE_TEXT bytes; gives the count.
inline constexpr size_t WIDE_TEXT = 200;
size_t wideText(const WideDec& x, char* out);
// The digits of a magnitude, most significant first; at least "0". out holds
// at least 160 bytes.
size_t wideDigitText(Wide a, char* out);

}  // namespace morvo
