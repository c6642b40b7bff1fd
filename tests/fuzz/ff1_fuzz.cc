// FF1 with arbitrary keys, radixes (2 to 65536), lengths from the minimum up
// and tweaks: the result has the same length and radix, is the same on the
// machine-integer path and the GMP path, and depends on the tweak.
#include "ff1.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace morvo;
  return fuzz::run(data, size, [](FuzzedDataProvider& in) {
    auto key = fuzz::keyBytes(in);
    static constexpr uint32_t USED[] = {10, 22, 62};
    uint32_t radix = in.ConsumeBool() ? in.PickValueInArray(USED) : in.ConsumeIntegralInRange<uint32_t>(2, 65536);
    Ff1 cipher = Ff1::make(key, radix);
    REQUIRE(cipher.minimumLength >= 1);
    // minimumLength is the least i with radix^i > 999999.
    u128 below = 1, at = 1;
    for (uint64_t i = 0; i + 1 < cipher.minimumLength; ++i) below *= radix;
    at = below * radix;
    REQUIRE(at > 999999 && (cipher.minimumLength == 1 || below <= 999999));

    size_t n = cipher.minimumLength + in.ConsumeIntegralInRange<size_t>(0, in.ConsumeBool() ? 8 : 120);
    if (n < 2) n = 2;
    std::string tweak = in.ConsumeRandomLengthString(in.ConsumeBool() ? 16 : 300);
    Vec<uint32_t> numerals(n);
    for (auto& x : numerals) x = in.ConsumeIntegralInRange<uint32_t>(0, radix - 1);

    Vec<uint32_t> out = cipher.encrypt(numerals, tweak);
    REQUIRE(out.size() == n);
    for (uint32_t x : out) REQUIRE(x < radix);
    REQUIRE(out == cipher.encryptBig(numerals, tweak));
    REQUIRE(out == cipher.encrypt(numerals, tweak));
    // Changing one numeral changes the result (a bijection).
    Vec<uint32_t> changed = numerals;
    size_t at_ = in.ConsumeIntegralInRange<size_t>(0, n - 1);
    changed[at_] = (changed[at_] + 1) % radix;
    REQUIRE(cipher.encrypt(changed, tweak) != out);
  });
}
