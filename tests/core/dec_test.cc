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
std::string zeros(size_t n) { return std::string(n, '0'); }

// Parsed and written back as sign, coefficient, "E", exponent.
TEST(DecParse, ReadsTheGrammarAndRejectsTheRest) {
  const std::string long_digits = "1" + zeros(150) + "7";
  const std::pair<std::string, std::string> accepted[] = {
      {"+001.50", "150E-2"}, {"1.5E1", "15E0"}, {"1e-3", "1E-3"}, {".5", "5E-1"}, {"5.", "5E0"}, {"-0", "-0E0"},
      {"1.e5", "1E5"}, {"-12.34e+02", "-1234E0"}, {"1E0005", "1E5"}, {"0.000", "0E-3"},
      {"1e9223372036854775807", "1E9223372036854775807"}, {"1e-9223372036854775808", "1E-9223372036854775808"},
      // Past 38 digits the coefficient leaves 128 bits.
      {"123456789012345678901234567890123456789.5", "1234567890123456789012345678901234567895E-1"},
      {long_digits + "e-3", long_digits + "E-3"}};
  for (const auto& [text, written] : accepted) EXPECT_EQ(str(dec(text)), written);
  for (const char* text : {"", ".", "-", "+", "E5", "1e", "1e+", "1e-", "1.2.3", " 1", "1 ", "1_000", "NaN", "Infinity",
                           "0x10", "1e99999999999999999999", "+-1", "--1", "1e+-5", "1e5.0", "1,5",
                           "\xd9\xa1",  // an Arabic-Indic digit one
                           "1e9223372036854775808", "1e-9223372036854775809",
                           // The fraction digits push the exponent below the 64-bit range.
                           "1.5e-9223372036854775808", ".1e-9223372036854775808"})
    EXPECT_FALSE(Dec::parse(text).has_value()) << text;
}

TEST(DecConvert, ToFloatAndInteger) {
  EXPECT_EQ(dec("0.1").toF64(), 0.1);
  EXPECT_EQ(dec("-2.5").toF64(), -2.5);
  // 2^53 + 1 and 2^53 + 3 are ties: the even neighbour wins.
  EXPECT_EQ(dec("9007199254740993").toF64(), 9007199254740992.0);
  EXPECT_EQ(dec("9007199254740995").toF64(), 9007199254740996.0);
  EXPECT_EQ(dec("1E400").toF64(), INFINITY);
  EXPECT_EQ(dec("-1E9223372036854775807").toF64(), -INFINITY);
  EXPECT_TRUE(std::signbit(dec("-1E-400").toF64()) && dec("-1E-400").toF64() == 0.0);
  EXPECT_EQ(dec("1E-9223372036854775808").toF64(), 0.0);
  EXPECT_EQ(dec("1" + zeros(200) + "E-200").toF64(), 1.0);  // longer than the stack buffer

  EXPECT_EQ(intText(dec("-2.7").toBigInt()), "-2");
  EXPECT_EQ(intText(dec("1.2E3").toBigInt()), "1200");
  EXPECT_EQ(dec("-0.5").toBigInt().sign, Sign::Zero);  // a zero magnitude has no sign
  EXPECT_EQ(dec("7E-9000000000000000000").toBigInt().sign, Sign::Zero);  // without building 10^(9e18)
  EXPECT_EQ(intText(dec("123456789012345678901234567890123456789012E-2").toBigInt()),
            "1234567890123456789012345678901234567890");
}

TEST(DecFromUnit, IsExactForMultiplesOfTwoToMinus53) {
  const mpz_class five53("11102230246251565404236316680908203125");
  Dec half = Dec::fromUnit(0.5);
  EXPECT_EQ(digitsOf(half), mpz_class((mpz_class(1) << 52) * five53).get_str());
  EXPECT_EQ(half.exponent, -53);
  EXPECT_EQ(Dec::compare(Dec::fromUnit(std::ldexp(1.0, -53)), dec("1.1102230246251565404236316680908203125E-16")), 0);
  for (double unit : {0.0, -0.25, double(NAN)}) EXPECT_TRUE(Dec::fromUnit(unit).isZero()) << unit;
  // Beyond 2^64 / 2^53 the count saturates instead of overflowing.
  EXPECT_EQ(digitsOf(Dec::fromUnit(1e30)), mpz_class(mpz_class("18446744073709551615") * five53).get_str());
}

TEST(DecCompare, OrdersValuesNotRepresentations) {
  const std::tuple<const char*, const char*, int> cases[] = {
      {"1.0", "1", 0}, {"-2", "-10", 1}, {"0E-5", "-0E9", 0}, {"0", "1E-30", -1}, {"-3", "2", -1}, {"999", "1E3", -1},
      {"1000.1", "1E3", 1},
      // Far apart: decided from the leading digit's position.
      {"1E-9000000000000000000", "0", 1}, {"1E9000000000000000000", "9E8999999999999999999", 1},
      {"1E9223372036854775807", "1E-9223372036854775808", 1}, {"-1E9223372036854775807", "-1E-9223372036854775808", -1},
      {"10E9000000000000000000", "1E9000000000000000001", 0}};
  for (auto [a, b, order] : cases) {
    EXPECT_EQ(Dec::compare(dec(a), dec(b)), order) << a << " vs " << b;
    EXPECT_EQ(Dec::compare(dec(b), dec(a)), -order) << b << " vs " << a;
  }
}

// Known results as texts, so the sign of a zero and the exponent are pinned.
// The far-apart cases must not build 10^(difference), hence the time limit.
TEST(DecArithmetic, KnownResultsAndSignsFinishFast) {
  struct Case {
    char op;  // + - * or r (rounded)
    std::string a, b, expected;
  };
  const std::string one59 = "1" + zeros(59), big = "1E9000000000000000000", small = "1E-9000000000000000000";
  const Case cases[] = {
      {'+', "0.1", "0.2", "3E-1"}, {'+', "5", "-5", "0E0"}, {'+', "-5", "5", "0E0"},  // exact zero is positive
      {'+', "-0", "-0", "-0E0"}, {'+', "-0", "0E-3", "0E-3"}, {'+', "1.5", "2E-3", "1502E-3"},
      {'+', "-1.5", "2E-3", "-1498E-3"}, {'+', "1.5", "-2", "-5E-1"},
      {'-', "1", "1E-70", one59 + "E-59"},  // 70 nines round up and carry
      // A zero operand widens the other only up to 60 digits.
      {'+', "0E-9000000000000000000", "7", "7" + zeros(59) + "E-59"}, {'+', "-7", "0E-3", "-7000E-3"},
      {'+', "1" + zeros(68) + "5", "0E-100", one59 + "E10"},
      {'+', big, small, one59 + "E8999999999999999941"}, {'-', big, small, one59 + "E8999999999999999941"},
      {'+', small, "-3", "-3" + zeros(59) + "E-59"},
      {'-', "1E9223372036854775807", "1E-9223372036854775808", one59 + "E9223372036854775748"},
      {'*', "1.5", "-2.5", "-375E-2"}, {'*', "-0", "-3", "0E0"},
      {'*', nines(40), nines(40), nines(39) + "8" + zeros(20) + "E20"},
      // Exponents beyond 64 bits saturate.
      {'*', "3E-9223372036854775808", "2E-10", "6E-9223372036854775808"},
      {'*', "3E9223372036854775807", "2E10", "6E9223372036854775807"},
      {'r', "1" + zeros(58) + "25", "", "1" + zeros(58) + "2E1"}, {'r', "1" + zeros(58) + "35", "", "1" + zeros(58) + "4E1"},
      {'r', "-1" + zeros(58) + "35", "", "-1" + zeros(58) + "4E1"}, {'r', nines(61) + "E-3", "", one59 + "E-1"},
      {'r', nines(60), "", nines(60) + "E0"}};
  auto start = std::chrono::steady_clock::now();
  for (const Case& c : cases) {
    Dec a = dec(c.a), b = c.op == 'r' ? Dec{} : dec(c.b);
    Dec r = c.op == '+' ? Dec::add(a, b) : c.op == '-' ? Dec::subtract(a, b) : c.op == '*' ? multiply(a, b) : Dec::rounded(a);
    EXPECT_EQ(str(r), c.expected) << c.a << ' ' << c.op << ' ' << c.b;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

// The exact sum at the smaller exponent cut to 60 digits half-even, in mpz
// alone: the oracle for the shortcuts of add.
std::string referenceAdd(const Dec& a, const Dec& b) {
  int64_t e = std::min(a.exponent, b.exponent);
  mpz_class ca(digitsOf(a)), cb(digitsOf(b));
  ca *= powerOfTen(static_cast<uint64_t>(a.exponent - e));
  cb *= powerOfTen(static_cast<uint64_t>(b.exponent - e));
  mpz_class sum = (a.negative ? -ca : ca) + (b.negative ? -cb : cb), m = abs(sum);
  bool negative = sgn(sum) < 0 || (sgn(sum) == 0 && a.negative && b.negative);
  if (size_t d = m.get_str().size(); d > 60) {
    mpz_class div = powerOfTen(d - 60), q = m / div;
    int c = cmp(2 * (m % div), div);
    if (c > 0 || (c == 0 && mpz_odd_p(q.get_mpz_t()))) q += 1;
    e += static_cast<int64_t>(d - 60);
    if (q == powerOfTen(60)) q /= 10, e += 1;
    m = q;
  }
  return (negative ? "-" : "") + m.get_str() + "E" + std::to_string(e);
}

TEST(DecAdd, MatchesExactSumAcrossTheRoundingWindow) {
  // Coefficients of 1 to 70 digits (some with trailing zeros or a final 5),
  // both signs, exponent gaps around the 60-digit window.
  uint64_t state = 0x9e3779b97f4a7c15ULL;
  auto next = [&] { return (state = state * 6364136223846793005ULL + 1442695040888963407ULL) >> 33; };
  auto randomDec = [&](int64_t exponent) {
    std::string text(1, static_cast<char>('1' + next() % 9));
    for (size_t i = next() % 70; i > 0; --i) text += static_cast<char>('0' + next() % 10);
    if (next() % 3 == 0) text += zeros(next() % 5);
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

TEST(DecQuantize, RoundsToTheGridOrRefusesPastSixtyDigits) {
  constexpr Rounding HE = Rounding::halfEven, CE = Rounding::ceiling, FL = Rounding::floor;
  const std::string far = "7E-9000000000000000000";
  const std::tuple<std::string, int64_t, Rounding, const char*> cases[] = {  // nullptr: refused
      {"2.5", 0, HE, "2E0"}, {"3.5", 0, HE, "4E0"}, {"2.51", 0, HE, "3E0"}, {"-2.5", 0, HE, "-2E0"}, {"2.1", 0, CE, "3E0"},
      {"-2.1", 0, CE, "-2E0"}, {"2.9", 0, FL, "2E0"}, {"-2.1", 0, FL, "-3E0"}, {"-0.4", 0, HE, "-0E0"},  // sign stays
      {"1.5", -3, HE, "1500E-3"}, {"5E-1", 0, HE, "0E0"}, {"6E-1", 0, HE, "1E0"}, {"5E-2", 0, HE, "0E0"},
      {"95E-2", 0, HE, "1E0"}, {"1E60", 0, HE, nullptr}, {nines(60) + ".5", 0, HE, nullptr},  // the carry makes 61
      {"1E59", 0, HE, "100000000000000000000000000000000000000000000000000000000000E0"},
      {nines(60) + ".4", 0, HE, "999999999999999999999999999999999999999999999999999999999999E0"},
      {"0E5", -9000000000000000000, HE, "0E-9000000000000000000"},
      // Far above the target: refused from the digit count alone.
      {"1.5", -4294967295, HE, nullptr}, {"1E9000000000000000000", 0, FL, nullptr},
      // Far below the target: nothing of the coefficient survives.
      {far, 0, HE, "0E0"}, {far, 0, CE, "1E0"}, {far, 0, FL, "0E0"}, {"-" + far, 0, FL, "-1E0"}, {"-" + far, 0, CE, "-0E0"},
      {"1E-9223372036854775808", 9223372036854775807, CE, "1E9223372036854775807"}};
  for (const auto& [value, target, rounding, expected] : cases) {
    auto q = Dec::quantize(dec(value), target, rounding);
    ASSERT_EQ(q.has_value(), expected != nullptr) << value << " to " << target;
    if (q) {
      EXPECT_EQ(str(*q), expected) << value << " to " << target;
    }
  }
}

}  // namespace
}  // namespace morvo
