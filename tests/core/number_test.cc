#include "number.h"

#include <gmp.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <numeric>
#include <set>
#include <string>

namespace morvo {
namespace {

KeyedHash keyOf(uint8_t first, uint8_t step = 1) {
  std::array<uint8_t, 32> subkey;
  for (size_t i = 0; i < subkey.size(); ++i) subkey[i] = static_cast<uint8_t>(first + step * i);
  return KeyedHash::fromSubkey(subkey);
}

// bytes 0, 1, ..., 31: the subkey of the known answers below.
const KeyedHash& counting() {
  static const KeyedHash hash = keyOf(0);
  return hash;
}

NumberStrategy strategy(std::optional<std::string_view> min = std::nullopt,
                        std::optional<std::string_view> max = std::nullopt,
                        std::optional<std::string_view> variance = std::nullopt,
                        std::optional<uint32_t> decimals = std::nullopt) {
  auto made = NumberStrategy::make(min, max, variance, decimals);
  if (auto* error = std::get_if<Text>(&made)) {
    ADD_FAILURE() << "construction failed: " << *error;
    return {};
  }
  return std::get<NumberStrategy>(std::move(made));
}

Integer integer(int64_t v) { return Integer::fromI64(v); }

std::string intText(const Outcome<Integer>& out) {
  if (!std::holds_alternative<Integer>(out)) return "<fallback>";
  return std::string(decimalText(std::get<Integer>(out)));
}

std::string decText(const Outcome<Text>& out) {
  if (!std::holds_alternative<Text>(out)) return "<fallback>";
  return std::string(std::get<Text>(out));
}

Dec dec(std::string_view text) { return Dec::parse(text).value(); }

// ---- construction ----

struct Refusal {
  std::optional<const char*> min, max, variance;
  const char* message;
};

class NumberMake : public testing::TestWithParam<Refusal> {};

TEST_P(NumberMake, RefusesWithTheOptionsMessage) {
  const Refusal& p = GetParam();
  auto view = [](std::optional<const char*> s) -> std::optional<std::string_view> {
    if (!s) return std::nullopt;
    return std::string_view(*s);
  };
  auto made = NumberStrategy::make(view(p.min), view(p.max), view(p.variance), std::nullopt);
  ASSERT_TRUE(std::holds_alternative<Text>(made));
  EXPECT_EQ(std::get<Text>(made), p.message);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, NumberMake,
    testing::Values(Refusal{"1", std::nullopt, std::nullopt, "number needs both min and max, or neither"},
                    Refusal{std::nullopt, "x", std::nullopt, "number needs both min and max, or neither"},
                    Refusal{"abc", "1", std::nullopt, "number min is not a finite decimal: \"abc\""},
                    Refusal{"abc", "def", "ghi", "number min is not a finite decimal: \"abc\""},
                    Refusal{"1", "1 ", std::nullopt, "number max is not a finite decimal: \"1 \""},
                    Refusal{std::nullopt, std::nullopt, "NaN", "number variance is not a finite decimal: \"NaN\""},
                    Refusal{std::nullopt, std::nullopt, "a\"b\\c\n\t",
                            "number variance is not a finite decimal: \"a\\\"b\\\\c\\n\\t\""}));

TEST(NumberMake, DefaultsVarianceToOneTenthAndKeepsDecimals) {
  NumberStrategy s = strategy(std::nullopt, std::nullopt, std::nullopt, 4294967295u);
  EXPECT_EQ(s.variance.toText(), "1E-1");
  EXPECT_FALSE(s.bounded());
  EXPECT_EQ(s.decimals, 4294967295u);
  NumberStrategy inverted = strategy("5", "-5", "-3");  // no further validation
  EXPECT_TRUE(inverted.bounded());
  EXPECT_EQ(inverted.variance.toText(), "-3E0");
}

// ---- hash texts ----

TEST(NumberHashText, DecimalsUseTheirPlainSignificantDigits) {
  const std::pair<const char*, const char*> cases[] = {
      {"12.3400", "12.34"}, {"0.00120", "0.0012"}, {"1E-7", "0.0000001"}, {"5.000", "5"},
      {"-2.50", "-2.5"},    {"1E+3", "1000"},      {"3.00", "3"},          {"-0.5", "-0.5"},
      {"123E-1", "12.3"},   {"1234567890123456789012345678E-30", "0.001234567890123456789012345678"}};
  for (auto [text, expected] : cases) {
    auto h = decimalHashText(dec(text));
    ASSERT_TRUE(h.has_value()) << text;
    EXPECT_EQ(*h, expected) << text;
  }
  // 29 significant digits in a non-integral value are not hashed here, but
  // trailing zeros and integral values do not count.
  EXPECT_FALSE(decimalHashText(dec("1.2345678901234567890123456789")).has_value());
  EXPECT_TRUE(decimalHashText(dec("1.234567890123456789012345678000")).has_value());
  EXPECT_TRUE(decimalHashText(dec("12345678901234567890123456789.000")).has_value());
}

TEST(NumberHashText, IntegralFloatsUseTheirExactInteger) {
  EXPECT_EQ(floatHashText(3.0, "3.0"), "3");
  EXPECT_EQ(floatHashText(-3.0, "-3.0"), "-3");
  EXPECT_EQ(floatHashText(1e20, "1e+20"), "100000000000000000000");
  EXPECT_EQ(floatHashText(2.5, "2.5"), "2.5");
  EXPECT_EQ(floatHashText(1e-05, "1e-05"), "1e-05");
  // Beyond 2^128 the exact value of the double, not its repr's digits.
  EXPECT_EQ(floatHashText(-1e300, "-1e+300").substr(0, 40), "-100000000000000005250476025520442024870");
  EXPECT_EQ(floatHashText(-1e300, "-1e+300").size(), 302u);
}

// ---- known answers ----
// Computed independently with Python's decimal module (60 digits, half even)
// and hmac from the algorithm's description, under the subkey 0, 1, ..., 31.

TEST(NumberKnownAnswers, IntegersMatchTheDecimalReference) {
  NumberStrategy s = strategy();
  EXPECT_EQ(intText(s.maskInteger(counting(), integer(7))), "6");
  EXPECT_EQ(intText(s.maskInteger(counting(), integer(-42))), "-38");
  EXPECT_EQ(intText(s.maskInteger(counting(), integer(123456789))), "121496777");
  EXPECT_EQ(intText(s.maskInteger(counting(), integer(0))), "0");
  EXPECT_EQ(intText(s.maskInteger(counting(), integer(-999999999999999999))), "-965868128499728828");
  Integer big = Integer::fromMagnitude(false, magnitudeFromDigits("10000000000000000000000000000000012345"));
  EXPECT_EQ(intText(s.maskInteger(counting(), big)), "9459875895107613841261695597495429720");
  EXPECT_EQ(intText(strategy("10", "20").maskInteger(counting(), integer(7))), "14");
  EXPECT_EQ(intText(strategy("-5.5", "1E6").maskInteger(counting(), integer(123))), "661744");
}

TEST(NumberKnownAnswers, DecimalsAndFloatsMatchTheDecimalReference) {
  NumberStrategy s = strategy();
  EXPECT_EQ(decText(s.maskDecimal(counting(), "15.25")), "1568E-2");
  EXPECT_EQ(decText(s.maskDecimal(counting(), "-3.14159")), "-317775E-5");
  EXPECT_EQ(decText(s.maskDecimal(counting(), "1E+3")), "934E0");
  EXPECT_EQ(decText(s.maskDecimal(counting(), "0.5")), "6E-1");
  EXPECT_EQ(decText(strategy("10", "20").maskDecimal(counting(), "15.25")), "1641E-2");
  EXPECT_EQ(decText(strategy(std::nullopt, std::nullopt, std::nullopt, 3).maskDecimal(counting(), "0.5")), "489E-3");
  auto f = [](const Outcome<double>& out) { return std::get<double>(out); };
  EXPECT_EQ(f(s.maskFloat(counting(), 2.5, "2.5")), 2.294787618949049);
  EXPECT_EQ(f(strategy(std::nullopt, std::nullopt, std::nullopt, 1).maskFloat(counting(), 2.5, "2.5")), 2.3);
  EXPECT_EQ(f(s.maskFloat(counting(), -1e-05, "-1e-05")), -9.862926146268539e-06);
  EXPECT_EQ(f(s.maskFloat(counting(), 1e20, "1e+20")), 9.969393234093457e+19);
}

// ---- behaviours over many subkeys and values ----

TEST(NumberUnbounded, ZeroVarianceStillMovesByOneStepEitherWay) {
  NumberStrategy s = strategy(std::nullopt, std::nullopt, "0");
  std::set<std::string> ints, decs;
  for (int k = 0; k < 64; ++k) {
    KeyedHash hash = keyOf(static_cast<uint8_t>(k), 7);
    ints.insert(intText(s.maskInteger(hash, integer(7))));
    decs.insert(decText(s.maskDecimal(hash, "7.5")));
  }
  EXPECT_EQ(ints, (std::set<std::string>{"6", "8"}));
  EXPECT_EQ(decs, (std::set<std::string>{"74E-1", "76E-1"}));
}

TEST(NumberUnbounded, IntegersNeverMaskToThemselves) {
  NumberStrategy s = strategy();
  std::vector<int64_t> values(4001);
  std::iota(values.begin(), values.end(), -2000);
  for (int64_t v = 3; v < INT64_MAX / 5; v = v * 5 + 1) values.push_back(v), values.push_back(-v);
  for (int64_t v : values) {
    std::string out = intText(s.maskInteger(counting(), integer(v)));
    if (v == 0) {
      EXPECT_EQ(out, "0");
    } else {
      EXPECT_NE(out, std::to_string(v));
      ASSERT_NE(out, "<fallback>") << v;
    }
  }
}

TEST(NumberBounded, ResultsStayWithinTheBoundsOnTheGrid) {
  NumberStrategy s = strategy("10", "20");
  std::set<std::string> seen;
  for (int64_t v = -500; v <= 500; ++v) {
    std::string out = intText(s.maskInteger(counting(), integer(v)));
    int64_t m = std::stoll(out);
    EXPECT_GE(m, 10);
    EXPECT_LE(m, 20);
    seen.insert(out);
  }
  EXPECT_GE(seen.size(), 10u);  // a draw, not a constant
  for (int k = 0; k < 200; ++k) {
    std::string text = std::to_string(k) + "." + std::to_string(10 + k % 90);
    Dec out = dec(decText(s.maskDecimal(counting(), text)));
    EXPECT_EQ(out.exponent, -2) << text;  // keeps its two fraction digits
    EXPECT_GE(Dec::compare(out, dec("10")), 0);
    EXPECT_LE(Dec::compare(out, dec("20")), 0);
  }
}

TEST(NumberBounded, EmptyGridBetweenBoundsGivesTheUpperBound) {
  NumberStrategy s = strategy("1.5", "1.7");
  for (int64_t v : {-100, 0, 1, 2, 7, 123456}) EXPECT_EQ(intText(s.maskInteger(counting(), integer(v))), "1");
}

TEST(NumberTarget, IntegerFloatAndDecimalOfEqualValueShareTheDraw) {
  // Bounded, the target ignores the value, so only the shared draw can make
  // the three results agree to their grids.
  NumberStrategy s = strategy("0", "1000");
  for (int k = 0; k < 32; ++k) {
    KeyedHash hash = keyOf(static_cast<uint8_t>(k), 3);
    double i = std::stod(intText(s.maskInteger(hash, integer(3))));
    double f = std::get<double>(s.maskFloat(hash, 3.0, "3.0"));
    Dec d = dec(decText(s.maskDecimal(hash, "3.00")));
    EXPECT_EQ(d.exponent, -2);
    EXPECT_LE(std::fabs(i - f), 0.5);
    EXPECT_LE(std::fabs(d.toF64() - f), 0.005 + 1e-9);
  }
}

TEST(NumberFloat, DecimalsPutTheResultOnTheGridAndAwayFromTheValue) {
  NumberStrategy plain = strategy();
  NumberStrategy one = strategy(std::nullopt, std::nullopt, std::nullopt, 1);
  for (int k = 0; k < 64; ++k) {
    KeyedHash hash = keyOf(static_cast<uint8_t>(k), 11);
    double p = std::get<double>(plain.maskFloat(hash, 2.5, "2.5"));
    EXPECT_GE(p, 2.25);
    EXPECT_LT(p, 2.75);
    double o = std::get<double>(one.maskFloat(hash, 2.5, "2.5"));
    EXPECT_NE(o, 2.5);
    EXPECT_EQ(o, std::round(o * 10) / 10);
    EXPECT_GE(o, 2.2);
    EXPECT_LE(o, 2.8);
  }
}

// ---- fallbacks ----

TEST(NumberFallback, FloatsThatCannotBeMasked) {
  NumberStrategy s = strategy();
  const std::pair<double, const char*> cases[] = {
      {0.0, "0.0"}, {-0.0, "-0.0"}, {NAN, "nan"}, {INFINITY, "inf"}, {-INFINITY, "-inf"},
      {1.0, "1.0 "}, {1.0, "1e-401"}, {1.0, "1e+401"}, {1.0, "1234567890123456789012345678901234567890"}};
  for (auto [v, repr] : cases) EXPECT_TRUE(std::holds_alternative<Fallback>(s.maskFloat(counting(), v, repr))) << repr;
  // Rounds to zero on the grid.
  NumberStrategy one = strategy(std::nullopt, std::nullopt, std::nullopt, 1);
  EXPECT_TRUE(std::holds_alternative<Fallback>(one.maskFloat(counting(), 0.001, "0.001")));
  // Overflows the double range.
  NumberStrategy wide = strategy(std::nullopt, std::nullopt, "1E400");
  EXPECT_TRUE(std::holds_alternative<Fallback>(wide.maskFloat(counting(), 1e300, "1e+300")));
}

TEST(NumberFallback, DecimalsAndIntegersThatCannotBeMasked) {
  NumberStrategy s = strategy();
  for (const char* text : {"NaN", "sNaN", "Infinity", "-Infinity", "0", "-0.000", "0E+5", "1E-401", "1E+401",
                           "123456789012345678901234567890123456789", "1.2345678901234567890123456789", "abc"}) {
    EXPECT_TRUE(std::holds_alternative<Fallback>(s.maskDecimal(counting(), text))) << text;
  }
  EXPECT_FALSE(std::holds_alternative<Fallback>(s.maskDecimal(counting(), "1.234567890123456789012345678")));
  Integer d39 = Integer::fromMagnitude(true, magnitudeFromDigits(std::string(39, '9')));
  EXPECT_TRUE(std::holds_alternative<Fallback>(s.maskInteger(counting(), d39)));
  Integer d38 = Integer::fromMagnitude(true, magnitudeFromDigits(std::string(38, '9')));
  EXPECT_FALSE(std::holds_alternative<Fallback>(s.maskInteger(counting(), d38)));
  // A Decimal masked onto zero.
  NumberStrategy zero = strategy("0", "0.4");
  EXPECT_TRUE(std::holds_alternative<Fallback>(zero.maskDecimal(counting(), "3")));
}

TEST(NumberExtremeOptions, FinishFastWithoutScalingByTheExponent) {
  auto start = std::chrono::steady_clock::now();
  NumberStrategy wide = strategy("1E-9000000000000000000", "1E+9000000000000000000");
  EXPECT_TRUE(std::holds_alternative<Fallback>(wide.maskInteger(counting(), integer(7))));
  EXPECT_TRUE(std::holds_alternative<Fallback>(wide.maskDecimal(counting(), "7.5")));
  EXPECT_TRUE(std::holds_alternative<Fallback>(wide.maskFloat(counting(), 7.5, "7.5")));  // overflows
  NumberStrategy tiny = strategy("1E-9000000000000000000", "2E-9000000000000000000");
  EXPECT_EQ(intText(tiny.maskInteger(counting(), integer(7))), "0");  // max's floor wins
  EXPECT_TRUE(std::holds_alternative<Fallback>(tiny.maskDecimal(counting(), "7.5")));
  NumberStrategy edge = strategy("1E-9223372036854775808", "9E-9223372036854775808");
  EXPECT_EQ(intText(edge.maskInteger(counting(), integer(7))), "0");
  for (const char* variance : {"1E-9000000000000000000", "-1E-9223372036854775808"}) {
    NumberStrategy still = strategy(std::nullopt, std::nullopt, variance);
    std::string out = intText(still.maskInteger(counting(), integer(7)));
    EXPECT_TRUE(out == "6" || out == "8") << variance;
  }
  NumberStrategy huge = strategy(std::nullopt, std::nullopt, "1E+9223372036854775807");
  EXPECT_TRUE(std::holds_alternative<Fallback>(huge.maskInteger(counting(), integer(7))));
  NumberStrategy fine = strategy(std::nullopt, std::nullopt, std::nullopt, 4294967295u);
  EXPECT_TRUE(std::holds_alternative<Fallback>(fine.maskDecimal(counting(), "1.5")));
  EXPECT_TRUE(std::holds_alternative<Fallback>(fine.maskFloat(counting(), 1.5, "1.5")));
  NumberStrategy fineBounded = strategy("1", "2", std::nullopt, 4294967295u);
  EXPECT_TRUE(std::holds_alternative<Fallback>(fineBounded.maskDecimal(counting(), "1.5")));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

// ---- no GMP allocation on ordinary values ----

std::atomic<uint64_t> gmpAllocations{0};
void* (*realAlloc)(size_t);
void* (*realRealloc)(void*, size_t, size_t);
void (*realFree)(void*, size_t);

void* countAlloc(size_t n) { return ++gmpAllocations, realAlloc(n); }
void* countRealloc(void* p, size_t old, size_t n) { return ++gmpAllocations, realRealloc(p, old, n); }

TEST(NumberAllocation, OrdinaryValuesNeverAllocateThroughGmp) {
  NumberStrategy unbounded = strategy();
  NumberStrategy bounded = strategy("-1000", "1000000", std::nullopt, 2);
  auto run = [&] {
    for (int64_t v : {int64_t{7}, int64_t{-123456789012345678}, int64_t{999999999999999999}}) {
      unbounded.maskInteger(counting(), integer(v));
      bounded.maskInteger(counting(), integer(v));
    }
    for (auto [v, r] : {std::pair{2.5, "2.5"}, {-1e-05, "-1e-05"}, {1e18, "1e+18"}, {0.1, "0.1"}}) {
      unbounded.maskFloat(counting(), v, r);
      bounded.maskFloat(counting(), v, r);
    }
    for (const char* t : {"15.25", "-123456789012345.67", "0.01", "1E+3"}) {
      unbounded.maskDecimal(counting(), t);
      bounded.maskDecimal(counting(), t);
    }
  };
  run();  // builds the shared tables
  mp_get_memory_functions(&realAlloc, &realRealloc, &realFree);
  mp_set_memory_functions(countAlloc, countRealloc, realFree);
  gmpAllocations = 0;
  run();
  uint64_t counted = gmpAllocations;
  // Proves the counter is wired: a long Decimal text parses through mpz.
  unbounded.maskDecimal(counting(), "1234567890123456789012345678901234567890.5");
  uint64_t control = gmpAllocations;
  mp_set_memory_functions(realAlloc, realRealloc, realFree);
  EXPECT_EQ(counted, 0u);
  EXPECT_GT(control, counted);
}

}  // namespace
}  // namespace morvo
