// Placeholder until this unit is built; every entry point is an internal error.
#include "fpe.h"
namespace morvo {
FpeStrategy FpeStrategy::make(const KeyedHash&, Charset, bool) { fail("fpe not built"); }
Outcome<Integer> FpeStrategy::maskInteger(const KeyedHash&, const Integer&) const { fail("fpe not built"); }
Outcome<Text> FpeStrategy::maskText(const KeyedHash&, std::string_view) const { fail("fpe not built"); }
}  // namespace morvo
