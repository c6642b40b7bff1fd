// The key and fpe strategies on arbitrary texts and integers under every
// charset: shapes kept (length, the class of every position under key, the
// alphabet positions under fpe, sign and digit count of integers), distinct
// values kept distinct, and the refusals and fallbacks exactly where the
// limits say.
#include <algorithm>

#include "fpe.h"
#include "fuzz.h"
#include "key.h"

namespace morvo {
namespace {

// The class of a character under a charset: 0 none, else 10, 26 or 6 with a
// distinct tag for lower and upper case letters.
int classOf(Charset charset, char c) {
  if (c >= '0' && c <= '9') return 10;
  if (charset == Charset::Digits) return 0;
  char last = charset == Charset::Hex ? 'f' : 'z';
  if (c >= 'a' && c <= last) return 1;
  if (c >= 'A' && c <= last - 'a' + 'A') return 2;
  return 0;
}

bool ascii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; });
}

size_t digitCount(const mpz_class& v) { return mpz_class(abs(v)).get_str().size(); }

// A text: printable ASCII mostly, so that the classes are exercised.
std::string textFrom(FuzzedDataProvider& in) {
  size_t n = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(0, 24) : in.ConsumeIntegralInRange<size_t>(0, 300);
  bool raw = in.ConsumeBool();
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    char c = raw ? static_cast<char>(in.ConsumeIntegral<uint8_t>())
                 : "0123456789abcdefgxyzABCDEFGXYZ-. "[in.ConsumeIntegralInRange<int>(0, 32)];
    s += c;
  }
  return s;
}

void text(const KeyedHash& hash, const FpeStrategy& fpe, Charset charset, FuzzedDataProvider& in) {
  std::string a = textFrom(in), b = textFrom(in);
  auto key = KeyStrategy::maskText(charset, hash, a);
  if (!ascii(a)) {
    REQUIRE(std::holds_alternative<Fallback>(key));
    REQUIRE(std::holds_alternative<Fallback>(fpe.maskText(hash, a)));
    return;
  }
  if (a.size() > IDENTIFIER_LIMIT) {
    REQUIRE(std::get<Refused>(key).message == tooLongMessage("key"));
    REQUIRE(std::get<Refused>(fpe.maskText(hash, a)).message == tooLongMessage("fpe"));
    return;
  }
  const Text& k = std::get<Text>(key);
  REQUIRE(k.size() == a.size());
  for (size_t i = 0; i < a.size(); ++i) {
    REQUIRE(classOf(charset, k[i]) == classOf(charset, a[i]));
    if (classOf(charset, a[i]) == 0) REQUIRE(k[i] == a[i]);
  }
  // Two different texts of one shape get different substitutes.
  if (b.size() == a.size() && b != a && ascii(b)) {
    bool sameShape = true;
    for (size_t i = 0; i < a.size(); ++i) {
      int ca = classOf(charset, a[i]);
      sameShape = sameShape && ca == classOf(charset, b[i]) && (ca != 0 || a[i] == b[i]);
    }
    if (sameShape) REQUIRE(std::get<Text>(KeyStrategy::maskText(charset, hash, b)) != k);
  }

  size_t alphabet = std::count_if(a.begin(), a.end(), [&](char c) { return classOf(charset, c) != 0; });
  auto f = fpe.maskText(hash, a);
  if (alphabet < fpe.mainCipher.minimumLength) {
    if (fpe.strict) {
      REQUIRE(std::holds_alternative<Refused>(f));
    } else {
      REQUIRE(std::get<Text>(f) == k);
    }
    return;
  }
  const Text& e = std::get<Text>(f);
  REQUIRE(e.size() == a.size());
  for (size_t i = 0; i < a.size(); ++i) REQUIRE((classOf(charset, e[i]) != 0) == (classOf(charset, a[i]) != 0));
  for (size_t i = 0; i < a.size(); ++i) if (classOf(charset, a[i]) == 0) REQUIRE(e[i] == a[i]);
}

void integer(const KeyedHash& hash, const FpeStrategy& fpe, FuzzedDataProvider& in) {
  mpz_class v = fuzz::bigFrom(in, in.ConsumeBool() ? 20 : 120);
  if (in.ConsumeBool()) v = -v;
  Integer value = fuzz::integerOf(v);
  size_t digits = digitCount(v);
  auto key = KeyStrategy::maskInteger(hash, value);
  auto f = fpe.maskInteger(hash, value);
  if (digits > IDENTIFIER_LIMIT) {
    REQUIRE(std::get<Refused>(key).message == tooLongMessage("key"));
    REQUIRE(std::get<Refused>(f).message == tooLongMessage("fpe"));
    return;
  }
  for (const auto* out : {&key, &f}) {
    if (out == &f && digits < 6 && fpe.strict) {
      REQUIRE(std::holds_alternative<Refused>(f));
      continue;
    }
    mpz_class r = fuzz::mpzOf(std::get<Integer>(*out));
    REQUIRE(digitCount(r) == digits);
    REQUIRE(sgn(v) < 0 ? sgn(r) < 0 : sgn(r) >= 0);
  }
  if (digits < 6 && !fpe.strict) REQUIRE(std::get<Integer>(f) == std::get<Integer>(key));
  // A neighbour of the same shape gets another substitute.
  mpz_class w = v + 1;
  if (digitCount(w) == digits && sgn(w) == sgn(v) && sgn(v) != 0) {
    REQUIRE(!(std::get<Integer>(KeyStrategy::maskInteger(hash, fuzz::integerOf(w))) == std::get<Integer>(key)));
  }
}

}  // namespace
}  // namespace morvo

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace morvo;
  return fuzz::run(data, size, [](FuzzedDataProvider& in) {
    KeyedHash hash = fuzz::keyedHash(in);
    auto charset = static_cast<Charset>(in.ConsumeIntegralInRange<int>(0, 2));
    FpeStrategy fpe = FpeStrategy::make(hash, charset, in.ConsumeBool());
    if (in.ConsumeBool()) {
      text(hash, fpe, charset, in);
    } else {
      integer(hash, fpe, in);
    }
  });
}
