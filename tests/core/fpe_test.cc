#include "fpe.h"

#include <gtest/gtest.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <string>
#include <vector>

#include "digits.h"

namespace morvo {
namespace {

constexpr std::string_view TOO_LONG =
    "the fpe strategy masks identifiers of up to 256 characters or digits, and this value is longer; use hash, "
    "redact or null for long values";

std::array<uint8_t, 32> subkeyOf(uint8_t fill) {
  std::array<uint8_t, 32> subkey;
  for (size_t i = 0; i < 32; ++i) subkey[i] = static_cast<uint8_t>(fill + i);
  return subkey;
}

const KeyedHash HASH = KeyedHash::fromSubkey(subkeyOf(7));

std::string_view alphabetOf(Charset charset) {
  switch (charset) {
    case Charset::Alphanumeric: return "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    case Charset::Digits: return "0123456789";
    case Charset::Hex: return "0123456789abcdefABCDEF";
  }
  return "";
}

Integer integerOf(std::string_view decimal) {
  bool negative = decimal.front() == '-';
  if (negative) decimal.remove_prefix(1);
  return Integer::fromMagnitude(negative, magnitudeFromDigits(decimal));
}

Integer maskedInteger(const FpeStrategy& fpe, const Integer& v) {
  auto out = fpe.maskInteger(HASH, v);
  if (!std::holds_alternative<Integer>(out)) {
    ADD_FAILURE() << "no integer for " << decimalText(v);
    return {};
  }
  return std::get<Integer>(out);
}

Text maskedText(const FpeStrategy& fpe, std::string_view text) {
  auto out = fpe.maskText(HASH, text);
  if (!std::holds_alternative<Text>(out)) {
    ADD_FAILURE() << "no text for " << text;
    return {};
  }
  return std::get<Text>(out);
}

std::string refusal(const Outcome<Text>& out) {
  return std::holds_alternative<Refused>(out) ? std::string(std::get<Refused>(out).message) : "(not refused)";
}
std::string refusal(const Outcome<Integer>& out) {
  return std::holds_alternative<Refused>(out) ? std::string(std::get<Refused>(out).message) : "(not refused)";
}

// The AES key is HMAC-SHA-256(subkey, "ff1 key" || 0x00), and the text tweak
// is "text|<charset>|" with alphabet characters zeroed: computed here with
// OpenSSL's HMAC and the tweak written out by hand, so a wrong label, key or
// tweak layout shows.
TEST(FpeMake, KeyAndTextTweakFollowTheirDefinitions) {
  auto subkey = subkeyOf(7);
  std::array<uint8_t, 32> key;
  unsigned length = 0;
  HMAC(EVP_sha256(), subkey.data(), 32, reinterpret_cast<const uint8_t*>("ff1 key\0"), 8, key.data(), &length);
  ASSERT_EQ(length, 32u);

  FpeStrategy fpe = FpeStrategy::make(HASH, Charset::Hex, false);
  Ff1 expected = Ff1::make(key, 22);
  std::string text = "0x1F2a3b";
  std::vector<uint32_t> numerals;
  for (char c : std::string("01F2a3b")) numerals.push_back(static_cast<uint32_t>(alphabetOf(Charset::Hex).find(c)));
  using namespace std::string_literals;
  auto y = expected.encrypt(numerals, "text|hex|\0x\0\0\0\0\0\0"s);
  std::string want;
  for (size_t k = 0; k < y.size(); ++k) want += alphabetOf(Charset::Hex)[y[k]];
  want.insert(1, "x");
  EXPECT_EQ(std::string_view(maskedText(fpe, text)), want);

  // Integers: radix 10 under the same key, tweak "integer", re-encrypted
  // while the result starts with 0.
  Ff1 decimal = Ff1::make(key, 10);
  std::vector<uint32_t> digits{9, 8, 7, 6, 5, 4, 3, 2};
  auto z = decimal.encrypt(digits, "integer");
  while (z[0] == 0) z = decimal.encrypt(z, "integer");
  std::string walked;
  for (uint32_t d : z) walked += static_cast<char>('0' + d);
  EXPECT_EQ(maskedInteger(fpe, integerOf("98765432")), integerOf(walked));
}

// Sign and digit count survive at every size the two arithmetic paths and
// the 128-bit conversions meet: 6, 19/20 (64 bits), 38/39 (128 bits), 256.
class FpeIntegerShape : public ::testing::TestWithParam<std::string> {};

TEST_P(FpeIntegerShape, KeepsSignAndDigitCount) {
  FpeStrategy fpe = FpeStrategy::make(HASH, Charset::Alphanumeric, true);
  for (bool negative : {false, true}) {
    std::string decimal = (negative ? "-" : "") + GetParam();
    Integer v = integerOf(decimal);
    Integer m = maskedInteger(fpe, v);
    EXPECT_EQ(m.negative(), negative);
    EXPECT_EQ(decimalDigits(m.magnitude), GetParam().size());
    EXPECT_NE(m, v) << decimal;
    EXPECT_EQ(maskedInteger(fpe, v), m) << "not repeatable";
    // "negative" and "integer" are separate tweaks: -v is not the mirror of v.
    if (negative) {
      EXPECT_NE(m.magnitude, maskedInteger(fpe, integerOf(GetParam())).magnitude);
    }
  }
}

std::string repeatDigits(size_t n, std::string_view head = "") {
  std::string out(head);
  while (out.size() < n) out += static_cast<char>('1' + out.size() % 9);
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FpeIntegerShape,
    ::testing::Values("123456", "100000", "999999", repeatDigits(19), "9999999999999999999", repeatDigits(20),
                      "18446744073709551616", repeatDigits(38), std::string(38, '9'), "1" + std::string(38, '0'),
                      "340282366920938463463374607431768211456", repeatDigits(39, "5"), repeatDigits(256)));

// 257 digits: refused with the exact message, not masked and not FALLBACK.
TEST(FpeInteger, RefusesFromTwoHundredFiftySevenDigits) {
  for (bool strict : {false, true}) {
    FpeStrategy fpe = FpeStrategy::make(HASH, Charset::Digits, strict);
    EXPECT_EQ(refusal(fpe.maskInteger(HASH, integerOf(repeatDigits(257)))), TOO_LONG);
    EXPECT_EQ(refusal(fpe.maskInteger(HASH, integerOf("-" + repeatDigits(300)))), TOO_LONG);
  }
}

// Cycle walking keeps FF1 a bijection on the 900000 six-digit integers; a
// result with a leading zero would collide on a shorter number.
TEST(FpeInteger, SixDigitIntegersArePermuted) {
  FpeStrategy fpe = FpeStrategy::make(HASH, Charset::Digits, true);
  std::vector<bool> seen(1000000);
  for (int64_t v = 100000; v < 1000000; ++v) {
    Integer m = maskedInteger(fpe, Integer::fromI64(v));
    ASSERT_EQ(m.magnitude.size(), 1u);
    uint64_t image = m.magnitude[0];
    ASSERT_TRUE(image >= 100000 && image <= 999999) << v << " -> " << image;
    ASSERT_FALSE(seen[image]) << "collision at " << v;
    seen[image] = true;
  }
}

TEST(FpeInteger, ShortIntegersAreRefusedWhenStrict) {
  FpeStrategy fpe = FpeStrategy::make(HASH, Charset::Hex, true);
  for (const char* v : {"0", "7", "-7", "12345", "-99999"}) {
    EXPECT_EQ(refusal(fpe.maskInteger(HASH, integerOf(v))),
              "the fpe strategy is strict, and FF1 needs at least 6 digits in a value; this one has fewer")
        << v;
  }
}

TEST(FpeInteger, ShortIntegersGoToTheKeyStrategy) {
  FpeStrategy fpe = FpeStrategy::make(HASH, Charset::Hex, false);
  for (const char* v : {"0", "7", "-7", "42", "12345", "-99999"}) {
    Integer value = integerOf(v);
    EXPECT_EQ(fpe.maskInteger(HASH, value), KeyStrategy::maskInteger(HASH, value)) << v;
  }
}

// Texts: alphabet positions stay in the alphabet, everything else stays
// put, for every charset and lengths around the minimum, odd and even.
class FpeTextShape : public ::testing::TestWithParam<Charset> {};

TEST_P(FpeTextShape, KeepsLengthAndNonAlphabetCharacters) {
  const Charset charset = GetParam();
  const std::string_view alphabet = alphabetOf(charset);
  FpeStrategy fpe = FpeStrategy::make(HASH, charset, true);
  const std::string filler = "0aZ9-Gx_f.3F 7 q";
  for (size_t n = 0; n <= 256; n += (n < 24 ? 1 : 29)) {
    std::string text;
    for (size_t i = 0; i < n; ++i) text += filler[(i * 5 + n) % filler.size()];
    size_t count = std::count_if(text.begin(), text.end(), [&](char c) { return alphabet.find(c) != alphabet.npos; });
    if (count < fpe.mainCipher.minimumLength) continue;
    Text out = maskedText(fpe, text);
    ASSERT_EQ(out.size(), text.size());
    for (size_t i = 0; i < n; ++i) {
      if (alphabet.find(text[i]) == alphabet.npos) {
        EXPECT_EQ(out[i], text[i]) << "kept character moved in " << text;
      } else {
        EXPECT_NE(alphabet.find(out[i]), alphabet.npos) << "left the alphabet in " << text;
      }
    }
    EXPECT_NE(std::string_view(out), text);
  }
}

INSTANTIATE_TEST_SUITE_P(Charsets, FpeTextShape,
                         ::testing::Values(Charset::Alphanumeric, Charset::Digits, Charset::Hex),
                         [](const auto& info) { return std::string(charsetName(info.param)); });

// The boundary of each charset: minimum - 1 alphabet characters is too short
// (refused with the charset's message, or the key strategy's answer), the
// minimum itself is encrypted.
struct ShortCase {
  Charset charset;
  std::string_view shortText;
  std::string_view enoughText;
  std::string_view message;
};

void PrintTo(const ShortCase& c, std::ostream* os) { *os << charsetName(c.charset); }

class FpeShortText : public ::testing::TestWithParam<ShortCase> {};

TEST_P(FpeShortText, StrictRefusesAndLenientDefersToKeyStrategy) {
  ShortCase c = GetParam();
  FpeStrategy strict = FpeStrategy::make(HASH, c.charset, true);
  FpeStrategy lenient = FpeStrategy::make(HASH, c.charset, false);
  for (std::string_view text : {c.shortText, std::string_view()}) {
    EXPECT_EQ(refusal(strict.maskText(HASH, text)), c.message) << text;
    EXPECT_EQ(lenient.maskText(HASH, text), KeyStrategy::maskText(c.charset, HASH, text)) << text;
  }
  Text out = maskedText(strict, c.enoughText);
  EXPECT_EQ(out, maskedText(lenient, c.enoughText));
  EXPECT_NE(Outcome<Text>(out), KeyStrategy::maskText(c.charset, HASH, c.enoughText)) << "went to the key strategy";
}

INSTANTIATE_TEST_SUITE_P(
    Charsets, FpeShortText,
    ::testing::Values(
        ShortCase{Charset::Alphanumeric, "ab-1", "ab-12",
                  "the fpe strategy is strict, and FF1 needs at least 4 alphanumeric characters in a value; this one "
                  "has fewer"},
        ShortCase{Charset::Digits, "12-34-5xyz", "12-34-56",
                  "the fpe strategy is strict, and FF1 needs at least 6 digits characters in a value; this one has "
                  "fewer"},
        ShortCase{Charset::Hex, "0x1fag", "0x1fa2g",
                  "the fpe strategy is strict, and FF1 needs at least 5 hex characters in a value; this one has "
                  "fewer"}),
    [](const auto& info) { return std::string(charsetName(info.param.charset)); });

// Non-ASCII falls back before any length or strictness rule applies.
TEST(FpeText, NonAsciiFallsBackEvenWhenStrictOrLong) {
  for (bool strict : {false, true}) {
    FpeStrategy fpe = FpeStrategy::make(HASH, Charset::Alphanumeric, strict);
    std::string longText(298, 'a');
    longText += "\xc3\xa9";
    for (std::string_view text : {std::string_view("\xc3\xa9"), std::string_view("caf\xc3\xa9-1234"),
                                  std::string_view(longText)}) {
      EXPECT_TRUE(std::holds_alternative<Fallback>(fpe.maskText(HASH, text))) << text.size() << " bytes";
    }
  }
}

TEST(FpeText, RefusesFromTwoHundredFiftySevenBytes) {
  FpeStrategy fpe = FpeStrategy::make(HASH, Charset::Digits, false);
  EXPECT_EQ(refusal(fpe.maskText(HASH, std::string(257, '-'))), TOO_LONG);
  EXPECT_EQ(refusal(fpe.maskText(HASH, std::string(257, '5'))), TOO_LONG);
  EXPECT_EQ(maskedText(fpe, std::string(256, '5')).size(), 256u);
}

// Separators are part of the tweak: the same digits behind different
// separators are encrypted by unrelated permutations.
TEST(FpeText, SeparatorsChangeTheTweak) {
  FpeStrategy fpe = FpeStrategy::make(HASH, Charset::Digits, true);
  Text dashes = maskedText(fpe, "12-34-56");
  Text dots = maskedText(fpe, "12.34.56");
  EXPECT_EQ(dashes[2], '-');
  EXPECT_EQ(dots[5], '.');
  std::string a(dashes), b(dots);
  std::erase(a, '-');
  std::erase(b, '.');
  EXPECT_NE(a, b);
}

// Which characters may move between classes: under hex a letter may change
// case, under alphanumeric digits and letters trade places, and under
// digits letters are never touched.
TEST(FpeText, AlphabetDecidesWhatMayChange) {
  auto classOf = [](char c) { return c >= '0' && c <= '9' ? 0 : c >= 'a' && c <= 'z' ? 1 : 2; };
  for (Charset charset : {Charset::Hex, Charset::Alphanumeric}) {
    FpeStrategy fpe = FpeStrategy::make(HASH, charset, true);
    size_t moved = 0;
    for (int i = 0; i < 20; ++i) {
      std::string text = "abcde" + std::to_string(i);
      Text out = maskedText(fpe, text);
      for (size_t k = 0; k < text.size(); ++k) moved += classOf(out[k]) != classOf(text[k]);
    }
    EXPECT_GT(moved, 0u) << charsetName(charset) << " kept every class";
  }
  FpeStrategy digits = FpeStrategy::make(HASH, Charset::Digits, true);
  Text out = maskedText(digits, "ab12cd3456EF");
  EXPECT_EQ(std::string_view(out).substr(0, 2), "ab");
  EXPECT_EQ(std::string_view(out).substr(4, 2), "cd");
  EXPECT_EQ(std::string_view(out).substr(10, 2), "EF");
}

}  // namespace
}  // namespace morvo
