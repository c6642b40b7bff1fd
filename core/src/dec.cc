#include "dec.h"

#include <gmp.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "digits.h"

namespace morvo {

static_assert(std::is_same_v<mp_limb_t, uint64_t>, "GMP limbs are the 64-bit limbs used here");

namespace {

using Span = std::span<const uint64_t>;
using i128 = __int128;

// Limbs under construction. The inline part covers every product of two
// 60-digit coefficients, so ordinary arithmetic stays on the stack.
class Scratch {
 public:
  Scratch() = default;
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  uint64_t* reserve(size_t n) {
    if (n <= INLINE) return inline_.data();
    heap_.resize(n);
    return heap_.data();
  }

 private:
  static constexpr size_t INLINE = 16;
  std::array<uint64_t, INLINE> inline_;
  Vec<uint64_t> heap_;
};

Span trimmed(const uint64_t* p, size_t n) {
  while (n > 0 && p[n - 1] == 0) --n;
  return {p, n};
}

int compareSpans(Span a, Span b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  if (a.empty()) return 0;
  int c = mpn_cmp(a.data(), b.data(), static_cast<mp_size_t>(a.size()));
  return (c > 0) - (c < 0);
}

u128 spanToU128(Span a) {
  u128 v = 0;
  if (a.size() > 1) v = static_cast<u128>(a[1]) << 64;
  if (a.size() > 0) v |= a[0];
  return v;
}

// Far beyond anything the strategy produces; keeps GMP below its own size
// limit, where it would abort.
constexpr uint64_t POWER_LIMIT = uint64_t{1} << 34;

// 10^k as limbs: from the shared table, else computed into storage.
Span tenTo(uint64_t k, mpz_class& storage) {
  check(k < POWER_LIMIT, "power of ten within reach");
  const mpz_class* p = nullptr;
  if (k < POWERS_SIZE) {
    p = &powersOfTen()[k];
  } else {
    storage = powerOfTen(k);
    p = &storage;
  }
  return {mpz_limbs_read(p->get_mpz_t()), mpz_size(p->get_mpz_t())};
}

uint64_t digitsOf(Span n) {
  if (n.size() <= 2) return decimalDigits(spanToU128(n));
  size_t bits = (n.size() - 1) * 64 + static_cast<size_t>(64 - __builtin_clzll(n.back()));
  // The estimate never exceeds the true count; the loops correct it exactly.
  uint64_t e = static_cast<uint64_t>(std::floor(static_cast<double>(bits - 1) * 0.3010299956639812)) + 1;
  mpz_class storage;
  while (compareSpans(tenTo(e, storage), n) <= 0) ++e;
  while (e > 1 && compareSpans(tenTo(e - 1, storage), n) > 0) --e;
  return e;
}

Span multiplySpans(Span a, Span b, Scratch& out) {
  if (a.empty() || b.empty()) return {};
  if (a.size() < b.size()) std::swap(a, b);
  uint64_t* r = out.reserve(a.size() + b.size());
  if (b.size() == 1) {
    r[a.size()] = mpn_mul_1(r, a.data(), static_cast<mp_size_t>(a.size()), b[0]);
  } else {
    mpn_mul(r, a.data(), static_cast<mp_size_t>(a.size()), b.data(), static_cast<mp_size_t>(b.size()));
  }
  return trimmed(r, a.size() + b.size());
}

Span scaled(Span c, uint64_t k, Scratch& out) {
  if (k == 0 || c.empty()) return c;
  mpz_class storage;
  return multiplySpans(c, tenTo(k, storage), out);
}

Span addSpans(Span a, Span b, Scratch& out) {
  if (a.size() < b.size()) std::swap(a, b);
  if (b.empty()) return a;
  uint64_t* r = out.reserve(a.size() + 1);
  r[a.size()] = mpn_add(r, a.data(), static_cast<mp_size_t>(a.size()), b.data(),
                        static_cast<mp_size_t>(b.size()));
  return trimmed(r, a.size() + 1);
}

// a - b for a >= b.
Span subtractSpans(Span a, Span b, Scratch& out) {
  if (b.empty()) return a;
  uint64_t* r = out.reserve(a.size());
  mp_limb_t borrow = mpn_sub(r, a.data(), static_cast<mp_size_t>(a.size()), b.data(),
                             static_cast<mp_size_t>(b.size()));
  check(borrow == 0, "minuend not below subtrahend");
  return trimmed(r, a.size());
}

Span incremented(Span a, Scratch& out) {
  uint64_t* r = out.reserve(a.size() + 1);
  if (a.empty()) {
    r[0] = 1;
    return {r, 1};
  }
  r[a.size()] = mpn_add_1(r, a.data(), static_cast<mp_size_t>(a.size()), 1);
  return trimmed(r, a.size() + 1);
}

struct Cut {
  Span quotient;
  Span remainder;
};

Cut divide(Span n, Span d, Scratch& q, Scratch& r) {
  if (n.size() < d.size()) return {Span{}, n};
  size_t qn = n.size() - d.size() + 1;
  uint64_t* qp = q.reserve(qn);
  uint64_t* rp = r.reserve(d.size());
  mpn_tdiv_qr(qp, rp, 0, n.data(), static_cast<mp_size_t>(n.size()), d.data(),
              static_cast<mp_size_t>(d.size()));
  return {trimmed(qp, qn), trimmed(rp, d.size())};
}

// Exponents beyond the 64-bit range only arise from options astronomically
// far from 1. Saturating keeps such a value astronomically far from 1, which
// rounds and compares the same way against every value the strategy meets.
int64_t saturate(i128 e) {
  if (e > INT64_MAX) return INT64_MAX;
  if (e < INT64_MIN) return INT64_MIN;
  return static_cast<int64_t>(e);
}

Dec make(Span c, i128 exponent, bool negative) {
  Dec out;
  out.coefficient = Coefficient::fromLimbs(c);
  out.exponent = saturate(exponent);
  out.negative = negative;
  return out;
}

// Cuts an exact magnitude at `exponent` to 60 significant digits.
Dec finish(Span c, i128 exponent, bool negative) {
  uint64_t d = digitsOf(c);
  if (d <= SIGNIFICANT_DIGITS) return make(c, exponent, negative);
  uint64_t k = d - SIGNIFICANT_DIGITS;
  mpz_class storage;
  Span divisor = tenTo(k, storage);
  Scratch qs, rs, inc;
  Cut cut = divide(c, divisor, qs, rs);
  Span q = cut.quotient;
  exponent += k;
  if (roundsUp(q, cut.remainder, divisor, Rounding::halfEven, negative)) {
    q = incremented(q, inc);
    mpz_class unused;
    // 99..9 rounded up to 10^60: one digit too many, dropped exactly.
    if (compareSpans(q, tenTo(SIGNIFICANT_DIGITS, unused)) == 0) {
      q = tenTo(SIGNIFICANT_DIGITS - 1, unused);
      exponent += 1;
    }
  }
  return make(q, exponent, negative);
}

// Position of the most significant digit: the value lies in
// [10^top, 10^(top+1)). Only for non-zero values.
i128 top(const Dec& x) { return static_cast<i128>(x.exponent) + static_cast<i128>(x.digits()) - 1; }

// Writes the decimal digits of c (at least "0") to out, which holds at least
// 20 * size + 2 bytes; gives the count.
size_t writeDigits(Span c, char* out) {
  if (c.size() <= 2) {
    return writeDecimal(spanToU128(c), out);
  }
  Scratch copy;  // mpn_get_str clobbers its input
  uint64_t* p = copy.reserve(c.size());
  std::memcpy(p, c.data(), c.size() * sizeof(uint64_t));
  auto* digits = reinterpret_cast<unsigned char*>(out);
  size_t n = mpn_get_str(digits, 10, p, static_cast<mp_size_t>(c.size()));
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>('0' + digits[i]);
  return n;
}

size_t textCapacity(const Dec& x) { return 20 * x.coefficient.size() + 2 + 1 + 1 + 21; }

// Sign, digits, the exponent letter and the exponent; NUL-terminated.
size_t writeText(const Dec& x, char letter, char* out) {
  size_t n = 0;
  if (x.negative) out[n++] = '-';
  n += writeDigits(x.coefficient.limbs(), out + n);
  out[n++] = letter;
  auto written = std::to_chars(out + n, out + n + 21, x.exponent);
  n = static_cast<size_t>(written.ptr - out);
  out[n] = '\0';
  return n;
}

bool allDigits(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// [+-]digits as a signed 64-bit integer.
std::optional<int64_t> parseExponent(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || !allDigits(s)) return std::nullopt;
  uint64_t limit = negative ? uint64_t{1} << 63 : INT64_MAX;
  uint64_t v = 0;
  for (char c : s) {
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (limit - digit) / 10) return std::nullopt;
    v = v * 10 + digit;
  }
  return negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
}

}  // namespace

// ---- Coefficient ----

Coefficient Coefficient::fromU128(u128 v) {
  Coefficient out;
  out.small_[0] = static_cast<uint64_t>(v);
  out.small_[1] = static_cast<uint64_t>(v >> 64);
  out.size_ = out.small_[1] ? 2 : out.small_[0] ? 1 : 0;
  return out;
}

Coefficient Coefficient::fromLimbs(std::span<const uint64_t> limbs) {
  Span t = trimmed(limbs.data(), limbs.size());
  Coefficient out;
  out.size_ = t.size();
  if (t.size() > INLINE) {
    out.large_.assign(t.begin(), t.end());
  } else if (!t.empty()) {
    std::memcpy(out.small_.data(), t.data(), t.size() * sizeof(uint64_t));
  }
  return out;
}

u128 Coefficient::toU128() const {
  check(fitsU128(), "coefficient fits 128 bits");
  return spanToU128(limbs());
}

bool Coefficient::operator==(const Coefficient& other) const {
  return compareSpans(limbs(), other.limbs()) == 0;
}

// ---- Dec ----

Dec Dec::fromU128(u128 coefficient, int64_t exponent, bool negative) {
  Dec out;
  out.coefficient = Coefficient::fromU128(coefficient);
  out.exponent = exponent;
  out.negative = negative;
  return out;
}

uint64_t Dec::digits() const { return digitsOf(coefficient.limbs()); }

std::optional<Dec> Dec::parse(std::string_view text) {
  if (text.empty()) return std::nullopt;
  bool negative = false;
  if (text[0] == '+' || text[0] == '-') {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  int64_t exponent = 0;
  size_t letter = text.find_first_of("Ee");
  if (letter != std::string_view::npos) {
    auto read = parseExponent(text.substr(letter + 1));
    if (!read) return std::nullopt;
    exponent = *read;
    text = text.substr(0, letter);
  }
  size_t dot = text.find('.');
  std::string_view whole = text.substr(0, dot);
  std::string_view fraction = dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
  if (whole.empty() && fraction.empty()) return std::nullopt;
  if (!allDigits(whole) || !allDigits(fraction)) return std::nullopt;
  i128 scaled = static_cast<i128>(exponent) - static_cast<i128>(fraction.size());
  if (scaled < INT64_MIN) return std::nullopt;

  Dec out;
  out.negative = negative;
  out.exponent = static_cast<int64_t>(scaled);
  if (whole.size() + fraction.size() <= 38) {
    u128 v = 0;
    for (char c : whole) v = v * 10 + static_cast<unsigned>(c - '0');
    for (char c : fraction) v = v * 10 + static_cast<unsigned>(c - '0');
    out.coefficient = Coefficient::fromU128(v);
  } else {
    Text digits;
    digits.reserve(whole.size() + fraction.size());
    digits.append(whole);
    digits.append(fraction);
    Limbs m = magnitudeFromDigits(digits);
    out.coefficient = Coefficient::fromLimbs(m.span());
  }
  return out;
}

Text Dec::toText() const {
  Text out(textCapacity(*this), '\0');
  out.resize(writeText(*this, 'E', out.data()));
  return out;
}

double Dec::toF64() const {
  char small[128];
  if (textCapacity(*this) <= sizeof small) {
    writeText(*this, 'e', small);
    return std::strtod(small, nullptr);
  }
  Text text(textCapacity(*this), '\0');
  writeText(*this, 'e', text.data());
  return std::strtod(text.c_str(), nullptr);
}

Integer Dec::toBigInt() const {
  Span c = coefficient.limbs();
  Scratch s1, s2;
  Span magnitude;
  if (c.empty()) return Integer{};
  if (exponent >= 0) {
    magnitude = scaled(c, static_cast<uint64_t>(exponent), s1);
  } else {
    uint64_t k = 0 - static_cast<uint64_t>(exponent);
    if (k >= digits()) return Integer{};  // |value| < 1
    mpz_class storage;
    magnitude = divide(c, tenTo(k, storage), s1, s2).quotient;
  }
  Limbs limbs;
  for (uint64_t limb : magnitude) limbs.push(limb);
  return Integer::fromMagnitude(negative, std::move(limbs));
}

int Dec::compare(const Dec& a, const Dec& b) {
  bool az = a.isZero(), bz = b.isZero();
  if (az && bz) return 0;
  if (az) return b.negative ? 1 : -1;
  if (bz) return a.negative ? -1 : 1;
  if (a.negative != b.negative) return a.negative ? -1 : 1;
  int order;
  i128 ta = top(a), tb = top(b);
  if (ta != tb) {
    order = ta < tb ? -1 : 1;
  } else {
    // Same leading position: the exponents differ by less than the digits.
    Scratch sa, sb;
    i128 n = std::min(a.exponent, b.exponent);
    Span ca = scaled(a.coefficient.limbs(), static_cast<uint64_t>(a.exponent - n), sa);
    Span cb = scaled(b.coefficient.limbs(), static_cast<uint64_t>(b.exponent - n), sb);
    order = compareSpans(ca, cb);
  }
  return a.negative ? -order : order;
}

namespace {

// x times 10^(min(s, 60 - digits)) at the matching exponent: the exact value
// of x at exponent x.exponent - s once cut to 60 digits, without building
// 10^s.
Dec widened(const Dec& x, i128 s, bool negative) {
  uint64_t d = x.digits();
  uint64_t room = d < SIGNIFICANT_DIGITS ? SIGNIFICANT_DIGITS - d : 0;
  uint64_t pad = s < static_cast<i128>(room) ? static_cast<uint64_t>(s) : room;
  Scratch s1;
  Span c = scaled(x.coefficient.limbs(), pad, s1);
  return finish(c, static_cast<i128>(x.exponent) - pad, negative);
}

}  // namespace

Dec Dec::add(const Dec& a, const Dec& b) {
  bool az = a.isZero(), bz = b.isZero();
  if (az && bz) {
    Dec out;
    out.exponent = std::min(a.exponent, b.exponent);
    out.negative = a.negative == b.negative && a.negative;
    return out;
  }
  // Adding a zero only lowers the exponent; a result cut to 60 digits needs
  // at most 60 of those new places.
  if (az) return widened(b, static_cast<i128>(b.exponent) - std::min(a.exponent, b.exponent), b.negative);
  if (bz) return widened(a, static_cast<i128>(a.exponent) - std::min(a.exponent, b.exponent), a.negative);

  // An operand wholly below the other's rounding window only decides the
  // direction of the cut. Replacing it by a single digit of the same sign one
  // place below that window (q - 1 with q <= the upper operand's exponent and
  // at least 61 places under its leading digit) rounds to the same result,
  // and keeps every scaling below about 62 + digits.
  const Dec* x = &a;
  const Dec* y = &b;
  Dec sticky;
  i128 ta = top(a), tb = top(b);
  const Dec& upper = ta >= tb ? a : b;
  const Dec& lower = ta >= tb ? b : a;
  i128 q = std::min<i128>(upper.exponent, top(upper) - 61);
  if (top(lower) < q) {
    sticky = Dec::fromU128(1, static_cast<int64_t>(q - 1), lower.negative);
    (&lower == &a ? x : y) = &sticky;
  }

  int64_t n = std::min(x->exponent, y->exponent);
  Scratch sx, sy, sr;
  Span cx = scaled(x->coefficient.limbs(), static_cast<uint64_t>(static_cast<i128>(x->exponent) - n), sx);
  Span cy = scaled(y->coefficient.limbs(), static_cast<uint64_t>(static_cast<i128>(y->exponent) - n), sy);
  if (x->negative == y->negative) return finish(addSpans(cx, cy, sr), n, x->negative);
  int order = compareSpans(cx, cy);
  if (order < 0) return finish(subtractSpans(cy, cx, sr), n, y->negative);
  if (order == 0) return make(Span{}, n, false);
  return finish(subtractSpans(cx, cy, sr), n, x->negative);
}

Dec Dec::subtract(const Dec& a, const Dec& b) {
  Dec negated = b;
  negated.negative = !b.negative;
  return add(a, negated);
}

Dec multiply(const Dec& a, const Dec& b) {
  Scratch s;
  Span c = multiplySpans(a.coefficient.limbs(), b.coefficient.limbs(), s);
  return finish(c, static_cast<i128>(a.exponent) + b.exponent, a.negative != b.negative);
}

Dec Dec::rounded(const Dec& x) {
  if (x.digits() <= SIGNIFICANT_DIGITS) return x;
  return finish(x.coefficient.limbs(), x.exponent, x.negative);
}

std::optional<Dec> Dec::quantize(const Dec& x, int64_t target, Rounding rounding) {
  i128 shift = static_cast<i128>(target) - x.exponent;
  Span c = x.coefficient.limbs();
  if (c.empty()) return make(Span{}, target, x.negative);
  uint64_t d = x.digits();
  Scratch s1, s2, s3;
  if (shift <= 0) {
    // Scaling up: the digit count is known before any multiplication.
    if (static_cast<i128>(d) - shift > static_cast<i128>(SIGNIFICANT_DIGITS)) return std::nullopt;
    return make(scaled(c, static_cast<uint64_t>(-shift), s1), target, x.negative);
  }
  if (shift > static_cast<i128>(d)) {
    // The whole coefficient is cut and is under half a unit (2c < 2 * 10^d <=
    // 10^shift), so only the directed roundings move it, to one unit.
    bool up = rounding == Rounding::ceiling ? !x.negative : rounding == Rounding::floor && x.negative;
    return up ? Dec::fromU128(1, target, x.negative) : make(Span{}, target, x.negative);
  }
  mpz_class storage;
  Span divisor = tenTo(static_cast<uint64_t>(shift), storage);
  Cut cut = divide(c, divisor, s1, s2);
  Span q = cut.quotient;
  if (roundsUp(q, cut.remainder, divisor, rounding, x.negative)) q = incremented(q, s3);
  if (digitsOf(q) > SIGNIFICANT_DIGITS) return std::nullopt;
  return make(q, target, x.negative);
}

bool roundsUp(std::span<const uint64_t> quotient, std::span<const uint64_t> remainder,
              std::span<const uint64_t> divisor, Rounding rounding, bool negative) {
  Span r = trimmed(remainder.data(), remainder.size());
  if (r.empty()) return false;
  switch (rounding) {
    case Rounding::ceiling: return !negative;
    case Rounding::floor: return negative;
    case Rounding::halfEven: break;
  }
  Scratch s;
  uint64_t* twice = s.reserve(r.size() + 1);
  twice[r.size()] = mpn_lshift(twice, r.data(), static_cast<mp_size_t>(r.size()), 1);
  int order = compareSpans(trimmed(twice, r.size() + 1), trimmed(divisor.data(), divisor.size()));
  if (order != 0) return order > 0;
  return !quotient.empty() && (quotient[0] & 1) != 0;
}

Text digitText(const Coefficient& c) {
  Text out(20 * c.size() + 2, '\0');
  out.resize(writeDigits(c.limbs(), out.data()));
  return out;
}

u128 fives() {
  static const u128 FIVES = [] {
    u128 v = 1;
    for (int i = 0; i < 53; ++i) v *= 5;
    return v;
  }();
  return FIVES;
}

Dec Dec::fromUnit(double unit) {
  uint64_t n = 0;
  double scaledUnit = unit * 9007199254740992.0;  // 2^53
  if (scaledUnit >= 18446744073709551616.0) {     // 2^64
    n = UINT64_MAX;
  } else if (scaledUnit > 0) {                    // false for NaN too
    n = static_cast<uint64_t>(scaledUnit);
  }
  u128 f = fives();
  uint64_t limbs[3];
  uint64_t five[2] = {static_cast<uint64_t>(f), static_cast<uint64_t>(f >> 64)};
  limbs[2] = mpn_mul_1(limbs, five, 2, n);
  Dec out;
  out.coefficient = Coefficient::fromLimbs(limbs);
  out.exponent = -53;
  return out;
}

}  // namespace morvo
