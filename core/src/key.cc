#include "key.h"

#include <algorithm>
#include <array>
#include <optional>
#include <span>

#include "digits.h"

namespace morvo {

namespace {

// A character's class under a charset: its alphabet, a run of consecutive
// ASCII characters starting at `first`, and its index in it. size 0: no
// class, the character is kept.
// No member initialisers: a value's table of classes is left unwritten
// beyond its length rather than cleared on every call.
struct CharClass {
  uint8_t size;
  uint8_t index;
  char first;
};

CharClass classify(Charset charset, char c) {
  if (c >= '0' && c <= '9') return {10, static_cast<uint8_t>(c - '0'), '0'};
  if (charset == Charset::Digits) return {};
  char lastLetter = charset == Charset::Hex ? 'f' : 'z';
  uint8_t letters = charset == Charset::Hex ? 6 : 26;
  if (c >= 'a' && c <= lastLetter) return {letters, static_cast<uint8_t>(c - 'a'), 'a'};
  char lastUpper = static_cast<char>(lastLetter - 'a' + 'A');
  if (c >= 'A' && c <= lastUpper) return {letters, static_cast<uint8_t>(c - 'A'), 'A'};
  return {};
}

// "text|" charset "|" shape: the class size for a classified position, the
// character itself otherwise. Texts that differ only in letter case share it.
Text textLabel(Charset charset, std::string_view text, std::span<const CharClass> classes) {
  std::string_view name = charsetName(charset);
  Text label;
  label.reserve(6 + name.size() + 2 * text.size());
  label += "text|";
  label += name;
  label += '|';
  for (size_t i = 0; i < text.size(); ++i) {
    switch (classes[i].size) {
      case 0: label += text[i]; break;
      case 6: label += '6'; break;
      case 10: label += "10"; break;
      case 26: label += "26"; break;
      default: fail("class sizes are 6, 10 or 26");
    }
  }
  return label;
}

// v % size, and v divided by it: by constants, so that no division
// instruction (or, for 128 bits, no library call) is needed.
template <class U>
uint8_t takeDigit(U& v, uint8_t size) {
  U q;
  switch (size) {
    case 6: q = v / 6; break;
    case 10: q = v / 10; break;
    default: q = v / 26; break;
  }
  const auto digit = static_cast<uint8_t>(v - q * size);
  v = q;
  return digit;
}

// Writes the mixed-radix digits of v into the classified positions of out,
// the last position least significant.
template <class U>
void writeDigits(U v, std::span<const CharClass> classes, Text& out) {
  for (size_t i = out.size(); i-- > 0;) {
    const CharClass cls = classes[i];
    if (cls.size == 0) continue;
    out[i] = static_cast<char>(cls.first + static_cast<char>(takeDigit(v, cls.size)));
  }
}

// Mixed radix, first position most significant, on GMP: texts whose shape
// holds more than 2^128 values.
void maskTextBig(Charset charset, const KeyedHash& hash, std::string_view label, Text& out) {
  mpz_class size = 1, value = 0;
  for (char c : out) {
    CharClass cls = classify(charset, c);
    if (cls.size == 0) continue;
    size *= cls.size;
    value *= cls.size;
    value += cls.index;
  }
  value = hash.permute(size, value, label);
  for (size_t i = out.size(); i-- > 0;) {
    CharClass cls = classify(charset, out[i]);
    if (cls.size == 0) continue;
    unsigned long j = mpz_fdiv_q_ui(value.get_mpz_t(), value.get_mpz_t(), cls.size);
    out[i] = static_cast<char>(cls.first + static_cast<char>(j));
  }
}

}  // namespace

std::string_view charsetName(Charset charset) {
  switch (charset) {
    case Charset::Alphanumeric: return "alphanumeric";
    case Charset::Digits: return "digits";
    case Charset::Hex: return "hex";
  }
  return "alphanumeric";
}

namespace {

// A value's work around its permutation, when the permutation is a walk of
// permuteSmall: prepared, then permuted (alone or beside others), then
// finished.
struct IntegerWalk {
  bool negative = false;
  u128 lo = 0;
  PermuteJob job;
};

struct TextWalk {
  std::array<CharClass, IDENTIFIER_LIMIT> classes;  // the first out.size() are set
  Text label;
  Text out;
  PermuteJob job;
};

// maskInteger up to its permutation: the outcome when it takes no walk of
// permuteSmall, or none with the walk ready.
std::optional<Outcome<Integer>> prepareInteger(const KeyedHash& hash, const Integer& value, IntegerWalk& walk) {
  bool negative = value.negative();
  std::string_view label = negative ? label::NEGATIVE : label::INTEGER;
  // Up to 38 digits the whole shape range fits 128 bits: no GMP at all.
  if (fitsU128(value.magnitude)) {
    u128 magnitude = toU128(value.magnitude);
    uint64_t d = decimalDigits(magnitude);
    if (d <= 38) {
      u128 hi = powerOfTen128(static_cast<unsigned>(d));
      walk.lo = negative || d >= 2 ? powerOfTen128(static_cast<unsigned>(d - 1)) : 0;
      walk.negative = negative;
      walk.job = {hi - walk.lo - 1, magnitude - walk.lo, label, 0};
      return std::nullopt;
    }
  }
  mpz_class magnitude = toMpz(value.magnitude);
  uint64_t d = decimalDigits(magnitude);
  if (d > IDENTIFIER_LIMIT) return Refused{tooLongMessage("key")};
  mpz_class hi = powerOfTen(d);
  mpz_class lo = powerOfTen(d - 1);  // d >= 39 here
  mpz_class masked = lo + hash.permute(hi - lo, magnitude - lo, label);
  return Integer::fromMagnitude(negative, fromMpz(masked));
}

Integer finishInteger(const IntegerWalk& walk) {
  return Integer::fromMagnitude(walk.negative, fromU128(walk.lo + walk.job.result));
}

// maskText up to its permutation, likewise.
std::optional<Outcome<Text>> prepareText(Charset charset, const KeyedHash& hash, std::string_view text,
                                         TextWalk& walk) {
  // Non-ASCII first: a long non-ASCII text falls back rather than being refused.
  if (!isAscii(text)) return Fallback{};
  if (text.size() > IDENTIFIER_LIMIT) return Refused{tooLongMessage("key")};

  // Each position is classified once, for the value, the label and the output.
  u128 size = 1, value = 0;
  bool fits = true;
  for (size_t i = 0; i < text.size(); ++i) {
    const CharClass cls = walk.classes[i] = classify(charset, text[i]);
    if (cls.size == 0) continue;
    u128 grown;
    if (fits && !__builtin_mul_overflow(size, static_cast<u128>(cls.size), &grown)) {
      size = grown;
      value = value * cls.size + cls.index;  // value < size, so this fits too
    } else {
      fits = false;
    }
  }
  walk.out = toText(text);
  if (fits && size == 1) return std::move(walk.out);  // nothing classified, the empty text included

  const std::span<const CharClass> classified(walk.classes.data(), text.size());
  walk.label = textLabel(charset, text, classified);
  if (!fits) {
    maskTextBig(charset, hash, walk.label, walk.out);
    check(isAscii(walk.out), "ASCII in, ASCII out");
    return std::move(walk.out);
  }
  walk.job = {size - 1, value, walk.label, 0};
  return std::nullopt;
}

Text finishText(TextWalk& walk) {
  const std::span<const CharClass> classified(walk.classes.data(), walk.out.size());
  const u128 size = walk.job.sizeMinusOne + 1;
  if (walk.job.sizeMinusOne != ~u128{0} && static_cast<uint64_t>(size >> 64) == 0) {
    writeDigits(static_cast<uint64_t>(walk.job.result), classified, walk.out);
  } else {
    writeDigits(walk.job.result, classified, walk.out);
  }
  check(isAscii(walk.out), "ASCII in, ASCII out");
  return std::move(walk.out);
}

}  // namespace

Outcome<Integer> KeyStrategy::maskInteger(const KeyedHash& hash, const Integer& value) {
  IntegerWalk walk;
  if (auto done = prepareInteger(hash, value, walk)) return std::move(*done);
  walk.job.result = hash.permuteSmall(walk.job.sizeMinusOne, walk.job.value, walk.job.label);
  return finishInteger(walk);
}

Outcome<Text> KeyStrategy::maskText(Charset charset, const KeyedHash& hash, std::string_view text) {
  TextWalk walk;
  if (auto done = prepareText(charset, hash, text, walk)) return std::move(*done);
  walk.job.result = hash.permuteSmall(walk.job.sizeMinusOne, walk.job.value, walk.job.label);
  return finishText(walk);
}

void KeyStrategy::maskMany(Charset charset, const KeyedHash& hash, std::span<const KeyValue> values,
                           std::span<KeyOutcome> out) {
  check(out.size() == values.size(), "one outcome per value");
  // A chunk at a time, its walks on the stack (they never move, so the jobs
  // can view their labels): no allocation for values that take no walk.
  constexpr size_t CHUNK = 32;
  std::array<IntegerWalk, CHUNK> integers;
  std::array<TextWalk, CHUNK> texts;
  std::array<PermuteJob, CHUNK> jobs;
  struct Owner {
    size_t value;
    bool text;
    size_t walk;
  };
  std::array<Owner, CHUNK> owners;
  for (size_t begin = 0; begin < values.size(); begin += CHUNK) {
    const size_t end = std::min(values.size(), begin + CHUNK);
    size_t walks = 0, integerWalks = 0, textWalks = 0;
    for (size_t i = begin; i < end; ++i) {
      if (const Integer* const* integer = std::get_if<const Integer*>(&values[i])) {
        IntegerWalk& walk = integers[integerWalks];
        if (auto done = prepareInteger(hash, **integer, walk)) {
          out[i] = std::move(*done);
          continue;
        }
        jobs[walks] = walk.job;
        owners[walks++] = {i, false, integerWalks++};
      } else {
        TextWalk& walk = texts[textWalks];
        if (auto done = prepareText(charset, hash, std::get<std::string_view>(values[i]), walk)) {
          out[i] = std::move(*done);
          continue;
        }
        jobs[walks] = walk.job;
        owners[walks++] = {i, true, textWalks++};
      }
    }
    hash.permuteMany(std::span<PermuteJob>(jobs.data(), walks));
    for (size_t k = 0; k < walks; ++k) {
      const Owner& owner = owners[k];
      if (owner.text) {
        texts[owner.walk].job.result = jobs[k].result;
        out[owner.value] = Outcome<Text>(finishText(texts[owner.walk]));
      } else {
        integers[owner.walk].job.result = jobs[k].result;
        out[owner.value] = Outcome<Integer>(finishInteger(integers[owner.walk]));
      }
    }
  }
}

}  // namespace morvo
