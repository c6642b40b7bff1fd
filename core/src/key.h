// The key strategy: identifiers replaced by a keyed permutation of their
// shape. An integer keeps its sign and digit count; a text keeps its length
// and the character class of every position under the charset.
#pragma once

#include <string_view>

#include "common.h"
#include "integer.h"
#include "keyed_hash.h"

namespace morvo {

enum class Charset : uint8_t { Alphanumeric = 0, Digits = 1, Hex = 2 };

// "alphanumeric", "digits", "hex".
std::string_view charsetName(Charset charset);

struct KeyStrategy {
  Charset charset = Charset::Alphanumeric;

  // An integer of the same shape, or REFUSED when it has 257 or more digits.
  static Outcome<Integer> maskInteger(const KeyedHash& hash, const Integer& value);
  // A text of the same shape; FALLBACK for non-ASCII, REFUSED from 257 bytes.
  static Outcome<Text> maskText(Charset charset, const KeyedHash& hash, std::string_view text);
};

}  // namespace morvo
