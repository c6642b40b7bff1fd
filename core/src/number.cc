#include "number.h"

#include <cmath>

namespace morvo {

namespace {

// Inputs beyond these are left to Python: they keep the powers of ten that
// ordinary values need within the shared table.
constexpr uint64_t INPUT_DIGITS = 38;
constexpr int64_t INPUT_EXPONENT = 400;
// A non-integral Decimal with more significant digits than Python's default
// context carries is not hashed here.
constexpr size_t HASH_DIGITS = 28;

constexpr double TWO_TO_53 = 9007199254740992.0;
constexpr double TWO_TO_128 = 340282366920938463463374607431768211456.0;

bool withinInputLimits(const Dec& x) {
  return x.digits() <= INPUT_DIGITS && x.exponent >= -INPUT_EXPONENT && x.exponent <= INPUT_EXPONENT;
}

// The unit of a draw: the top 53 bits of the digest's first 8 bytes, / 2^53.
double drawUnit(const KeyedHash& hash, std::string_view message, std::string_view label) {
  Digest d = hash.digest(message, label);
  uint64_t k = 0;
  for (size_t i = 0; i < 8; ++i) k = (k << 8) | d[i];
  return static_cast<double>(k >> 11) / TWO_TO_53;
}

Text optionError(std::string_view name, std::string_view text) {
  Text out = "number ";
  out.append(name);
  out += " is not a finite decimal: ";
  out += quoted(text);
  return out;
}


}  // namespace

std::variant<NumberStrategy, Text> NumberStrategy::make(std::optional<std::string_view> min,
                                                        std::optional<std::string_view> max,
                                                        std::optional<std::string_view> variance,
                                                        std::optional<uint32_t> decimals) {
  if (min.has_value() != max.has_value()) return Text("number needs both min and max, or neither");
  NumberStrategy out;
  if (min) {
    out.min = Dec::parse(*min);
    if (!out.min) return optionError("min", *min);
    out.max = Dec::parse(*max);
    if (!out.max) return optionError("max", *max);
  }
  if (variance) {
    auto parsed = Dec::parse(*variance);
    if (!parsed) return optionError("variance", *variance);
    out.variance = *parsed;
  } else {
    out.variance = Dec::fromU128(1, -1);
  }
  out.decimals = decimals;
  return out;
}

Dec NumberStrategy::target(const Dec& x, const KeyedHash& hash, std::string_view hashText) const {
  Dec u = Dec::fromUnit(drawUnit(hash, hashText, label::NONE));
  if (bounded()) {
    Dec span = Dec::subtract(*max, *min);
    return Dec::add(*min, multiply(span, u));
  }
  Dec a = multiply(Dec::fromU128(2, 0), u);
  Dec b = Dec::add(a, Dec::fromU128(1, 0, true));
  Dec c = multiply(b, variance);
  Dec d = Dec::add(Dec::fromU128(1, 0), c);
  return multiply(x, d);
}

std::optional<Dec> NumberStrategy::clamp(const Dec& v, int64_t e) const {
  if (!bounded()) return v;
  auto lo = Dec::quantize(*min, e, Rounding::ceiling);
  auto hi = Dec::quantize(*max, e, Rounding::floor);
  if (!lo || !hi) return std::nullopt;
  const Dec& m = Dec::compare(*lo, v) > 0 ? *lo : v;
  return Dec::compare(*hi, m) < 0 ? *hi : m;
}

Dec NumberStrategy::moved(bool bounded, const Dec& x, const Dec& clamped, const Dec& step,
                          const KeyedHash& hash, std::string_view hashText) {
  if (bounded || Dec::compare(clamped, x) != 0 || x.isZero()) return clamped;
  Digest d = hash.digest(hashText, label::STEP);
  return d[0] >= 0x80 ? Dec::add(x, step) : Dec::subtract(x, step);
}

Text floatHashText(double value, std::string_view repr) {
  if (std::trunc(value) != value) return toText(repr);
  Text out = value < 0 ? "-" : "";
  double magnitude = std::fabs(value);
  if (magnitude < TWO_TO_128) {
    appendDecimal(out, static_cast<u128>(magnitude));
  } else {
    mpz_class exact(magnitude);  // exact: the double is an integer
    out += exact.get_str().c_str();
  }
  return out;
}

std::optional<Text> decimalHashText(const Dec& x) {
  if (x.isZero()) return Text("0");
  check(x.exponent >= -INPUT_EXPONENT && x.exponent <= INPUT_EXPONENT, "decimal within the input limits");
  Text digits = digitText(x.coefficient);
  Text out = x.negative ? "-" : "";
  if (x.exponent >= 0) {
    out += digits;
    out.append(static_cast<size_t>(x.exponent), '0');
    return out;
  }
  size_t fraction = static_cast<size_t>(-x.exponent);
  size_t zeros = digits.size() - 1 - digits.find_last_not_of('0');
  if (zeros >= fraction) {  // integral: drop the zeros after the point
    out.append(digits, 0, digits.size() - fraction);
    return out;
  }
  size_t significant = digits.size() - zeros;
  if (significant > HASH_DIGITS) return std::nullopt;
  int64_t before = static_cast<int64_t>(digits.size()) + x.exponent;
  if (before >= 1) {
    size_t p = static_cast<size_t>(before);
    out.append(digits, 0, p);
    out += '.';
    out.append(digits, p, significant - p);
  } else {
    out += "0.";
    out.append(static_cast<size_t>(-before), '0');
    out.append(digits, 0, significant);
  }
  return out;
}

Outcome<Integer> NumberStrategy::maskInteger(const KeyedHash& hash, const Integer& value) const {
  // Three limbs are at least 2^128, which has 39 digits.
  if (!fitsU128(value.magnitude)) return Fallback{};
  Dec x = Dec::fromU128(toU128(value.magnitude), 0, value.negative());
  if (x.digits() > INPUT_DIGITS) return Fallback{};
  Text hashText = decimalText(value);
  auto q = Dec::quantize(target(x, hash, hashText), 0, Rounding::halfEven);
  if (!q) return Fallback{};
  auto c = clamp(*q, 0);
  if (!c) return Fallback{};
  return moved(bounded(), x, *c, Dec::fromU128(1, 0), hash, hashText).toBigInt();
}

Outcome<double> NumberStrategy::maskFloat(const KeyedHash& hash, double value, std::string_view repr) const {
  if (!std::isfinite(value) || value == 0) return Fallback{};
  auto x = Dec::parse(repr);
  if (!x || !withinInputLimits(*x)) return Fallback{};
  Text hashText = floatHashText(value, repr);
  Dec t = target(*x, hash, hashText);
  double out;
  if (decimals) {
    int64_t e = -static_cast<int64_t>(*decimals);
    auto q = Dec::quantize(t, e, Rounding::halfEven);
    if (!q) return Fallback{};
    auto c = clamp(*q, e);
    if (!c) return Fallback{};
    out = moved(bounded(), *x, *c, Dec::fromU128(1, e), hash, hashText).toF64();
  } else {
    out = t.toF64();
  }
  if (!std::isfinite(out) || out == 0) return Fallback{};
  return out;
}

Outcome<Text> NumberStrategy::maskDecimal(const KeyedHash& hash, std::string_view text) const {
  auto x = Dec::parse(text);
  // Limits first: forming the hash text of an integral value writes out its
  // exponent's zeros.
  if (!x || x->isZero() || !withinInputLimits(*x)) return Fallback{};
  auto hashText = decimalHashText(*x);
  if (!hashText) return Fallback{};
  int64_t e = decimals ? -static_cast<int64_t>(*decimals) : std::min<int64_t>(x->exponent, 0);
  auto q = Dec::quantize(target(*x, hash, *hashText), e, Rounding::halfEven);
  if (!q) return Fallback{};
  auto c = clamp(*q, e);
  if (!c) return Fallback{};
  Dec m = moved(bounded(), *x, *c, Dec::fromU128(1, e), hash, *hashText);
  if (m.isZero()) return Fallback{};
  return m.toText();
}

}  // namespace morvo
