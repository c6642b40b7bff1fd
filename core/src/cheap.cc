// Placeholder until this unit is built; every entry point is an internal error.
#include "cheap.h"
namespace morvo {
Outcome<Text> maskDigitRun(const KeyedHash&, std::string_view, uint64_t, uint64_t) { fail("cheap not built"); }
Outcome<Text> maskDigitsText(const KeyedHash&, std::string_view, uint64_t, uint64_t) { fail("cheap not built"); }
Outcome<Integer> maskDigitsInteger(const KeyedHash&, const Integer&, uint64_t, uint64_t) { fail("cheap not built"); }
Text maskHash(const KeyedHash&, std::string_view, uint64_t, std::string_view) { fail("cheap not built"); }
Outcome<Text> maskEmail(const KeyedHash&, std::string_view, uint64_t, std::string_view, bool) { fail("cheap not built"); }
}  // namespace morvo
