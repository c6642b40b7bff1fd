// Placeholder until this unit is built; every entry point is an internal error.
#include "key.h"
namespace morvo {
std::string_view charsetName(Charset charset) {
  switch (charset) {
    case Charset::Alphanumeric: return "alphanumeric";
    case Charset::Digits: return "digits";
    case Charset::Hex: return "hex";
  }
  return "alphanumeric";
}
Outcome<Integer> KeyStrategy::maskInteger(const KeyedHash&, const Integer&) { fail("key strategy not built"); }
Outcome<Text> KeyStrategy::maskText(Charset, const KeyedHash&, std::string_view) { fail("key strategy not built"); }
}  // namespace morvo
