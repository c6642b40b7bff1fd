#include "python_text.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

namespace morvo::arrow {

Text decimalStr(bool negative, const Limbs& magnitude, int scale) {
  // The interpreter's to-scientific-string of (sign, digits, exponent).
  const Text digits = magnitudeDigits(magnitude);
  const long exponent = -static_cast<long>(scale);
  const long count = static_cast<long>(digits.size());
  const long left = exponent + count;
  const long dot = (exponent <= 0 && left > -6) ? left : 1;
  Text out;
  if (negative && !magnitude.empty()) out += '-';
  if (dot <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-dot), '0');
    out += digits;
  } else if (dot >= count) {
    out += digits;
    out.append(static_cast<size_t>(dot - count), '0');
  } else {
    out.append(digits, 0, static_cast<size_t>(dot));
    out += '.';
    out.append(digits, static_cast<size_t>(dot));
  }
  if (left != dot) {
    const long shown = left - dot;
    out += shown < 0 ? "E-" : "E+";
    out += std::to_string(shown < 0 ? -shown : shown).c_str();
  }
  return out;
}

std::optional<Scaled> scaledDecimal(std::string_view text, int scale, int precision) {
  Scaled result;
  size_t i = 0;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) result.negative = text[i++] == '-';
  std::string digits;
  long fraction = 0;
  bool point = false, any = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      digits += c;
      any = true;
      if (point) ++fraction;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (!any) return std::nullopt;
  long exponent = 0;
  if (i < text.size() && (text[i] == 'E' || text[i] == 'e')) {
    ++i;
    bool minus = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) minus = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    for (; i < text.size(); ++i) {
      if (text[i] < '0' || text[i] > '9' || exponent > 100000) return std::nullopt;
      exponent = exponent * 10 + (text[i] - '0');
    }
    if (minus) exponent = -exponent;
  }
  if (i != text.size()) return std::nullopt;
  // digits * 10**(exponent - fraction), wanted as an integer * 10**-scale.
  long shift = exponent - fraction + scale;
  size_t first = digits.find_first_not_of('0');
  digits = first == std::string::npos ? "0" : digits.substr(first);
  if (shift < 0) {
    const size_t drop = static_cast<size_t>(-shift);
    if (digits == "0") {
      shift = 0;
    } else if (drop >= digits.size() ||
               digits.find_first_not_of('0', digits.size() - drop) != std::string::npos) {
      return std::nullopt;  // digits below the scale
    } else {
      digits.resize(digits.size() - drop);
      shift = 0;
    }
  }
  if (digits != "0") {
    if (static_cast<long>(digits.size()) + shift > precision) return std::nullopt;
    digits.append(static_cast<size_t>(shift), '0');
  }
  result.magnitude = magnitudeFromDigits(digits);
  if (result.magnitude.empty()) result.negative = false;
  return result;
}

bool validUtf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    // Eight ASCII bytes at a time.
    if (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        p += 8;
        continue;
      }
    }
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int length;
    uint32_t lowest;
    uint32_t code;
    if ((c & 0xE0) == 0xC0) {
      length = 2, lowest = 0x80, code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3, lowest = 0x800, code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4, lowest = 0x10000, code = c & 0x07;
    } else {
      return false;
    }
    if (end - p < length) return false;
    for (int k = 1; k < length; ++k) {
      if ((p[k] & 0xC0) != 0x80) return false;
      code = (code << 6) | (p[k] & 0x3F);
    }
    if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    p += length;
  }
  return true;
}

}  // namespace morvo::arrow
