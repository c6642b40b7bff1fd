// Placeholder until this unit is built; every entry point is an internal error.
#include "number.h"
namespace morvo {
std::variant<NumberStrategy, Text> NumberStrategy::make(std::optional<std::string_view>, std::optional<std::string_view>, std::optional<std::string_view>, std::optional<uint32_t>) { fail("number not built"); }
Outcome<Integer> NumberStrategy::maskInteger(const KeyedHash&, const Integer&) const { fail("number not built"); }
Outcome<double> NumberStrategy::maskFloat(const KeyedHash&, double, std::string_view) const { fail("number not built"); }
Outcome<Text> NumberStrategy::maskDecimal(const KeyedHash&, std::string_view) const { fail("number not built"); }
}  // namespace morvo
