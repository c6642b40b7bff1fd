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

KeyedHash counting() {
  std::array<uint8_t, 32> subkey;
  for (size_t i = 0; i < subkey.size(); ++i) subkey[i] = static_cast<uint8_t>(i);
  return KeyedHash::fromSubkey(subkey);
}

KeyedHash filled(uint8_t byte) {
  std::array<uint8_t, 32> subkey;
  subkey.fill(byte);
  return KeyedHash::fromSubkey(subkey);
}

const KeyedHash& key() {
  static const KeyedHash hash = counting();
  return hash;
}

std::string str(const Text& t) { return std::string(t.data(), t.size()); }

template <class T>
const T& value(const Outcome<T>& outcome) {
  EXPECT_TRUE(std::holds_alternative<T>(outcome)) << "expected an answer";
  static const T none{};
  const T* v = std::get_if<T>(&outcome);
  return v ? *v : none;
}

template <class T>
bool isFallback(const Outcome<T>& outcome) {
  return std::holds_alternative<Fallback>(outcome);
}

std::string hexOf(const Digest& d) {
  std::string out;
  char buf[3];
  for (uint8_t b : d) {
    std::snprintf(buf, sizeof buf, "%02x", b);
    out += buf;
  }
  return out;
}

Integer integerOf(std::string_view decimal) {
  bool negative = !decimal.empty() && decimal[0] == '-';
  if (negative) decimal.remove_prefix(1);
  return Integer::fromMagnitude(negative, magnitudeFromDigits(decimal));
}

// ---------------------------------------------------------------- digit runs

// Vectors from an independent Python rendering of the algorithm (hmac,
// hashlib) under the subkey 00 01 02 .. 1f.
TEST(Digits, KnownAnswersCatchAnyDriftInStreamOrIndexing) {
  EXPECT_EQ(str(value(maskDigitsText(key(), "4111-1111-1111-1111", 0, 4))), "7358-0615-4754-1111");
  EXPECT_EQ(str(value(maskDigitsText(key(), "tel. 030 12345", 2, 1))), "tel. 036 28755");
  EXPECT_EQ(decimalText(value(maskDigitsInteger(key(), integerOf("-9876543210123"), 0, 0))),
            "-5813483592624");
  // The run of 101 masks to "041"; the lead rule replaces the zero.
  EXPECT_EQ(str(value(maskDigitRun(key(), "101", 0, 0))), "041");
  EXPECT_EQ(decimalText(value(maskDigitsInteger(key(), integerOf("101"), 0, 0))), "741");
}

// Recomputes one run from expand() directly: the substitute for position k is
// number k mod c of the accepted bytes, even for kept leading positions.
TEST(Digits, RunMatchesRecomputationFromExpand) {
  const std::string run = "9081726354453627";
  const uint64_t lead = 3;
  const uint64_t trail = 2;
  Vec<uint8_t> stream = key().expand(run, 2 * run.size() + 32, "");
  std::string substitutes;
  for (uint8_t b : stream) {
    if (b < 250) substitutes += static_cast<char>('0' + b % 10);
  }
  ASSERT_FALSE(substitutes.empty());
  std::string expected = run;
  for (size_t k = lead; k + trail < run.size(); ++k) expected[k] = substitutes[k % substitutes.size()];
  EXPECT_EQ(str(value(maskDigitRun(key(), run, lead, trail))), expected);
}

// Any pair of counts that covers the run falls back, including pairs whose
// 64-bit sum wraps around to a small number.
class DigitRunFallback : public testing::TestWithParam<std::tuple<std::string, uint64_t, uint64_t>> {};

TEST_P(DigitRunFallback, CoveringCountsNeverReturnDigitsUnmasked) {
  auto [run, lead, trail] = GetParam();
  EXPECT_TRUE(isFallback(maskDigitRun(key(), run, lead, trail)));
  EXPECT_TRUE(isFallback(maskDigitsText(key(), "x" + run + "y", lead, trail)));
  EXPECT_TRUE(isFallback(maskDigitsInteger(key(), integerOf(run), lead, trail)));
}

INSTANTIATE_TEST_SUITE_P(
    Counts, DigitRunFallback,
    testing::Values(std::make_tuple("1234", 2, 2), std::make_tuple("1234", 4, 0),
                    std::make_tuple("1234", 0, 4), std::make_tuple("1234", 3, 5),
                    std::make_tuple("7", 1, 0), std::make_tuple("1234", MAX, 1),
                    std::make_tuple("1234", 1, MAX), std::make_tuple("1234", MAX, MAX),
                    std::make_tuple("1234", MAX - 1, 3), std::make_tuple("1234", 0, MAX)));

// Counts below the run length: length, digit-ness and the kept ends hold.
class DigitRunKeep : public testing::TestWithParam<std::tuple<uint64_t, uint64_t>> {};

TEST_P(DigitRunKeep, KeepsExactlyTheRequestedEnds) {
  auto [lead, trail] = GetParam();
  const std::string run = "31415926535897932384";
  std::string masked = str(value(maskDigitRun(key(), run, lead, trail)));
  ASSERT_EQ(masked.size(), run.size());
  for (char c : masked) EXPECT_TRUE(c >= '0' && c <= '9');
  EXPECT_EQ(masked.substr(0, lead), run.substr(0, lead));
  EXPECT_EQ(masked.substr(run.size() - trail), run.substr(run.size() - trail));
  // With 20 digits and at least 6 masked, an unchanged middle means no masking.
  EXPECT_NE(masked.substr(lead, run.size() - lead - trail), run.substr(lead, run.size() - lead - trail));
}

INSTANTIATE_TEST_SUITE_P(Counts, DigitRunKeep,
                         testing::Values(std::make_tuple(0, 0), std::make_tuple(1, 0),
                                         std::make_tuple(0, 1), std::make_tuple(3, 4),
                                         std::make_tuple(14, 0), std::make_tuple(0, 14),
                                         std::make_tuple(7, 7)));

TEST(Digits, EmptyRunIsMaskedToEmptyWhateverTheCounts) {
  EXPECT_EQ(str(value(maskDigitRun(key(), "", 0, 0))), "");
  EXPECT_EQ(str(value(maskDigitRun(key(), "", MAX, MAX))), "");
}

// Dropping bytes 250..255 before the remainder keeps every digit equally
// likely; without it 0..5 come up 4% more often than 6..9, which this
// statistic (about 180 for 500,000 digits) exposes.
TEST(Digits, SubstituteDigitsAreUniform) {
  std::array<uint64_t, 10> counts{};
  uint64_t total = 0;
  char run[16];
  for (int i = 0; i < 50000; ++i) {
    std::snprintf(run, sizeof run, "%010d", i);
    Text masked = value(maskDigitRun(key(), run, 0, 0));
    for (char c : masked) ++counts[c - '0'], ++total;
  }
  double expected = static_cast<double>(total) / 10;
  double chi = 0;
  for (uint64_t c : counts) chi += (c - expected) * (c - expected) / expected;
  EXPECT_LT(chi, 33.72);  // 99.99% quantile, 9 degrees of freedom
}

// ------------------------------------------------------------ digits in text

TEST(DigitsText, TextWithoutDigitsComesBackUnchanged) {
  for (std::string_view text : {"", "abc", "no digits here!", "\x7f\x01"}) {
    EXPECT_EQ(str(value(maskDigitsText(key(), text, 0, 0))), text);
    EXPECT_EQ(str(value(maskDigitsText(key(), text, MAX, MAX))), text);
  }
}

TEST(DigitsText, AllDigitsFormOneRunAndNonDigitsStayInPlace) {
  const std::string text = "(12) 34-56.7x8";  // groups joined by - and others
  for (auto [lead, trail] : {std::pair<uint64_t, uint64_t>{0, 0}, {1, 1}, {3, 2}}) {
    std::string masked = str(value(maskDigitsText(key(), text, lead, trail)));
    std::string run = str(value(maskDigitRun(key(), "12345678", lead, trail)));
    ASSERT_EQ(masked.size(), text.size());
    size_t next = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] >= '0' && text[i] <= '9') {
        EXPECT_EQ(masked[i], run[next++]) << i;
      } else {
        EXPECT_EQ(masked[i], text[i]) << i;
      }
    }
  }
}

TEST(DigitsText, NonAsciiFallsBackEvenWithDigits) {
  for (std::string_view text : {"12\xc3\xa9" "34", "\xef\xbc\x91" "23", "1234567\x80"}) {
    EXPECT_TRUE(isFallback(maskDigitsText(key(), text, 0, 0))) << text;
  }
}

// ------------------------------------------------------- digits of integers

TEST(DigitsInteger, ZeroGivesOneDigitWithoutSign) {
  Integer masked = value(maskDigitsInteger(key(), Integer{}, 0, 0));
  ASSERT_TRUE(fitsU128(masked.magnitude));
  EXPECT_LE(toU128(masked.magnitude), 9u);
  EXPECT_NE(masked.sign, Sign::Negative);
  EXPECT_TRUE(isFallback(maskDigitsInteger(key(), Integer{}, 1, 0)));
}

// Across many one-digit negatives, a zero result carries no sign and every
// other result stays negative.
TEST(DigitsInteger, NegativeOneDigitIsZeroOrNegative) {
  bool sawZero = false;
  for (int64_t v = -1; v >= -9; --v) {
    for (uint8_t k = 0; k < 40; ++k) {
      Integer masked = value(maskDigitsInteger(filled(k), Integer::fromI64(v), 0, 0));
      std::string text = str(decimalText(masked));
      if (text == "0") {
        sawZero = true;
        EXPECT_EQ(masked.sign, Sign::Zero);
      } else {
        EXPECT_EQ(masked.sign, Sign::Negative) << text;
        EXPECT_EQ(text.size(), 2u) << text;
      }
    }
  }
  EXPECT_TRUE(sawZero);  // 360 draws of a digit: a zero is all but certain
}

// Sizes across the 64- and 128-bit limb boundaries; the lead rule must keep
// the digit count and never leave a leading zero.
TEST(DigitsInteger, KeepsDigitCountSignAndLeadingDigit) {
  size_t leadRuleHits = 0;
  for (std::string base : {"10", "987", "18446744073709551615", "340282366920938463463374607431768211456",
                           "1000000000000000000000000000000000000000000000000007"}) {
    for (int i = 0; i < 60; ++i) {
      std::string digits = base;
      digits.back() = static_cast<char>('0' + i % 10);
      digits[digits.size() / 2] = static_cast<char>('0' + i / 10);
      for (bool negative : {false, true}) {
        Integer input = Integer::fromMagnitude(negative, magnitudeFromDigits(digits));
        Integer masked = value(maskDigitsInteger(key(), input, 0, 0));
        std::string text = str(magnitudeDigits(masked.magnitude));
        EXPECT_EQ(text.size(), digits.size()) << digits;
        EXPECT_NE(text[0], '0') << digits;
        EXPECT_EQ(masked.negative(), negative);
        if (str(value(maskDigitRun(key(), digits, 0, 0)))[0] == '0') {
          ++leadRuleHits;
          char lead = static_cast<char>('1' + key().below(digits, 9, "lead"));
          EXPECT_EQ(text[0], lead) << digits;
        }
        Integer kept = value(maskDigitsInteger(key(), input, 1, 0));
        EXPECT_EQ(str(magnitudeDigits(kept.magnitude))[0], digits[0]);
      }
    }
  }
  EXPECT_GT(leadRuleHits, 0u);  // the replacement path must have run
}

// ----------------------------------------------------------------- hash

TEST(Hash, KnownAnswerAndRecomputationFromDigest) {
  EXPECT_EQ(str(maskHash(key(), "hello", 20, "h_")), "h_8894fc8ba64710e55d6a");
  std::string full = hexOf(key().digest("some value", ""));
  EXPECT_EQ(str(maskHash(key(), "some value", 64, "")), full);
  EXPECT_EQ(str(maskHash(key(), "some value", 13, "p")), "p" + full.substr(0, 13));
}

class HashLength : public testing::TestWithParam<uint64_t> {};

TEST_P(HashLength, PrefixThenAtMost64LowercaseHex) {
  const uint64_t length = GetParam();
  const std::string prefix = "pr\xc3\xa9-";  // any text, copied as is
  std::string out = str(maskHash(key(), "value", length, prefix));
  std::string full = str(maskHash(key(), "value", 64, ""));
  size_t chars = std::min<uint64_t>(length, 64);
  ASSERT_EQ(out.size(), prefix.size() + chars);
  EXPECT_EQ(out.substr(0, prefix.size()), prefix);
  EXPECT_EQ(out.substr(prefix.size()), full.substr(0, chars));
  for (char c : full) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << c;
}

INSTANTIATE_TEST_SUITE_P(Lengths, HashLength, testing::Values(0, 1, 7, 63, 64, 65, 100, MAX));

TEST(Hash, IntegerHashesItsCanonicalDecimalText) {
  EXPECT_EQ(str(maskHash(key(), decimalText(Integer::fromI64(-42)), 64, "")),
            "0297b2c75d66bc78b3017d5be3d320e34c0729190b2b971edf223c08cc0e7f2b");
  for (int64_t v : {int64_t{-42}, int64_t{0}, int64_t{-5}, int64_t{123}}) {
    EXPECT_EQ(maskHash(key(), decimalText(Integer::fromI64(v)), 16, ""),
              maskHash(key(), std::to_string(v), 16, ""));
  }
}

// ----------------------------------------------------------------- email

// The vector was computed on the stripped, lowered address; the kept domain
// keeps its capitals.
TEST(Email, KnownAnswerWithAndWithoutKeptDomain) {
  EXPECT_EQ(str(value(maskEmail(key(), " Bob@Example.ORG\t", 12, "example.invalid", true))),
            "u2ca79c39d0a9@Example.ORG");
  EXPECT_EQ(str(value(maskEmail(key(), " Bob@Example.ORG\t", 12, DEFAULT_MAIL_DOMAIN, false))),
            "u2ca79c39d0a9@example.invalid");
}

// Exactly the ten bytes of str.strip() go, from both ends only.
TEST(Email, TrimsTheTenStripBytesAndNothingElse) {
  const std::string plain = str(value(maskEmail(key(), "a@b", 12, "d", false)));
  const std::string strip = "\t\n\v\f\r\x1c\x1d\x1e\x1f ";
  for (char c : strip) {
    std::string padded = std::string(1, c) + "a@b" + std::string(2, c);
    EXPECT_EQ(str(value(maskEmail(key(), padded, 12, "d", false))), plain) << int(c);
  }
  for (char c : {'\x00', '\x08', '\x0e', '\x1b', '\x21', '\x7f'}) {
    std::string padded = std::string(1, c) + "a@b";
    EXPECT_NE(str(value(maskEmail(key(), padded, 12, "d", false))), plain) << int(c);
  }
  EXPECT_NE(str(value(maskEmail(key(), "a @b", 12, "d", false))), plain);
}

// Every ASCII byte in one long text: the word-wise lowering must agree with
// byte-wise lowering, including at '@' and '[' just outside A..Z.
TEST(Email, LowersExactlyAToZAcrossWords) {
  std::string text;
  for (int c = 0x21; c < 0x80; ++c) text += static_cast<char>(c);
  std::string lowered = text;
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  for (size_t shift = 0; shift < 8; ++shift) {
    std::string input = text.substr(shift);
    std::string expected = str(maskHash(key(), lowered.substr(shift), 20, "u"));
    std::string out = str(value(maskEmail(key(), input, 20, "d", false)));
    EXPECT_EQ(out, expected + "@d") << shift;
  }
}

class EmailDomain : public testing::TestWithParam<std::tuple<std::string, bool, std::string>> {};

TEST_P(EmailDomain, OnlyTheLastAtCounts) {
  auto [text, keep, domain] = GetParam();
  std::string out = str(value(maskEmail(key(), text, 5, "mail.test", keep)));
  ASSERT_EQ(out.size(), 7 + domain.size());
  EXPECT_EQ(out.substr(0, 1), "u");
  EXPECT_EQ(out.substr(6), "@" + domain);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, EmailDomain,
    testing::Values(std::make_tuple("a@b@C.d", true, "C.d"), std::make_tuple("a@b@C.d", false, "mail.test"),
                    std::make_tuple("no-at-sign", true, "mail.test"), std::make_tuple("user@", true, ""),
                    std::make_tuple("@", true, ""), std::make_tuple(" x@Y ", true, "Y")));

TEST(Email, EmptyAndBlankTextsHashTheEmptyMessage) {
  std::string expected = "u" + hexOf(key().digest("", "")).substr(0, 12) + "@" + std::string(DEFAULT_MAIL_DOMAIN);
  for (std::string_view text : {"", "   ", "\t\n\v\f\r\x1c\x1d\x1e\x1f "}) {
    EXPECT_EQ(str(value(maskEmail(key(), text, 12, DEFAULT_MAIL_DOMAIN, false))), expected);
    EXPECT_EQ(str(value(maskEmail(key(), text, 12, DEFAULT_MAIL_DOMAIN, true))), expected);
  }
}

TEST(Email, LengthIsCappedAt64AndNonAsciiFallsBack) {
  EXPECT_EQ(str(value(maskEmail(key(), "a@b", 0, "d", false))), "u@d");
  EXPECT_EQ(value(maskEmail(key(), "a@b", 100, "d", false)).size(), 1u + 64 + 2);
  EXPECT_TRUE(isFallback(maskEmail(key(), "j\xc3\xb6rg@example.com", 12, "d", false)));
  EXPECT_TRUE(isFallback(maskEmail(key(), "jorg@example.com\xa0", 12, "d", true)));
}

}  // namespace
}  // namespace morvo
