// The key strategy: identifiers replaced by a keyed permutation of their
// shape. An integer keeps its sign and digit count; a text keeps its length
// and the character class of every position under the charset.
#pragma once

#include <span>
#include <string_view>
#include <variant>

#include "common.h"
#include "integer.h"
#include "keyed_hash.h"

namespace morvo {

enum class Charset : uint8_t { Alphanumeric = 0, Digits = 1, Hex = 2 };

// "alphanumeric", "digits", "hex".
std::string_view charsetName(Charset charset);

// A value for KeyStrategy::maskMany, an integer or a text, and its outcome.
using KeyValue = std::variant<const Integer*, std::string_view>;
using KeyOutcome = std::variant<Outcome<Integer>, Outcome<Text>>;

struct KeyStrategy {
  Charset charset = Charset::Alphanumeric;

  // An integer of the same shape, or REFUSED when it has 257 or more digits.
  static Outcome<Integer> maskInteger(const KeyedHash& hash, const Integer& value);
  // A text of the same shape; FALLBACK for non-ASCII, REFUSED from 257 bytes.
  static Outcome<Text> maskText(Charset charset, const KeyedHash& hash, std::string_view text);
  // maskInteger or maskText of each value, the same outcomes, with their
  // permutations walked side by side (KeyedHash::permuteMany).
  static void maskMany(Charset charset, const KeyedHash& hash, std::span<const KeyValue> values,
                       std::span<KeyOutcome> out);
};

}  // namespace morvo
