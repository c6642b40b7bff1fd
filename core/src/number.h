// The number strategy: moves a value by a keyed relative amount (unbounded)
// or draws it between min and max (bounded), in exact decimal arithmetic cut
// to 60 significant digits. Integers stay integers, floats floats and
// Decimals Decimals; whatever is not masked here falls back to Python.
#pragma once

#include <optional>
#include <string_view>

#include "common.h"
#include "dec.h"
#include "integer.h"
#include "keyed_hash.h"
#include "wide_dec.h"

namespace morvo {

// The options in wide form for the fast path.
struct NumberPlan {
  WideDec variance;
  // Unbounded, when variance * (2U - 1) and 1 plus that are exact for every
  // U (no 60-digit cut), the factor is 10^factorScale + (2U - 1) * 10^53 *
  // variance at 10^-factorScale, formed without the general steps.
  bool exactFactor = false;
  uint32_t factorScale = 0;
  Wide fivesVariance;  // 5^53 times variance's coefficient, for that factor
  WideDec min, max, span;  // bounded only; span = max - min cut to 60 digits
  Wide spanFives;          // span's coefficient times 5^53, when it fits
  // Bounded: min and max quantized up and down to the grid 10^-i, for the
  // grids of ordinary values.
  struct Bounds {
    Quantized lo = Quantized::deferred, hi = Quantized::deferred;
    WideDec low, high;
  };
  static constexpr size_t GRIDS = 20;
  std::array<Bounds, GRIDS> bounds;
};

// One value on the fast path between the message of its draw and that
// message's digest under label::NONE, so that the digests of many values
// can be taken together (KeyedHash::digestMany).
struct NumberDraft {
  WideDec x;
  int64_t grid = 0;  // a Decimal's result grid, 10^grid
  size_t length = 0;
  char text[448];    // the draw's message
  std::string_view message() const { return {text, length}; }
};
// What prepare* made of a value: a draft ready for its digest, a FALLBACK
// known before any digest, or a value for the exact path.
enum class Prepared : uint8_t { ready, fallback, exact };

struct NumberStrategy {
  Dec variance;
  std::optional<Dec> min;  // set together with max
  std::optional<Dec> max;
  std::optional<uint32_t> decimals;
  // Made by make(); absent when an option does not fit the wide form, and
  // then every value takes the exact path.
  std::optional<NumberPlan> plan;

  bool bounded() const { return min.has_value(); }

  // The strategy, or the construction error's message.
  static std::variant<NumberStrategy, Text> make(std::optional<std::string_view> min,
                                                 std::optional<std::string_view> max,
                                                 std::optional<std::string_view> variance,
                                                 std::optional<uint32_t> decimals);

  // The keyed draw for a value: x * (1 + variance * (2U - 1)) unbounded,
  // min + (max - min) * U bounded, U drawn from the hash text.
  Dec target(const Dec& x, const KeyedHash& hash, std::string_view hashText) const;
  // v limited to [min, max] on the grid of 10^e (max wins when the grid holds
  // no point between them); v itself when unbounded. None when a bound needs
  // more than 60 digits on that grid.
  std::optional<Dec> clamp(const Dec& v, int64_t e) const;
  // Unbounded, a result equal to the non-zero value is moved one step up or
  // down by a second draw; otherwise the clamped value is the result.
  static Dec moved(bool bounded, const Dec& x, const Dec& clamped, const Dec& step,
                   const KeyedHash& hash, std::string_view hashText);

  // The number branch of dispatch, one per input kind: the fast path, or
  // the exact path where the fast one defers.
  Outcome<Integer> maskInteger(const KeyedHash& hash, const Integer& value) const;
  // value and its repr text.
  Outcome<double> maskFloat(const KeyedHash& hash, double value, std::string_view repr) const;
  // Python's str of the Decimal; gives the text of the new decimal.
  Outcome<Text> maskDecimal(const KeyedHash& hash, std::string_view text) const;

  // The exact path on Dec alone.
  Outcome<Integer> maskIntegerExact(const KeyedHash& hash, const Integer& value) const;
  Outcome<double> maskFloatExact(const KeyedHash& hash, double value, std::string_view repr) const;
  Outcome<Text> maskDecimalExact(const KeyedHash& hash, std::string_view text) const;
  // The fast path alone: in fixed-width arithmetic, the same outcome as the
  // exact path, or none when it cannot be sure of it.
  // target() on the fast path: none when it cannot be sure of the result.
  std::optional<Dec> targetFast(const Dec& x, const KeyedHash& hash, std::string_view hashText) const;
  std::optional<Outcome<Integer>> maskIntegerFast(const KeyedHash& hash, const Integer& value) const;
  std::optional<Outcome<double>> maskFloatFast(const KeyedHash& hash, double value, std::string_view repr) const;
  std::optional<Outcome<Text>> maskDecimalFast(const KeyedHash& hash, std::string_view text) const;
  // The fast path in two steps around the draw's digest: prepare* fill the
  // draft; finish* give the outcome from the digest, or none where the
  // fast path gives none.
  Prepared prepareInteger(const Integer& value, NumberDraft& draft) const;
  Prepared prepareFloat(double value, std::string_view repr, NumberDraft& draft) const;
  Prepared prepareDecimal(std::string_view text, NumberDraft& draft) const;
  std::optional<Outcome<Integer>> finishInteger(const KeyedHash& hash, const NumberDraft& draft,
                                                const Digest& draw) const;
  std::optional<Outcome<double>> finishFloat(const KeyedHash& hash, const NumberDraft& draft,
                                             const Digest& draw) const;
  // A Decimal's result before its text (wideText).
  std::optional<Outcome<WideDec>> finishDecimal(const KeyedHash& hash, const NumberDraft& draft,
                                                const Digest& draw) const;
};

// The message of both keyed draws for a float: its exact integer when it is
// integral, else its repr.
Text floatHashText(double value, std::string_view repr);
// The same for a Decimal: the integer text when integral, else the plain
// text of its significant digits; none beyond 28 significant digits.
std::optional<Text> decimalHashText(const Dec& x);
// decimalHashText of coefficient * 10^exponent (coefficient > 0, exponent
// within the input limits) written to out, which holds at least
// HASH_TEXT_CAPACITY bytes; gives the count, or none where that gives none.
inline constexpr size_t HASH_TEXT_CAPACITY = sizeof(NumberDraft::text);
std::optional<size_t> decimalHashTextInto(u128 coefficient, int64_t exponent, bool negative, char* out);

}  // namespace morvo
