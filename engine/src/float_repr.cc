#include "float_repr.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace morvo {

Text floatRepr(double value) {
  if (std::isnan(value)) return toText("nan");
  if (std::isinf(value)) return toText(value > 0 ? "inf" : "-inf");
  if (value == 0) return toText(std::signbit(value) ? "-0.0" : "0.0");
  // The shortest digits that round-trip, which is what repr shows; only the
  // layout differs from C++'s.
  char buffer[64];
  auto written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string_view text(buffer, static_cast<size_t>(written.ptr - buffer));
  Text out;
  out.reserve(32);  // the longest repr has 24 characters
  if (text.front() == '-') {
    out += '-';
    text.remove_prefix(1);
  }
  const size_t e = text.find('e');
  // At most 17 significant digits; on the stack, as this runs per value.
  char digitBuffer[32];
  size_t digitCount = 0;
  for (char c : text.substr(0, e)) {
    if (c != '.') digitBuffer[digitCount++] = c;
  }
  const std::string_view digits(digitBuffer, digitCount);
  int exponent = 0;
  std::string_view exponentText = text.substr(e + 1);
  if (exponentText.front() == '+') exponentText.remove_prefix(1);
  std::from_chars(exponentText.data(), exponentText.data() + exponentText.size(), exponent);
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
