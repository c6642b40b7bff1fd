#include "integer.h"

#include <algorithm>
#include <new>

namespace morvo {

void Limbs::push(uint64_t limb) {
  if (size_ == capacity_) {
    size_t capacity = capacity_ * 2;
    auto* grown = static_cast<uint64_t*>(rawAllocate(capacity * sizeof(uint64_t)));
    if (!grown) throw std::bad_alloc();
    std::memcpy(grown, data(), size_ * sizeof(uint64_t));
    release();
    heap_ = grown;
    capacity_ = capacity;
  }
  data()[size_++] = limb;
}

void Limbs::trim() {
  while (size_ > 0 && data()[size_ - 1] == 0) --size_;
}

void Limbs::assign(const uint64_t* src, size_t n) {
  if (n > capacity_) {
    auto* grown = static_cast<uint64_t*>(rawAllocate(n * sizeof(uint64_t)));
    if (!grown) throw std::bad_alloc();
    release();
    heap_ = grown;
    capacity_ = n;
  }
  std::memcpy(data(), src, n * sizeof(uint64_t));
  size_ = n;
}

void Limbs::steal(Limbs& other) noexcept {
  heap_ = other.heap_;
  size_ = other.size_;
  capacity_ = other.capacity_;
  std::memcpy(inline_, other.inline_, sizeof(inline_));
  other.heap_ = nullptr;
  other.size_ = 0;
  other.capacity_ = INLINE;
}

void Limbs::release() noexcept {
  if (heap_) rawFree(heap_);
  heap_ = nullptr;
  capacity_ = INLINE;
}

Integer Integer::fromI64(int64_t v) {
  Integer out;
  if (v == 0) return out;
  out.sign = v < 0 ? Sign::Negative : Sign::Positive;
  uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  out.magnitude.push(magnitude);
  return out;
}

Integer Integer::fromMagnitude(bool negative, Limbs magnitude) {
  magnitude.trim();
  Integer out;
  if (magnitude.empty()) return out;
  out.sign = negative ? Sign::Negative : Sign::Positive;
  out.magnitude = std::move(magnitude);
  return out;
}

bool fitsU128(const Limbs& m) { return m.size() <= 2; }

u128 toU128(const Limbs& m) {
  check(fitsU128(m), "magnitude fits 128 bits");
  u128 v = 0;
  if (m.size() > 1) v = static_cast<u128>(m[1]) << 64;
  if (m.size() > 0) v |= m[0];
  return v;
}

Limbs fromU128(u128 v) {
  Limbs out;
  if (v == 0) return out;
  out.push(static_cast<uint64_t>(v));
  if (v >> 64) out.push(static_cast<uint64_t>(v >> 64));
  return out;
}

mpz_class toMpz(const Limbs& m) {
  mpz_class out;
  if (!m.empty()) mpz_import(out.get_mpz_t(), m.size(), -1, sizeof(uint64_t), 0, 0, m.data());
  return out;
}

Limbs fromMpz(const mpz_class& v) {
  check(sgn(v) >= 0, "magnitude is not negative");
  Limbs out;
  size_t count = (mpz_sizeinbase(v.get_mpz_t(), 2) + 63) / 64;
  if (sgn(v) == 0) return out;
  for (size_t i = 0; i < count; ++i) out.push(0);
  size_t written = 0;
  mpz_export(out.data(), &written, -1, sizeof(uint64_t), 0, 0, v.get_mpz_t());
  out.trim();
  return out;
}

size_t bitLength(const Limbs& m) {
  if (m.empty()) return 0;
  return (m.size() - 1) * 64 + (64 - __builtin_clzll(m[m.size() - 1]));
}

size_t writeDecimal(u128 v, char* out) {
  char buf[40];
  size_t n = 0;
  do {
    buf[n++] = static_cast<char>('0' + static_cast<int>(v % 10));
    v /= 10;
  } while (v);
  for (size_t i = 0; i < n; ++i) out[i] = buf[n - 1 - i];
  return n;
}

void appendDecimal(Text& out, u128 v) {
  char buf[40];
  out.append(buf, writeDecimal(v, buf));
}

Text magnitudeDigits(const Limbs& m) {
  Text out;
  if (fitsU128(m)) {
    appendDecimal(out, toU128(m));
    return out;
  }
  mpz_class v = toMpz(m);
  std::string s = v.get_str(10);
  out.assign(s.data(), s.size());
  return out;
}

Text decimalText(const Integer& v) {
  Text digits = magnitudeDigits(v.magnitude);
  if (!v.negative()) return digits;
  Text out = "-";
  out += digits;
  return out;
}

Limbs magnitudeFromDigits(std::string_view digits) {
  check(!digits.empty(), "decimal digits");
  if (digits.size() <= 38) {
    u128 v = 0;
    for (char c : digits) {
      check(c >= '0' && c <= '9', "decimal digits");
      v = v * 10 + static_cast<unsigned>(c - '0');
    }
    return fromU128(v);
  }
  for (char c : digits) check(c >= '0' && c <= '9', "decimal digits");
  mpz_class v(std::string(digits), 10);
  return fromMpz(v);
}

}  // namespace morvo
