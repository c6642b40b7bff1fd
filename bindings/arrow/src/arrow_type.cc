#include "arrow_type.h"

#include <charconv>

namespace morvo::arrow {

namespace {

// Reads "P,S" or "P,S,BITS" after "d:".
std::optional<ColumnType> parseDecimal(std::string_view spec) {
  int numbers[3] = {0, 0, 128};
  int count = 0;
  const char* p = spec.data();
  const char* end = spec.data() + spec.size();
  while (count < 3) {
    auto [next, error] = std::from_chars(p, end, numbers[count]);
    if (error != std::errc() || next == p) return std::nullopt;
    ++count;
    p = next;
    if (p == end) break;
    if (*p != ',') return std::nullopt;
    ++p;
  }
  if (p != end || count < 2) return std::nullopt;
  const int precision = numbers[0], scale = numbers[1], bits = numbers[2];
  if (bits != 128 && bits != 256) return std::nullopt;
  const int most = bits == 128 ? 38 : 76;
  if (precision < 1 || precision > most) return std::nullopt;
  return ColumnType{Kind::Decimal, bits, true, precision, scale};
}

}  // namespace

std::optional<ColumnType> parseType(std::string_view format) {
  if (format.size() == 1) {
    switch (format[0]) {
      case 'n': return ColumnType{Kind::Null};
      case 'b': return ColumnType{Kind::Bool};
      case 'c': return ColumnType{Kind::Int, 8, true};
      case 'C': return ColumnType{Kind::Int, 8, false};
      case 's': return ColumnType{Kind::Int, 16, true};
      case 'S': return ColumnType{Kind::Int, 16, false};
      case 'i': return ColumnType{Kind::Int, 32, true};
      case 'I': return ColumnType{Kind::Int, 32, false};
      case 'l': return ColumnType{Kind::Int, 64, true};
      case 'L': return ColumnType{Kind::Int, 64, false};
      case 'f': return ColumnType{Kind::Float, 32};
      case 'g': return ColumnType{Kind::Float, 64};
      case 'u': return ColumnType{Kind::Text, 0, true, 0, 0, TextLayout::Offsets32};
      case 'U': return ColumnType{Kind::Text, 0, true, 0, 0, TextLayout::Offsets64};
      default: return std::nullopt;
    }
  }
  if (format == "vu") return ColumnType{Kind::Text, 0, true, 0, 0, TextLayout::View};
  if (format.starts_with("d:")) return parseDecimal(format.substr(2));
  return std::nullopt;
}

std::string formatOf(const ColumnType& type) {
  switch (type.kind) {
    case Kind::Null: return "n";
    case Kind::Bool: return "b";
    case Kind::Int: {
      const char* names = type.isSigned ? "csil" : "CSIL";
      int index = type.bits == 8 ? 0 : type.bits == 16 ? 1 : type.bits == 32 ? 2 : 3;
      return std::string(1, names[index]);
    }
    case Kind::Float: return type.bits == 32 ? "f" : "g";
    case Kind::Decimal: {
      std::string format = "d:" + std::to_string(type.precision) + "," + std::to_string(type.scale);
      if (type.bits != 128) format += "," + std::to_string(type.bits);
      return format;
    }
    case Kind::Text:
      return type.text == TextLayout::Offsets32 ? "u" : type.text == TextLayout::Offsets64 ? "U" : "vu";
  }
  return "n";
}

}  // namespace morvo::arrow
