#include "dec.h"

#include <gmpxx.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>

#include "digits.h"

namespace morvo {
namespace {

Dec dec(std::string_view text) {
  auto parsed = Dec::parse(text);
  if (!parsed) ADD_FAILURE() << "does not parse: " << text;
  return parsed.value_or(Dec{});
}

std::string str(const Dec& x) { return std::string(x.toText()); }

std::string digitsOf(const Dec& x) { return std::string(digitText(x.coefficient)); }

std::string intText(const Integer& v) { return std::string(decimalText(v)); }

std::string nines(size_t n) { return std::string(n, '9'); }

// ---- parse ----

struct Parsed {
  const char* text;
  const char* coefficient;
  int64_t exponent;
  bool negative;
};

class ParseAccepts : public testing::TestWithParam<Parsed> {};

TEST_P(ParseAccepts, ReadsCoefficientExponentAndSign) {
  const Parsed& p = GetParam();
  auto x = Dec::parse(p.text);
  ASSERT_TRUE(x.has_value()) << p.text;
  EXPECT_EQ(digitsOf(*x), p.coefficient) << p.text;
  EXPECT_EQ(x->exponent, p.exponent) << p.text;
  EXPECT_EQ(x->negative, p.negative) << p.text;
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, ParseAccepts,
    testing::Values(Parsed{"1.50", "150", -2, false}, Parsed{"+1.50", "150", -2, false},
                    Parsed{"001.50", "150", -2, false}, Parsed{"1.5E1", "15", 0, false},
                    Parsed{"1e-3", "1", -3, false}, Parsed{".5", "5", -1, false},
                    Parsed{"5.", "5", 0, false}, Parsed{"-0", "0", 0, true},
                    Parsed{"1.e5", "1", 5, false}, Parsed{"-12.34e+02", "1234", 0, true},
                    Parsed{"1E0005", "1", 5, false},
                    Parsed{"1e9223372036854775807", "1", INT64_MAX, false},
                    Parsed{"1e-9223372036854775808", "1", INT64_MIN, false},
                    Parsed{"0.000", "0", -3, false},
                    // Past 38 digits the coefficient leaves 128 bits.
                    Parsed{"123456789012345678901234567890123456789.5",
                           "1234567890123456789012345678901234567895", -1, false}));

class ParseRejects : public testing::TestWithParam<const char*> {};

TEST_P(ParseRejects, GivesNone) { EXPECT_FALSE(Dec::parse(GetParam()).has_value()) << GetParam(); }

INSTANTIATE_TEST_SUITE_P(
    Grammar, ParseRejects,
    testing::Values("", ".", "-", "+", "E5", "1e", "1e+", "1e-", "1.2.3", " 1", "1 ", "1_000", "NaN",
                    "Infinity", "inf", "0x10", "1e99999999999999999999", "+-1", "--1", "1e+-5",
                    "1e5.0", "1,5", "\xd9\xa1",  // an Arabic-Indic digit one
                    "1e9223372036854775808", "1e-9223372036854775809",
                    // The fraction digits push the exponent below the 64-bit range.
                    "1.5e-9223372036854775808", ".1e-9223372036854775808"));

TEST(DecText, WritesCoefficientLetterAndExponent) {
  EXPECT_EQ(str(dec("12.34")), "1234E-2");
  EXPECT_EQ(str(dec("5e3")), "5E3");
  EXPECT_EQ(str(dec("-0")), "-0E0");
  EXPECT_EQ(str(dec("1e-9223372036854775808")), "1E-9223372036854775808");
  std::string long_digits = "1" + std::string(150, '0') + "7";
  EXPECT_EQ(str(dec(long_digits + "e-3")), long_digits + "E-3");
}

// ---- conversions ----

TEST(DecToF64, RoundsCorrectlyAndSaturates) {
  EXPECT_EQ(dec("0.1").toF64(), 0.1);
  EXPECT_EQ(dec("-2.5").toF64(), -2.5);
  // 2^53 + 1 is a tie between 2^53 and 2^53 + 2: the even one wins.
  EXPECT_EQ(dec("9007199254740993").toF64(), 9007199254740992.0);
  EXPECT_EQ(dec("9007199254740995").toF64(), 9007199254740996.0);
  EXPECT_EQ(dec("1E400").toF64(), INFINITY);
  double tiny = dec("-1E-400").toF64();
  EXPECT_EQ(tiny, 0.0);
  EXPECT_TRUE(std::signbit(tiny));
  EXPECT_EQ(dec("1E-9223372036854775808").toF64(), 0.0);
  EXPECT_EQ(dec("-1E9223372036854775807").toF64(), -INFINITY);
  // A coefficient too long for the stack buffer.
  EXPECT_EQ(dec("1" + std::string(200, '0') + "E-200").toF64(), 1.0);
}

TEST(DecToBigInt, TruncatesTowardZero) {
  EXPECT_EQ(intText(dec("-2.7").toBigInt()), "-2");
  EXPECT_EQ(intText(dec("1.2E3").toBigInt()), "1200");
  EXPECT_EQ(intText(dec("99.99").toBigInt()), "99");
  Integer zero = dec("-0.5").toBigInt();
  EXPECT_EQ(zero.sign, Sign::Zero);  // a zero magnitude has no sign
  // Far below one: decided from the digits, without building 10^(9e18).
  EXPECT_EQ(dec("7E-9000000000000000000").toBigInt().sign, Sign::Zero);
  EXPECT_EQ(intText(dec("123456789012345678901234567890123456789012E-2").toBigInt()),
            "1234567890123456789012345678901234567890");
}

TEST(DecFromUnit, IsExactForMultiplesOfTwoToMinus53) {
  Dec half = Dec::fromUnit(0.5);
  mpz_class expected = (mpz_class(1) << 52) * mpz_class("11102230246251565404236316680908203125");
  EXPECT_EQ(digitsOf(half), expected.get_str());
  EXPECT_EQ(half.exponent, -53);
  EXPECT_EQ(Dec::compare(half, dec("0.5")), 0);
  EXPECT_EQ(Dec::compare(Dec::fromUnit(std::ldexp(1.0, -53)), dec("1.1102230246251565404236316680908203125E-16")), 0);
  EXPECT_TRUE(Dec::fromUnit(0.0).isZero());
  EXPECT_TRUE(Dec::fromUnit(-0.25).isZero());
  EXPECT_TRUE(Dec::fromUnit(NAN).isZero());
  // Beyond 2^64 / 2^53 the count saturates instead of overflowing.
  Dec big = Dec::fromUnit(1e30);
  EXPECT_EQ(digitsOf(big), mpz_class(mpz_class("18446744073709551615") * mpz_class("11102230246251565404236316680908203125")).get_str());
}

TEST(DecFives, IsFiveToThe53) {
  mpz_class five53;
  mpz_ui_pow_ui(five53.get_mpz_t(), 5, 53);
  EXPECT_EQ(intText(Integer::fromMagnitude(false, fromU128(fives()))), five53.get_str());
}

// ---- compare ----

struct Ordered {
  const char* a;
  const char* b;
  int order;
};

class DecCompare : public testing::TestWithParam<Ordered> {};

TEST_P(DecCompare, OrdersValuesNotRepresentations) {
  const Ordered& p = GetParam();
  EXPECT_EQ(Dec::compare(dec(p.a), dec(p.b)), p.order) << p.a << " vs " << p.b;
  EXPECT_EQ(Dec::compare(dec(p.b), dec(p.a)), -p.order) << p.b << " vs " << p.a;
}

INSTANTIATE_TEST_SUITE_P(
    Values, DecCompare,
    testing::Values(Ordered{"1.0", "1", 0}, Ordered{"-2", "-10", 1}, Ordered{"-0", "0", 0},
                    Ordered{"0E-5", "-0E9", 0}, Ordered{"0", "-1", 1}, Ordered{"0", "1E-30", -1},
                    Ordered{"-3", "2", -1}, Ordered{"12.5", "1.25E1", 0}, Ordered{"999", "1E3", -1},
                    Ordered{"1000.1", "1E3", 1},
                    // Far apart: decided from the leading digit's position.
                    Ordered{"1E-9000000000000000000", "0", 1},
                    Ordered{"1E9000000000000000000", "9E8999999999999999999", 1},
                    Ordered{"1E9223372036854775807", "1E-9223372036854775808", 1},
                    Ordered{"-1E9223372036854775807", "-1E-9223372036854775808", -1},
                    Ordered{"10E9000000000000000000", "1E9000000000000000001", 0}));

// ---- add, subtract, multiply, rounded ----

TEST(DecAdd, KnownSumsAndSigns) {
  EXPECT_EQ(str(Dec::add(dec("0.1"), dec("0.2"))), "3E-1");
  EXPECT_EQ(str(Dec::add(dec("5"), dec("-5"))), "0E0");       // exact zero is positive
  EXPECT_EQ(str(Dec::add(dec("-5"), dec("5"))), "0E0");
  EXPECT_EQ(str(Dec::add(dec("-0"), dec("-0"))), "-0E0");     // same flags keep the sign
  EXPECT_EQ(str(Dec::add(dec("-0"), dec("0E-3"))), "0E-3");
  EXPECT_EQ(str(Dec::add(dec("1.5"), dec("2E-3"))), "1502E-3");
  EXPECT_EQ(str(Dec::add(dec("-1.5"), dec("2E-3"))), "-1498E-3");
  EXPECT_EQ(str(Dec::add(dec("1.5"), dec("-2"))), "-5E-1");
  // 1 - 1E-70 is 70 nines: cut to 60 it rounds up and carries to 10^59.
  Dec one = Dec::subtract(dec("1"), dec("1E-70"));
  EXPECT_EQ(str(one), "1" + std::string(59, '0') + "E-59");
}

TEST(DecAdd, ZeroOperandOnlyWidensUpToSixtyDigits) {
  // 0E-9e18 + 7: the exact coefficient would be 7 * 10^(9e18).
  Dec x = Dec::add(dec("0E-9000000000000000000"), dec("7"));
  EXPECT_EQ(str(x), "7" + std::string(59, '0') + "E-59");
  Dec y = Dec::add(dec("-7"), dec("0E-3"));
  EXPECT_EQ(str(y), "-7000E-3");
  std::string d70 = "1" + std::string(68, '0') + "5";
  Dec z = Dec::add(dec(d70), dec("0E-100"));
  EXPECT_EQ(str(z), "1" + std::string(59, '0') + "E10");  // 70 digits cut half-even
}

TEST(DecAdd, FarApartOperandsFinishFastAndRoundLikeTheExactSum) {
  auto start = std::chrono::steady_clock::now();
  Dec up = Dec::add(dec("1E9000000000000000000"), dec("1E-9000000000000000000"));
  EXPECT_EQ(str(up), "1" + std::string(59, '0') + "E8999999999999999941");
  Dec down = Dec::subtract(dec("1E9000000000000000000"), dec("1E-9000000000000000000"));
  EXPECT_EQ(str(down), "1" + std::string(59, '0') + "E8999999999999999941");
  Dec lower = Dec::add(dec("1E-9000000000000000000"), dec("-3"));
  EXPECT_EQ(str(lower), "-3" + std::string(59, '0') + "E-59");
  Dec extreme = Dec::subtract(dec("1E9223372036854775807"), dec("1E-9223372036854775808"));
  EXPECT_EQ(str(extreme), "1" + std::string(59, '0') + "E9223372036854775748");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

// The exact sum at the smaller exponent, cut to 60 digits half-even, with
// nothing but mpz: the oracle for the shortcut above.
std::string referenceAdd(const Dec& a, const Dec& b) {
  int64_t n = std::min(a.exponent, b.exponent);
  mpz_class ca(digitsOf(a)), cb(digitsOf(b));
  ca *= powerOfTen(static_cast<uint64_t>(a.exponent - n));
  cb *= powerOfTen(static_cast<uint64_t>(b.exponent - n));
  if (a.negative) ca = -ca;
  if (b.negative) cb = -cb;
  mpz_class sum = ca + cb;
  bool negative = sgn(sum) < 0 || (sgn(sum) == 0 && a.negative && b.negative);
  mpz_class m = abs(sum);
  int64_t e = n;
  size_t d = m.get_str().size();
  if (d > 60) {
    mpz_class div = powerOfTen(d - 60), q = m / div, r = m % div;
    int c = cmp(2 * r, div);
    if (c > 0 || (c == 0 && mpz_odd_p(q.get_mpz_t()))) q += 1;
    e += static_cast<int64_t>(d - 60);
    if (q == powerOfTen(60)) {
      q /= 10;
      e += 1;
    }
    m = q;
  }
  return (negative ? "-" : "") + m.get_str() + "E" + std::to_string(e);
}

TEST(DecAdd, MatchesExactSumAcrossTheRoundingWindow) {
  // Deterministic spread of coefficients (1 to 70 digits), signs and exponent
  // gaps around the 60-digit window, where the shortcut starts to apply.
  uint64_t state = 0x9e3779b97f4a7c15ULL;
  auto next = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state >> 33;
  };
  auto randomDec = [&](int64_t exponent) {
    size_t digits = 1 + next() % 70;
    std::string text;
    for (size_t i = 0; i < digits; ++i) text += static_cast<char>('0' + (i == 0 ? 1 + next() % 9 : next() % 10));
    if (next() % 3 == 0) text += std::string(next() % 5, '0');  // trailing zeros
    if (next() % 4 == 0) text.back() = '5';
    return dec((next() % 2 ? "-" : "") + text + "E" + std::to_string(exponent));
  };
  for (int i = 0; i < 4000; ++i) {
    Dec a = randomDec(static_cast<int64_t>(next() % 40) - 20);
    Dec b = randomDec(a.exponent - static_cast<int64_t>(next() % 160) + 20);
    ASSERT_EQ(str(Dec::add(a, b)), referenceAdd(a, b)) << str(a) << " + " << str(b);
    ASSERT_EQ(str(Dec::add(b, a)), referenceAdd(b, a)) << str(b) << " + " << str(a);
  }
}

TEST(DecRounded, CutsSixtyOneDigitsHalfEvenWithCarry) {
  std::string even = "1" + std::string(58, '0') + "25";  // ...2 then 5: down
  std::string odd = "1" + std::string(58, '0') + "35";   // ...3 then 5: up
  EXPECT_EQ(str(Dec::rounded(dec(even))), "1" + std::string(58, '0') + "2E1");
  EXPECT_EQ(str(Dec::rounded(dec(odd))), "1" + std::string(58, '0') + "4E1");
  EXPECT_EQ(str(Dec::rounded(dec(nines(61) + "E-3"))), "1" + std::string(59, '0') + "E-1");
  EXPECT_EQ(str(Dec::rounded(dec(nines(60)))), nines(60) + "E0");  // 60 digits stay
  Dec negative = Dec::rounded(dec("-" + odd));
  EXPECT_TRUE(negative.negative);
  EXPECT_EQ(digitsOf(negative), "1" + std::string(58, '0') + "4");
}

TEST(DecMultiply, RoundsProductsAndSetsSign) {
  EXPECT_EQ(str(multiply(dec("1.5"), dec("-2.5"))), "-375E-2");
  EXPECT_EQ(str(multiply(dec("-0"), dec("-3"))), "0E0");
  Dec square = multiply(dec(nines(40)), dec(nines(40)));  // 80 digits: 99..980..01
  EXPECT_EQ(str(square), nines(39) + "8" + std::string(20, '0') + "E20");
}

TEST(DecMultiply, SaturatesExponentsBeyondSixtyFourBits) {
  Dec tiny = multiply(dec("3E-9223372036854775808"), dec("2E-10"));
  EXPECT_EQ(str(tiny), "6E-9223372036854775808");
  Dec huge = multiply(dec("3E9223372036854775807"), dec("2E10"));
  EXPECT_EQ(str(huge), "6E9223372036854775807");
  EXPECT_EQ(Dec::compare(tiny, dec("1E-400")), -1);
  EXPECT_EQ(Dec::compare(huge, dec("1E400")), 1);
}

// ---- quantize ----

struct Quantized {
  const char* value;
  int64_t target;
  Rounding rounding;
  const char* expected;  // nullptr for none
};

class DecQuantize : public testing::TestWithParam<Quantized> {};

TEST_P(DecQuantize, RoundsToTheGridOrRefusesPastSixtyDigits) {
  const Quantized& p = GetParam();
  auto q = Dec::quantize(dec(p.value), p.target, p.rounding);
  if (!p.expected) {
    EXPECT_FALSE(q.has_value()) << p.value;
  } else {
    ASSERT_TRUE(q.has_value()) << p.value;
    EXPECT_EQ(str(*q), p.expected) << p.value;
  }
}

constexpr Rounding HE = Rounding::halfEven, CE = Rounding::ceiling, FL = Rounding::floor;

INSTANTIATE_TEST_SUITE_P(
    Grid, DecQuantize,
    testing::Values(Quantized{"2.5", 0, HE, "2E0"}, Quantized{"3.5", 0, HE, "4E0"},
                    Quantized{"2.51", 0, HE, "3E0"}, Quantized{"-2.5", 0, HE, "-2E0"},
                    Quantized{"2.1", 0, CE, "3E0"}, Quantized{"-2.1", 0, CE, "-2E0"},
                    Quantized{"2.9", 0, FL, "2E0"}, Quantized{"-2.1", 0, FL, "-3E0"},
                    Quantized{"-0.4", 0, HE, "-0E0"},  // the sign flag stays
                    Quantized{"1.5", -3, HE, "1500E-3"}, Quantized{"1E60", 0, HE, nullptr},
                    Quantized{"1E59", 0, HE, "1" "00000000000000000000000000000000000000000000000000000000000E0"},
                    Quantized{"0E5", -9000000000000000000, HE, "0E-9000000000000000000"},
                    // Far above the target: refused from the digit count alone.
                    Quantized{"1.5", -4294967295, HE, nullptr},
                    Quantized{"1E9000000000000000000", 0, FL, nullptr},
                    // Far below the target: nothing of the coefficient survives.
                    Quantized{"7E-9000000000000000000", 0, HE, "0E0"},
                    Quantized{"7E-9000000000000000000", 0, CE, "1E0"},
                    Quantized{"7E-9000000000000000000", 0, FL, "0E0"},
                    Quantized{"-7E-9000000000000000000", 0, FL, "-1E0"},
                    Quantized{"-7E-9000000000000000000", 0, CE, "-0E0"},
                    Quantized{"5E-1", 0, HE, "0E0"}, Quantized{"6E-1", 0, HE, "1E0"},
                    Quantized{"5E-2", 0, HE, "0E0"}, Quantized{"95E-2", 0, HE, "1E0"},
                    Quantized{"1E-9223372036854775808", 9223372036854775807, CE, "1E9223372036854775807"}));

TEST(DecQuantize, CarryToSixtyOneDigitsIsRefused) {
  EXPECT_FALSE(Dec::quantize(dec(nines(60) + ".5"), 0, HE).has_value());
  EXPECT_TRUE(Dec::quantize(dec(nines(60) + ".4"), 0, HE).has_value());
}

}  // namespace
}  // namespace morvo
