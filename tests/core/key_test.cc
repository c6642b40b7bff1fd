#include "key.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

#include "digits.h"

namespace morvo {
namespace {

const char* const TOO_LONG =
    "the key strategy masks identifiers of up to 256 characters or digits, and this value is longer; use hash, "
    "redact or null for long values";

KeyedHash keyOf(uint8_t first) {
  std::array<uint8_t, 32> subkey;
  for (size_t i = 0; i < subkey.size(); ++i) subkey[i] = static_cast<uint8_t>(first * 31 + i);
  return KeyedHash::fromSubkey(subkey);
}

Integer integer(const std::string& decimal) {
  bool negative = !decimal.empty() && decimal[0] == '-';
  return Integer::fromMagnitude(negative, magnitudeFromDigits(negative ? decimal.substr(1) : decimal));
}
std::string str(const Integer& v) { return std::string(decimalText(v)); }

Integer maskedInteger(const KeyedHash& hash, const Integer& v) {
  auto out = KeyStrategy::maskInteger(hash, v);
  if (!std::holds_alternative<Integer>(out)) ADD_FAILURE() << "not masked: " << str(v);
  return std::holds_alternative<Integer>(out) ? std::get<Integer>(out) : Integer{};
}

std::string maskedText(const KeyedHash& hash, Charset charset, std::string_view text) {
  auto out = KeyStrategy::maskText(charset, hash, text);
  if (!std::holds_alternative<Text>(out)) ADD_FAILURE() << "not masked: " << text;
  return std::holds_alternative<Text>(out) ? std::string(std::get<Text>(out)) : std::string();
}

std::string randomDigits(std::mt19937& random, size_t count) {
  std::string s;
  s += static_cast<char>('1' + random() % 9);
  while (s.size() < count) s += static_cast<char>('0' + random() % 10);
  return s;
}

// Sign and digit count survive for every size the strategy accepts: the
// 128-bit path (up to 38 digits), the GMP path beyond, up to the limit.
TEST(KeyInteger, KeepsSignAndDigitCount) {
  KeyedHash hash = keyOf(1);
  std::mt19937 random(11);
  EXPECT_EQ(maskedInteger(hash, integer("0")).sign == Sign::Negative, false);
  for (size_t digits : {1, 2, 9, 19, 20, 37, 38, 39, 40, 100, 255, 256}) {
    for (int i = 0; i < 40; ++i) {
      std::string text = randomDigits(random, digits);
      for (bool negative : {false, true}) {
        Integer in = integer((negative ? "-" : "") + text);
        Integer out = maskedInteger(hash, in);
        ASSERT_EQ(out.negative(), negative) << str(in);
        ASSERT_EQ(magnitudeDigits(out.magnitude).size(), digits) << str(in) << " -> " << str(out);
      }
    }
  }
}

TEST(KeyInteger, RefusesFrom257Digits) {
  KeyedHash hash = keyOf(2);
  std::mt19937 random(12);
  for (std::string sign : {"", "-"}) {
    for (size_t digits : {257, 300}) {
      auto out = KeyStrategy::maskInteger(hash, integer(sign + randomDigits(random, digits)));
      ASSERT_TRUE(std::holds_alternative<Refused>(out));
      EXPECT_EQ(std::get<Refused>(out).message, TOO_LONG);
    }
  }
  EXPECT_EQ(tooLongMessage("key"), TOO_LONG);
}

// lo + permute(hi - lo, |v| - lo, label), with lo = 0 only for one-digit
// non-negative values and the label naming the sign.
TEST(KeyInteger, IsThePermutationOfTheShapeRange) {
  KeyedHash hash = keyOf(3);
  struct Case {
    const char* value;
    const char* lo;
    const char* hi;
    std::string_view label;
  };
  const Case cases[] = {
      {"0", "0", "10", "integer"},
      {"7", "0", "10", "integer"},
      {"-7", "1", "10", "negative"},
      {"42", "10", "100", "integer"},
      {"-42", "10", "100", "negative"},
      {"12345678901234567890123456789012345678", "10000000000000000000000000000000000000",
       "100000000000000000000000000000000000000", "integer"},
      {"-123456789012345678901234567890123456789", "100000000000000000000000000000000000000",
       "1000000000000000000000000000000000000000", "negative"},
  };
  for (const Case& c : cases) {
    Integer in = integer(c.value);
    mpz_class lo(c.lo), hi(c.hi);
    mpz_class expected = lo + hash.permute(hi - lo, toMpz(in.magnitude) - lo, c.label);
    Integer out = maskedInteger(hash, in);
    EXPECT_EQ(toMpz(out.magnitude), expected) << c.value;
  }
}

// Each one- and two-digit shape is a bijection onto itself.
TEST(KeyInteger, SmallShapesMapOntoThemselves) {
  KeyedHash hash = keyOf(4);
  struct Range {
    int from, to;
  };
  for (Range r : {Range{0, 9}, Range{-9, -1}, Range{10, 99}, Range{-99, -10}}) {
    std::set<int64_t> outputs;
    for (int v = r.from; v <= r.to; ++v) {
      Integer out = maskedInteger(hash, Integer::fromI64(v));
      int64_t m = std::stoll(str(out));
      ASSERT_GE(m, r.from) << v;
      ASSERT_LE(m, r.to) << v;
      outputs.insert(m);
    }
    EXPECT_EQ(outputs.size(), static_cast<size_t>(r.to - r.from + 1)) << r.from;
  }
}

// The character classes as the shape rules define them, kept apart from the
// code under test.
int classSize(Charset charset, char c) {
  if (c >= '0' && c <= '9') return 10;
  if (charset == Charset::Alphanumeric && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return 26;
  if (charset == Charset::Hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return 6;
  return 0;
}
bool sameClass(Charset charset, char a, char b) {
  int k = classSize(charset, a);
  if (k != classSize(charset, b)) return false;
  if (k == 0) return a == b;
  auto kind = [](char c) { return c >= '0' && c <= '9' ? 0 : c >= 'a' ? 1 : 2; };
  return kind(a) == kind(b);
}

class KeyTextShape : public ::testing::TestWithParam<Charset> {};

// Random ASCII texts, including controls and NUL, long enough to leave the
// 128-bit path (over 27 classified positions) and up to the limit.
TEST_P(KeyTextShape, KeepsLengthAndClassAtEveryPosition) {
  Charset charset = GetParam();
  KeyedHash hash = keyOf(5);
  std::mt19937 random(13);
  const std::string pool = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_ .#";
  for (size_t length : {1, 2, 5, 10, 27, 28, 40, 100, 256}) {
    for (int i = 0; i < 30; ++i) {
      std::string text;
      for (size_t j = 0; j < length; ++j) {
        text += random() % 8 == 0 ? static_cast<char>(random() % 128) : pool[random() % pool.size()];
      }
      std::string out = maskedText(hash, charset, text);
      ASSERT_EQ(out.size(), text.size());
      for (size_t j = 0; j < length; ++j) ASSERT_TRUE(sameClass(charset, text[j], out[j])) << text << " -> " << out;
    }
  }
}

// Distinct codes of one shape get distinct substitutes.
TEST_P(KeyTextShape, IsABijectionOnOneShape) {
  Charset charset = GetParam();
  KeyedHash hash = keyOf(6);
  std::set<std::string> outputs;
  const std::string letters = charset == Charset::Digits ? "" : "abcdef";
  for (char a : letters + "0123456789") {
    for (char b : std::string("0123456789")) {
      std::string text = {a, '-', b};
      std::string out = maskedText(hash, charset, text);
      outputs.insert(out);
    }
  }
  EXPECT_EQ(outputs.size(), letters.size() * 10 + 100);
}

INSTANTIATE_TEST_SUITE_P(Charsets, KeyTextShape,
                         ::testing::Values(Charset::Alphanumeric, Charset::Digits, Charset::Hex),
                         [](const auto& info) { return std::string(charsetName(info.param)); });

// The substitute is the permutation, under the label spelled out by hand, of
// the mixed-radix index of the text.
TEST(KeyText, PermutesTheMixedRadixIndexUnderTheShapeLabel) {
  KeyedHash hash = keyOf(7);
  // AB-12x: A=0, B=1 of 26; 1, 2 of 10; x=23 of 26.
  {
    mpz_class size = 26 * 26 * 10 * 10 * 26;
    mpz_class value = (((0 * 26 + 1) * 10 + 1) * 10 + 2) * 26 + 23;
    mpz_class v = hash.permute(size, value, "text|alphanumeric|2626-101026");
    std::string expected = "AA-00a";
    const char* alpha[] = {"ABCDEFGHIJKLMNOPQRSTUVWXYZ", "ABCDEFGHIJKLMNOPQRSTUVWXYZ", nullptr, "0123456789",
                           "0123456789", "abcdefghijklmnopqrstuvwxyz"};
    for (int i = 5; i >= 0; --i) {
      if (!alpha[i]) continue;
      unsigned long k = std::string(alpha[i]).size();
      expected[i] = alpha[i][mpz_fdiv_ui(v.get_mpz_t(), k)];
      v /= k;
    }
    EXPECT_EQ(maskedText(hash, Charset::Alphanumeric, "AB-12x"), expected);
  }
  // 0x1F under hex: 0 of 10, x kept, 1 of 10, F=5 of 6.
  {
    mpz_class v = hash.permute(10 * 10 * 6, (0 * 10 + 1) * 6 + 5, "text|hex|10x106");
    std::string expected = "0x00";
    expected[3] = "ABCDEF"[mpz_fdiv_ui(v.get_mpz_t(), 6)];
    v /= 6;
    expected[2] = "0123456789"[mpz_fdiv_ui(v.get_mpz_t(), 10)];
    v /= 10;
    expected[0] = "0123456789"[mpz_fdiv_ui(v.get_mpz_t(), 10)];
    EXPECT_EQ(maskedText(hash, Charset::Hex, "0x1F"), expected);
  }
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Letter case does not enter the label, so texts differing only in case get
// substitutes differing in the same positions in the same way.
TEST(KeyText, CaseVariantsShareOnePermutation) {
  KeyedHash hash = keyOf(8);
  std::string lower = maskedText(hash, Charset::Alphanumeric, "ab-12");
  EXPECT_EQ(maskedText(hash, Charset::Alphanumeric, "AB-12"), upper(lower));
  std::string mixed = maskedText(hash, Charset::Alphanumeric, "Ab-12");
  EXPECT_EQ(mixed, std::string(1, upper(lower)[0]) + lower.substr(1));
  std::string hexLower = maskedText(hash, Charset::Hex, "0xff");
  std::string hexUpper = maskedText(hash, Charset::Hex, "0xFF");
  EXPECT_EQ(hexUpper, hexLower.substr(0, 2) + upper(hexLower.substr(2)));
  mpz_class v = hash.permute(10 * 6 * 6, 0 * 36 + 5 * 6 + 5, "text|hex|10x66");
  EXPECT_EQ(hexLower[3], "abcdef"[mpz_fdiv_ui(v.get_mpz_t(), 6)]);
}

TEST(KeyText, CharsetDecidesWhatIsKept) {
  KeyedHash hash = keyOf(9);
  std::string digits = maskedText(hash, Charset::Digits, "ab-12");
  EXPECT_EQ(digits.substr(0, 3), "ab-");
  std::string hex = maskedText(hash, Charset::Hex, "ag");
  EXPECT_EQ(hex[1], 'g');
  EXPECT_TRUE(hex[0] >= 'a' && hex[0] <= 'f') << hex;
  EXPECT_EQ(maskedText(hash, Charset::Alphanumeric, ""), "");
  EXPECT_EQ(maskedText(hash, Charset::Alphanumeric, "--"), "--");
  EXPECT_EQ(maskedText(hash, Charset::Digits, "abc-XYZ"), "abc-XYZ");
}

TEST(KeyText, LimitAndNonAsciiOutcomes) {
  KeyedHash hash = keyOf(10);
  std::string at(256, 'a');
  at[100] = '7';
  std::string masked = maskedText(hash, Charset::Alphanumeric, at);
  EXPECT_EQ(masked.size(), 256u);
  EXPECT_NE(masked, at);
  auto over = KeyStrategy::maskText(Charset::Alphanumeric, hash, std::string(257, 'a'));
  ASSERT_TRUE(std::holds_alternative<Refused>(over));
  EXPECT_EQ(std::get<Refused>(over).message, TOO_LONG);
  // Non-ASCII wins over the length check, and anywhere in the text.
  std::string accented = std::string(298, 'a') + "\xc3\xa9";
  EXPECT_TRUE(std::holds_alternative<Fallback>(KeyStrategy::maskText(Charset::Alphanumeric, hash, accented)));
  EXPECT_TRUE(std::holds_alternative<Fallback>(KeyStrategy::maskText(Charset::Hex, hash, "caf\xc3\xa9")));
}

}  // namespace
}  // namespace morvo
