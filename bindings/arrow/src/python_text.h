// The texts the interpreter would give for values read from Arrow buffers,
// computed without it: the masking strategies hash and parse these texts, so
// a value must read exactly as Python would read the same value.
#pragma once

#include <optional>
#include <string_view>

#include "common.h"
#include "float_repr.h"
#include "integer.h"

namespace morvo::arrow {

using morvo::floatRepr;  // repr(value) of a Python float

// str(Decimal) of the value magnitude * 10**-scale with the given sign (a
// Decimal with exponent -scale, as Arrow's decimal types read in Python).
Text decimalStr(bool negative, const Limbs& magnitude, int scale);

// The value of a Decimal text (as the number strategy writes it) at the given
// scale, if it is exactly representable there with at most `precision`
// digits: its sign and magnitude.
struct Scaled {
  bool negative = false;
  Limbs magnitude;
};
std::optional<Scaled> scaledDecimal(std::string_view text, int scale, int precision);

// True when the bytes are well-formed UTF-8 (no surrogates, no overlongs).
bool validUtf8(std::string_view bytes);

}  // namespace morvo::arrow
