#include "wide_dec.h"

#include <gmpxx.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

namespace morvo {
namespace {

Wide wideOf(const mpz_class& v) {
  Wide out;
  size_t n = mpz_size(v.get_mpz_t());
  EXPECT_LE(n, WIDE_LIMBS);
  for (size_t i = 0; i < n && i < WIDE_LIMBS; ++i) out.limb[i] = mpz_getlimbn(v.get_mpz_t(), static_cast<mp_size_t>(i));
  out.n = static_cast<uint32_t>(n);
  return out;
}

std::string digits(const Wide& a) {
  char out[160];
  return std::string(out, wideDigitText(a, out));
}

// GMP's decimal text is the oracle for both the digit count and the digits,
// which come from the reciprocal division by powers of ten.
void expectDigits(const mpz_class& v) {
  std::string expected = v.get_str();
  Wide w = wideOf(v);
  EXPECT_EQ(wideDigits(w), expected.size()) << expected;
  EXPECT_EQ(digits(w), expected);
}

TEST(WideDigits, AtBothEndsOfEveryBitLength) {
  expectDigits(0);
  for (unsigned bits = 1; bits <= 64 * WIDE_LIMBS; ++bits) {
    mpz_class low = mpz_class(1) << (bits - 1);
    expectDigits(low);
    expectDigits((low << 1) - 1);
  }
}

TEST(WideDigits, AroundEveryPowerOfTen) {
  for (unsigned k = 1; k < WIDE_POWERS; ++k) {
    mpz_class p;
    mpz_ui_pow_ui(p.get_mpz_t(), 10, k);
    expectDigits(p - 1);
    expectDigits(p);
    if (k + 1 < WIDE_POWERS) expectDigits(p + 1);
    EXPECT_EQ(digits(widePower(k)), "1" + std::string(k, '0'));
  }
}

TEST(WideDigits, LimbPatternsThatStressTheDivision) {
  // All ones, a single high bit over zeros, and alternating limbs: each
  // limb of the dividend meets the shifted divisor at its extremes.
  mpz_class ones = 0, alternating = 0;
  for (unsigned i = 0; i < WIDE_LIMBS; ++i) {
    ones = (ones << 64) + mpz_class("18446744073709551615");
    alternating = (alternating << 64) + (i % 2 ? mpz_class(1) : mpz_class("9223372036854775808"));
    expectDigits(ones);
    expectDigits(alternating);
    expectDigits(mpz_class(1) << (64 * i + 63));
  }
}

WideDec decOf(const std::string& coefficient, int64_t exponent, bool negative = false) {
  return WideDec{wideOf(mpz_class(coefficient)), exponent, negative};
}

// A small repeatable generator of 53-bit numbers.
struct Lcg {
  uint64_t state;
  uint64_t operator()() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state >> 11;
  }
};

double viaStrtod(const WideDec& x) {
  char text[WIDE_TEXT];
  size_t n = wideText(x, text);
  text[n] = '\0';
  return std::strtod(text, nullptr);
}

TEST(WideToF64, MatchesStrtodOnHalfwayAndLongValues) {
  // 1 + 2^-53 lies halfway between 1 and the next double: ties to even
  // gives 1, and a last digit more gives the next double.
  const std::string half = "100000000000000011102230246251565404236316680908203125";
  const WideDec cases[] = {
      decOf(half, -53), decOf(half.substr(0, half.size() - 1) + "6", -53), decOf(half.substr(0, 40), -39),
      decOf("9007199254740993", 0),  // 2^53 + 1: halfway, to even
      decOf("9007199254740995", 0), decOf("123456789012345678901234567890123456789012345678901234567890", -400),
      decOf("123456789012345678901234567890123456789012345678901234567890", 250),
      decOf("17976931348623157", 292, true), decOf("4940656458412465441765687928682213723651", -363),
      decOf("25", -1), decOf("3", -23), decOf("9007199254740991", 22)};
  for (const WideDec& x : cases) {
    auto ours = wideToF64(x);
    double expected = viaStrtod(x);
    if (!ours) continue;  // left to the exact path
    EXPECT_EQ(*ours, expected);
    EXPECT_EQ(std::signbit(*ours), std::signbit(expected));
  }
  EXPECT_EQ(wideToF64(decOf(half, -53)), 1.0);
  EXPECT_FALSE(wideToF64(decOf("1", 400)).has_value());  // overflow: the exact path decides
}

// Coefficients of 1 to 75 digits, with exponents across the whole range of
// doubles and beyond, and values next to halfway between two doubles: the
// binary conversion, the bracketing and the text all against strtod.
TEST(WideToF64, MatchesStrtodAcrossDigitsAndExponents) {
  Lcg next{12345};
  size_t answered = 0;
  for (int i = 0; i < 200000; ++i) {
    std::string digits = std::to_string(1 + next() % 9);
    size_t length = next() % 75;
    for (size_t j = 0; j < length; ++j) digits += static_cast<char>('0' + next() % 10);
    int64_t exponent = static_cast<int64_t>(next() % 760) - 420;
    if (i % 4 == 0) {
      // The exact decimal of a double and a half: a tie, or a unit off it.
      double d = std::ldexp(static_cast<double>(next() | 1), static_cast<int>(next() % 200) - 100);
      mpq_class half = mpq_class(d) + mpq_class(std::nextafter(d, INFINITY) - d) / 2;
      // half = num / 2^m: num * 5^m is its coefficient at 10^-m.
      unsigned long m = mpz_sizeinbase(half.get_den().get_mpz_t(), 2) - 1;
      mpz_class five;
      mpz_ui_pow_ui(five.get_mpz_t(), 5, m);
      mpz_class scaled = half.get_num() * five + static_cast<long>(next() % 3) - 1;
      if (mpz_sizeinbase(scaled.get_mpz_t(), 2) > 500) continue;
      digits = scaled.get_str();
      exponent = -static_cast<int64_t>(m);
    }
    WideDec x = decOf(digits, exponent, next() % 2 == 0);
    auto ours = wideToF64(x);
    if (!ours) continue;
    ++answered;
    ASSERT_EQ(*ours, viaStrtod(x)) << digits << "E" << exponent;
  }
  EXPECT_GT(answered, 150000u);
}

// Quantizing cuts digits off in chunks; the exact quantize on GMP is the
// oracle for every cut length, at remainders around half of what is cut, for
// each rounding and sign. Cuts of 20 to 54 digits go through powers of five.
TEST(WideQuantize, MatchesDecAroundHalfOfEveryCut) {
  Lcg next{99};
  size_t checked = 0;
  for (uint32_t k = 1; k <= 75; ++k) {
    mpz_class unit;
    mpz_ui_pow_ui(unit.get_mpz_t(), 10, k);
    const mpz_class half = unit / 2;
    for (int trial = 0; trial < 30; ++trial) {
      mpz_class quotient = mpz_class(std::to_string(next())) * mpz_class(std::to_string(next() >> (next() % 53)));
      if (trial % 3 == 0) quotient = trial % 2;  // a zero or odd quotient of one
      mpz_class random = mpz_class(std::to_string(next())) * mpz_class(std::to_string(next())) % unit;
      const mpz_class remainders[] = {0, 1, half - 1, half, half + 1, unit - 1, random};
      for (const mpz_class& remainder : remainders) {
        const mpz_class value = quotient * unit + remainder;
        if (value <= 0 || mpz_size(value.get_mpz_t()) > WIDE_LIMBS) continue;
        for (bool negative : {false, true}) {
          for (Rounding rounding : {Rounding::halfEven, Rounding::ceiling, Rounding::floor}) {
            const int64_t exponent = static_cast<int64_t>(next() % 40) - 20;
            const WideDec x{wideOf(value), exponent, negative};
            const int64_t target = exponent + k;
            WideDec out;
            const Quantized got = wideQuantize(x, target, rounding, out);
            const std::optional<Dec> expected = Dec::quantize(toDec(x), target, rounding);
            ASSERT_NE(got, Quantized::deferred);
            ASSERT_EQ(got == Quantized::ok, expected.has_value()) << value.get_str() << " cut " << k;
            if (!expected) continue;
            ASSERT_EQ(toDec(out).toText(), expected->toText()) << value.get_str() << " cut " << k;
            ++checked;
          }
        }
      }
    }
  }
  EXPECT_GT(checked, 50000u);
}

}  // namespace
}  // namespace morvo
