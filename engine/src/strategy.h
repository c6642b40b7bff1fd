// The strategy of one masker with its settings, and the dispatch of one
// value to the strategy operation for its kind.
#pragma once

#include <span>

#include <memory>
#include <variant>

#include "cheap.h"
#include "fake.h"
#include "fpe.h"
#include "key.h"
#include "keyed_hash.h"
#include "number.h"
#include "values.h"

namespace morvo {

namespace strategy {
struct Key {
  Charset charset = Charset::Alphanumeric;
};
struct Fpe {
  std::unique_ptr<FpeStrategy> fpe;
};
struct Hash {
  uint64_t length = 16;
  Text prefix;
};
struct Email {
  Text mailDomain;
  uint64_t length = 12;
  bool keepDomain = false;
};
struct Digits {
  uint64_t keepLeading = 0;
  uint64_t keepTrailing = 0;
};
struct Fake {
  std::unique_ptr<FakeStrategy> fake;
};
struct Number {
  std::unique_ptr<NumberStrategy> number;
};
}  // namespace strategy

// Variants 0 to 6, in this order.
using Strategy = std::variant<strategy::Key, strategy::Fpe, strategy::Hash, strategy::Email,
                              strategy::Digits, strategy::Fake, strategy::Number>;

// Masks one value. Never fails on any input: every value gives an answer,
// a fallback or a refusal. Touches no Python object.
Output maskOne(const Strategy& strategy, const KeyedHash& hash, const Input& input);

// maskOne of the inputs at `positions`, each into outputs[position]. Key
// maskers walk their values' permutations side by side, which the SHA unit
// runs faster than one after another.
void maskMany(const Strategy& strategy, const KeyedHash& hash, std::span<const Input> inputs,
              std::span<const uint32_t> positions, Output* outputs);

}  // namespace morvo
