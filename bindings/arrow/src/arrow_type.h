// The Arrow types this module masks, read from and written to the format
// strings of the C data interface.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace morvo::arrow {

enum class Kind { Null, Bool, Int, Float, Decimal, Text };
enum class TextLayout { Offsets32, Offsets64, View };

struct ColumnType {
  Kind kind = Kind::Null;
  int bits = 0;          // Int: 8 to 64; Float: 32 or 64; Decimal: 128 or 256
  bool isSigned = true;  // Int
  int precision = 0;     // Decimal
  int scale = 0;         // Decimal
  TextLayout text = TextLayout::Offsets32;
  bool operator==(const ColumnType&) const = default;
};

// The type of a format string, or none for a type this module does not mask.
std::optional<ColumnType> parseType(std::string_view format);

// The format string of a type.
std::string formatOf(const ColumnType& type);

}  // namespace morvo::arrow
