// The digits, hash and email strategies on arbitrary texts, integers and
// options: each keeps what it promises to keep (length, non-digits, kept
// digits, sign and digit count, prefix, domain) and falls back exactly where
// it says.
#include <algorithm>

#include "cheap.h"
#include "fuzz.h"

namespace morvo {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool ascii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; });
}
bool lowerHex(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return isDigit(c) || (c >= 'a' && c <= 'f'); });
}

uint64_t count(FuzzedDataProvider& in) {
  return in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(0, 8) : in.ConsumeIntegral<uint64_t>();
}

// Fully kept: n > 0 and n <= leading + trailing, summed without wrapping.
bool fullyKept(uint64_t n, uint64_t leading, uint64_t trailing) {
  return n > 0 && static_cast<u128>(n) <= static_cast<u128>(leading) + trailing;
}

void digits(const KeyedHash& hash, FuzzedDataProvider& in) {
  uint64_t leading = count(in), trailing = count(in);
  std::string text = in.ConsumeRandomLengthString(80);
  std::string run;
  for (char c : text) if (isDigit(c)) run += c;
  auto out = maskDigitsText(hash, text, leading, trailing);
  if (!ascii(text) || fullyKept(run.size(), leading, trailing)) {
    REQUIRE(std::holds_alternative<Fallback>(out));
  } else {
    REQUIRE(std::holds_alternative<Text>(out));
    const Text& masked = std::get<Text>(out);
    REQUIRE(masked.size() == text.size());
    uint64_t k = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      if (!isDigit(text[i])) {
        REQUIRE(masked[i] == text[i]);
        continue;
      }
      REQUIRE(isDigit(masked[i]));
      if (k < leading || static_cast<u128>(trailing) + k >= run.size()) REQUIRE(masked[i] == text[i]);
      ++k;
    }
    // The run on its own masks the same digits.
    auto alone = maskDigitRun(hash, run, leading, trailing);
    REQUIRE(std::holds_alternative<Text>(alone));
    std::string maskedRun;
    for (char c : masked) if (isDigit(c)) maskedRun += c;
    REQUIRE(fuzz::str(std::get<Text>(alone)) == maskedRun);
  }

  mpz_class v = fuzz::bigFrom(in, 40);
  if (in.ConsumeBool()) v = -v;
  std::string magnitude = mpz_class(abs(v)).get_str();
  auto masked = maskDigitsInteger(hash, fuzz::integerOf(v), leading, trailing);
  if (fullyKept(magnitude.size(), leading, trailing)) {
    REQUIRE(std::holds_alternative<Fallback>(masked));
    return;
  }
  REQUIRE(std::holds_alternative<Integer>(masked));
  mpz_class r = fuzz::mpzOf(std::get<Integer>(masked));
  std::string rm = mpz_class(abs(r)).get_str();
  if (magnitude.size() > 1) {
    // Same digit count (so no leading zero), same sign.
    REQUIRE(rm.size() == magnitude.size());
    REQUIRE(sgn(r) == sgn(v));
  } else {
    REQUIRE(rm.size() == 1);
    // Zero may become any digit; a negative digit stays negative or becomes 0.
    REQUIRE(sgn(v) < 0 ? sgn(r) <= 0 : sgn(r) >= 0);
  }
}

void hashAndEmail(const KeyedHash& hash, FuzzedDataProvider& in) {
  uint64_t length = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(0, 70) : in.ConsumeIntegral<uint64_t>();
  std::string prefix = in.ConsumeRandomLengthString(12);
  std::string message = in.ConsumeRandomLengthString(80);
  Text h = maskHash(hash, message, length, prefix);
  size_t kept = std::min<uint64_t>(length, 64);
  REQUIRE(h.size() == prefix.size() + kept);
  REQUIRE(std::string_view(h).substr(0, prefix.size()) == prefix);
  REQUIRE(lowerHex(std::string_view(h).substr(prefix.size())));
  // A shorter digest is a prefix of a longer one.
  Text longest = maskHash(hash, message, 64, "");
  REQUIRE(std::string_view(longest).substr(0, kept) == std::string_view(h).substr(prefix.size()));

  std::string domain = in.ConsumeRandomLengthString(16);
  bool keepDomain = in.ConsumeBool();
  auto mail = maskEmail(hash, message, length, domain, keepDomain);
  if (!ascii(message)) {
    REQUIRE(std::holds_alternative<Fallback>(mail));
    return;
  }
  REQUIRE(std::holds_alternative<Text>(mail));
  std::string_view m = std::get<Text>(mail);
  REQUIRE(m.size() >= 2 + kept && m[0] == 'u' && m[1 + kept] == '@');
  REQUIRE(lowerHex(m.substr(1, kept)));
  // The domain kept is what follows the last "@" of the address with the
  // white space that str.strip() removes taken off both ends.
  auto space = [](char c) { return (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x20); };
  std::string_view trimmed = message;
  while (!trimmed.empty() && space(trimmed.front())) trimmed.remove_prefix(1);
  while (!trimmed.empty() && space(trimmed.back())) trimmed.remove_suffix(1);
  size_t at = trimmed.rfind('@');
  std::string_view wanted = keepDomain && at != std::string::npos ? trimmed.substr(at + 1) : std::string_view(domain);
  REQUIRE(m.substr(2 + kept) == wanted);
  // Letter case does not change the local part.
  std::string upper = message;
  for (char& c : upper) if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  auto shouted = maskEmail(hash, upper, length, domain, false);
  auto plain = maskEmail(hash, message, length, domain, false);
  REQUIRE(std::get<Text>(shouted) == std::get<Text>(plain));
}

}  // namespace
}  // namespace morvo

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace morvo;
  return fuzz::run(data, size, [](FuzzedDataProvider& in) {
    KeyedHash hash = fuzz::keyedHash(in);
    if (in.ConsumeBool()) {
      digits(hash, in);
    } else {
      hashAndEmail(hash, in);
    }
  });
}
