#include "fpe.h"

#include <array>

#include "digits.h"

namespace morvo {

namespace {

constexpr std::string_view ALPHANUMERIC = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr std::string_view DIGITS = "0123456789";
constexpr std::string_view HEX = "0123456789abcdefABCDEF";

// Marks an ASCII character outside the alphabet: it is kept and goes into
// the tweak as itself.
constexpr uint8_t OUTSIDE = 0xff;
using IndexTable = std::array<uint8_t, 128>;

constexpr IndexTable indexTable(std::string_view alphabet) {
  IndexTable table{};
  for (auto& entry : table) entry = OUTSIDE;
  for (size_t i = 0; i < alphabet.size(); ++i) table[static_cast<uint8_t>(alphabet[i])] = static_cast<uint8_t>(i);
  return table;
}

constexpr IndexTable ALPHANUMERIC_INDEX = indexTable(ALPHANUMERIC);
constexpr IndexTable DIGITS_INDEX = indexTable(DIGITS);
constexpr IndexTable HEX_INDEX = indexTable(HEX);

struct Alphabet {
  std::string_view characters;
  const IndexTable& index;
};

Alphabet alphabetOf(Charset charset) {
  switch (charset) {
    case Charset::Alphanumeric: return {ALPHANUMERIC, ALPHANUMERIC_INDEX};
    case Charset::Digits: return {DIGITS, DIGITS_INDEX};
    case Charset::Hex: return {HEX, HEX_INDEX};
  }
  fail("charset is alphanumeric, digits or hex");
}

constexpr std::string_view STRATEGY = "fpe";
constexpr std::string_view TEXT_TWEAK = "text";

Text tooShortMessage(uint64_t minimum, std::string_view unit) {
  Text out = "the fpe strategy is strict, and FF1 needs at least ";
  out += std::to_string(minimum).c_str();
  out += ' ';
  out.append(unit);
  out += " in a value; this one has fewer";
  return out;
}

}  // namespace

FpeStrategy FpeStrategy::make(const KeyedHash& hash, Charset charset, bool strict) {
  Digest key = hash.digest("", label::FF1_KEY);
  FpeStrategy out;
  out.mainCipher = Ff1::make(key, static_cast<uint32_t>(alphabetOf(charset).characters.size()));
  out.decimalCipher = Ff1::make(key, 10);
  out.charset = charset;
  out.fallback.charset = charset;
  out.strict = strict;
  return out;
}

Outcome<Integer> FpeStrategy::maskInteger(const KeyedHash& hash, const Integer& value) const {
  const uint64_t digits = decimalDigits(value.magnitude);
  if (digits > IDENTIFIER_LIMIT) return Refused{tooLongMessage(STRATEGY)};
  if (digits < decimalCipher.minimumLength) {
    if (strict) return Refused{tooShortMessage(decimalCipher.minimumLength, "digits")};
    return KeyStrategy::maskInteger(hash, value);
  }

  std::array<uint32_t, IDENTIFIER_LIMIT> numerals;
  std::span<uint32_t> x(numerals.data(), digits);
  if (fitsU128(value.magnitude)) {
    u128 m = toU128(value.magnitude);
    for (size_t k = digits; k-- > 0; m /= 10) x[k] = static_cast<uint32_t>(m % 10);
  } else {
    Text text = magnitudeDigits(value.magnitude);
    check(text.size() == digits, "digit count agrees with the digits");
    for (size_t k = 0; k < digits; ++k) x[k] = static_cast<uint32_t>(text[k] - '0');
  }

  const std::string_view tweak = value.negative() ? label::NEGATIVE : label::INTEGER;
  Vec<uint32_t> y = decimalCipher.encrypt(x, tweak);
  // Cycle walking: FF1 permutes all digit strings of this length, and the
  // walk from a string without a leading zero reaches one again, so the
  // result keeps the digit count.
  while (y[0] == 0) y = decimalCipher.encrypt(y, tweak);

  Limbs magnitude;
  if (digits <= 38) {
    u128 m = 0;
    for (uint32_t d : y) m = m * 10 + d;
    magnitude = fromU128(m);
  } else {
    Text text(digits, '0');
    for (size_t k = 0; k < digits; ++k) text[k] = static_cast<char>('0' + y[k]);
    magnitude = magnitudeFromDigits(text);
  }
  return Integer::fromMagnitude(value.negative(), std::move(magnitude));
}

Outcome<Text> FpeStrategy::maskText(const KeyedHash& hash, std::string_view text) const {
  // Non-ASCII falls back before the length is looked at.
  if (!isAscii(text)) return Fallback{};
  if (text.size() > IDENTIFIER_LIMIT) return Refused{tooLongMessage(STRATEGY)};

  const Alphabet alphabet = alphabetOf(charset);
  const std::string_view name = charsetName(charset);
  // The tweak keeps everything but the alphabet characters, so texts that
  // differ in their separators are encrypted under unrelated permutations.
  Text tweak;
  tweak.reserve(TEXT_TWEAK.size() + name.size() + 2 + text.size());
  tweak.append(TEXT_TWEAK);
  tweak += '|';
  tweak.append(name);
  tweak += '|';
  std::array<uint32_t, IDENTIFIER_LIMIT> numerals;
  size_t count = 0;
  for (char c : text) {
    uint8_t index = alphabet.index[static_cast<uint8_t>(c)];
    if (index == OUTSIDE) {
      tweak += c;
    } else {
      numerals[count++] = index;
      tweak += '\0';
    }
  }

  if (count < mainCipher.minimumLength) {
    if (strict) {
      Text unit(name.data(), name.size());
      unit += " characters";
      return Refused{tooShortMessage(mainCipher.minimumLength, unit)};
    }
    return KeyStrategy::maskText(fallback.charset, hash, text);
  }

  Vec<uint32_t> y = mainCipher.encrypt(std::span<const uint32_t>(numerals.data(), count), tweak);
  Text out(text.data(), text.size());
  size_t k = 0;
  for (char& c : out) {
    if (alphabet.index[static_cast<uint8_t>(c)] != OUTSIDE) c = alphabet.characters[y[k++]];
  }
  check(k == count && isAscii(out), "ASCII in, ASCII out");
  return out;
}

}  // namespace morvo
