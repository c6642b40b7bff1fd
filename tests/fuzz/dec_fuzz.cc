// Dec: parsing against a reference grammar, the text round trip, and every
// arithmetic operation against exact GMP arithmetic rounded by the book
// (60 significant digits, half to even) wherever the exponents are small
// enough to compute exactly; beyond that, the order and the digit limit.
#include <cmath>
#include <optional>

#include "dec.h"
#include "fuzz.h"

namespace morvo {
namespace {

using fuzz::str;

constexpr long EXACT_EXPONENT = 1500;

// The grammar of a finite decimal, read independently of Dec::parse: the
// coefficient's digits and the exponent once the fraction is taken off.
struct Parsed {
  std::string digits;
  __int128 exponent;
  bool negative;
};

std::optional<Parsed> referenceParse(std::string_view s) {
  Parsed p{"", 0, false};
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) p.negative = s[i++] == '-';
  size_t mantissaDigits = 0, fraction = 0;
  bool dot = false;
  for (; i < s.size() && s[i] != 'e' && s[i] != 'E'; ++i) {
    if (s[i] == '.' && !dot) {
      dot = true;
    } else if (s[i] >= '0' && s[i] <= '9') {
      p.digits += s[i];
      ++mantissaDigits;
      if (dot) ++fraction;
    } else {
      return std::nullopt;
    }
  }
  if (mantissaDigits == 0) return std::nullopt;
  __int128 e = 0;
  if (i < s.size()) {
    ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    if (i == s.size()) return std::nullopt;
    for (; i < s.size(); ++i) {
      if (s[i] < '0' || s[i] > '9') return std::nullopt;
      e = e * 10 + (s[i] - '0');
      if (e > (static_cast<__int128>(1) << 64)) return std::nullopt;
    }
    if (negative) e = -e;
    if (e > INT64_MAX || e < INT64_MIN) return std::nullopt;
  }
  p.exponent = e - static_cast<__int128>(fraction);
  if (p.exponent < INT64_MIN) return std::nullopt;
  return p;
}

// An exact signed value c * 10^e.
struct Exact {
  mpz_class c;
  long e;
};

mpz_class coefficientOf(const Dec& x) {
  auto limbs = x.coefficient.limbs();
  mpz_class v;
  if (!limbs.empty()) mpz_import(v.get_mpz_t(), limbs.size(), -1, sizeof(uint64_t), 0, 0, limbs.data());
  return v;
}

bool small(const Dec& x) { return x.exponent >= -EXACT_EXPONENT && x.exponent <= EXACT_EXPONENT; }

Exact exactOf(const Dec& x) {
  mpz_class c = coefficientOf(x);
  if (x.negative) c = -c;
  return {c, static_cast<long>(x.exponent)};
}

mpz_class ten(unsigned long k) {
  mpz_class p;
  mpz_ui_pow_ui(p.get_mpz_t(), 10, k);
  return p;
}

size_t digitCount(const mpz_class& m) { return sgn(m) == 0 ? 1 : mpz_class(abs(m)).get_str().size(); }

int compareExact(const Exact& a, const Exact& b) {
  long n = std::min(a.e, b.e);
  mpz_class x = a.c * ten(static_cast<unsigned long>(a.e - n));
  mpz_class y = b.c * ten(static_cast<unsigned long>(b.e - n));
  return cmp(x, y) < 0 ? -1 : cmp(x, y) > 0 ? 1 : 0;
}

// The magnitude m cut by 10^k with the given rounding of a value of this sign.
mpz_class cut(const mpz_class& m, unsigned long k, Rounding rounding, bool negative) {
  mpz_class d = ten(k), q = m / d, r = m % d;
  bool up = false;
  if (sgn(r) != 0) {
    switch (rounding) {
      case Rounding::ceiling: up = !negative; break;
      case Rounding::floor: up = negative; break;
      case Rounding::halfEven: {
        int order = cmp(mpz_class(2 * r), d);
        up = order > 0 || (order == 0 && mpz_odd_p(q.get_mpz_t()));
      }
    }
  }
  return up ? mpz_class(q + 1) : q;
}

// An exact value cut to 60 significant digits, half to even.
Exact roundedExact(const Exact& x) {
  mpz_class m = abs(x.c);
  size_t d = digitCount(m);
  if (d <= SIGNIFICANT_DIGITS) return x;
  unsigned long k = d - SIGNIFICANT_DIGITS;
  mpz_class q = cut(m, k, Rounding::halfEven, sgn(x.c) < 0);
  return {sgn(x.c) < 0 ? mpz_class(-q) : q, x.e + static_cast<long>(k)};
}

void requireEqual(const Dec& got, const Exact& want) {
  REQUIRE(got.digits() <= SIGNIFICANT_DIGITS);
  REQUIRE(small(got));
  REQUIRE(compareExact(exactOf(got), want) == 0);
}

void checkPair(const Dec& a, const Dec& b, FuzzedDataProvider& in) {
  int order = Dec::compare(a, b);
  REQUIRE(order == -Dec::compare(b, a));
  Dec sum = Dec::add(a, b), swapped = Dec::add(b, a), difference = Dec::subtract(a, b);
  Dec product = multiply(a, b);
  REQUIRE(Dec::compare(sum, swapped) == 0);
  for (const Dec* r : {&sum, &difference, &product}) REQUIRE(r->digits() <= SIGNIFICANT_DIGITS);
  // a - b and a + (-b) agree; a - a is zero.
  Dec negated = b;
  negated.negative = !b.negative;
  REQUIRE(Dec::compare(difference, Dec::add(a, negated)) == 0);
  REQUIRE(Dec::subtract(a, a).isZero());
  if (!a.isZero() && !b.isZero()) REQUIRE(product.negative == (a.negative != b.negative));

  if (small(a) && small(b)) {
    Exact x = exactOf(a), y = exactOf(b);
    REQUIRE(order == compareExact(x, y));
    long n = std::min(x.e, y.e);
    mpz_class xs = x.c * ten(static_cast<unsigned long>(x.e - n)), ys = y.c * ten(static_cast<unsigned long>(y.e - n));
    Exact exactSum{xs + ys, n};
    // Rounding an exact sum whose parts lie far apart can move its exponent
    // beyond the window; compare only when the rounded value stays in it.
    Exact want = roundedExact(exactSum);
    if (want.e >= -EXACT_EXPONENT && want.e <= EXACT_EXPONENT) requireEqual(sum, want);
    // Zeros keep a common sign; opposite signs that cancel give +0.
    if (sgn(exactSum.c) == 0) REQUIRE(sum.negative == (a.negative && b.negative && a.isZero() && b.isZero()));
    Exact exactDifference = roundedExact({xs - ys, n});
    if (exactDifference.e >= -EXACT_EXPONENT && exactDifference.e <= EXACT_EXPONENT) requireEqual(difference, exactDifference);
    Exact exactProduct = roundedExact({x.c * y.c, x.e + y.e});
    if (exactProduct.e >= -EXACT_EXPONENT && exactProduct.e <= EXACT_EXPONENT) requireEqual(product, exactProduct);
  }
  (void)in;
}

void checkOne(const Dec& x, FuzzedDataProvider& in) {
  // The text round trip keeps every field.
  Text text = x.toText();
  auto back = Dec::parse(text);
  REQUIRE(back.has_value());
  REQUIRE(back->coefficient == x.coefficient && back->exponent == x.exponent && back->negative == x.negative);

  double f = x.toF64();
  REQUIRE(!std::isnan(f));
  REQUIRE(std::signbit(f) == x.negative);

  Dec r = Dec::rounded(x);
  REQUIRE(r.digits() <= SIGNIFICANT_DIGITS);
  if (x.digits() <= SIGNIFICANT_DIGITS) REQUIRE(r.coefficient == x.coefficient && r.exponent == x.exponent);

  int64_t target = in.ConsumeBool() ? in.ConsumeIntegralInRange<int64_t>(-EXACT_EXPONENT, EXACT_EXPONENT)
                                    : in.ConsumeIntegral<int64_t>();
  auto rounding = static_cast<Rounding>(in.ConsumeIntegralInRange<int>(0, 2));
  auto q = Dec::quantize(x, target, rounding);
  if (q) {
    REQUIRE(q->exponent == target);
    REQUIRE(q->negative == x.negative);
    REQUIRE(q->digits() <= SIGNIFICANT_DIGITS);
    int order = Dec::compare(*q, x);
    if (rounding == Rounding::ceiling) REQUIRE(order >= 0);
    if (rounding == Rounding::floor) REQUIRE(order <= 0);
  }
  if (small(x) && target >= -EXACT_EXPONENT && target <= EXACT_EXPONENT) {
    Exact e = exactOf(x);
    mpz_class m = abs(e.c);
    mpz_class want = target <= e.e ? mpz_class(m * ten(static_cast<unsigned long>(e.e - target)))
                                   : cut(m, static_cast<unsigned long>(target - e.e), rounding, x.negative);
    if (digitCount(want) > SIGNIFICANT_DIGITS) {
      REQUIRE(!q.has_value());
    } else {
      REQUIRE(q.has_value());
      REQUIRE(coefficientOf(*q) == want);
    }
    // Truncation toward zero, for exponents whose powers stay small.
    mpz_class truncated = e.e >= 0 ? mpz_class(m * ten(static_cast<unsigned long>(e.e)))
                                   : mpz_class(m / ten(static_cast<unsigned long>(-e.e)));
    if (x.negative) truncated = -truncated;
    REQUIRE(fuzz::mpzOf(x.toBigInt()) == truncated);
  }
}

}  // namespace
}  // namespace morvo

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace morvo;
  return fuzz::run(data, size, [](FuzzedDataProvider& in) {
    // A unit from raw bits: the exact value n * 5^53 * 10^-53.
    double unit = in.ConsumeFloatingPoint<double>();
    Dec u = Dec::fromUnit(unit);
    REQUIRE(u.exponent == -53 && !u.negative);
    double scaled = unit * 9007199254740992.0;
    uint64_t n = scaled >= 18446744073709551616.0 ? UINT64_MAX : scaled > 0 ? static_cast<uint64_t>(scaled) : 0;
    mpz_class five;
    mpz_ui_pow_ui(five.get_mpz_t(), 5, 53);
    REQUIRE(coefficientOf(u) == mpz_class(five * mpz_class(std::to_string(n))));

    std::string texts[2] = {in.ConsumeRandomLengthString(120), in.ConsumeRandomLengthString(120)};
    std::optional<Dec> values[2];
    for (int i = 0; i < 2; ++i) {
      values[i] = Dec::parse(texts[i]);
      auto want = referenceParse(texts[i]);
      REQUIRE(values[i].has_value() == want.has_value());
      if (!want) continue;
      REQUIRE(values[i]->negative == want->negative);
      REQUIRE(values[i]->exponent == static_cast<int64_t>(want->exponent));
      REQUIRE(coefficientOf(*values[i]) == mpz_class(want->digits, 10));
      checkOne(*values[i], in);
    }
    if (values[0] && values[1]) checkPair(*values[0], *values[1], in);
  });
}
