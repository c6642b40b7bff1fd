#include "fpe.h"

#include <gtest/gtest.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "digits.h"

namespace morvo {
namespace {

using namespace std::string_literals;

constexpr std::string_view TOO_LONG =
    "the fpe strategy masks identifiers of up to 256 characters or digits, and this value is longer; use hash, "
    "redact or null for long values";

std::string tooShort(std::string_view what) {
  return "the fpe strategy is strict, and FF1 needs at least "s + std::string(what) + " in a value; this one has fewer";
}

const std::array<uint8_t, 32> SUBKEY = [] {
  std::array<uint8_t, 32> subkey;
  for (size_t i = 0; i < 32; ++i) subkey[i] = static_cast<uint8_t>(7 + i);
  return subkey;
}();
const KeyedHash HASH = KeyedHash::fromSubkey(SUBKEY);

std::string_view alphabetOf(Charset charset) {
  return charset == Charset::Digits ? "0123456789"
         : charset == Charset::Hex  ? "0123456789abcdefABCDEF"
                                    : "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
}

Integer integerOf(std::string_view decimal) {
  bool negative = decimal.front() == '-';
  return Integer::fromMagnitude(negative, magnitudeFromDigits(decimal.substr(negative)));
}

std::string repeatDigits(size_t n, std::string_view head = "") {
  std::string out(head);
  while (out.size() < n) out += static_cast<char>('1' + out.size() % 9);
  return out;
}

// The masked value, or a failure and an empty value when there is none.
template <class T>
T masked(const Outcome<T>& out) {
  if (std::holds_alternative<T>(out)) return std::get<T>(out);
  ADD_FAILURE() << "not masked";
  return {};
}

template <class T>
std::string refusal(const Outcome<T>& out) {
  return std::holds_alternative<Refused>(out) ? std::string(std::get<Refused>(out).message) : "(not refused)";
}

// The AES key is HMAC-SHA-256(subkey, "ff1 key" || 0x00) and the text tweak
// "text|<charset>|" with alphabet characters zeroed: computed here with
// OpenSSL's HMAC and the tweak written out by hand. Integers use radix 10
// under the same key, tweak "integer", re-encrypted while they start with 0.
TEST(FpeMake, KeyAndTweaksFollowTheirDefinitions) {
  std::array<uint8_t, 32> key;
  unsigned length = 0;
  HMAC(EVP_sha256(), SUBKEY.data(), 32, reinterpret_cast<const uint8_t*>("ff1 key\0"), 8, key.data(), &length);
  ASSERT_EQ(length, 32u);
  FpeStrategy fpe = FpeStrategy::make(HASH, Charset::Hex, false);

  std::vector<uint32_t> numerals;
  for (char c : std::string("01F2a3b")) numerals.push_back(static_cast<uint32_t>(alphabetOf(Charset::Hex).find(c)));
  std::string want;
  for (uint32_t y : Ff1::make(key, 22).encrypt(numerals, "text|hex|\0x\0\0\0\0\0\0"s)) want += alphabetOf(Charset::Hex)[y];
  EXPECT_EQ(std::string_view(masked(fpe.maskText(HASH, "0x1F2a3b"))), want.insert(1, "x"));

  Ff1 decimal = Ff1::make(key, 10);
  auto z = decimal.encrypt(std::vector<uint32_t>{9, 8, 7, 6, 5, 4, 3, 2}, "integer");
  while (z[0] == 0) z = decimal.encrypt(z, "integer");
  std::string walked;
  for (uint32_t d : z) walked += static_cast<char>('0' + d);
  EXPECT_EQ(masked(fpe.maskInteger(HASH, integerOf("98765432"))), integerOf(walked));
}

// Sign and digit count survive at every size where the arithmetic paths and
// the 128-bit conversions meet: 6, 19/20 (2^64), 38/39 (2^128), 256; and
// "negative" is a tweak of its own, so -v is not the mirror of v.
TEST(FpeInteger, KeepsSignAndDigitCount) {
  FpeStrategy fpe = FpeStrategy::make(HASH, Charset::Alphanumeric, true);
  for (const std::string& digits :
       {"123456"s, repeatDigits(19), "9999999999999999999"s, repeatDigits(20), "18446744073709551616"s,
        repeatDigits(38), std::string(38, '9'), "1" + std::string(38, '0'),
        "340282366920938463463374607431768211456"s, repeatDigits(39, "5"), repeatDigits(256)}) {
    Integer positive = masked(fpe.maskInteger(HASH, integerOf(digits)));
    Integer negative = masked(fpe.maskInteger(HASH, integerOf("-" + digits)));
    for (const Integer& m : {positive, negative}) {
      EXPECT_EQ(decimalDigits(m.magnitude), digits.size()) << digits;
      EXPECT_NE(m.magnitude, integerOf(digits).magnitude) << digits;
    }
    EXPECT_FALSE(positive.negative());
    EXPECT_TRUE(negative.negative());
    EXPECT_NE(positive.magnitude, negative.magnitude) << digits;
  }
}

// Cycle walking keeps FF1 a bijection on the 900000 six-digit integers; a
// result with a leading zero would collide on a shorter number.
TEST(FpeInteger, SixDigitIntegersArePermuted) {
  FpeStrategy fpe = FpeStrategy::make(HASH, Charset::Digits, true);
  std::vector<bool> seen(1000000);
  for (int64_t v = 100000; v < 1000000; ++v) {
    Integer m = masked(fpe.maskInteger(HASH, Integer::fromI64(v)));
    ASSERT_EQ(m.magnitude.size(), 1u);
    uint64_t image = m.magnitude[0];
    ASSERT_TRUE(image >= 100000 && image <= 999999 && !seen[image]) << v << " -> " << image;
    seen[image] = true;
  }
}

// Below 6 digits: refused when strict, the key strategy's answer otherwise.
TEST(FpeInteger, ShortIntegersRefusedWhenStrictElseKeyStrategy) {
  FpeStrategy strict = FpeStrategy::make(HASH, Charset::Hex, true);
  FpeStrategy lenient = FpeStrategy::make(HASH, Charset::Hex, false);
  for (const char* v : {"0", "7", "-7", "42", "12345", "-99999"}) {
    EXPECT_EQ(refusal(strict.maskInteger(HASH, integerOf(v))), tooShort("6 digits")) << v;
    EXPECT_EQ(lenient.maskInteger(HASH, integerOf(v)), KeyStrategy::maskInteger(HASH, integerOf(v))) << v;
  }
}

// Over 256 digits or bytes: refused with the exact message whether strict or
// not; non-ASCII falls back before any length or strictness rule applies.
TEST(FpeLimits, TooLongRefusedAndNonAsciiFallsBack) {
  for (bool strict : {false, true}) {
    FpeStrategy fpe = FpeStrategy::make(HASH, Charset::Digits, strict);
    EXPECT_EQ(refusal(fpe.maskInteger(HASH, integerOf(repeatDigits(257)))), TOO_LONG);
    EXPECT_EQ(refusal(fpe.maskInteger(HASH, integerOf("-" + repeatDigits(300)))), TOO_LONG);
    EXPECT_EQ(refusal(fpe.maskText(HASH, std::string(257, '-'))), TOO_LONG);
    EXPECT_EQ(refusal(fpe.maskText(HASH, std::string(257, '5'))), TOO_LONG);
    EXPECT_EQ(masked(fpe.maskText(HASH, std::string(256, '5'))).size(), 256u);
    for (std::string text : {"\xc3\xa9"s, "caf\xc3\xa9-123456"s, std::string(298, '1') + "\xc3\xa9"}) {
      EXPECT_TRUE(std::holds_alternative<Fallback>(fpe.maskText(HASH, text))) << text.size() << " bytes";
    }
  }
}

// Alphabet positions stay in the alphabet and everything else stays put (so
// the digits charset leaves letters alone), for every charset and lengths
// around the minimum, odd and even.
TEST(FpeText, KeepsLengthAndNonAlphabetCharacters) {
  const std::string filler = "0aZ9-Gx_f.3F 7 q";
  for (Charset charset : {Charset::Alphanumeric, Charset::Digits, Charset::Hex}) {
    const std::string_view alphabet = alphabetOf(charset);
    auto in = [&](char c) { return alphabet.find(c) != alphabet.npos; };
    FpeStrategy fpe = FpeStrategy::make(HASH, charset, true);
    for (size_t n = 0; n <= 256; n += (n < 24 ? 1 : 29)) {
      std::string text;
      for (size_t i = 0; i < n; ++i) text += filler[(i * 5 + n) % filler.size()];
      if (std::ranges::count_if(text, in) < static_cast<ptrdiff_t>(fpe.mainCipher.minimumLength)) continue;
      Text out = masked(fpe.maskText(HASH, text));
      ASSERT_EQ(out.size(), text.size());
      EXPECT_NE(std::string_view(out), text);
      for (size_t i = 0; i < n; ++i) EXPECT_TRUE(in(text[i]) ? in(out[i]) : out[i] == text[i]) << i << " in " << text;
    }
  }
}

// Each charset's boundary: minimum - 1 alphabet characters (and the empty
// text) are refused when strict with the charset's message, or get the key
// strategy's answer; the minimum itself is encrypted either way.
TEST(FpeText, ShortTextsRefusedWhenStrictElseKeyStrategy) {
  struct Case {
    Charset charset;
    std::string_view shortText, enoughText, minimum;
  };
  for (Case c : {Case{Charset::Alphanumeric, "ab-1", "ab-12", "4 alphanumeric characters"},
                 Case{Charset::Digits, "12-34-5xyz", "12-34-56", "6 digits characters"},
                 Case{Charset::Hex, "0x1fag", "0x1fa2g", "5 hex characters"}}) {
    FpeStrategy strict = FpeStrategy::make(HASH, c.charset, true);
    FpeStrategy lenient = FpeStrategy::make(HASH, c.charset, false);
    for (std::string_view text : {c.shortText, std::string_view()}) {
      EXPECT_EQ(refusal(strict.maskText(HASH, text)), tooShort(c.minimum)) << text;
      EXPECT_EQ(lenient.maskText(HASH, text), KeyStrategy::maskText(c.charset, HASH, text)) << text;
    }
    Text out = masked(strict.maskText(HASH, c.enoughText));
    EXPECT_EQ(out, masked(lenient.maskText(HASH, c.enoughText)));
    EXPECT_NE(Outcome<Text>(out), KeyStrategy::maskText(c.charset, HASH, c.enoughText)) << c.enoughText;
  }
}

// Separators are part of the tweak: the same digits behind different
// separators go through unrelated permutations.
TEST(FpeText, SeparatorsChangeTheTweak) {
  FpeStrategy fpe = FpeStrategy::make(HASH, Charset::Digits, true);
  std::string dashes(masked(fpe.maskText(HASH, "12-34-56"))), dots(masked(fpe.maskText(HASH, "12.34.56")));
  EXPECT_EQ(std::erase(dashes, '-'), 2u);
  EXPECT_EQ(std::erase(dots, '.'), 2u);
  EXPECT_NE(dashes, dots);
}

// Under hex a letter may change case, under alphanumeric digits and letters
// trade places: the whole alphabet is in play.
TEST(FpeText, CharacterClassesMayChange) {
  auto classOf = [](char c) { return c >= '0' && c <= '9' ? 0 : c >= 'a' && c <= 'z' ? 1 : 2; };
  for (Charset charset : {Charset::Hex, Charset::Alphanumeric}) {
    FpeStrategy fpe = FpeStrategy::make(HASH, charset, true);
    std::set<std::pair<int, int>> moves;
    for (int i = 0; i < 20; ++i) {
      std::string text = "abcde" + std::to_string(i);
      Text out = masked(fpe.maskText(HASH, text));
      for (size_t k = 0; k < text.size(); ++k) moves.emplace(classOf(text[k]), classOf(out[k]));
    }
    EXPECT_TRUE(moves.contains({1, 2})) << charsetName(charset) << ": no lower case letter became upper case";
    EXPECT_TRUE(moves.contains({1, 0}) && moves.contains({0, 1})) << charsetName(charset) << ": no digit/letter swap";
  }
}

}  // namespace
}  // namespace morvo
