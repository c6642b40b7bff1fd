// The value model of the engine: what a binding reads from its host (Input)
// and what it gives back (Output). Neither refers to the host's objects, so
// they can be built by any binding, masked on any thread and freed anywhere.
#pragma once

#include <cstring>
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

// A masked text: in place up to INLINE bytes when written through resize(),
// otherwise a Text. Hashes and e-mail addresses are written in place, so such
// a result costs no allocation of its own (a Text holds only 15 bytes in
// place, one fewer than a default hash).
class OutputText {
 public:
  static constexpr size_t INLINE = 39;

  OutputText() = default;
  // A strategy's Text result, kept as it is: copying a short one in would
  // only add the freeing of its Text here.
  OutputText(morvo::Text&& text) : storage_(std::move(text)) {}  // NOLINT: every Text result converts
  explicit OutputText(std::string_view text) { std::memcpy(resize(text.size()), text.data(), text.size()); }

  // Makes room for `size` bytes, to be written at the pointer given.
  char* resize(size_t size) {
    if (size <= INLINE) {
      Inline& in = storage_.emplace<Inline>();
      in.size = static_cast<uint8_t>(size);
      return in.bytes;
    }
    return storage_.emplace<morvo::Text>(size, '\0').data();
  }

  const char* data() const {
    const auto* in = std::get_if<Inline>(&storage_);
    return in ? in->bytes : std::get<morvo::Text>(storage_).data();
  }
  size_t size() const {
    const auto* in = std::get_if<Inline>(&storage_);
    return in ? in->size : std::get<morvo::Text>(storage_).size();
  }
  operator std::string_view() const { return {data(), size()}; }  // NOLINT

 private:
  struct Inline {
    char bytes[INLINE];
    uint8_t size;  // value-initialised to zero, as the variant's first state
  };
  std::variant<Inline, morvo::Text> storage_;
};

namespace output {
struct None {};
struct Int {
  Integer value;
};
struct Text {
  OutputText text;
};
struct Float {
  double value;
};
struct Decimal {
  OutputText text;  // becomes decimal.Decimal(text)
};
using Fallback = morvo::Fallback;
using Refused = morvo::Refused;
}  // namespace output

// Tags 0 to 6, in this order. Copies are deep: a copy owns its storage.
using Output = std::variant<output::None, output::Int, output::Text, output::Float, output::Decimal,
                            output::Fallback, output::Refused>;

}  // namespace morvo
