// The number strategy from arbitrary options (min, max, variance texts and
// decimals) on arbitrary integers, floats and Decimal texts: construction
// refuses exactly the options that do not parse, and every answer obeys the
// strategy's contract (the kind kept, bounds held, an unbounded integer or
// Decimal moved, a float finite and not zero).
#include <charconv>
#include <cmath>
#include <optional>

#include "fuzz.h"
#include "number.h"

namespace morvo {
namespace {

std::optional<std::string> optionText(FuzzedDataProvider& in) {
  if (!in.ConsumeBool()) return std::nullopt;
  return in.ConsumeRandomLengthString(48);
}

std::optional<std::string_view> view(const std::optional<std::string>& s) {
  if (!s) return std::nullopt;
  return std::string_view(*s);
}

Dec decOf(const Integer& v) {
  Text digits = magnitudeDigits(v.magnitude);
  Dec out = *Dec::parse(digits);
  out.negative = v.negative();
  return out;
}

Dec absolute(Dec x) {
  x.negative = false;
  return x;
}

// Bounded: the masked value lies on the grid of 10^e between the bounds
// rounded inward, or is the upper one when they cross.
void requireWithinBounds(const NumberStrategy& s, const Dec& r, int64_t e) {
  auto lo = Dec::quantize(*s.min, e, Rounding::ceiling);
  auto hi = Dec::quantize(*s.max, e, Rounding::floor);
  REQUIRE(lo && hi);
  if (Dec::compare(*lo, *hi) <= 0) {
    REQUIRE(Dec::compare(*lo, r) <= 0 && Dec::compare(r, *hi) <= 0);
  } else {
    REQUIRE(Dec::compare(r, *hi) == 0);
  }
}

// Unbounded: |r - x| <= |x| * |variance| plus the rounding and the step,
// with room for the 60-digit cuts along the way.
void requireWithinVariance(const NumberStrategy& s, const Dec& x, const Dec& r, const Dec& step) {
  Dec moved = absolute(Dec::subtract(r, x));
  Dec reach = multiply(absolute(x), absolute(s.variance));
  Dec slack = multiply(reach, Dec::fromU128(1, -50));
  Dec limit = Dec::add(Dec::add(reach, slack), Dec::add(step, absolute(multiply(x, Dec::fromU128(1, -55)))));
  REQUIRE(Dec::compare(moved, limit) <= 0);
}

void maskInteger(const NumberStrategy& s, const KeyedHash& hash, FuzzedDataProvider& in) {
  mpz_class v = fuzz::bigFrom(in, 18);
  if (in.ConsumeBool()) v = -v;
  Integer value = fuzz::integerOf(v);
  auto out = s.maskInteger(hash, value);
  if (std::holds_alternative<Fallback>(out)) {
    // Integers of up to 38 digits are masked unless a bound, or a target
    // moved by a variance of 10^21 or more, needs over 60 digits.
    const Dec& w = s.variance;
    bool wide = !w.isZero() && static_cast<__int128>(w.exponent) + static_cast<__int128>(w.digits()) > 21;
    REQUIRE(mpz_class(abs(v)).get_str().size() > 38 || s.bounded() || wide);
    return;
  }
  REQUIRE(!std::holds_alternative<Refused>(out));
  const Integer& r = std::get<Integer>(out);
  Dec masked = decOf(r), x = decOf(value);
  if (s.bounded()) {
    requireWithinBounds(s, masked, 0);
  } else if (sgn(v) == 0) {
    REQUIRE(r.sign == Sign::Zero);
  } else {
    REQUIRE(!(r == value));
    requireWithinVariance(s, x, masked, Dec::fromU128(1, 0));
  }
}

void maskFloat(const NumberStrategy& s, const KeyedHash& hash, FuzzedDataProvider& in) {
  double value = in.ConsumeFloatingPoint<double>();
  if (in.ConsumeBool()) value = std::ldexp(static_cast<double>(in.ConsumeIntegral<int32_t>()), in.ConsumeIntegralInRange<int>(-30, 30));
  // The shortest text that reads back as the value, as Python's repr is.
  char repr[64];
  auto [end, ec] = std::to_chars(repr, repr + sizeof repr, value);
  REQUIRE(ec == std::errc());
  std::string_view text(repr, static_cast<size_t>(end - repr));
  auto out = s.maskFloat(hash, value, text);
  if (!std::isfinite(value) || value == 0) {
    REQUIRE(std::holds_alternative<Fallback>(out));
    return;
  }
  REQUIRE(!std::holds_alternative<Refused>(out));
  if (std::holds_alternative<Fallback>(out)) return;
  double r = std::get<double>(out);
  REQUIRE(std::isfinite(r) && r != 0);
  if (s.bounded()) {
    double lo = s.min->toF64(), hi = s.max->toF64();
    if (s.decimals) {
      int64_t e = -static_cast<int64_t>(*s.decimals);
      auto qlo = Dec::quantize(*s.min, e, Rounding::ceiling);
      auto qhi = Dec::quantize(*s.max, e, Rounding::floor);
      REQUIRE(qlo && qhi);
      lo = qlo->toF64();
      hi = qhi->toF64();
      if (lo > hi) lo = hi;
    }
    if (lo <= hi) REQUIRE(lo <= r && r <= hi);
  }
}

void maskDecimal(const NumberStrategy& s, const KeyedHash& hash, FuzzedDataProvider& in) {
  std::string text = in.ConsumeRandomLengthString(64);
  auto out = s.maskDecimal(hash, text);
  REQUIRE(!std::holds_alternative<Refused>(out));
  auto x = Dec::parse(text);
  if (!x || x->isZero()) REQUIRE(std::holds_alternative<Fallback>(out));
  if (std::holds_alternative<Fallback>(out)) return;
  auto r = Dec::parse(std::get<Text>(out));
  REQUIRE(r.has_value() && !r->isZero());
  int64_t e = s.decimals ? -static_cast<int64_t>(*s.decimals) : std::min<int64_t>(x->exponent, 0);
  // On the value's grid: never finer than the value and the target exponent.
  // (a step that carries a 60-digit result to 61 digits is cut back to 60)
  REQUIRE((r->exponent <= e || r->digits() == SIGNIFICANT_DIGITS) && r->exponent >= std::min(e, x->exponent));
  if (s.bounded()) {
    requireWithinBounds(s, *r, e);
  } else {
    REQUIRE(Dec::compare(*r, *x) != 0);
    Dec step = Dec::fromU128(1, e);
    requireWithinVariance(s, *x, *r, step);
  }
}

}  // namespace
}  // namespace morvo

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace morvo;
  return fuzz::run(data, size, [](FuzzedDataProvider& in) {
    KeyedHash hash = fuzz::keyedHash(in);
    auto min = optionText(in), max = optionText(in), variance = optionText(in);
    std::optional<uint32_t> decimals;
    if (in.ConsumeBool()) decimals = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 12) : in.ConsumeIntegral<uint32_t>();
    auto made = NumberStrategy::make(view(min), view(max), view(variance), decimals);
    bool valid = min.has_value() == max.has_value() && (!min || (Dec::parse(*min) && Dec::parse(*max))) &&
                 (!variance || Dec::parse(*variance));
    REQUIRE(valid == std::holds_alternative<NumberStrategy>(made));
    if (!valid) return;
    const NumberStrategy& s = std::get<NumberStrategy>(made);
    for (int i = 0; i < 4 && in.remaining_bytes() > 0; ++i) {
      switch (in.ConsumeIntegralInRange<int>(0, 2)) {
        case 0: maskInteger(s, hash, in); break;
        case 1: maskFloat(s, hash, in); break;
        case 2: maskDecimal(s, hash, in); break;
      }
    }
  });
}
