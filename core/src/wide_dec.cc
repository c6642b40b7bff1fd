#include "wide_dec.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace morvo {

namespace {

constexpr std::array<Wide, WIDE_POWERS> makePowers() {
  std::array<Wide, WIDE_POWERS> out{};
  Wide p;
  p.limb[0] = 1;
  p.n = 1;
  for (uint32_t k = 0; k < WIDE_POWERS; ++k) {
    out[k] = p;
    uint64_t carry = 0;
    for (uint32_t i = 0; i < p.n; ++i) {
      u128 v = static_cast<u128>(p.limb[i]) * 10 + carry;
      p.limb[i] = static_cast<uint64_t>(v);
      carry = static_cast<uint64_t>(v >> 64);
    }
    // Only the step past 10^154 overflows, and that power is never stored.
    if (carry != 0 && p.n < WIDE_LIMBS) p.limb[p.n++] = carry;
  }
  return out;
}

constexpr std::array<Wide, WIDE_POWERS> POWERS = makePowers();

constexpr std::array<uint64_t, 20> makePowers64() {
  std::array<uint64_t, 20> out{};
  uint64_t p = 1;
  for (auto& v : out) {
    v = p;
    p *= 10;  // wraps once, after 10^19 is stored, harmlessly: unsigned
  }
  return out;
}

constexpr std::array<uint64_t, 20> POWERS64 = makePowers64();

// Doubles 10^0 to 10^22 are exact.
constexpr double EXACT_POWERS[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

void trim(Wide& a) {
  while (a.n > 0 && a.limb[a.n - 1] == 0) --a.n;
}

// Division by 10^k (k <= 19) through a precomputed reciprocal (Moller and
// Granlund, "Improved division by invariant integers"): a hardware division
// costs several times as much, and every cut runs a chain of them.
struct Reciprocal {
  uint64_t d = 0;      // 10^k shifted until its top bit is set
  uint64_t v = 0;      // floor((2^128 - 1) / d) - 2^64
  unsigned shift = 0;  // that shift
};

constexpr Reciprocal reciprocalOf(uint64_t divisor) {
  uint64_t p = divisor;
  unsigned shift = 0;
  while ((p & (uint64_t{1} << 63)) == 0) {
    p <<= 1;
    ++shift;
  }
  u128 all = ~u128{0};
  return {p, static_cast<uint64_t>(all / p), shift};  // the quotient is 2^64 + v
}

constexpr std::array<Reciprocal, 20> makeReciprocals() {
  std::array<Reciprocal, 20> out{};
  for (size_t k = 0; k < 20; ++k) out[k] = reciprocalOf(POWERS64[k]);
  return out;
}

constexpr std::array<Reciprocal, 20> RECIPROCALS = makeReciprocals();

// 5^27 is the largest power of five in a limb.
constexpr uint32_t FIVES_PER_LIMB = 27;

constexpr std::array<Reciprocal, FIVES_PER_LIMB + 1> makeFiveReciprocals() {
  std::array<Reciprocal, FIVES_PER_LIMB + 1> out{};
  uint64_t p = 1;
  for (size_t k = 0; k <= FIVES_PER_LIMB; ++k) {
    out[k] = reciprocalOf(p);
    p *= 5;
  }
  return out;
}

constexpr std::array<Reciprocal, FIVES_PER_LIMB + 1> FIVE_RECIPROCALS = makeFiveReciprocals();

// Division by a power of five of two limbs, 5^28 to 5^55, one quotient limb
// per step (Moller and Granlund's division of three limbs by two): where
// limb-sized powers of five take two passes over the dividend, this takes
// one.
struct PairReciprocal {
  u128 d = 0;          // 5^k shifted until its top bit is set
  uint64_t v = 0;      // floor((2^192 - 1) / d) - 2^64
  unsigned shift = 0;  // that shift
};

constexpr PairReciprocal pairReciprocalOf(u128 divisor) {
  u128 d = divisor;
  unsigned shift = 0;
  while ((d >> 127) == 0) {
    d <<= 1;
    ++shift;
  }
  // (2^192 - 1) / d a bit at a time; the quotient lies in [2^64, 2^65), and
  // a remainder that overflows 128 bits on the shift is then at least d.
  u128 remainder = 0, quotient = 0;
  for (int bit = 0; bit < 192; ++bit) {
    const bool carried = (remainder >> 127) != 0;
    remainder = (remainder << 1) | 1;
    quotient <<= 1;
    if (carried || remainder >= d) {
      remainder -= d;
      quotient |= 1;
    }
  }
  return {d, static_cast<uint64_t>(quotient), shift};
}

constexpr uint32_t PAIR_FIVES_FROM = 28;
constexpr uint32_t PAIR_FIVES_TO = 55;  // 5^55 < 2^128 < 5^56

constexpr std::array<PairReciprocal, PAIR_FIVES_TO + 1> makePairReciprocals() {
  std::array<PairReciprocal, PAIR_FIVES_TO + 1> out{};
  u128 p = 1;
  for (uint32_t k = 0; k <= PAIR_FIVES_TO; ++k) {
    if (k >= PAIR_FIVES_FROM) out[k] = pairReciprocalOf(p);
    p *= 5;
  }
  return out;
}

constexpr std::array<PairReciprocal, PAIR_FIVES_TO + 1> PAIR_RECIPROCALS = makePairReciprocals();

// (high * 2^64 + low) / r.d with its remainder; high < r.d.
uint64_t divideLimb(uint64_t high, uint64_t low, const Reciprocal& r, uint64_t& remainder) {
  u128 q = static_cast<u128>(r.v) * high + ((static_cast<u128>(high) << 64) | low);  // mod 2^128
  uint64_t q1 = static_cast<uint64_t>(q >> 64) + 1;
  uint64_t q0 = static_cast<uint64_t>(q);
  uint64_t rem = low - q1 * r.d;
  if (rem > q0) {
    --q1;
    rem += r.d;
  }
  if (rem >= r.d) {
    ++q1;
    rem -= r.d;
  }
  remainder = rem;
  return q1;
}

// a /= r's divisor in place; gives the remainder.
uint64_t divideBy(Wide& a, const Reciprocal& r) {
  if (a.n == 0) return 0;
  uint64_t rem = 0;
  if (r.shift == 0) {
    for (uint32_t i = a.n; i-- > 0;) a.limb[i] = divideLimb(rem, a.limb[i], r, rem);
  } else {
    // The dividend shifted left by the same amount, a limb at a time.
    unsigned back = 64 - r.shift;
    uint64_t top = a.limb[a.n - 1] >> back;
    rem = top;  // below r.d, which has its top bit set
    for (uint32_t i = a.n; i-- > 0;) {
      uint64_t low = (a.limb[i] << r.shift) | (i > 0 ? a.limb[i - 1] >> back : 0);
      a.limb[i] = divideLimb(rem, low, r, rem);
    }
    rem >>= r.shift;
  }
  trim(a);
  return rem;
}

// (u * 2^64 + low) / r.d with its remainder, for u < r.d: one step of the
// division by two limbs.
uint64_t dividePair(u128 u, uint64_t low, const PairReciprocal& r, u128& remainder) {
  const uint64_t u2 = static_cast<uint64_t>(u >> 64), u1 = static_cast<uint64_t>(u);
  const uint64_t d1 = static_cast<uint64_t>(r.d >> 64), d0 = static_cast<uint64_t>(r.d);
  const u128 q = static_cast<u128>(r.v) * u2 + u;
  uint64_t q1 = static_cast<uint64_t>(q >> 64);
  const uint64_t q0 = static_cast<uint64_t>(q);
  const uint64_t r1 = u1 - q1 * d1;
  u128 rem = ((static_cast<u128>(r1) << 64) | low) - static_cast<u128>(d0) * q1 - r.d;  // mod 2^128
  ++q1;
  if (static_cast<uint64_t>(rem >> 64) >= q0) {
    --q1;
    rem += r.d;
  }
  if (rem >= r.d) {
    ++q1;
    rem -= r.d;
  }
  remainder = rem;
  return q1;
}

// a /= 5^k in place, PAIR_FIVES_FROM <= k <= PAIR_FIVES_TO; gives the
// remainder.
u128 divideByFives(Wide& a, uint32_t k) {
  const PairReciprocal& r = PAIR_RECIPROCALS[k];
  if (a.n == 0) return 0;
  const unsigned s = r.shift;
  auto shifted = [&](uint32_t i) {
    if (s == 0) return a.limb[i];
    return (a.limb[i] << s) | (i > 0 ? a.limb[i - 1] >> (64 - s) : 0);
  };
  // The dividend shifted as the divisor was, its top limb first: below
  // 2^64, so below the divisor.
  u128 rem = s == 0 ? 0 : a.limb[a.n - 1] >> (64 - s);
  uint32_t i = a.n;
  // Two limbs at the top below the divisor give a zero quotient limb.
  const u128 top = (rem << 64) | shifted(a.n - 1);
  if (top < r.d) {
    rem = top;
    a.limb[--i] = 0;
  }
  while (i-- > 0) a.limb[i] = dividePair(rem, shifted(i), r, rem);
  trim(a);
  return rem >> s;
}

// a /= 10^k in place (1 <= k <= 19); gives the remainder.
uint64_t divideSmall(Wide& a, uint32_t k) { return divideBy(a, RECIPROCALS[k]); }

void increment(Wide& a) {
  for (uint32_t i = 0; i < a.n; ++i) {
    if (++a.limb[i] != 0) return;
  }
  // Only reached from a quotient, which has room above it.
  a.limb[a.n++] = 1;
}

// Whether a quotient is rounded away from zero, given its parity and how the
// remainder R compares with half the divisor (sign of R - half) and whether
// R is zero.
bool awayFromZero(Rounding rounding, bool negative, bool remainder, int againstHalf, bool odd) {
  if (!remainder) return false;
  switch (rounding) {
    case Rounding::ceiling: return !negative;
    case Rounding::floor: return negative;
    case Rounding::halfEven: return againstHalf > 0 || (againstHalf == 0 && odd);
  }
  return false;
}

// 5^0 to 5^54, each below 2^126.
constexpr uint32_t FIVES_LIMIT = 2 * FIVES_PER_LIMB;
constexpr std::array<u128, FIVES_LIMIT + 1> makeFives() {
  std::array<u128, FIVES_LIMIT + 1> out{};
  u128 p = 1;
  for (size_t k = 0; k <= FIVES_LIMIT; ++k) {
    out[k] = p;
    p *= 5;
  }
  return out;
}
constexpr std::array<u128, FIVES_LIMIT + 1> FIVES = makeFives();

// a >>= k, 0 < k < 64.
void shiftRight(Wide& a, unsigned k) {
  for (uint32_t i = 0; i < a.n; ++i) {
    a.limb[i] = (a.limb[i] >> k) | (i + 1 < a.n ? a.limb[i + 1] << (64 - k) : 0);
  }
  trim(a);
}

// cut for 20 <= k <= 54: 10^k = 2^k 5^k, so the quotient is (a >> k) / 5^k,
// the fives divided off in one pass (by one limb up to 5^27, else by two)
// where powers of ten take three of 19. The remainder, R = r5 2^k + r2 (r2
// the bits shifted out, r5 below 5^k), is against half of 10^k, 5^k 2^(k-1):
//   R - half = 2^(k-1) (2 r5 - 5^k) + r2,
// and 2 r5 - 5^k is odd, so it decides alone unless it is -1, when r2 - 2^(k-1)
// does.
void cutByFives(Wide& a, uint32_t k, Rounding rounding, bool negative) {
  const uint64_t r2 = a.n > 0 ? a.limb[0] & ((uint64_t{1} << k) - 1) : 0;
  shiftRight(a, k);
  const u128 r5 = k <= FIVES_PER_LIMB ? divideBy(a, FIVE_RECIPROCALS[k]) : divideByFives(a, k);
  const u128 twice = 2 * r5;
  int againstHalf;
  if (twice + 1 == FIVES[k]) {
    const uint64_t half = uint64_t{1} << (k - 1);
    againstHalf = r2 > half ? 1 : r2 == half ? 0 : -1;
  } else {
    againstHalf = twice > FIVES[k] ? 1 : -1;
  }
  const bool odd = a.n > 0 && (a.limb[0] & 1) != 0;
  if (awayFromZero(rounding, negative, r5 != 0 || r2 != 0, againstHalf, odd)) increment(a);
}

// a = a / 10^k rounded, k >= 1. The cut digits are divided off in chunks of
// at most 19; the last chunk holds the leading cut digits, so it decides
// against half of its divisor (even, as the chunk is at least one digit) and
// the earlier ones only say whether anything below was cut.
void cut(Wide& a, uint64_t k, Rounding rounding, bool negative) {
  if (k >= 20 && k <= FIVES_LIMIT) return cutByFives(a, static_cast<uint32_t>(k), rounding, negative);
  bool sticky = false;
  uint64_t r = 0, divisor = 1;
  while (k > 0) {
    sticky = sticky || r != 0;
    uint64_t chunk = k < 19 ? k : 19;
    divisor = POWERS64[chunk];
    r = divideSmall(a, static_cast<uint32_t>(chunk));
    k -= chunk;
  }
  const uint64_t half = divisor / 2;
  // A remainder at half with anything cut below it is above half.
  const int againstHalf = r > half || (r == half && sticky) ? 1 : r == half ? 0 : -1;
  const bool odd = a.n > 0 && (a.limb[0] & 1) != 0;
  if (awayFromZero(rounding, negative, r != 0 || sticky, againstHalf, odd)) increment(a);
}

}  // namespace

bool multiplyWide(const Wide& a, const Wide& b, Wide& out) {
  if (a.isZero() || b.isZero()) {
    out = Wide{};
    return true;
  }
  if (a.n + b.n > WIDE_LIMBS) return false;
  Wide r;
  for (uint32_t i = 0; i < a.n; ++i) {
    uint64_t carry = 0;
    for (uint32_t j = 0; j < b.n; ++j) {
      u128 t = static_cast<u128>(a.limb[i]) * b.limb[j] + r.limb[i + j] + carry;
      r.limb[i + j] = static_cast<uint64_t>(t);
      carry = static_cast<uint64_t>(t >> 64);
    }
    r.limb[i + b.n] = carry;
  }
  r.n = a.n + b.n;
  trim(r);
  out = r;
  return true;
}

bool addWide(const Wide& a, const Wide& b, Wide& out) {
  const Wide& big = a.n >= b.n ? a : b;
  const Wide& small = a.n >= b.n ? b : a;
  Wide r;
  uint64_t carry = 0;
  for (uint32_t i = 0; i < big.n; ++i) {
    u128 t = static_cast<u128>(big.limb[i]) + (i < small.n ? small.limb[i] : 0) + carry;
    r.limb[i] = static_cast<uint64_t>(t);
    carry = static_cast<uint64_t>(t >> 64);
  }
  r.n = big.n;
  if (carry != 0) {
    if (r.n == WIDE_LIMBS) return false;
    r.limb[r.n++] = carry;
  }
  out = r;
  return true;
}

namespace {

// a * 10^k, when it fits.
bool scaleUp(const Wide& a, uint64_t k, Wide& out) {
  if (k == 0 || a.isZero()) {
    out = a;
    return true;
  }
  if (k >= WIDE_POWERS) return false;
  return multiplyWide(a, POWERS[k], out);
}

bool withinLimit(int64_t e) { return e >= -EXPONENT_LIMIT && e <= EXPONENT_LIMIT; }

// Dec's cut of an exact result to 60 significant digits.
std::optional<WideDec> finish(WideDec x) {
  // Below 2^199 < 10^60 there is nothing to cut, and no digits to count.
  bool short60 = x.c.n < 4 || (x.c.n == 4 && x.c.limb[3] < (uint64_t{1} << 7));
  uint32_t d = short60 ? 0 : wideDigits(x.c);
  if (d > SIGNIFICANT_DIGITS) {
    uint32_t k = d - static_cast<uint32_t>(SIGNIFICANT_DIGITS);
    cut(x.c, k, Rounding::halfEven, x.negative);
    x.exponent += k;
    // 99..9 rounded up to 10^60: one digit too many, dropped exactly.
    if (compareWide(x.c, POWERS[SIGNIFICANT_DIGITS]) == 0) {
      x.c = POWERS[SIGNIFICANT_DIGITS - 1];
      x.exponent += 1;
    }
  }
  if (!withinLimit(x.exponent)) return std::nullopt;
  return x;
}

constexpr std::array<char, 200> makePairs() {
  std::array<char, 200> out{};
  for (int i = 0; i < 100; ++i) {
    out[2 * i] = static_cast<char>('0' + i / 10);
    out[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return out;
}

// "00" to "99": two digits per division halves the divisions by ten.
constexpr std::array<char, 200> PAIRS = makePairs();

// Exactly `width` digits of v (v < 10^width), with leading zeros.
void writeFixed(uint64_t v, char* out, size_t width) {
  size_t i = width;
  while (i >= 2) {
    std::memcpy(out + i - 2, &PAIRS[2 * (v % 100)], 2);
    v /= 100;
    i -= 2;
  }
  if (i == 1) out[0] = static_cast<char>('0' + v);
}

// Writes v in decimal, at least one digit; gives the count.
size_t writeU64(uint64_t v, char* out) {
  // As wideDigits: the digits of 2^(bits - 1), plus one at the next power.
  uint32_t bits = v == 0 ? 1 : static_cast<uint32_t>(64 - __builtin_clzll(v));
  size_t n = static_cast<size_t>(uint64_t{bits - 1} * 30102999566398 / 100000000000000) + 1;
  if (n < 20 && v >= POWERS64[n]) ++n;
  writeFixed(v, out, n);
  return n;
}

}  // namespace

Wide Wide::fromU128(u128 v) {
  Wide out;
  out.limb[0] = static_cast<uint64_t>(v);
  out.limb[1] = static_cast<uint64_t>(v >> 64);
  out.n = out.limb[1] != 0 ? 2 : out.limb[0] != 0 ? 1 : 0;
  return out;
}

bool multiplySmall(Wide& a, uint64_t m) {
  uint64_t carry = 0;
  for (uint32_t i = 0; i < a.n; ++i) {
    u128 t = static_cast<u128>(a.limb[i]) * m + carry;
    a.limb[i] = static_cast<uint64_t>(t);
    carry = static_cast<uint64_t>(t >> 64);
  }
  if (carry != 0) {
    if (a.n == WIDE_LIMBS) return false;
    a.limb[a.n++] = carry;
  }
  trim(a);
  return true;
}

Wide subtractWide(const Wide& a, const Wide& b) {
  Wide r;
  uint64_t borrow = 0;
  for (uint32_t i = 0; i < a.n; ++i) {
    uint64_t y = i < b.n ? b.limb[i] : 0;
    uint64_t d = a.limb[i] - y;
    uint64_t nextBorrow = (a.limb[i] < y) || (d < borrow) ? 1 : 0;
    r.limb[i] = d - borrow;
    borrow = nextBorrow;
  }
  check(borrow == 0, "minuend not below subtrahend");
  r.n = a.n;
  trim(r);
  return r;
}

int compareWide(const Wide& a, const Wide& b) {
  if (a.n != b.n) return a.n < b.n ? -1 : 1;
  for (uint32_t i = a.n; i-- > 0;) {
    if (a.limb[i] != b.limb[i]) return a.limb[i] < b.limb[i] ? -1 : 1;
  }
  return 0;
}

uint32_t wideDigits(const Wide& a) {
  if (a.n == 0) return 1;
  uint32_t bits = 64 * (a.n - 1) + static_cast<uint32_t>(64 - __builtin_clzll(a.limb[a.n - 1]));
  // The digits of 2^(bits - 1), the least value of this bit length; the
  // greatest, 2^bits - 1, has at most one more. 0.30102999566398 is within
  // 2e-15 of log10(2), and no multiple up to 511 of log10(2) lies that close
  // above an integer.
  uint32_t d = static_cast<uint32_t>(uint64_t{bits - 1} * 30102999566398 / 100000000000000) + 1;
  if (d < WIDE_POWERS && compareWide(a, POWERS[d]) >= 0) ++d;
  return d;
}

const Wide& widePower(uint32_t k) {
  check(k < WIDE_POWERS, "power of ten within the wide table");
  return POWERS[k];
}

std::optional<WideDec> toWide(const Dec& x) {
  auto limbs = x.coefficient.limbs();
  if (limbs.size() > WIDE_LIMBS || !withinLimit(x.exponent)) return std::nullopt;
  WideDec out;
  std::memcpy(out.c.limb.data(), limbs.data(), limbs.size() * sizeof(uint64_t));
  out.c.n = static_cast<uint32_t>(limbs.size());
  out.exponent = x.exponent;
  out.negative = x.negative;
  return out;
}

Dec toDec(const WideDec& x) {
  Dec out;
  out.coefficient = Coefficient::fromLimbs({x.c.limb.data(), x.c.n});
  out.exponent = x.exponent;
  out.negative = x.negative;
  return out;
}

std::optional<WideDec> wideCut(const WideDec& exact) { return finish(exact); }

std::optional<WideDec> wideMultiply(const WideDec& a, const WideDec& b) {
  WideDec out;
  if (!multiplyWide(a.c, b.c, out.c)) return std::nullopt;
  out.exponent = a.exponent + b.exponent;  // both within the limit: no overflow
  out.negative = a.negative != b.negative;
  return finish(out);
}

std::optional<WideDec> wideAdd(const WideDec& a, const WideDec& b) {
  if (a.isZero() && b.isZero()) {
    WideDec out;
    out.exponent = std::min(a.exponent, b.exponent);
    out.negative = a.negative && b.negative;
    return out;
  }
  // Adding a zero gives the other operand's value, cut (its exponent may
  // differ from Dec's, which only matters for a result that is printed, and
  // the strategy never prints one of these).
  if (a.isZero()) return finish(b);
  if (b.isZero()) return finish(a);
  int64_t n = std::min(a.exponent, b.exponent);
  WideDec x, y;
  if (!scaleUp(a.c, static_cast<uint64_t>(a.exponent - n), x.c)) return std::nullopt;
  if (!scaleUp(b.c, static_cast<uint64_t>(b.exponent - n), y.c)) return std::nullopt;
  WideDec out;
  out.exponent = n;
  if (a.negative == b.negative) {
    if (!addWide(x.c, y.c, out.c)) return std::nullopt;
    out.negative = a.negative;
    return finish(out);
  }
  int order = compareWide(x.c, y.c);
  if (order == 0) return out;  // an exact zero, positive
  out.c = order > 0 ? subtractWide(x.c, y.c) : subtractWide(y.c, x.c);
  out.negative = order > 0 ? a.negative : b.negative;
  return finish(out);
}

Quantized wideQuantize(const WideDec& x, int64_t target, Rounding rounding, WideDec& out) {
  if (!withinLimit(target)) return Quantized::deferred;
  int64_t shift = target - x.exponent;  // both within the limit
  out = WideDec{};
  out.exponent = target;
  out.negative = x.negative;
  if (x.isZero()) return Quantized::ok;
  int64_t d = wideDigits(x.c);
  if (shift <= 0) {
    if (d - shift > static_cast<int64_t>(SIGNIFICANT_DIGITS)) return Quantized::unrepresentable;
    return scaleUp(x.c, static_cast<uint64_t>(-shift), out.c) ? Quantized::ok : Quantized::deferred;
  }
  if (shift > d) {
    // Under half a unit: only the directed roundings give one unit.
    bool up = rounding == Rounding::ceiling ? !x.negative : rounding == Rounding::floor && x.negative;
    if (up) out.c = POWERS[0];
    return Quantized::ok;
  }
  out.c = x.c;
  cut(out.c, static_cast<uint64_t>(shift), rounding, x.negative);
  // The rounded quotient has at most d - shift + 1 digits.
  if (d - shift >= static_cast<int64_t>(SIGNIFICANT_DIGITS) && wideDigits(out.c) > SIGNIFICANT_DIGITS) {
    return Quantized::unrepresentable;
  }
  return Quantized::ok;
}

std::optional<int> wideCompare(const WideDec& a, const WideDec& b) {
  bool az = a.isZero(), bz = b.isZero();
  if (az && bz) return 0;
  if (az) return b.negative ? 1 : -1;
  if (bz) return a.negative ? -1 : 1;
  if (a.negative != b.negative) return a.negative ? -1 : 1;
  if (a.exponent == b.exponent) {
    int order = compareWide(a.c, b.c);
    return a.negative ? -order : order;
  }
  int64_t ta = a.exponent + wideDigits(a.c), tb = b.exponent + wideDigits(b.c);
  int order;
  if (ta != tb) {
    order = ta < tb ? -1 : 1;
  } else {
    int64_t n = std::min(a.exponent, b.exponent);
    Wide x, y;
    if (!scaleUp(a.c, static_cast<uint64_t>(a.exponent - n), x)) return std::nullopt;
    if (!scaleUp(b.c, static_cast<uint64_t>(b.exponent - n), y)) return std::nullopt;
    order = compareWide(x, y);
  }
  return a.negative ? -order : order;
}

namespace {

// from_chars of a text: none on overflow, underflow or a partial read.
std::optional<double> parseF64(const char* text, size_t n) {
  double v = 0;
  auto [end, error] = std::from_chars(text, text + n, v);
  if (error != std::errc{} || end != text + n) return std::nullopt;
  return v;
}

// The nearest double to (-1)^negative * h * 10^e.
std::optional<double> shortToF64(uint64_t h, int64_t e, bool negative) {
  char text[48];
  size_t n = 0;
  if (negative) text[n++] = '-';
  n += writeU64(h, text + n);
  text[n++] = 'e';
  n = static_cast<size_t>(std::to_chars(text + n, text + sizeof text, e).ptr - text);
  return parseF64(text, n);
}

uint32_t bitLength(const Wide& a) {
  return a.n == 0 ? 0 : 64 * (a.n - 1) + static_cast<uint32_t>(64 - __builtin_clzll(a.limb[a.n - 1]));
}

// a <<= k in place, when it fits.
bool shiftLeft(Wide& a, uint32_t k) {
  if (a.n == 0 || k == 0) return true;
  if (bitLength(a) + k > 64 * WIDE_LIMBS) return false;
  uint32_t limbs = k / 64, bits = k % 64;
  Wide r;
  for (uint32_t i = 0; i < a.n; ++i) {
    r.limb[i + limbs] |= bits == 0 ? a.limb[i] : a.limb[i] << bits;
    if (bits != 0 && i + limbs + 1 < WIDE_LIMBS) r.limb[i + limbs + 1] |= a.limb[i] >> (64 - bits);
  }
  r.n = std::min<uint32_t>(a.n + limbs + 1, WIDE_LIMBS);
  trim(r);
  a = r;
  return true;
}

// The nearest double to (q + a little, when sticky) * 2^e2, q > 0, or none
// outside the normal range (the text path then decides).
std::optional<double> roundBinary(const Wide& q, bool sticky, int64_t e2, bool negative) {
  uint32_t bits = bitLength(q);
  uint64_t top;
  int64_t shift = static_cast<int64_t>(bits) - 64;  // top * 2^shift is q's leading 64 bits
  if (shift <= 0) {
    top = q.limb[0] << (64 - bits);
  } else {
    uint32_t s = static_cast<uint32_t>(shift), i = s / 64, off = s % 64;
    top = off == 0 ? q.limb[i] : (q.limb[i] >> off) | (q.limb[i + 1] << (64 - off));
    sticky = sticky || (off != 0 && (q.limb[i] & ((uint64_t{1} << off) - 1)) != 0);
    for (uint32_t j = 0; j < i && !sticky; ++j) sticky = q.limb[j] != 0;
  }
  uint64_t mantissa = top >> 11, low = top & 0x7ff;
  bool up = low > 0x400 || (low == 0x400 && (sticky || (mantissa & 1) != 0));
  mantissa += up;
  int64_t e = e2 + shift + 11;
  if (mantissa == uint64_t{1} << 53) {
    mantissa >>= 1;
    e += 1;
  }
  // mantissa * 2^e with mantissa in [2^52, 2^53): normal for these exponents.
  if (e + 52 < -1022 || e + 52 > 1023) return std::nullopt;
  double v = std::ldexp(static_cast<double>(mantissa), static_cast<int>(e));
  return negative ? -v : v;
}

// T * 10^e as the nearest double in binary: T * 5^e * 2^e for e >= 0, and
// for e < 0 the quotient T * 2^s / 5^-e, with at least 65 bits, and whether
// it left a remainder. none when it does not fit (the text path decides).
std::optional<double> binaryToF64(const WideDec& x) {
  if (x.exponent >= 0) {
    if (x.exponent > 150) return std::nullopt;
    Wide n;
    if (!scaleUp(x.c, static_cast<uint64_t>(x.exponent), n)) return std::nullopt;
    return roundBinary(n, false, 0, x.negative);
  }
  uint64_t k = static_cast<uint64_t>(-x.exponent);
  if (k > 100) return std::nullopt;
  // 5^k has at most 2.33 k bits: 65 bits of quotient need that many more.
  uint32_t fiveBits = static_cast<uint32_t>((k * 2322) / 1000 + 1);
  uint32_t bits = bitLength(x.c);
  uint32_t s = bits >= 65 + fiveBits ? 0 : 65 + fiveBits - bits;
  Wide q = x.c;
  if (!shiftLeft(q, s)) return std::nullopt;
  bool sticky = false;
  for (uint64_t left = k; left > 0;) {
    uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(left, PAIR_FIVES_TO));
    const u128 remainder = chunk <= FIVES_PER_LIMB ? divideBy(q, FIVE_RECIPROCALS[chunk]) : divideByFives(q, chunk);
    sticky = remainder != 0 || sticky;
    left -= chunk;
  }
  if (q.isZero()) return std::nullopt;
  return roundBinary(q, sticky, -static_cast<int64_t>(s) - static_cast<int64_t>(k), x.negative);
}

}  // namespace

std::optional<double> wideToF64(const WideDec& x) {
  if (x.isZero()) return x.negative ? -0.0 : 0.0;
  // One correctly rounded operation on exact operands is the nearest double.
  if (x.c.n == 1 && x.c.limb[0] < (uint64_t{1} << 53) && x.exponent >= -22 && x.exponent <= 22) {
    double v = static_cast<double>(x.c.limb[0]);
    v = x.exponent >= 0 ? v * EXACT_POWERS[x.exponent] : v / EXACT_POWERS[-x.exponent];
    return x.negative ? -v : v;
  }
  if (auto v = binaryToF64(x)) return v;
  uint32_t d = wideDigits(x.c);
  if (d > 19) {
    // The leading 19 digits h, and whether anything was cut below them: the
    // value lies in [h, h + 1) * 10^e, and rounding is monotonic, so when
    // both ends give the same double so does the value.
    uint32_t k = d - 19;
    Wide h = x.c;
    bool cutAny = false;
    while (k > 0) {
      uint32_t chunk = k < 19 ? k : 19;
      cutAny = divideSmall(h, chunk) != 0 || cutAny;
      k -= chunk;
    }
    int64_t e = x.exponent + (d - 19);
    auto low = shortToF64(h.limb[0], e, x.negative);
    if (low && !cutAny) return low;
    auto high = shortToF64(h.limb[0] + 1, e, x.negative);  // at most 10^19
    if (low && high && *low == *high) return low;
  }
  char text[WIDE_TEXT];
  size_t n = wideText(x, text);
  return parseF64(text, n);
}

size_t wideDigitText(Wide a, char* out) {
  if (a.n <= 1) return writeU64(a.n == 0 ? 0 : a.limb[0], out);
  // Chunks of 19 digits, least significant first.
  uint64_t chunks[WIDE_LIMBS + 1];
  size_t count = 0;
  do {
    chunks[count++] = divideSmall(a, 19);
  } while (!a.isZero());
  size_t n = writeU64(chunks[count - 1], out);
  for (size_t i = count - 1; i-- > 0;) {
    writeFixed(chunks[i], out + n, 19);
    n += 19;
  }
  return n;
}

size_t wideText(const WideDec& x, char* out) {
  size_t n = 0;
  if (x.negative) out[n++] = '-';
  n += wideDigitText(x.c, out + n);
  out[n++] = 'E';
  auto written = std::to_chars(out + n, out + WIDE_TEXT, x.exponent);
  return static_cast<size_t>(written.ptr - out);
}

}  // namespace morvo
