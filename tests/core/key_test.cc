#include "key.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

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
  bool negative = decimal[0] == '-';
  return Integer::fromMagnitude(negative, magnitudeFromDigits(negative ? decimal.substr(1) : decimal));
}

template <class T, class Out>
T expectMasked(const Out& out) {
  EXPECT_TRUE(std::holds_alternative<T>(out));
  return std::holds_alternative<T>(out) ? std::get<T>(out) : T{};
}
Integer maskedInteger(const KeyedHash& hash, const Integer& v) {
  return expectMasked<Integer>(KeyStrategy::maskInteger(hash, v));
}
std::string maskedText(const KeyedHash& hash, Charset charset, std::string_view text) {
  return std::string(expectMasked<Text>(KeyStrategy::maskText(charset, hash, text)));
}

template <class Out>
std::string refusal(const Out& out) {
  return std::holds_alternative<Refused>(out) ? std::string(std::get<Refused>(out).message) : "not refused";
}

// Sign and digit count survive on the 128-bit path (up to 38 digits) and the
// GMP path beyond, up to the limit.
TEST(KeyInteger, KeepsSignAndDigitCount) {
  KeyedHash hash = keyOf(1);
  std::mt19937 random(11);
  for (size_t digits : {1, 2, 9, 19, 20, 38, 39, 40, 100, 256}) {
    for (int i = 0; i < 20; ++i) {
      for (std::string sign : {"", "-"}) {
        std::string text = sign + static_cast<char>('1' + random() % 9);
        while (text.size() < sign.size() + digits) text += static_cast<char>('0' + random() % 10);
        Integer in = integer(text), out = maskedInteger(hash, in);
        ASSERT_EQ(out.negative(), !sign.empty()) << decimalText(in);
        ASSERT_EQ(magnitudeDigits(out.magnitude).size(), digits) << decimalText(in) << " -> " << decimalText(out);
      }
    }
  }
}

// lo + permute(hi - lo, |v| - lo, label), lo = 0 only for one-digit
// non-negative values, the label naming the sign.
TEST(KeyInteger, IsThePermutationOfTheShapeRange) {
  KeyedHash hash = keyOf(3);
  const struct {
    std::string value, lo, hi;
    std::string_view label;
  } cases[] = {
      {"0", "0", "10", "integer"},
      {"-7", "1", "10", "negative"},
      {"42", "10", "100", "integer"},
      {"12345678901234567890123456789012345678", "1" + std::string(37, '0'), "1" + std::string(38, '0'), "integer"},
      {"-123456789012345678901234567890123456789", "1" + std::string(38, '0'), "1" + std::string(39, '0'), "negative"},
  };
  for (const auto& c : cases) {
    mpz_class lo(c.lo), hi(c.hi);
    mpz_class expected = lo + hash.permute(hi - lo, toMpz(integer(c.value).magnitude) - lo, c.label);
    EXPECT_EQ(toMpz(maskedInteger(hash, integer(c.value)).magnitude), expected) << c.value;
  }
}

// Each one- and two-digit shape, the 90 two-digit numbers included, maps onto itself.
TEST(KeyInteger, SmallShapesMapOntoThemselves) {
  KeyedHash hash = keyOf(4);
  for (auto [from, to] : {std::pair{0, 9}, {-9, -1}, {10, 99}, {-99, -10}}) {
    std::set<int64_t> outputs;
    for (int v = from; v <= to; ++v) {
      int64_t m = std::stoll(std::string(decimalText(maskedInteger(hash, Integer::fromI64(v)))));
      ASSERT_TRUE(m >= from && m <= to) << v << " -> " << m;
      outputs.insert(m);
    }
    EXPECT_EQ(outputs.size(), static_cast<size_t>(to - from + 1)) << from;
  }
}

// The character classes, kept apart from the code under test: 0 digit, 1
// lower, 2 upper letter of the charset, -1 kept as it is.
int classOf(Charset charset, char c) {
  if (c >= '0' && c <= '9') return 0;
  char last = charset == Charset::Hex ? 'f' : charset == Charset::Alphanumeric ? 'z' : 'a' - 1;
  if (c >= 'a' && c <= last) return 1;
  if (c >= 'A' && c <= last - 'a' + 'A') return 2;
  return -1;
}

class KeyTextShape : public ::testing::TestWithParam<Charset> {};

// Random ASCII texts, controls and NUL included, up to the limit and past the
// 128-bit path (over 27 classified positions): length and class are kept.
TEST_P(KeyTextShape, KeepsLengthAndClassAtEveryPosition) {
  Charset charset = GetParam();
  KeyedHash hash = keyOf(5);
  std::mt19937 random(13);
  const std::string pool = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_ .#";
  for (size_t length : {1, 2, 10, 27, 28, 40, 256}) {
    for (int i = 0; i < 30; ++i) {
      std::string text;
      while (text.size() < length)
        text += random() % 8 == 0 ? static_cast<char>(random() % 128) : pool[random() % pool.size()];
      std::string out = maskedText(hash, charset, text);
      ASSERT_EQ(out.size(), text.size());
      for (size_t j = 0; j < length; ++j) {
        int k = classOf(charset, text[j]);
        ASSERT_TRUE(k == classOf(charset, out[j]) && (k >= 0 || text[j] == out[j])) << text << " -> " << out;
      }
    }
  }
}

// Distinct codes of one shape get distinct substitutes.
TEST_P(KeyTextShape, IsABijectionOnOneShape) {
  Charset charset = GetParam();
  KeyedHash hash = keyOf(6);
  std::set<std::string> outputs;
  const std::string letters = charset == Charset::Digits ? "" : "abcdef";
  for (char a : letters + "0123456789")
    for (char b = '0'; b <= '9'; ++b) outputs.insert(maskedText(hash, charset, std::string{a, '-', b}));
  EXPECT_EQ(outputs.size(), letters.size() * 10 + 100);
}

INSTANTIATE_TEST_SUITE_P(Charsets, KeyTextShape,
                         ::testing::Values(Charset::Alphanumeric, Charset::Digits, Charset::Hex),
                         [](const auto& info) { return std::string(charsetName(info.param)); });

// The permuted mixed-radix index written back into `kept`, last position
// least significant; alphabets[i] null keeps position i.
std::string writeBack(mpz_class v, std::string kept, std::initializer_list<const char*> alphabets) {
  for (size_t i = alphabets.size(); i-- > 0;) {
    const char* alphabet = alphabets.begin()[i];
    if (!alphabet) continue;
    kept[i] = alphabet[mpz_fdiv_q_ui(v.get_mpz_t(), v.get_mpz_t(), std::strlen(alphabet))];
  }
  return kept;
}

// The substitute is the permutation, under the shape label spelled out by
// hand, of the mixed-radix index; letter case stays out of the label, so case
// variants share one permutation.
TEST(KeyText, PermutesTheMixedRadixIndexUnderTheShapeLabel) {
  KeyedHash hash = keyOf(7);
  const char *upper = "ABCDEFGHIJKLMNOPQRSTUVWXYZ", *lower = "abcdefghijklmnopqrstuvwxyz", *digit = "0123456789";
  // AB-12x: A=0, B=1 of 26; 1, 2 of 10; x=23 of 26.
  mpz_class v = hash.permute(26 * 26 * 10 * 10 * 26, (((0 * 26 + 1) * 10 + 1) * 10 + 2) * 26 + 23,
                             "text|alphanumeric|2626-101026");
  EXPECT_EQ(maskedText(hash, Charset::Alphanumeric, "AB-12x"),
            writeBack(v, "AB-12x", {upper, upper, nullptr, digit, digit, lower}));
  // 0x1F under hex: 0 of 10, x kept, 1 of 10, F=5 of 6.
  v = hash.permute(10 * 10 * 6, (0 * 10 + 1) * 6 + 5, "text|hex|10x106");
  EXPECT_EQ(maskedText(hash, Charset::Hex, "0x1F"), writeBack(v, "0x1F", {digit, nullptr, digit, "ABCDEF"}));
  v = hash.permute(10 * 6 * 6, 0 * 36 + 5 * 6 + 5, "text|hex|10x66");
  EXPECT_EQ(maskedText(hash, Charset::Hex, "0xff"), writeBack(v, "0xff", {digit, nullptr, "abcdef", "abcdef"}));
  EXPECT_EQ(maskedText(hash, Charset::Hex, "0xFf"), writeBack(v, "0xFf", {digit, nullptr, "ABCDEF", "abcdef"}));
}

// 256 digits or characters are masked (above), 257 refused; the empty text
// is kept.
TEST(Key, LimitEmptyAndNonAsciiOutcomes) {
  KeyedHash hash = keyOf(10);
  EXPECT_EQ(maskedText(hash, Charset::Alphanumeric, ""), "");
  for (std::string v : {"1" + std::string(256, '0'), "-" + std::string(300, '9')})
    EXPECT_EQ(refusal(KeyStrategy::maskInteger(hash, integer(v))), TOO_LONG) << v.size();
  EXPECT_EQ(refusal(KeyStrategy::maskText(Charset::Alphanumeric, hash, std::string(257, 'a'))), TOO_LONG);
  // Non-ASCII wins over the length check, and anywhere in the text.
  std::string accented = std::string(298, 'a') + "\xc3\xa9";
  EXPECT_TRUE(std::holds_alternative<Fallback>(KeyStrategy::maskText(Charset::Alphanumeric, hash, accented)));
  EXPECT_TRUE(std::holds_alternative<Fallback>(KeyStrategy::maskText(Charset::Hex, hash, "caf\xc3\xa9")));
}

// Values masked side by side give what each gives alone, for every kind of
// outcome: permuted texts and integers of many shapes (short and long walks,
// so that lanes refill at different rounds), texts with nothing classified,
// shapes past 2^128 (the GMP path), non-ASCII and over-long texts, integers
// past 38 digits and past the limit.
TEST(Key, ManyValuesSideBySideMatchOneAtATime) {
  KeyedHash hash = keyOf(9);
  std::mt19937_64 rng(11);
  const std::string alphabet = "abcXYZ0123456789-_ ";
  std::vector<std::string> texts = {"", "---", "é-1", std::string(257, 'a'), std::string(40, '7'),
                                    "AB12-cd34x", std::string(30, 'q')};
  std::vector<Integer> integers = {Integer::fromI64(0), Integer::fromI64(-5), Integer::fromI64(7),
                                   Integer::fromI64(123456789), Integer::fromI64(-9876543210)};
  Limbs wide;
  wide.push(0x0123456789abcdefULL);
  wide.push(0xfedcba9876543210ULL);
  wide.push(0x5ULL);  // 39 digits and more: the GMP path
  integers.push_back(Integer::fromMagnitude(false, wide));
  for (int i = 0; i < 300; ++i) {
    std::string text;
    for (size_t n = rng() % 24; n > 0; --n) text += alphabet[rng() % alphabet.size()];
    texts.push_back(text);
    integers.push_back(Integer::fromI64(static_cast<int64_t>(rng() >> (rng() % 60))) );
  }
  for (Charset charset : {Charset::Alphanumeric, Charset::Digits, Charset::Hex}) {
    std::vector<KeyValue> values;
    for (size_t i = 0; i < std::max(texts.size(), integers.size()); ++i) {
      if (i < texts.size()) values.push_back(std::string_view(texts[i]));
      if (i < integers.size()) values.push_back(&integers[i]);
    }
    std::vector<KeyOutcome> out(values.size());
    KeyStrategy::maskMany(charset, hash, values, out);
    for (size_t i = 0; i < values.size(); ++i) {
      if (const Integer* const* integer = std::get_if<const Integer*>(&values[i])) {
        ASSERT_EQ(std::get<Outcome<Integer>>(out[i]), KeyStrategy::maskInteger(hash, **integer)) << i;
      } else {
        std::string_view text = std::get<std::string_view>(values[i]);
        ASSERT_EQ(std::get<Outcome<Text>>(out[i]), KeyStrategy::maskText(charset, hash, text)) << text;
      }
    }
  }
}

}  // namespace
}  // namespace morvo
