#include "digits.h"

#include <gtest/gtest.h>

#include <thread>

namespace morvo {
namespace {

mpz_class tenTo(unsigned long e) {
  mpz_class v;
  mpz_ui_pow_ui(v.get_mpz_t(), 10, e);
  return v;
}

// Every power of ten and its predecessor through the end of the table: the
// floating-point estimate is off by one on some, and the correction must
// catch each. Past the table only the estimate is given, never below 921.
TEST(Digits, PowersOfTenAndTheirPredecessors) {
  EXPECT_EQ(decimalDigits(mpz_class(0)), 1u);
  for (unsigned long e = 1; e <= 921; ++e) {
    ASSERT_EQ(decimalDigits(mpz_class(tenTo(e) - 1)), e) << e;
    ASSERT_TRUE(e == 921 || decimalDigits(tenTo(e)) == e + 1) << e;
  }
  EXPECT_GE(decimalDigits(tenTo(921)), 921u);
  EXPECT_GE(decimalDigits(tenTo(1500)), 1450u);
}

// The 128-bit and limb overloads against GMP at each power of ten that fits
// and at random values of every bit length up to 200.
TEST(Digits, MachineAndLimbOverloadsAgreeWithGmp) {
  for (unsigned e = 1; e <= 38; ++e) {
    EXPECT_EQ(decimalDigits(powerOfTen128(e) - 1), e) << e;
    EXPECT_EQ(decimalDigits(powerOfTen128(e)), e + 1) << e;
    EXPECT_EQ(toMpz(fromU128(powerOfTen128(e))), tenTo(e)) << e;
  }
  EXPECT_EQ(decimalDigits(u128{0}), 1u);
  EXPECT_EQ(decimalDigits(~u128{0}), 39u);
  gmp_randclass random(gmp_randinit_default);
  for (int i = 0; i < 2000; ++i) {
    unsigned long bits = 1 + static_cast<unsigned long>(i % 200);
    mpz_class v = (mpz_class(1) << (bits - 1)) + random.get_z_bits(bits - 1);  // exactly `bits` bits
    uint64_t expected = v.get_str().size();
    Limbs limbs = fromMpz(v);
    ASSERT_EQ(decimalDigits(v), expected) << v.get_str();
    ASSERT_EQ(decimalDigits(limbs), expected) << v.get_str();
    ASSERT_TRUE(!fitsU128(limbs) || decimalDigits(toU128(limbs)) == expected) << v.get_str();
  }
}

TEST(Digits, PowersTableHoldsTenToTheZeroThrough920) {
  const auto& powers = powersOfTen();
  ASSERT_EQ(powers.size(), 921u);
  for (unsigned long e = 0; e < powers.size(); e += 1 + e / 8) EXPECT_EQ(powers[e], tenTo(e)) << e;
  EXPECT_EQ(powerOfTen(920), tenTo(920));
  EXPECT_EQ(powerOfTen(1000), tenTo(1000));  // past the table: computed
  EXPECT_THROW(powerOfTen128(39), InternalError);
}

// Threads racing to the first use (ctest runs each test alone) get one table.
TEST(Digits, PowersTableIsBuiltOnceForAllThreads) {
  const std::vector<mpz_class>* seen[4] = {};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back([&seen, i] { seen[i] = &powersOfTen(); });
  for (auto& t : threads) t.join();
  for (auto* table : seen) EXPECT_EQ(table, &powersOfTen());
}

}  // namespace
}  // namespace morvo
