// Arbitrary-precision signed integers as they cross the module: a sign and a
// magnitude of 64-bit limbs, least significant first. Values of up to two
// limbs live inline, so integers of up to 128 bits never touch the heap; GMP
// is reached only through the explicit conversions below.
#pragma once

#include <gmpxx.h>

#include <cstdint>
#include <cstring>
#include <span>

#include "common.h"

namespace morvo {

// A magnitude: 64-bit limbs, least significant first, no high zero limbs.
class Limbs {
 public:
  Limbs() = default;
  explicit Limbs(uint64_t v) {
    if (v) push(v);
  }
  Limbs(const Limbs& other) { assign(other.data(), other.size_); }
  Limbs(Limbs&& other) noexcept { steal(other); }
  Limbs& operator=(const Limbs& other) {
    if (this != &other) {
      size_ = 0;
      assign(other.data(), other.size_);
    }
    return *this;
  }
  Limbs& operator=(Limbs&& other) noexcept {
    if (this != &other) {
      release();
      steal(other);
    }
    return *this;
  }
  ~Limbs() { release(); }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const uint64_t* data() const { return heap_ ? heap_ : inline_; }
  uint64_t* data() { return heap_ ? heap_ : inline_; }
  uint64_t operator[](size_t i) const { return data()[i]; }
  std::span<const uint64_t> span() const { return {data(), size_}; }

  void push(uint64_t limb);
  // Drops high zero limbs.
  void trim();

  bool operator==(const Limbs& other) const {
    return size_ == other.size_ && std::memcmp(data(), other.data(), size_ * 8) == 0;
  }

 private:
  void assign(const uint64_t* src, size_t n);
  void steal(Limbs& other) noexcept;
  void release() noexcept;

  static constexpr size_t INLINE = 2;
  uint64_t inline_[INLINE] = {0, 0};
  uint64_t* heap_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = INLINE;
};

enum class Sign : int8_t { Negative = -1, Zero = 0, Positive = 1 };

// A signed integer. Invariant: zero has Sign::Zero and no limbs; a non-zero
// value never has Sign::Zero.
struct Integer {
  Sign sign = Sign::Zero;
  Limbs magnitude;

  static Integer fromI64(int64_t v);
  static Integer fromMagnitude(bool negative, Limbs magnitude);
  bool negative() const { return sign == Sign::Negative; }
  bool operator==(const Integer&) const = default;
};

// Magnitude helpers.
bool fitsU128(const Limbs& m);
u128 toU128(const Limbs& m);  // requires fitsU128
Limbs fromU128(u128 v);
mpz_class toMpz(const Limbs& m);
Limbs fromMpz(const mpz_class& v);  // v >= 0
size_t bitLength(const Limbs& m);

// Canonical decimal text: "-" for negatives, no leading zeros, "0" for zero.
Text decimalText(const Integer& v);
// The decimal digits of a magnitude, most significant first ("0" for zero).
Text magnitudeDigits(const Limbs& m);
// Writes v in decimal (at most 39 digits) to out; gives the count.
size_t writeDecimal(u128 v, char* out);
// Appends v in decimal.
void appendDecimal(Text& out, u128 v);
// Reads a run of ASCII decimal digits (at least one) into a magnitude.
Limbs magnitudeFromDigits(std::string_view digits);

}  // namespace morvo
