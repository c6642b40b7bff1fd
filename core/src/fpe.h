// The fpe strategy: identifiers encrypted with FF1 over their alphabet
// characters, everything else kept in place; values too short for FF1 go to
// the key strategy, or are refused when strict.
#pragma once

#include <string_view>

#include "common.h"
#include "ff1.h"
#include "integer.h"
#include "key.h"
#include "keyed_hash.h"

namespace morvo {

struct FpeStrategy {
  Ff1 mainCipher;
  Ff1 decimalCipher;
  Charset charset = Charset::Alphanumeric;
  KeyStrategy fallback;
  bool strict = false;

  static FpeStrategy make(const KeyedHash& hash, Charset charset, bool strict);
  Outcome<Integer> maskInteger(const KeyedHash& hash, const Integer& value) const;
  Outcome<Text> maskText(const KeyedHash& hash, std::string_view text) const;
};

}  // namespace morvo
