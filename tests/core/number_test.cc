#include "number.h"

#include <gmp.h>
#include <gtest/gtest.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <set>
#include <string>

namespace morvo {
namespace {

KeyedHash keyOf(uint8_t first, uint8_t step = 1) {
  std::array<uint8_t, 32> subkey;
  for (size_t i = 0; i < subkey.size(); ++i) subkey[i] = static_cast<uint8_t>(first + step * i);
  return KeyedHash::fromSubkey(subkey);
}
// Bytes 0, 1, ..., 31: the subkey of the known answers.
const KeyedHash& counting() { static const KeyedHash hash = keyOf(0); return hash; }

using Opt = std::optional<std::string_view>;
NumberStrategy strategy(Opt min = {}, Opt max = {}, Opt variance = {}, std::optional<uint32_t> decimals = {}) {
  auto made = NumberStrategy::make(min, max, variance, decimals);
  if (auto* error = std::get_if<Text>(&made)) ADD_FAILURE() << "construction failed: " << *error;
  return std::holds_alternative<NumberStrategy>(made) ? std::get<NumberStrategy>(std::move(made)) : NumberStrategy{};
}
NumberStrategy withDecimals(uint32_t d) { return strategy({}, {}, {}, d); }

constexpr const char* FB = "<fallback>";
// The masked value as text: 'i' an integer, 'd' a Decimal's str, 'f' a float's repr.
std::string mask(const NumberStrategy& s, char kind, std::string_view text, const KeyedHash& hash = counting()) {
  if (kind == 'i') {
    bool negative = text[0] == '-';
    auto out = s.maskInteger(hash, Integer::fromMagnitude(negative, magnitudeFromDigits(text.substr(negative))));
    return std::holds_alternative<Integer>(out) ? std::string(decimalText(std::get<Integer>(out))) : FB;
  }
  if (kind == 'd') {
    auto out = s.maskDecimal(hash, text);
    return std::holds_alternative<Text>(out) ? std::string(std::get<Text>(out)) : FB;
  }
  auto out = s.maskFloat(hash, std::strtod(std::string(text).c_str(), nullptr), text);
  if (!std::holds_alternative<double>(out)) return FB;
  char buffer[32];
  return std::string(buffer, std::to_chars(buffer, buffer + 32, std::get<double>(out), std::chars_format::general).ptr);
}
Dec dec(std::string_view text) { return Dec::parse(text).value(); }
std::string str(const Dec& x) { return std::string(x.toText()); }

TEST(NumberMake, RefusesWithTheOptionsMessage) {
  const char* both = "number needs both min and max, or neither";
  const std::tuple<Opt, Opt, Opt, const char*> cases[] = {
      {"1", {}, {}, both}, {{}, "x", {}, both}, {"abc", "def", "ghi", "number min is not a finite decimal: \"abc\""},
      {"1", "1 ", {}, "number max is not a finite decimal: \"1 \""},
      {{}, {}, "NaN", "number variance is not a finite decimal: \"NaN\""},
      {{}, {}, "a\"b\\c\n\t", "number variance is not a finite decimal: \"a\\\"b\\\\c\\n\\t\""}};
  for (const auto& [min, max, variance, message] : cases)  // throws when it is not refused
    EXPECT_EQ(std::get<Text>(NumberStrategy::make(min, max, variance, std::nullopt)), message);
  NumberStrategy s = withDecimals(4294967295u), inverted = strategy("5", "-5", "-3");  // no further validation
  EXPECT_EQ(s.variance.toText(), "1E-1");  // the default
  EXPECT_EQ(s.decimals, 4294967295u);
  EXPECT_TRUE(inverted.bounded());
  EXPECT_EQ(inverted.variance.toText(), "-3E0");
}

TEST(NumberHashText, PlainSignificantDigitsOrTheExactInteger) {
  const std::pair<const char*, const char*> cases[] = {
      {"12.3400", "12.34"}, {"0.00120", "0.0012"}, {"1E-7", "0.0000001"}, {"5.000", "5"}, {"-2.50", "-2.5"},
      {"1E+3", "1000"}, {"123E-1", "12.3"}, {"1234567890123456789012345678E-30", "0.001234567890123456789012345678"}};
  for (auto [text, expected] : cases) EXPECT_EQ(decimalHashText(dec(text)), std::optional<Text>(expected)) << text;
  // Over 28 significant digits in a non-integral value are not hashed here;
  // trailing zeros and integral values do not count.
  EXPECT_FALSE(decimalHashText(dec("1.2345678901234567890123456789")).has_value());
  EXPECT_TRUE(decimalHashText(dec("1.234567890123456789012345678000")).has_value());
  EXPECT_TRUE(decimalHashText(dec("12345678901234567890123456789.000")).has_value());

  const std::tuple<double, const char*, const char*> floats[] = {
      {-3.0, "-3.0", "-3"}, {1e20, "1e+20", "100000000000000000000"}, {2.5, "2.5", "2.5"}, {1e-05, "1e-05", "1e-05"}};
  for (auto [v, repr, expected] : floats) EXPECT_EQ(floatHashText(v, repr), expected) << repr;
  // Beyond 2^128 the exact value of the double, not its repr's digits.
  EXPECT_EQ(floatHashText(-1e300, "-1e+300").substr(0, 40), "-100000000000000005250476025520442024870");
  EXPECT_EQ(floatHashText(-1e300, "-1e+300").size(), 302u);
}

// Known answers were computed independently with Python's decimal module (60
// digits, half even) and hmac from the algorithm's description, under the
// subkey 0, 1, ..., 31. The fallbacks include options far beyond the double
// range, which must finish without scaling by their exponents.
TEST(NumberMask, KnownAnswersAndFallbacks) {
  const NumberStrategy s = strategy(), b = strategy("10", "20"), wide = strategy("-5.5", "1E6"), d1 = withDecimals(1),
                       d3 = withDecimals(3), fine = withDecimals(4294967295u), low = strategy("0", "0.4"),
                       far = strategy("1E-9000000000000000000", "1E+9000000000000000000"),
                       tiny = strategy("1E-9000000000000000000", "2E-9000000000000000000"),
                       edge = strategy("1E-9223372036854775808", "9E-9223372036854775808"),
                       huge = strategy({}, {}, "1E+9223372036854775807"), loud = strategy({}, {}, "1E400"),
                       fineBounded = strategy("1", "2", {}, 4294967295u);
  const std::tuple<const NumberStrategy&, char, std::string, const char*> cases[] = {
      {s, 'i', "7", "6"}, {s, 'i', "-42", "-38"}, {s, 'i', "123456789", "121496777"}, {s, 'i', "0", "0"},
      {s, 'i', "-999999999999999999", "-965868128499728828"},
      {s, 'i', "10000000000000000000000000000000012345", "9459875895107613841261695597495429720"},
      {b, 'i', "7", "14"}, {wide, 'i', "123", "661744"},
      {s, 'd', "15.25", "1568E-2"}, {s, 'd', "-3.14159", "-317775E-5"}, {s, 'd', "1E+3", "934E0"},
      {s, 'd', "0.5", "6E-1"}, {b, 'd', "15.25", "1641E-2"}, {d3, 'd', "0.5", "489E-3"},
      {s, 'f', "2.5", "2.294787618949049"}, {d1, 'f', "2.5", "2.3"}, {s, 'f', "-1e-05", "-9.862926146268539e-06"},
      {s, 'f', "1e+20", "9.969393234093457e+19"},
      // Fallbacks.
      {s, 'i', "-" + std::string(39, '9'), FB}, {s, 'd', "1.2345678901234567890123456789", FB},
      {d1, 'f', "0.001", FB}, {loud, 'f', "1e+300", FB},  // zero on the grid; overflows
      {low, 'd', "3", FB},                                 // a Decimal masked onto zero
      {far, 'i', "7", FB}, {far, 'd', "7.5", FB}, {far, 'f', "7.5", FB},
      {tiny, 'i', "7", "0"}, {tiny, 'd', "7.5", FB}, {edge, 'i', "7", "0"},  // max's floor wins
      {huge, 'i', "7", FB}, {fine, 'd', "1.5", FB}, {fine, 'f', "1.5", FB}, {fineBounded, 'd', "1.5", FB}};
  auto start = std::chrono::steady_clock::now();
  for (const auto& [strategy, kind, text, expected] : cases) EXPECT_EQ(mask(strategy, kind, text), expected) << text;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

  // The nearest values that are still masked.
  EXPECT_NE(mask(s, 'i', "-" + std::string(38, '9')), FB);
  EXPECT_NE(mask(s, 'd', "1.234567890123456789012345678"), FB);
  for (const char* text : {"NaN", "sNaN", "Infinity", "-Infinity", "0", "-0.000", "0E+5", "1E-401", "1E+401",
                           "123456789012345678901234567890123456789", "abc"})
    EXPECT_EQ(mask(s, 'd', text), FB) << text;
  const std::pair<double, const char*> floats[] = {
      {0.0, "0.0"}, {-0.0, "-0.0"}, {NAN, "nan"}, {INFINITY, "inf"}, {-INFINITY, "-inf"}, {1.0, "1.0 "},
      {1.0, "1e-401"}, {1.0, "1e+401"}, {1.0, "1234567890123456789012345678901234567890"}};
  for (auto [v, repr] : floats) EXPECT_TRUE(std::holds_alternative<Fallback>(s.maskFloat(counting(), v, repr))) << repr;
}

TEST(NumberUnbounded, MovesAwayFromTheValue) {
  // Variance 0 (or one too small to see) still moves by one step of the grid.
  const NumberStrategy zero = strategy({}, {}, "0"), plain = strategy(), one = withDecimals(1),
                       small = strategy({}, {}, "1E-9000000000000000000"),
                       smallest = strategy({}, {}, "-1E-9223372036854775808");
  std::set<std::string> ints, decs;
  for (int k = 0; k < 64; ++k) {
    KeyedHash hash = keyOf(static_cast<uint8_t>(k), 7);
    for (const NumberStrategy* s : {&zero, &small, &smallest}) ints.insert(mask(*s, 'i', "7", hash));
    decs.insert(mask(zero, 'd', "7.5", hash));
    double p = std::stod(mask(plain, 'f', "2.5", hash));
    EXPECT_TRUE(p >= 2.25 && p < 2.75) << p;
    double o = std::stod(mask(one, 'f', "2.5", hash));  // on the grid of 0.1, never 2.5
    EXPECT_TRUE(o != 2.5 && o == std::round(o * 10) / 10 && o >= 2.2 && o <= 2.8) << o;
  }
  EXPECT_EQ(ints, (std::set<std::string>{"6", "8"}));
  EXPECT_EQ(decs, (std::set<std::string>{"74E-1", "76E-1"}));

  auto check = [&](int64_t v) {
    std::string out = mask(plain, 'i', std::to_string(v));
    EXPECT_TRUE(v == 0 ? out == "0" : out != std::to_string(v) && out != FB) << v << " -> " << out;
  };
  for (int64_t v = -2000; v <= 2000; ++v) check(v);
  for (int64_t v = 3; v < INT64_MAX / 5; v = v * 5 + 1) check(v), check(-v);
}

TEST(NumberBounded, StaysInTheBoundsOnTheGridAndSharesTheDrawAcrossKinds) {
  NumberStrategy s = strategy("10", "20"), thousand = strategy("0", "1000");
  std::set<int64_t> seen;
  for (int64_t v = -500; v <= 500; ++v) seen.insert(std::stoll(mask(s, 'i', std::to_string(v))));
  EXPECT_TRUE(*seen.begin() >= 10 && *seen.rbegin() <= 20);
  EXPECT_GE(seen.size(), 10u);  // a draw, not a constant
  for (int k = 0; k < 200; ++k) {
    std::string text = std::to_string(k) + "." + std::to_string(10 + k % 90);
    Dec out = dec(mask(s, 'd', text));
    EXPECT_EQ(out.exponent, -2) << text;  // keeps its two fraction digits
    EXPECT_TRUE(Dec::compare(out, dec("10")) >= 0 && Dec::compare(out, dec("20")) <= 0) << text;
  }
  // No point of the integer grid between the bounds: the upper bound's floor.
  for (const char* v : {"-100", "0", "1", "2", "7", "123456"}) EXPECT_EQ(mask(strategy("1.5", "1.7"), 'i', v), "1");
  // The target ignores the value, so only a draw shared by 3, 3.0 and
  // Decimal 3.00 makes the three results agree to their grids.
  for (int k = 0; k < 32; ++k) {
    KeyedHash hash = keyOf(static_cast<uint8_t>(k), 3);
    double i = std::stod(mask(thousand, 'i', "3", hash)), f = std::stod(mask(thousand, 'f', "3.0", hash));
    Dec d = dec(mask(thousand, 'd', "3.00", hash));
    EXPECT_EQ(d.exponent, -2);
    EXPECT_TRUE(std::fabs(i - f) <= 0.5 && std::fabs(d.toF64() - f) <= 0.005 + 1e-9) << i << ' ' << f << ' ' << str(d);
  }
}

std::atomic<uint64_t> gmpAllocations{0};
void* (*realAlloc)(size_t);
void* (*realRealloc)(void*, size_t, size_t);
void (*realFree)(void*, size_t);

TEST(NumberAllocation, OrdinaryValuesNeverAllocateThroughGmp) {
  const NumberStrategy strategies[] = {strategy(), strategy("-1000", "1000000", {}, 2)};
  const std::pair<char, const char*> values[] = {
      {'i', "7"},   {'i', "-123456789012345678"}, {'i', "999999999999999999"}, {'f', "2.5"}, {'f', "-1e-05"},
      {'f', "1e+18"}, {'f', "0.1"}, {'d', "15.25"}, {'d', "-123456789012345.67"}, {'d', "0.01"}, {'d', "1E+3"}};
  auto run = [&] {
    for (const NumberStrategy& s : strategies)
      for (auto [kind, text] : values) mask(s, kind, text);
  };
  run();  // builds the shared tables
  mp_get_memory_functions(&realAlloc, &realRealloc, &realFree);
  mp_set_memory_functions([](size_t n) { return ++gmpAllocations, realAlloc(n); },
                          [](void* p, size_t old, size_t n) { return ++gmpAllocations, realRealloc(p, old, n); }, realFree);
  gmpAllocations = 0;
  run();
  uint64_t counted = gmpAllocations;
  // Proves the counter is wired: a long Decimal text parses through mpz.
  mask(strategies[0], 'd', "1234567890123456789012345678901234567890.5");
  uint64_t control = gmpAllocations;
  mp_set_memory_functions(realAlloc, realRealloc, realFree);
  EXPECT_EQ(counted, 0u);
  EXPECT_GT(control, counted);
}

}  // namespace
}  // namespace morvo
