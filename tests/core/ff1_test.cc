#include "ff1.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace morvo {
namespace {

std::string fromHex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return out;
}

const std::string NIST_KEY = fromHex("2B7E151628AED2A6ABF7158809CF4F3CEF4359D8D580AA4F7F036D6F04FC6A94");
const std::span<const uint8_t, 32> KEY(reinterpret_cast<const uint8_t*>(NIST_KEY.data()), 32);
const bool HW = Ff1::make(KEY, 10).hardware;

Ff1 cipherFor(uint32_t radix, bool hardware = HW) {
  Ff1 cipher = Ff1::make(KEY, radix);
  cipher.hardware = hardware;
  return cipher;
}

// A fixed pseudo-random numeral string, so that grids cover varied values.
std::vector<uint32_t> sampleNumerals(uint32_t radix, size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed * 1000 + n);
  std::vector<uint32_t> out(n);
  for (auto& x : out) x = static_cast<uint32_t>(rng() % radix);
  return out;
}

// SP 800-38G AES-256 samples 7 to 9 on both AES back ends and both arithmetic paths.
struct Sample {
  uint32_t radix;
  std::string_view tweakHex, plain, cipher;
};

class NistSample : public ::testing::TestWithParam<Sample> {};

TEST_P(NistSample, ReproducesPublishedCiphertext) {
  constexpr std::string_view BASE36 = "0123456789abcdefghijklmnopqrstuvwxyz";
  const Sample& sample = GetParam();
  std::string tweak = fromHex(sample.tweakHex);
  std::vector<uint32_t> x;
  for (char c : sample.plain) x.push_back(static_cast<uint32_t>(BASE36.find(c)));
  for (bool hardware : {false, HW}) {
    Ff1 cipher = cipherFor(sample.radix, hardware);
    for (bool big : {false, true}) {
      std::string y;
      for (uint32_t v : big ? cipher.encryptBig(x, tweak) : cipher.encrypt(x, tweak)) y += BASE36[v];
      EXPECT_EQ(y, sample.cipher) << (hardware ? "AES-NI" : "OpenSSL") << (big ? ", big path" : ", 64-bit path");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Aes256, NistSample,
                         ::testing::Values(Sample{10, "", "0123456789", "6657667009"},
                                           Sample{10, "39383736353433323130", "0123456789", "1001623463"},
                                           Sample{36, "3737373770717273373737", "0123456789abcdefghi",
                                                  "xs8a0azh2avyalyzuwd"}),
                         [](const auto& info) { return "sample" + std::to_string(7 + info.index); });

// block() is AES-256-ECB and prf() the last block of AES-256-CBC with a zero
// IV (one CBC block is ECB), on both back ends against OpenSSL EVP.
TEST(Ff1Aes, BlockAndPrfMatchEvp) {
  auto lastCbcBlock = [](const std::array<uint8_t, 32>& key, std::vector<uint8_t> bytes) {
    int len = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key.data(), Block{}.data());
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, bytes.data(), &len, bytes.data(), static_cast<int>(bytes.size()));
    EVP_CIPHER_CTX_free(ctx);
    Block last;
    std::copy(bytes.end() - 16, bytes.end(), last.begin());
    return last;
  };
  for (uint64_t seed = 0; seed < 8; ++seed) {
    std::array<uint8_t, 32> key;
    auto k = sampleNumerals(256, 32, seed), m = sampleNumerals(256, 64, seed);
    std::copy(k.begin(), k.end(), key.begin());
    std::vector<uint8_t> bytes(m.begin(), m.end());
    Ff1 cipher = Ff1::make(key, 62);
    for (bool hardware : {false, HW}) {
      cipher.hardware = hardware;
      Block b;
      std::copy(m.begin(), m.begin() + 16, b.begin());
      cipher.block(b);
      EXPECT_EQ(b, lastCbcBlock(key, {m.begin(), m.begin() + 16})) << "seed " << seed << " hardware " << hardware;
      EXPECT_EQ(cipher.prf(bytes), lastCbcBlock(key, bytes)) << "seed " << seed << " hardware " << hardware;
    }
  }
  EXPECT_THROW(cipherFor(10, false).prf(std::vector<uint8_t>(15)), InternalError);
}

// minimumLength; b, d and the 64-bit path either side of radix^v = 2^64; P
// for sample 7 as printed in the SP 800-38G examples, and u mod 256 in its
// one-byte field.
TEST(Ff1Rounds, DerivedSizesPathAndFirstBlock) {
  for (auto [radix, expected] : std::vector<std::pair<uint32_t, uint64_t>>{
           {62, 4}, {22, 5}, {10, 6}, {2, 20}, {3, 13}, {1000, 2}, {65536, 2}}) {
    EXPECT_EQ(Ff1::make(KEY, radix).minimumLength, expected) << "radix " << radix;
  }
  EXPECT_THROW(Ff1::make(KEY, 1), InternalError);
  EXPECT_THROW(Ff1::make(KEY, 65537), InternalError);
  struct Case { uint32_t radix; uint64_t n, b, d; bool small; };
  for (Case c : std::vector<Case>{{10, 38, 8, 12, true}, {10, 40, 9, 16, false}, {62, 20, 8, 12, true},
                                  {62, 22, 9, 16, false}, {2, 126, 8, 12, true}, {2, 128, 8, 12, false},
                                  {10, 256, 54, 60, false}}) {
    Rounds r = Rounds::make(c.radix, c.n, 0, false);
    EXPECT_EQ(std::tuple(r.b, r.d, r.small), std::tuple(c.b, c.d, c.small)) << c.radix << "^" << c.n;
    EXPECT_EQ((16 + r.b + 1 + r.pad) % 16, 0u);
  }
  EXPECT_EQ(Rounds::make(10, 10, 0, false).p, (Block{1, 2, 1, 0, 0, 10, 10, 5, 0, 0, 0, 10, 0, 0, 0, 0}));
  EXPECT_EQ(Rounds::make(62, 1025, 200, false).p, (Block{1, 2, 1, 0, 0, 62, 10, 0, 0, 0, 4, 1, 0, 0, 0, 200}));
}

// Every string of the minimum length maps to a distinct one: even halves
// (10^6) and odd ones (3^13, u = 6 and v = 7), where both moduli must be right.
TEST(Ff1Encrypt, MinimumLengthDomainIsAPermutation) {
  for (uint32_t radix : {10u, 3u}) {
    Ff1 cipher = cipherFor(radix);
    const size_t n = cipher.minimumLength;
    uint32_t size = 1;
    for (size_t k = 0; k < n; ++k) size *= radix;
    std::vector<bool> seen(size);
    std::vector<uint32_t> x(n);
    for (uint32_t value = 0; value < size; ++value) {
      for (uint32_t k = 0, v = value; k < n; ++k, v /= radix) x[n - 1 - k] = v % radix;
      uint32_t image = 0;
      for (uint32_t digit : cipher.encrypt(x, "tweak")) image = image * radix + digit;
      ASSERT_TRUE(image < size && !seen[image]) << "radix " << radix << " collision at " << value;
      seen[image] = true;
    }
  }
}

// The 64-bit path against the arbitrary-precision one wherever both apply.
TEST(Ff1Encrypt, SmallPathEqualsBigPath) {
  for (uint32_t radix : {2u, 10u, 22u, 36u, 62u, 65536u}) {
    Ff1 cipher = cipherFor(radix);
    for (size_t n = cipher.minimumLength; Rounds::make(radix, n, 0, false).small; ++n) {
      for (size_t t : {0u, 3u, 15u, 200u}) {
        auto x = sampleNumerals(radix, n, n * 7 + t);
        ASSERT_EQ(cipher.encrypt(x, std::string(t, 'q')), cipher.encryptBig(x, std::string(t, 'q')))
            << "radix " << radix << " n " << n << " t " << t;
      }
    }
  }
}

// FF1 step by step from PRF and CIPH, the whole PRF input rebuilt every
// round: checks the shared MAC head and the S expansion on long strings and
// tweaks, which no published sample reaches.
Vec<uint32_t> referenceEncrypt(const Ff1& cipher, std::span<const uint32_t> x, std::string_view tweak) {
  const uint64_t n = x.size(), t = tweak.size(), radix = cipher.radix, u = n / 2, v = n - u;
  mpz_class a, b, powU, powV;
  for (size_t i = 0; i < n; ++i) (i < u ? a : b) = (i < u ? a : b) * radix + x[i];
  mpz_ui_pow_ui(powU.get_mpz_t(), radix, u);
  mpz_ui_pow_ui(powV.get_mpz_t(), radix, v);
  const uint64_t bytes = (mpz_sizeinbase(mpz_class(powV - 1).get_mpz_t(), 2) + 7) / 8;
  const uint64_t d = 4 * ((bytes + 3) / 4) + 4;
  const Block p = Rounds::make(cipher.radix, n, t, true).p;
  for (uint8_t i = 0; i < 10; ++i) {
    std::vector<uint8_t> message(p.begin(), p.end());
    message.insert(message.end(), tweak.begin(), tweak.end());
    message.resize(message.size() + (16 - (t + bytes + 1) % 16) % 16, 0);
    message.push_back(i);
    std::vector<uint8_t> num(bytes, 0);
    size_t count = 0;
    mpz_export(num.data(), &count, 1, 1, 1, 0, b.get_mpz_t());
    std::rotate(num.begin(), num.begin() + count, num.end());  // right-align NUM(B)
    message.insert(message.end(), num.begin(), num.end());
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
  for (size_t k = n; k-- > 0;) {
    out[k] = static_cast<uint32_t>(mpz_tdiv_q_ui((k < u ? a : b).get_mpz_t(), (k < u ? a : b).get_mpz_t(), radix));
  }
  return out;
}

TEST(Ff1Encrypt, LongStringsAndTweaksMatchStepByStepFf1) {
  for (uint32_t radix : {62u, 10u}) {
    Ff1 cipher = cipherFor(radix);
    for (size_t n : {4u, 5u, 21u, 40u, 41u, 129u, 256u, 513u}) {
      for (size_t t : {0u, 1u, 13u, 200u}) {
        if (n < cipher.minimumLength) continue;
        std::string tweak(t, '\0');
        for (size_t i = 0; i < t; ++i) tweak[i] = static_cast<char>(i * 37 + n);
        auto x = sampleNumerals(radix, n, n + t);
        ASSERT_EQ(cipher.encrypt(x, tweak), referenceEncrypt(cipher, x, tweak))
            << "radix " << radix << " n " << n << " t " << t;
      }
    }
  }
}

TEST(Ff1Encrypt, PreconditionsAreInternalErrors) {
  Ff1 cipher = cipherFor(62, false);
  for (bool big : {false, true}) {
    auto errorOf = [&](std::vector<uint32_t> x) -> std::string {
      try {
        big ? cipher.encryptBig(x, "") : cipher.encrypt(x, "");
      } catch (const InternalError& e) {
        return e.what();
      }
      return "no error";
    };
    EXPECT_EQ(errorOf({1, 2, 3, 4}), "no error");
    EXPECT_EQ(errorOf({1, 2, 3}), "FF1 called below its minimum length");
    EXPECT_EQ(errorOf({1, 2, 62, 4}), "numeral outside the radix");
  }
}

// One cipher shared by threads gives the same results as on one thread.
TEST(Ff1Encrypt, ConcurrentEncryptsAgreeWithSerial) {
  Ff1 cipher = cipherFor(10);
  std::vector<std::vector<uint32_t>> inputs;
  std::vector<Vec<uint32_t>> expected;
  for (uint64_t i = 0; i < 64; ++i) {
    inputs.push_back(sampleNumerals(10, 6 + i % 40, i));
    expected.push_back(cipher.encrypt(inputs.back(), "shared"));
  }
  std::atomic<int> mismatches = 0;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        for (int round = 0; round < 50; ++round)
          for (size_t i = 0; i < inputs.size(); ++i) mismatches += cipher.encrypt(inputs[i], "shared") != expected[i];
      });
    }
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace morvo
