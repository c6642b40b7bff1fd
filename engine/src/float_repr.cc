#include "float_repr.h"

#include <bit>
#include <charconv>
#include <cstdint>
#include <cmath>
#include <string_view>

namespace morvo {

namespace {

// 5^0 to 5^22: a double's fraction has at most 1074 binary places, but one
// with more than 22 never has a short exact value below 10^15.
constexpr uint64_t FIVES[] = {1,
                              5,
                              25,
                              125,
                              625,
                              3125,
                              15625,
                              78125,
                              390625,
                              1953125,
                              9765625,
                              48828125,
                              244140625,
                              1220703125,
                              6103515625,
                              30517578125,
                              152587890625,
                              762939453125,
                              3814697265625,
                              19073486328125,
                              95367431640625,
                              476837158203125,
                              2384185791015625};
constexpr uint64_t BELOW_SIXTEEN_DIGITS = 1000000000000000;  // 10^15

// The digits of a finite non-zero magnitude whose exact value has at most 15
// significant digits, and the power of ten of the first: those are its
// shortest round-trip digits, because two decimals of 15 digits or fewer
// never round to the same double. False for every other value. Most amounts
// (whole numbers, halves, quarters, cents that are not) take this path, which
// is exact integer work, instead of the general shortest-digits search.
bool shortExactDigits(double magnitude, char* digits, size_t& count, int& exponent) {
  const auto bits = std::bit_cast<uint64_t>(magnitude);
  const int biased = static_cast<int>(bits >> 52);
  if (biased == 0) return false;  // subnormal: far below any short value
  uint64_t m = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
  int e2 = biased - 1075;  // magnitude = m * 2^e2
  const int zeros = std::countr_zero(m);
  m >>= zeros;
  e2 += zeros;
  uint64_t n;     // magnitude = n * 10^-places
  int places = 0;
  if (e2 >= 0) {
    if (e2 > 50 || m >= (BELOW_SIXTEEN_DIGITS >> e2)) return false;
    n = m << e2;
  } else {
    places = -e2;
    if (places > 22) return false;
    const unsigned __int128 product = static_cast<unsigned __int128>(m) * FIVES[places];
    if (product >= BELOW_SIXTEEN_DIGITS) return false;
    n = static_cast<uint64_t>(product);
  }
  while (n % 10 == 0) {  // only whole numbers end in zeros: m is odd
    n /= 10;
    --places;
  }
  const auto written = std::to_chars(digits, digits + 32, n);
  count = static_cast<size_t>(written.ptr - digits);
  exponent = static_cast<int>(count) - 1 - places;
  return true;
}

}  // namespace

Text floatRepr(double value) {
  if (std::isnan(value)) return toText("nan");
  if (std::isinf(value)) return toText(value > 0 ? "inf" : "-inf");
  if (value == 0) return toText(std::signbit(value) ? "-0.0" : "0.0");
  Text out;
  if (value < 0) out += '-';
  // The shortest digits that round-trip, which is what repr shows; only the
  // layout differs from C++'s. At most 17 significant digits, on the stack.
  char digitBuffer[32];
  size_t digitCount = 0;
  int exponent = 0;
  if (!shortExactDigits(std::fabs(value), digitBuffer, digitCount, exponent)) {
    char buffer[64];
    auto written = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::scientific);
    std::string_view text(buffer, static_cast<size_t>(written.ptr - buffer));
    const size_t e = text.find('e');
    for (char c : text.substr(0, e)) {
      if (c != '.') digitBuffer[digitCount++] = c;
    }
    std::string_view exponentText = text.substr(e + 1);
    if (exponentText.front() == '+') exponentText.remove_prefix(1);
    std::from_chars(exponentText.data(), exponentText.data() + exponentText.size(), exponent);
  }
  const std::string_view digits(digitBuffer, digitCount);
  const int point = exponent + 1;  // digits before the decimal point
  const int count = static_cast<int>(digits.size());
  if (point > -4 && point <= 16) {
    if (point <= 0) {
      out += "0.";
      out.append(static_cast<size_t>(-point), '0');
      out += digits;
    } else if (point >= count) {
      out += digits;
      out.append(static_cast<size_t>(point - count), '0');
      out += ".0";
    } else {
      out += digits.substr(0, static_cast<size_t>(point));
      out += '.';
      out += digits.substr(static_cast<size_t>(point));
    }
    return out;
  }
  out += digits[0];
  if (count > 1) {
    out += '.';
    out += digits.substr(1);
  }
  const int shown = point - 1;
  out += shown < 0 ? "e-" : "e+";
  char magnitude[8];
  auto end = std::to_chars(magnitude, magnitude + sizeof magnitude, shown < 0 ? -shown : shown).ptr;
  if (end - magnitude < 2) out += '0';
  out.append(magnitude, end);
  return out;
}

}  // namespace morvo
