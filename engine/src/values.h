// The value model of the engine: what a binding reads from its host (Input)
// and what it gives back (Output). Neither refers to the host's objects, so
// they can be built by any binding, masked on any thread and freed anywhere.
#pragma once

#include <string_view>
#include <variant>

#include "common.h"
#include "integer.h"

namespace morvo {

namespace input {
struct None {};
struct Int {
  Integer value;
};
struct Text {
  morvo::Text text;
};
struct Other {};
struct Bool {};  // the truth value is not kept: no strategy masks it
struct Float {
  double value;
  morvo::Text repr;
};
struct Decimal {
  morvo::Text text;  // Python's str() of the Decimal
};
// A text read without a copy: its bytes belong to an object of the host that
// the binding keeps alive and unchanged until the inputs are freed.
struct TextView {
  std::string_view text;
};
}  // namespace input

// Tags 0 to 7, in this order.
using Input = std::variant<input::None, input::Int, input::Text, input::Other, input::Bool,
                           input::Float, input::Decimal, input::TextView>;

namespace output {
struct None {};
struct Int {
  Integer value;
};
struct Text {
  morvo::Text text;
};
struct Float {
  double value;
};
struct Decimal {
  morvo::Text text;  // becomes decimal.Decimal(text)
};
using Fallback = morvo::Fallback;
using Refused = morvo::Refused;
}  // namespace output

// Tags 0 to 6, in this order. Copies are deep: a copy owns its storage.
using Output = std::variant<output::None, output::Int, output::Text, output::Float, output::Decimal,
                            output::Fallback, output::Refused>;

}  // namespace morvo
