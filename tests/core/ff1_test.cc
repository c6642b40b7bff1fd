#include "ff1.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace morvo {
namespace {

std::array<uint8_t, 32> keyFromHex(std::string_view hex) {
  std::array<uint8_t, 32> key{};
  for (size_t i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(std::stoi(std::string(hex.substr(2 * i, 2)), nullptr, 16));
  return key;
}

std::string bytesFromHex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return out;
}

constexpr std::string_view NIST_KEY = "2B7E151628AED2A6ABF7158809CF4F3CEF4359D8D580AA4F7F036D6F04FC6A94";
constexpr std::string_view BASE36 = "0123456789abcdefghijklmnopqrstuvwxyz";

std::vector<uint32_t> toNumerals(std::string_view text) {
  std::vector<uint32_t> out;
  for (char c : text) out.push_back(static_cast<uint32_t>(BASE36.find(c)));
  return out;
}

std::string fromNumerals(std::span<const uint32_t> numerals) {
  std::string out;
  for (uint32_t x : numerals) out += BASE36[x];
  return out;
}

// A fixed pseudo-random numeral string, so that grids cover varied values.
std::vector<uint32_t> sampleNumerals(uint32_t radix, size_t n, uint64_t seed) {
  std::vector<uint32_t> out(n);
  uint64_t state = seed * 0x9E3779B97F4A7C15ULL + n;
  for (auto& x : out) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    x = static_cast<uint32_t>(state % radix);
  }
  return out;
}

Ff1 nistCipher(uint32_t radix, bool hardware) {
  Ff1 cipher = Ff1::make(keyFromHex(NIST_KEY), radix);
  cipher.hardware = hardware;
  return cipher;
}

bool haveAesInstructions() { return Ff1::make(keyFromHex(NIST_KEY), 10).hardware; }

// SP 800-38G AES-256 samples 7 to 9, on both AES back ends and both
// arithmetic paths: a fault in either back end or either path shows here.
struct Sample {
  const char* name;
  uint32_t radix;
  std::string_view tweakHex;
  std::string_view plain;
  std::string_view cipher;
};

class NistSample : public ::testing::TestWithParam<std::tuple<Sample, bool>> {};

TEST_P(NistSample, ReproducesPublishedCiphertext) {
  auto [sample, hardware] = GetParam();
  if (hardware && !haveAesInstructions()) GTEST_SKIP() << "no AES instructions";
  Ff1 cipher = nistCipher(sample.radix, hardware);
  std::string tweak = bytesFromHex(sample.tweakHex);
  auto x = toNumerals(sample.plain);
  EXPECT_EQ(fromNumerals(cipher.encrypt(x, tweak)), sample.cipher);
  EXPECT_EQ(fromNumerals(cipher.encryptBig(x, tweak)), sample.cipher);
}

INSTANTIATE_TEST_SUITE_P(
    Aes256, NistSample,
    ::testing::Combine(
        ::testing::Values(Sample{"sample7", 10, "", "0123456789", "6657667009"},
                          Sample{"sample8", 10, "39383736353433323130", "0123456789", "1001623463"},
                          Sample{"sample9", 36, "3737373770717273373737", "0123456789abcdefghi",
                                 "xs8a0azh2avyalyzuwd"}),
        ::testing::Bool()),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_aesni" : "_openssl");
    });

// Both back ends against EVP AES-256-ECB on varied keys and blocks.
TEST(Ff1Block, BothBackEndsMatchEvpEcb) {
  for (uint64_t seed = 0; seed < 8; ++seed) {
    std::array<uint8_t, 32> key;
    auto k = sampleNumerals(256, 32, seed);
    std::copy(k.begin(), k.end(), key.begin());
    auto m = sampleNumerals(256, 16, seed + 100);
    Block plain;
    std::copy(m.begin(), m.end(), plain.begin());

    Block expected{};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int len = 0;
    ASSERT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key.data(), nullptr), 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    ASSERT_EQ(EVP_EncryptUpdate(ctx, expected.data(), &len, plain.data(), 16), 1);
    EVP_CIPHER_CTX_free(ctx);
    ASSERT_EQ(len, 16);

    Ff1 cipher = Ff1::make(key, 62);
    for (bool hardware : {false, true}) {
      if (hardware && !haveAesInstructions()) continue;
      cipher.hardware = hardware;
      Block b = plain;
      cipher.block(b);
      EXPECT_EQ(b, expected) << "seed " << seed << (hardware ? " AES-NI" : " OpenSSL");
    }
  }
}

// The PRF is CBC-MAC with a zero IV: the last block of AES-256-CBC.
TEST(Ff1Prf, EqualsLastBlockOfCbcWithZeroIv) {
  auto key = keyFromHex(NIST_KEY);
  auto data = sampleNumerals(256, 64, 7);
  std::vector<uint8_t> bytes(data.begin(), data.end());
  std::vector<uint8_t> cbc(bytes.size());
  std::array<uint8_t, 16> iv{};
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int len = 0;
  ASSERT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key.data(), iv.data()), 1);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  ASSERT_EQ(EVP_EncryptUpdate(ctx, cbc.data(), &len, bytes.data(), static_cast<int>(bytes.size())), 1);
  EVP_CIPHER_CTX_free(ctx);
  Block expected;
  std::copy(cbc.end() - 16, cbc.end(), expected.begin());
  for (bool hardware : {false, true}) {
    if (hardware && !haveAesInstructions()) continue;
    Ff1 cipher = nistCipher(10, hardware);
    EXPECT_EQ(cipher.prf(bytes), expected);
  }
  EXPECT_THROW(nistCipher(10, false).prf(std::span<const uint8_t>(bytes).first(15)), InternalError);
}

TEST(Ff1Make, MinimumLengthIsLeastPowerAboveAMillion) {
  auto key = keyFromHex(NIST_KEY);
  for (auto [radix, expected] : std::vector<std::pair<uint32_t, uint64_t>>{
           {62, 4}, {22, 5}, {10, 6}, {36, 4}, {2, 20}, {3, 13}, {1000, 2}, {65536, 2}}) {
    EXPECT_EQ(Ff1::make(key, radix).minimumLength, expected) << "radix " << radix;
  }
  EXPECT_THROW(Ff1::make(key, 1), InternalError);
  EXPECT_THROW(Ff1::make(key, 65537), InternalError);
}

// Derived sizes b and d and the switch to arbitrary precision.
TEST(Ff1Rounds, DerivedSizesAndPath) {
  struct Case {
    uint32_t radix;
    uint64_t n;
    uint64_t b, d;
    bool small;
  };
  for (Case c : std::vector<Case>{{10, 6, 2, 8, true},      {62, 4, 2, 8, true},     {10, 38, 8, 12, true},
                                  {10, 40, 9, 16, false},   {10, 256, 54, 60, false}, {62, 256, 96, 100, false},
                                  {62, 20, 8, 12, true},    {62, 22, 9, 16, false},   {2, 126, 8, 12, true},
                                  {2, 128, 8, 12, false},   {2, 130, 9, 16, false}}) {
    Rounds r = Rounds::make(c.radix, c.n, 0, false);
    EXPECT_EQ(r.b, c.b) << c.radix << "^" << c.n;
    EXPECT_EQ(r.d, c.d) << c.radix << "^" << c.n;
    EXPECT_EQ(r.small, c.small) << c.radix << "^" << c.n;
    EXPECT_EQ((16 + r.b + 1 + r.pad) % 16, 0u);
  }
}

// P for sample 7 as printed in the SP 800-38G examples; and u mod 256 in
// its one-byte field for long strings.
TEST(Ff1Rounds, FirstBlockLayout) {
  Rounds r = Rounds::make(10, 10, 0, false);
  EXPECT_EQ(r.p, (Block{1, 2, 1, 0, 0, 10, 10, 5, 0, 0, 0, 10, 0, 0, 0, 0}));
  Rounds longer = Rounds::make(62, 1025, 200, false);
  EXPECT_EQ(longer.p, (Block{1, 2, 1, 0, 0, 62, 10, 0, 0, 0, 4, 1, 0, 0, 0, 200}));
}

// Every 6-digit string maps to a distinct 6-digit string: a permutation.
TEST(Ff1Encrypt, SixDigitDomainIsAPermutation) {
  Ff1 cipher = nistCipher(10, haveAesInstructions());
  std::vector<bool> seen(1000000);
  std::vector<uint32_t> x(6);
  for (uint32_t value = 0; value < 1000000; ++value) {
    for (uint32_t k = 0, v = value; k < 6; ++k, v /= 10) x[5 - k] = v % 10;
    auto y = cipher.encrypt(x, "tweak");
    ASSERT_EQ(y.size(), 6u);
    uint32_t image = 0;
    for (uint32_t digit : y) image = image * 10 + digit;
    ASSERT_FALSE(seen[image]) << "collision at " << value;
    seen[image] = true;
  }
}

// Odd length (u = 6, v = 7): both halves' moduli must be right for a bijection.
TEST(Ff1Encrypt, OddLengthDomainIsAPermutation) {
  Ff1 cipher = nistCipher(3, haveAesInstructions());
  ASSERT_EQ(cipher.minimumLength, 13u);
  const uint32_t size = 1594323;  // 3^13
  std::vector<bool> seen(size);
  std::vector<uint32_t> x(13);
  for (uint32_t value = 0; value < size; ++value) {
    for (uint32_t k = 0, v = value; k < 13; ++k, v /= 3) x[12 - k] = v % 3;
    auto y = cipher.encrypt(x, "");
    uint32_t image = 0;
    for (uint32_t digit : y) image = image * 3 + digit;
    ASSERT_FALSE(seen[image]) << "collision at " << value;
    seen[image] = true;
  }
}

// The machine-integer path against the arbitrary-precision one wherever
// both apply, over radices, lengths (odd and even) and tweak lengths.
TEST(Ff1Encrypt, SmallPathEqualsBigPath) {
  auto key = keyFromHex(NIST_KEY);
  for (uint32_t radix : {2u, 10u, 22u, 36u, 62u, 65536u}) {
    Ff1 cipher = Ff1::make(key, radix);
    for (size_t n = cipher.minimumLength; Rounds::make(radix, n, 0, false).small; ++n) {
      for (size_t t : {0u, 3u, 15u, 200u}) {
        std::string tweak(t, 'q');
        auto x = sampleNumerals(radix, n, n * 7 + t);
        auto y = cipher.encrypt(x, tweak);
        ASSERT_EQ(y, cipher.encryptBig(x, tweak)) << "radix " << radix << " n " << n << " t " << t;
        ASSERT_EQ(y.size(), n);
        ASSERT_TRUE(std::all_of(y.begin(), y.end(), [&](uint32_t v) { return v < radix; }));
      }
    }
  }
}

// FF1 written out step by step from PRF and CIPH, with the whole PRF input
// rebuilt every round. It checks the shared MAC head and the S expansion of
// encrypt on long strings and tweaks, which no published sample reaches.
Vec<uint32_t> referenceEncrypt(const Ff1& cipher, std::span<const uint32_t> x, std::string_view tweak) {
  const uint64_t n = x.size(), t = tweak.size(), radix = cipher.radix;
  const uint64_t u = n / 2, v = n - u;
  mpz_class a, b, powU, powV;
  for (size_t i = 0; i < u; ++i) a = a * radix + x[i];
  for (size_t i = u; i < n; ++i) b = b * radix + x[i];
  mpz_ui_pow_ui(powU.get_mpz_t(), radix, u);
  mpz_ui_pow_ui(powV.get_mpz_t(), radix, v);
  const uint64_t bytes = (mpz_sizeinbase(mpz_class(powV - 1).get_mpz_t(), 2) + 7) / 8;
  const uint64_t d = 4 * ((bytes + 3) / 4) + 4;
  Rounds r = Rounds::make(cipher.radix, n, t, true);
  for (uint8_t i = 0; i < 10; ++i) {
    std::vector<uint8_t> message(r.p.begin(), r.p.end());
    message.insert(message.end(), tweak.begin(), tweak.end());
    message.resize(message.size() + (16 - (t + bytes + 1) % 16) % 16, 0);
    message.push_back(i);
    std::vector<uint8_t> num(bytes + 64, 0);
    size_t count = 0;
    mpz_export(num.data(), &count, 1, 1, 1, 0, b.get_mpz_t());
    message.insert(message.end(), bytes - count, 0);
    message.insert(message.end(), num.begin(), num.begin() + count);
    Block rr = cipher.prf(message);
    std::vector<uint8_t> s(rr.begin(), rr.end());
    for (uint32_t j = 1; s.size() < d; ++j) {
      Block e = rr;
      for (int k = 0; k < 4; ++k) e[15 - k] ^= static_cast<uint8_t>(j >> (8 * k));
      cipher.block(e);
      s.insert(s.end(), e.begin(), e.end());
    }
    mpz_class y;
    mpz_import(y.get_mpz_t(), d, 1, 1, 1, 0, s.data());
    mpz_class c = (a + y) % (i % 2 == 0 ? powU : powV);
    a = b;
    b = c;
  }
  Vec<uint32_t> out(n);
  for (size_t k = n; k-- > u;) out[k] = static_cast<uint32_t>(mpz_tdiv_q_ui(b.get_mpz_t(), b.get_mpz_t(), radix));
  for (size_t k = u; k-- > 0;) out[k] = static_cast<uint32_t>(mpz_tdiv_q_ui(a.get_mpz_t(), a.get_mpz_t(), radix));
  return out;
}

TEST(Ff1Encrypt, LongStringsAndTweaksMatchStepByStepFf1) {
  Ff1 cipher62 = nistCipher(62, haveAesInstructions());
  Ff1 cipher10 = nistCipher(10, haveAesInstructions());
  for (size_t n : {4u, 5u, 21u, 40u, 41u, 129u, 256u, 513u}) {
    for (size_t t : {0u, 1u, 13u, 200u}) {
      std::string tweak(t, '\0');
      for (size_t i = 0; i < t; ++i) tweak[i] = static_cast<char>(i * 37 + n);
      for (const Ff1* cipher : {&cipher62, &cipher10}) {
        if (n < cipher->minimumLength) continue;
        auto x = sampleNumerals(cipher->radix, n, n + t);
        ASSERT_EQ(cipher->encrypt(x, tweak), referenceEncrypt(*cipher, x, tweak))
            << "radix " << cipher->radix << " n " << n << " t " << t;
      }
    }
  }
}

TEST(Ff1Encrypt, PreconditionsAreInternalErrors) {
  Ff1 cipher = nistCipher(62, false);
  std::vector<uint32_t> three{1, 2, 3}, four{1, 2, 3, 4}, outside{1, 2, 62, 4};
  EXPECT_NO_THROW(cipher.encrypt(four, ""));
  for (auto* x : {&three, &outside}) {
    for (bool big : {false, true}) {
      try {
        big ? cipher.encryptBig(*x, "") : cipher.encrypt(*x, "");
        ADD_FAILURE() << "no error";
      } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), x == &three ? "FF1 called below its minimum length" : "numeral outside the radix");
      }
    }
  }
}

// One cipher shared by threads gives the same results as on one thread.
TEST(Ff1Encrypt, ConcurrentEncryptsAgreeWithSerial) {
  Ff1 cipher = nistCipher(10, haveAesInstructions());
  std::vector<std::vector<uint32_t>> inputs;
  for (uint64_t i = 0; i < 64; ++i) inputs.push_back(sampleNumerals(10, 6 + i % 40, i));
  std::vector<Vec<uint32_t>> expected;
  for (const auto& x : inputs) expected.push_back(cipher.encrypt(x, "shared"));
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round)
        for (size_t i = 0; i < inputs.size(); ++i)
          if (cipher.encrypt(inputs[i], "shared") != expected[i]) ++mismatches[t];
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace morvo
