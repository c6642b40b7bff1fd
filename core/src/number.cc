#include "number.h"

#include <cmath>
#include <cstring>

#include "digits.h"

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

// The top 53 bits of the digest's first 8 bytes: the draw unit times 2^53.
uint64_t drawIndexOf(const Digest& d) {
  uint64_t k = 0;
  for (size_t i = 0; i < 8; ++i) k = (k << 8) | d[i];
  return k >> 11;
}

uint64_t drawIndex(const KeyedHash& hash, std::string_view message, std::string_view label) {
  return drawIndexOf(hash.digest(message, label));
}

// The unit of a draw, in [0, 1).
double drawUnit(const KeyedHash& hash, std::string_view message, std::string_view label) {
  return static_cast<double>(drawIndex(hash, message, label)) / TWO_TO_53;
}

std::optional<NumberPlan> planFor(const NumberStrategy& s) {
  NumberPlan plan;
  auto variance = toWide(s.variance);
  if (!variance) return std::nullopt;
  plan.variance = *variance;
  // |2U - 1| <= 1 = 10^53 at 10^-53, so the factor's coefficient is at most
  // 10^scale + 10^53 * v in magnitude.
  int64_t scale = 53 - variance->exponent;
  if (scale >= 0 && scale < WIDE_POWERS) {
    WideDec top{widePower(53), 0, false};
    auto most = wideMultiply(top, WideDec{variance->c, 0, false});
    if (most && most->exponent == 0) {
      auto sum = wideAdd(*most, WideDec{widePower(static_cast<uint32_t>(scale)), 0, false});
      if (sum && sum->exponent == 0 && compareWide(sum->c, widePower(SIGNIFICANT_DIGITS)) < 0 &&
          multiplyWide(Wide::fromU128(fives()), variance->c, plan.fivesVariance)) {
        plan.exactFactor = true;
        plan.factorScale = static_cast<uint32_t>(scale);
      }
    }
  }
  if (s.bounded()) {
    auto min = toWide(*s.min), max = toWide(*s.max), span = toWide(Dec::subtract(*s.max, *s.min));
    if (!min || !max || !span) return std::nullopt;
    plan.min = *min;
    plan.max = *max;
    plan.span = *span;
    if (!multiplyWide(Wide::fromU128(fives()), span->c, plan.spanFives)) plan.spanFives = Wide{};
    for (size_t i = 0; i < NumberPlan::GRIDS; ++i) {
      NumberPlan::Bounds& b = plan.bounds[i];
      b.lo = wideQuantize(*min, -static_cast<int64_t>(i), Rounding::ceiling, b.low);
      b.hi = wideQuantize(*max, -static_cast<int64_t>(i), Rounding::floor, b.high);
    }
  }
  return plan;
}

// A value read by the fast path.
struct Short {
  u128 coefficient = 0;
  int64_t exponent = 0;
  bool negative = false;
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Dec::parse for the texts of at most 38 digits and an exponent of at most 9
// digits (every float repr, and ordinary Decimals); none for any other text,
// which the exact path then reads.
std::optional<Short> parseShort(std::string_view text) {
  Short out;
  size_t i = 0, digits = 0, fraction = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) out.negative = text[i++] == '-';
  bool point = false;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (isDigit(c)) {
      if (++digits > INPUT_DIGITS) return std::nullopt;
      out.coefficient = out.coefficient * 10 + static_cast<unsigned>(c - '0');
      fraction += point;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits == 0) return std::nullopt;
  int64_t exponent = 0;
  if (i < text.size()) {
    if (text[i] != 'e' && text[i] != 'E') return std::nullopt;
    ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    size_t start = i;
    for (; i < text.size(); ++i) {
      if (!isDigit(text[i]) || i - start >= 9) return std::nullopt;
      exponent = exponent * 10 + (text[i] - '0');
    }
    if (i == start) return std::nullopt;
    if (negative) exponent = -exponent;
  }
  out.exponent = exponent - static_cast<int64_t>(fraction);
  return out;
}

WideDec wideOf(const Short& x) { return WideDec{Wide::fromU128(x.coefficient), x.exponent, x.negative}; }

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
  out.plan = planFor(out);
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

Outcome<Integer> NumberStrategy::maskIntegerExact(const KeyedHash& hash, const Integer& value) const {
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

Outcome<double> NumberStrategy::maskFloatExact(const KeyedHash& hash, double value, std::string_view repr) const {
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

Outcome<Text> NumberStrategy::maskDecimalExact(const KeyedHash& hash, std::string_view text) const {
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

namespace morvo {

namespace {

// The fast path's state for one value: the options' wide form, the value
// and the digest of its draw.
struct FastValue {
  const NumberStrategy& s;
  const NumberPlan& plan;
  const KeyedHash& hash;
  std::string_view hashText;
  const WideDec& x;
  const Digest& draw;
};

// NumberStrategy::target in wide arithmetic, step for step.
std::optional<WideDec> fastTarget(const FastValue& v) {
  const uint64_t n = drawIndexOf(v.draw);
  if (!v.s.bounded() && v.plan.exactFactor) {
    // 2U - 1 = (2n - 2^53) / 2^53 = (2n - 2^53) 5^53 10^-53, so the change
    // (2U - 1) v is |2n - 2^53| times the planned 5^53 v, at 10^-factorScale.
    constexpr uint64_t HALF = uint64_t{1} << 53;
    const bool below = 2 * n < HALF;
    WideDec d{widePower(v.plan.factorScale), -static_cast<int64_t>(v.plan.factorScale), false};
    Wide change = v.plan.fivesVariance;
    check(multiplySmall(change, below ? HALF - 2 * n : 2 * n - HALF), "the factor fits, as planned");
    if (below == v.plan.variance.negative) {
      check(addWide(d.c, change, d.c), "the factor fits, as planned");
    } else if (compareWide(d.c, change) >= 0) {
      d.c = subtractWide(d.c, change);
    } else {
      d.c = subtractWide(change, d.c);
      d.negative = true;
    }
    return wideMultiply(v.x, d);
  }
  if (v.s.bounded() && v.plan.spanFives.n > 0) {
    // span * U = span * n * 5^53 * 10^-53: n times the planned span * 5^53,
    // the same product wideMultiply would cut.
    WideDec scaled{v.plan.spanFives, v.plan.span.exponent - 53, v.plan.span.negative};
    if (multiplySmall(scaled.c, n)) {
      auto cut = wideCut(scaled);
      if (!cut) return std::nullopt;
      return wideAdd(v.plan.min, *cut);
    }
  }
  // U = n * 5^53 * 10^-53, exact in three limbs.
  WideDec u{Wide::fromU128(fives()), -53, false};
  check(multiplySmall(u.c, n), "a unit fits three limbs");
  if (v.s.bounded()) {
    auto scaled = wideMultiply(v.plan.span, u);
    if (!scaled) return std::nullopt;
    return wideAdd(v.plan.min, *scaled);
  }
  // 2U - 1, exact at 10^-53.
  WideDec b{u.c, -53, false};
  check(multiplySmall(b.c, 2), "twice a unit fits three limbs");
  const Wide& one = widePower(53);
  if (compareWide(b.c, one) >= 0) {
    b.c = subtractWide(b.c, one);
  } else {
    b.c = subtractWide(one, b.c);
    b.negative = true;
  }
  auto c = wideMultiply(b, v.plan.variance);
  if (!c) return std::nullopt;
  auto d = wideAdd(WideDec{widePower(0), 0, false}, *c);
  if (!d) return std::nullopt;
  return wideMultiply(v.x, *d);
}

// What became of a value on the way to its result.
enum class Step : uint8_t { ok, fallback, deferred };

Step fromQuantized(Quantized q) {
  return q == Quantized::ok ? Step::ok : q == Quantized::unrepresentable ? Step::fallback : Step::deferred;
}

// quantize, clamp and moved of the exact path, on t at the grid 10^e.
Step fastResult(const FastValue& v, const WideDec& t, int64_t e, WideDec& out) {
  WideDec q;
  if (Step s = fromQuantized(wideQuantize(t, e, Rounding::halfEven, q)); s != Step::ok) return s;
  if (v.s.bounded()) {
    NumberPlan::Bounds computed;
    const NumberPlan::Bounds* bounds = &computed;
    if (e <= 0 && e > -static_cast<int64_t>(NumberPlan::GRIDS)) {
      bounds = &v.plan.bounds[static_cast<size_t>(-e)];
    } else {
      computed.lo = wideQuantize(v.plan.min, e, Rounding::ceiling, computed.low);
      computed.hi = wideQuantize(v.plan.max, e, Rounding::floor, computed.high);
    }
    const WideDec& lo = bounds->low;
    const WideDec& hi = bounds->high;
    Step a = fromQuantized(bounds->lo);
    Step b = fromQuantized(bounds->hi);
    if (a == Step::deferred || b == Step::deferred) return Step::deferred;
    if (a == Step::fallback || b == Step::fallback) return Step::fallback;
    auto belowLo = wideCompare(lo, q);
    if (!belowLo) return Step::deferred;
    const WideDec& m = *belowLo > 0 ? lo : q;
    auto aboveHi = wideCompare(hi, m);
    if (!aboveHi) return Step::deferred;
    out = *aboveHi < 0 ? hi : m;
    return Step::ok;  // bounded results never move
  }
  auto same = wideCompare(q, v.x);
  if (!same) return Step::deferred;
  if (*same != 0 || v.x.isZero()) {
    out = q;
    return Step::ok;
  }
  Digest d = v.hash.digest(v.hashText, label::STEP);
  WideDec step{widePower(0), e, d[0] < 0x80};
  auto m = wideAdd(v.x, step);
  if (!m) return Step::deferred;
  out = *m;
  return Step::ok;
}

// The digits of a magnitude below 2^128, as the exact path writes it.
size_t writeMagnitude(u128 v, bool negative, char* out) {
  size_t n = 0;
  if (negative) out[n++] = '-';
  return n + wideDigitText(Wide::fromU128(v), out + n);
}

}  // namespace

std::optional<size_t> decimalHashTextInto(u128 coefficient, int64_t exponent, bool negative, char* out) {
  char digits[48];
  size_t count = wideDigitText(Wide::fromU128(coefficient), digits);
  size_t n = 0;
  if (negative) out[n++] = '-';
  if (exponent >= 0) {
    std::memcpy(out + n, digits, count);
    n += count;
    std::memset(out + n, '0', static_cast<size_t>(exponent));
    return n + static_cast<size_t>(exponent);
  }
  size_t fraction = static_cast<size_t>(-exponent);
  size_t zeros = 0;
  while (digits[count - 1 - zeros] == '0') ++zeros;  // the coefficient is not zero
  if (zeros >= fraction) {  // integral: drop the zeros after the point
    std::memcpy(out + n, digits, count - fraction);
    return n + count - fraction;
  }
  size_t significant = count - zeros;
  if (significant > HASH_DIGITS) return std::nullopt;
  int64_t before = static_cast<int64_t>(count) + exponent;
  if (before >= 1) {
    size_t p = static_cast<size_t>(before);
    std::memcpy(out + n, digits, p);
    out[n + p] = '.';
    std::memcpy(out + n + p + 1, digits + p, significant - p);
    return n + significant + 1;
  }
  out[n++] = '0';
  out[n++] = '.';
  std::memset(out + n, '0', static_cast<size_t>(-before));
  n += static_cast<size_t>(-before);
  std::memcpy(out + n, digits, significant);
  return n + significant;
}

std::optional<Dec> NumberStrategy::targetFast(const Dec& x, const KeyedHash& hash, std::string_view hashText) const {
  auto wide = toWide(x);
  if (!plan || !wide) return std::nullopt;
  const Digest draw = hash.digest(hashText, label::NONE);
  auto t = fastTarget(FastValue{*this, *plan, hash, hashText, *wide, draw});
  if (!t) return std::nullopt;
  return toDec(*t);
}

Prepared NumberStrategy::prepareInteger(const Integer& value, NumberDraft& draft) const {
  if (!plan || !fitsU128(value.magnitude)) return Prepared::exact;
  u128 magnitude = toU128(value.magnitude);
  if (magnitude >= powerOfTen128(INPUT_DIGITS)) return Prepared::exact;
  draft.length = writeMagnitude(magnitude, value.negative(), draft.text);
  draft.x = WideDec{Wide::fromU128(magnitude), 0, value.negative()};
  return Prepared::ready;
}

std::optional<Outcome<Integer>> NumberStrategy::finishInteger(const KeyedHash& hash, const NumberDraft& draft,
                                                              const Digest& draw) const {
  FastValue v{*this, *plan, hash, draft.message(), draft.x, draw};
  auto t = fastTarget(v);
  if (!t) return std::nullopt;
  WideDec m;
  if (Step s = fastResult(v, *t, 0, m); s != Step::ok) {
    if (s == Step::fallback) return Outcome<Integer>(Fallback{});
    return std::nullopt;
  }
  if (m.isZero()) return Outcome<Integer>(Integer{});
  if (m.exponent != 0) return std::nullopt;
  if (m.c.n <= 2) {
    u128 magnitude = m.c.n == 2 ? (static_cast<u128>(m.c.limb[1]) << 64) | m.c.limb[0] : m.c.limb[0];
    return Outcome<Integer>(Integer::fromMagnitude(m.negative, fromU128(magnitude)));
  }
  Limbs limbs;
  for (uint32_t i = 0; i < m.c.n; ++i) limbs.push(m.c.limb[i]);
  return Outcome<Integer>(Integer::fromMagnitude(m.negative, std::move(limbs)));
}

Prepared NumberStrategy::prepareFloat(double value, std::string_view repr, NumberDraft& draft) const {
  if (!plan) return Prepared::exact;
  if (!std::isfinite(value) || value == 0) return Prepared::fallback;
  auto x = parseShort(repr);
  if (!x || x->exponent < -INPUT_EXPONENT || x->exponent > INPUT_EXPONENT) return Prepared::exact;
  if (std::trunc(value) == value) {
    double magnitude = std::fabs(value);
    if (magnitude >= TWO_TO_128) return Prepared::exact;
    draft.length = writeMagnitude(static_cast<u128>(magnitude), value < 0, draft.text);
  } else {
    if (repr.size() > sizeof(draft.text)) return Prepared::exact;
    std::memcpy(draft.text, repr.data(), repr.size());
    draft.length = repr.size();
  }
  draft.x = wideOf(*x);
  return Prepared::ready;
}

std::optional<Outcome<double>> NumberStrategy::finishFloat(const KeyedHash& hash, const NumberDraft& draft,
                                                           const Digest& draw) const {
  FastValue v{*this, *plan, hash, draft.message(), draft.x, draw};
  auto t = fastTarget(v);
  if (!t) return std::nullopt;
  std::optional<double> out;
  if (decimals) {
    WideDec m;
    if (Step s = fastResult(v, *t, -static_cast<int64_t>(*decimals), m); s != Step::ok) {
      if (s == Step::fallback) return Outcome<double>(Fallback{});
      return std::nullopt;
    }
    out = wideToF64(m);
  } else {
    out = wideToF64(*t);
  }
  if (!out) return std::nullopt;
  if (!std::isfinite(*out) || *out == 0) return Outcome<double>(Fallback{});
  return Outcome<double>(*out);
}

Prepared NumberStrategy::prepareDecimal(std::string_view text, NumberDraft& draft) const {
  if (!plan) return Prepared::exact;
  auto x = parseShort(text);
  if (!x || x->exponent < -INPUT_EXPONENT || x->exponent > INPUT_EXPONENT) return Prepared::exact;
  if (x->coefficient == 0) return Prepared::fallback;
  auto length = decimalHashTextInto(x->coefficient, x->exponent, x->negative, draft.text);
  if (!length) return Prepared::fallback;
  draft.length = *length;
  draft.x = wideOf(*x);
  draft.grid = decimals ? -static_cast<int64_t>(*decimals) : std::min<int64_t>(x->exponent, 0);
  return Prepared::ready;
}

std::optional<Outcome<WideDec>> NumberStrategy::finishDecimal(const KeyedHash& hash, const NumberDraft& draft,
                                                              const Digest& draw) const {
  FastValue v{*this, *plan, hash, draft.message(), draft.x, draw};
  auto t = fastTarget(v);
  if (!t) return std::nullopt;
  WideDec m;
  if (Step s = fastResult(v, *t, draft.grid, m); s != Step::ok) {
    if (s == Step::fallback) return Outcome<WideDec>(Fallback{});
    return std::nullopt;
  }
  if (m.isZero()) return Outcome<WideDec>(Fallback{});
  return Outcome<WideDec>(m);
}

namespace {

// A fast path in one go: prepare, the draw's digest, finish.
template <class T, class Prepare, class Finish>
std::optional<Outcome<T>> fastInOneGo(const KeyedHash& hash, Prepare prepare, Finish finish) {
  NumberDraft draft;
  switch (prepare(draft)) {
    case Prepared::fallback: return Outcome<T>(Fallback{});
    case Prepared::exact: return std::nullopt;
    case Prepared::ready: break;
  }
  return finish(draft, hash.digest(draft.message(), label::NONE));
}

}  // namespace

std::optional<Outcome<Integer>> NumberStrategy::maskIntegerFast(const KeyedHash& hash, const Integer& value) const {
  return fastInOneGo<Integer>(
      hash, [&](NumberDraft& d) { return prepareInteger(value, d); },
      [&](const NumberDraft& d, const Digest& draw) { return finishInteger(hash, d, draw); });
}

std::optional<Outcome<double>> NumberStrategy::maskFloatFast(const KeyedHash& hash, double value,
                                                             std::string_view repr) const {
  return fastInOneGo<double>(
      hash, [&](NumberDraft& d) { return prepareFloat(value, repr, d); },
      [&](const NumberDraft& d, const Digest& draw) { return finishFloat(hash, d, draw); });
}

std::optional<Outcome<Text>> NumberStrategy::maskDecimalFast(const KeyedHash& hash, std::string_view text) const {
  return fastInOneGo<Text>(
      hash, [&](NumberDraft& d) { return prepareDecimal(text, d); },
      [&](const NumberDraft& d, const Digest& draw) -> std::optional<Outcome<Text>> {
        auto outcome = finishDecimal(hash, d, draw);
        if (!outcome) return std::nullopt;
        const auto* m = std::get_if<WideDec>(&*outcome);
        if (!m) return Outcome<Text>(Fallback{});  // the number strategy never refuses
        char out[WIDE_TEXT];
        return Outcome<Text>(Text(out, wideText(*m, out)));
      });
}

Outcome<Integer> NumberStrategy::maskInteger(const KeyedHash& hash, const Integer& value) const {
  if (auto fast = maskIntegerFast(hash, value)) return std::move(*fast);
  return maskIntegerExact(hash, value);
}

Outcome<double> NumberStrategy::maskFloat(const KeyedHash& hash, double value, std::string_view repr) const {
  if (auto fast = maskFloatFast(hash, value, repr)) return *fast;
  return maskFloatExact(hash, value, repr);
}

Outcome<Text> NumberStrategy::maskDecimal(const KeyedHash& hash, std::string_view text) const {
  if (auto fast = maskDecimalFast(hash, text)) return std::move(*fast);
  return maskDecimalExact(hash, text);
}

}  // namespace morvo
