#include "cheap.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <limits>
#include <string>
#include <tuple>

namespace morvo {
namespace {

constexpr uint64_t MAX = std::numeric_limits<uint64_t>::max();

KeyedHash keyOf(uint8_t fill, uint8_t step = 0) {
  std::array<uint8_t, 32> subkey;
  for (size_t i = 0; i < subkey.size(); ++i) subkey[i] = static_cast<uint8_t>(fill + step * i);
  return KeyedHash::fromSubkey(subkey);
}

const KeyedHash& key() {
  static const KeyedHash hash = keyOf(0, 1);  // 00 01 02 .. 1f
  return hash;
}

std::string str(const Text& t) { return std::string(t.data(), t.size()); }

template <class T>
T value(const Outcome<T>& outcome) {
  const T* v = std::get_if<T>(&outcome);
  EXPECT_TRUE(v) << "expected an answer";
  return v ? *v : T{};
}

template <class T> bool isFallback(const Outcome<T>& o) { return std::holds_alternative<Fallback>(o); }

std::string hexOf(const Digest& d) {
  std::string out;
  char buf[3];
  for (uint8_t b : d) std::snprintf(buf, sizeof buf, "%02x", b), out += buf;
  return out;
}

Integer integerOf(std::string_view digits, bool negative = false) {
  return Integer::fromMagnitude(negative, magnitudeFromDigits(digits));
}

std::string email(std::string_view text, uint64_t length = 12, std::string_view domain = "d", bool keep = false) {
  return str(value(maskEmail(key(), text, length, domain, keep)));
}

// Vectors from an independent Python rendering of the algorithm (hmac, hashlib).
TEST(Cheap, KnownAnswers) {
  EXPECT_EQ(str(value(maskDigitsText(key(), "4111-1111-1111-1111", 0, 4))), "7358-0615-4754-1111");
  EXPECT_EQ(str(value(maskDigitsText(key(), "tel. 030 12345", 2, 1))), "tel. 036 28755");
  EXPECT_EQ(decimalText(value(maskDigitsInteger(key(), integerOf("9876543210123", true), 0, 0))), "-5813483592624");
  // The run 101 masks to "041"; as an integer the lead rule replaces the zero.
  EXPECT_EQ(str(value(maskDigitRun(key(), "101", 0, 0))), "041");
  EXPECT_EQ(decimalText(value(maskDigitsInteger(key(), integerOf("101"), 0, 0))), "741");
  EXPECT_EQ(str(maskHash(key(), "hello", 20, "h_")), "h_8894fc8ba64710e55d6a");
  // An integer hashes its canonical decimal text.
  EXPECT_EQ(str(maskHash(key(), decimalText(Integer::fromI64(-42)), 64, "")),
            "0297b2c75d66bc78b3017d5be3d320e34c0729190b2b971edf223c08cc0e7f2b");
  // Computed on the stripped, lowered address; a kept domain keeps its capitals.
  EXPECT_EQ(email(" Bob@Example.ORG\t", 12, "example.invalid", true), "u2ca79c39d0a9@Example.ORG");
  EXPECT_EQ(email(" Bob@Example.ORG\t", 12, DEFAULT_MAIL_DOMAIN, false), "u2ca79c39d0a9@example.invalid");
}

// Position k takes accepted byte k mod c (bytes 250..255 dropped), even past
// kept ones; exactly the requested ends are kept.
class DigitRunKeep : public testing::TestWithParam<std::tuple<uint64_t, uint64_t>> {};

TEST_P(DigitRunKeep, MatchesRecomputationFromExpand) {
  auto [lead, trail] = GetParam();
  const std::string run = "9081726354453627";
  std::string substitutes;
  for (uint8_t b : key().expand(run, 2 * run.size() + 32, "")) {
    if (b < 250) substitutes += static_cast<char>('0' + b % 10);
  }
  ASSERT_FALSE(substitutes.empty());
  std::string expected = run;
  for (size_t k = lead; k + trail < run.size(); ++k) expected[k] = substitutes[k % substitutes.size()];
  EXPECT_EQ(str(value(maskDigitRun(key(), run, lead, trail))), expected);
}

using std::make_tuple;
INSTANTIATE_TEST_SUITE_P(Counts, DigitRunKeep,
                         testing::Values(make_tuple(0, 0), make_tuple(1, 0), make_tuple(0, 1), make_tuple(3, 2),
                                         make_tuple(14, 0), make_tuple(0, 15)));

// Counts covering the run fall back, including pairs whose 64-bit sum wraps
// around to a small number (a fixed fault).
class DigitRunFallback : public testing::TestWithParam<std::tuple<std::string, uint64_t, uint64_t>> {};

TEST_P(DigitRunFallback, CoveringCountsNeverReturnDigitsUnmasked) {
  auto [run, lead, trail] = GetParam();
  EXPECT_TRUE(isFallback(maskDigitRun(key(), run, lead, trail)));
  EXPECT_TRUE(isFallback(maskDigitsText(key(), "x" + run + "y", lead, trail)));
  EXPECT_TRUE(isFallback(maskDigitsInteger(key(), integerOf(run), lead, trail)));
}

INSTANTIATE_TEST_SUITE_P(Counts, DigitRunFallback,
                         testing::Values(make_tuple("1234", 2, 2), make_tuple("1234", 4, 0), make_tuple("1234", 0, 4),
                                         make_tuple("1234", 3, 5), make_tuple("7", 1, 0), make_tuple("1234", MAX, 1),
                                         make_tuple("1234", 1, MAX), make_tuple("1234", MAX - 1, 3),
                                         make_tuple("1234", 0, MAX)));

// Without dropping bytes 250..255, digits 0..5 come up 4% more often than
// 6..9; over 500,000 digits that gives a statistic of about 180.
TEST(Digits, SubstituteDigitsAreUniform) {
  std::array<uint64_t, 10> counts{};
  char run[16];
  for (int i = 0; i < 50000; ++i) {
    std::snprintf(run, sizeof run, "%010d", i);
    for (char c : value(maskDigitRun(key(), run, 0, 0))) ++counts[c - '0'];
  }
  double chi = 0;
  for (uint64_t c : counts) chi += (c - 50000.0) * (c - 50000.0) / 50000.0;
  EXPECT_LT(chi, 33.72);  // 99.99% quantile, 9 degrees of freedom
}

// The known answers pin digits across separators as one run; here the edges.
TEST(Cheap, EmptyDigitlessAndNonAsciiTexts) {
  EXPECT_EQ(str(value(maskDigitRun(key(), "", MAX, MAX))), "");
  for (std::string_view text : {"", "no digits here!", "\x7f\x01"}) {
    EXPECT_EQ(str(value(maskDigitsText(key(), text, 0, 0))), text);
    EXPECT_EQ(str(value(maskDigitsText(key(), text, MAX, MAX))), text);
  }
  for (std::string_view text : {"12\xc3\xa9" "34", "\xef\xbc\x91" "23", "1234567\x80"})
    EXPECT_TRUE(isFallback(maskDigitsText(key(), text, 0, 0))) << text;
  EXPECT_TRUE(isFallback(maskEmail(key(), "j\xc3\xb6rg@example.com", 12, "d", false)));
  EXPECT_TRUE(isFallback(maskEmail(key(), "jorg@example.com\xa0", 12, "d", true)));
}

// Zero has no sign; a one-digit negative masks to zero (unsigned) or stays negative.
TEST(DigitsInteger, ZeroAndOneDigitNegatives) {
  Integer zero = value(maskDigitsInteger(key(), Integer{}, 0, 0));
  EXPECT_EQ(str(decimalText(zero)).size(), 1u);
  EXPECT_NE(zero.sign, Sign::Negative);
  EXPECT_TRUE(isFallback(maskDigitsInteger(key(), Integer{}, 1, 0)));
  bool sawZero = false;
  for (int64_t v = -1; v >= -9; --v) {
    for (uint8_t k = 0; k < 40; ++k) {
      Integer masked = value(maskDigitsInteger(keyOf(k), Integer::fromI64(v), 0, 0));
      std::string text = str(decimalText(masked));
      sawZero |= text == "0";
      EXPECT_EQ(masked.sign, text == "0" ? Sign::Zero : Sign::Negative) << text;
      EXPECT_TRUE(text == "0" || text.size() == 2u) << text;
    }
  }
  EXPECT_TRUE(sawZero);  // 360 draws of a digit: a zero is all but certain
}

// Sizes across the 64- and 128-bit limb boundaries: the digit count and sign
// hold and a masked leading zero is replaced by the keyed "lead" draw.
TEST(DigitsInteger, KeepsDigitCountSignAndLeadingDigit) {
  size_t leadRuleHits = 0;
  for (std::string digits : {"10", "987", "18446744073709551615", "340282366920938463463374607431768211456",
                             "1000000000000000000000000000000000000000000000000007"}) {
    for (int i = 0; i < 60; ++i) {
      digits.back() = static_cast<char>('0' + i % 10);
      digits[digits.size() / 2] = static_cast<char>('0' + i / 10);
      for (bool negative : {false, true}) {
        Integer input = integerOf(digits, negative);
        Integer masked = value(maskDigitsInteger(key(), input, 0, 0));
        std::string text = str(magnitudeDigits(masked.magnitude));
        ASSERT_EQ(text.size(), digits.size()) << digits;
        EXPECT_EQ(masked.negative(), negative);
        std::string run = str(value(maskDigitRun(key(), digits, 0, 0)));
        if (run[0] == '0') ++leadRuleHits, run[0] = static_cast<char>('1' + key().below(digits, 9, "lead"));
        EXPECT_EQ(text, run) << digits;
        EXPECT_EQ(str(magnitudeDigits(value(maskDigitsInteger(key(), input, 1, 0)).magnitude))[0], digits[0]);
      }
    }
  }
  EXPECT_GT(leadRuleHits, 0u);  // the replacement path must have run
}

TEST(Hash, PrefixThenLeadingLowercaseHexOfTheDigestCappedAt64) {
  const std::string prefix = "pr\xc3\xa9-", full = hexOf(key().digest("value", ""));  // any prefix, copied as is
  for (uint64_t length : {uint64_t{0}, uint64_t{1}, uint64_t{7}, uint64_t{63}, uint64_t{64}, uint64_t{65}, MAX}) {
    EXPECT_EQ(str(maskHash(key(), "value", length, prefix)), prefix + full.substr(0, std::min<uint64_t>(length, 64)));
  }
}

// Exactly the ten bytes of str.strip() go, from both ends only.
TEST(Email, TrimsTheTenStripBytesOnlyAndCapsTheLength) {
  const std::string plain = email("a@b");
  for (char c : std::string("\t\n\v\f\r\x1c\x1d\x1e\x1f "))
    EXPECT_EQ(email(std::string(1, c) + "a@b" + std::string(2, c)), plain) << int(c);
  for (char c : {'\x00', '\x08', '\x0e', '\x1b', '\x21', '\x7f'})
    EXPECT_NE(email(std::string(1, c) + "a@b"), plain) << int(c);
  EXPECT_NE(email("a @b"), plain);
  EXPECT_EQ(email("a@b", 0), "u@d");
  EXPECT_EQ(email("a@b", 100), "u" + hexOf(key().digest("a@b", "")) + "@d");  // capped at 64
  std::string blank = "u" + hexOf(key().digest("", "")).substr(0, 12) + "@" + std::string(DEFAULT_MAIL_DOMAIN);
  for (std::string_view text : {"", "   ", "\t\n\v\f\r\x1c\x1d\x1e\x1f "}) {
    for (bool keep : {false, true}) EXPECT_EQ(email(text, 12, DEFAULT_MAIL_DOMAIN, keep), blank);
  }
}

// Every printable ASCII byte at eight alignments: the word-wise lowering must
// agree with byte-wise lowering, including at '@' and '[' just outside A..Z.
TEST(Email, LowersExactlyAToZAcrossWords) {
  std::string text, lowered;
  for (int c = 0x21; c < 0x80; ++c) {
    text += static_cast<char>(c);
    lowered += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
  for (size_t at = 0; at < 8; ++at)
    EXPECT_EQ(email(text.substr(at), 20), str(maskHash(key(), lowered.substr(at), 20, "u")) + "@d") << at;
}

TEST(Email, OnlyTheLastAtCounts) {
  for (auto [text, keep, domain] : {std::tuple{"a@b@C.d", true, "C.d"}, {"a@b@C.d", false, "mail.test"},
                                    {"no-at-sign", true, "mail.test"}, {"user@", true, ""}, {"@", true, ""},
                                    {" x@Y ", true, "Y"}}) {
    EXPECT_EQ(email(text, 5, "mail.test", keep).substr(6), "@" + std::string(domain)) << text << keep;
  }
}

}  // namespace
}  // namespace morvo
