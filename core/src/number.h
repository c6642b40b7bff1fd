// Exact decimal numbers (Dec) and the number strategy, which moves a value by
// a keyed relative amount or draws it between bounds, all in decimal
// arithmetic cut to 60 significant digits.
#pragma once

#include <gmpxx.h>

#include <optional>
#include <string_view>

#include "common.h"
#include "integer.h"
#include "keyed_hash.h"

namespace morvo {

// To be completed by the decimal unit: (-1)^negative * coefficient * 10^exponent.
struct Dec {
  mpz_class coefficient;
  int64_t exponent = 0;
  bool negative = false;
};

struct NumberStrategy {
  Dec variance;
  std::optional<Dec> min;
  std::optional<Dec> max;
  std::optional<uint32_t> decimals;

  // The strategy, or the construction error's message.
  static std::variant<NumberStrategy, Text> make(std::optional<std::string_view> min,
                                                 std::optional<std::string_view> max,
                                                 std::optional<std::string_view> variance,
                                                 std::optional<uint32_t> decimals);

  // The number branch of dispatch, one per input kind.
  Outcome<Integer> maskInteger(const KeyedHash& hash, const Integer& value) const;
  // value and its repr text.
  Outcome<double> maskFloat(const KeyedHash& hash, double value, std::string_view repr) const;
  // Python's str of the Decimal; gives the text of the new decimal.
  Outcome<Text> maskDecimal(const KeyedHash& hash, std::string_view text) const;
};

}  // namespace morvo
