#include <gtest/gtest.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <string>
#include <vector>

#include "keyed_hash.h"

namespace morvo {
namespace {

KeyedHash keyOf(uint8_t first) {
  std::array<uint8_t, 32> subkey;
  for (size_t i = 0; i < subkey.size(); ++i) subkey[i] = static_cast<uint8_t>(first + i);
  return KeyedHash::fromSubkey(subkey);
}

mpz_class pow2(unsigned e) { return mpz_class(1) << e; }
mpz_class fromSmall(u128 v) { return toMpz(fromU128(v)); }
std::string bytesOf(const mpz_class& v) {  // big-endian, no leading zeros
  std::string out((mpz_sizeinbase(v.get_mpz_t(), 2) + 7) / 8, '\0');
  mpz_export(out.data(), nullptr, 1, 1, 1, 0, v.get_mpz_t());
  return out;
}
std::string sizeLabel(std::string_view label, const mpz_class& n) { return std::string(label) + "|" + bytesOf(n); }

// The permutation written out without the production round buffer: each
// round XORs the expand of BE_nb(R) under Q || r into L, Q normally label | BE(N).
mpz_class referencePermute(const KeyedHash& hash, const mpz_class& n, const mpz_class& x, const std::string& q) {
  if (n <= 1) return x;
  size_t w = std::max<size_t>(mpz_sizeinbase(mpz_class(n - 1).get_mpz_t(), 2), 2);
  w += w & 1;
  size_t h = w / 2, nb = (h + 7) / 8;
  mpz_class mask = pow2(static_cast<unsigned>(h)) - 1, v = x;
  do {
    mpz_class left = v >> h, right = v & mask, f;
    for (int r = 0; r < 10; ++r) {
      auto stream = hash.expand(bytesOf(right | pow2(8 * nb)).substr(1), nb, q + static_cast<char>(r));
      mpz_import(f.get_mpz_t(), nb, 1, 1, 1, 0, stream.data());
      left ^= f & mask;
      std::swap(left, right);
    }
    v = (left << h) | right;
  } while (v >= n);
  return v;
}

// From an independent Python rendering (hmac, hashlib), subkey bytes 0..31.
// Labels of 50, 70 and 130 bytes reach the streamed inner hash and the
// precomputed label blocks.
const struct {
  const char *size, *value;
  std::string label;
  const char* expected;
} VECTORS[] = {
    {"1", "0", "integer", "0"},
    {"2", "0", "integer", "1"},
    {"10", "7", "integer", "6"},
    {"255", "200", "integer", "83"},
    {"256", "200", "integer", "67"},
    {"676", "123", "text|alphanumeric|2626", "166"},
    {"1000000000", "123456789", "integer", "919120747"},
    {"1000000000", "5", std::string(50, 'y'), "547833407"},
    {"18446744073709551615", "9223372036854775808", "integer", "16447906352230159507"},
    {"18446744073709551617", "18446744073709551616", "integer", "7212912097940998595"},
    {"1000000000000000000000000000000", "7", std::string(130, 'z'), "207734002280451061665523969373"},
    {"340282366920938463463374607431768211456", "170141183460469231731687303715884105733", "negative",
     "236145872886936226971996363432016183563"},
    {"340282366920938463463374607431768211457", "340282366920938463463374607431768211456", "integer",
     "222691829700646951686215280624411999125"},
    {"10000000000000000000000000000000000000000", "31415926535897932384626433832795028841", "integer",
     "5883704008496241968495240055364902643101"},
    {"2037035976334486086268445688409378161051468393665936250636140449354381299763336706183397383",
     "1018517988167243043134222844204689080525734196832968125318070224677190649881668353091698689",
     std::string(70, 'x'),
     "1095288747803275982407849232304759704596475417231356412737802554795793193517360878413294831"},
};

TEST(Permute, MatchesIndependentVectorsOnEveryPath) {
  KeyedHash hash = keyOf(0);
  gmp_randclass draw(gmp_randinit_default);
  for (const auto& v : VECTORS) {
    mpz_class n(v.size), x(v.value), expected(v.expected);
    bool small = mpz_sizeinbase(mpz_class(n - 1).get_mpz_t(), 2) <= 128;
    EXPECT_EQ(hash.permute(n, x, v.label), expected) << v.size;
    EXPECT_EQ(hash.permuteBig(n, x, v.label), expected) << v.size;
    EXPECT_EQ(referencePermute(hash, n, x, sizeLabel(v.label, n)), expected) << v.size;
    // The top value and sampled ones: in range, and the same from the dispatcher and the reference.
    for (int i = 0; i < 10; ++i) {
      mpz_class y = i == 0 ? n - 1 : mpz_class(draw.get_z_range(n)), out = hash.permute(n, y, v.label);
      ASSERT_TRUE(out >= 0 && out < n) << v.size;
      EXPECT_EQ(out, referencePermute(hash, n, y, sizeLabel(v.label, n))) << v.size << " " << y;
    }
    if (!small) continue;
    EXPECT_EQ(fromSmall(hash.permuteSmall(toU128(fromMpz(n - 1)), toU128(fromMpz(x)), v.label)), expected) << v.size;
  }
  EXPECT_NE(keyOf(1).permute(1000000000, 123456789, "integer"), 919120747);  // the key reaches the rounds
}

// The one-compression HMAC equals OpenSSL's at every length, around 55, 56
// and 64 in particular, whole, split, and through digest.
TEST(Permute, ShortMessageHmacMatchesOpenSslAtEveryLength) {
  std::array<uint8_t, 32> subkey;
  for (size_t i = 0; i < subkey.size(); ++i) subkey[i] = static_cast<uint8_t>(3 * i + 1);
  KeyedHash hash = KeyedHash::fromSubkey(subkey);
  std::string all;
  for (int i = 0; i < 200; ++i) all += static_cast<char>(i * 37 + 11);
  for (size_t length = 0; length <= all.size(); ++length) {
    std::string m = all.substr(0, length);
    Digest expected;
    unsigned int size = 0;
    HMAC(EVP_sha256(), subkey.data(), 32, reinterpret_cast<const unsigned char*>(m.data()), length,
         expected.data(), &size);
    ASSERT_EQ(size, 32u);
    EXPECT_EQ(hash.hmac({m}), expected) << length;
    EXPECT_EQ(hash.hmac({m.substr(0, length / 3), m.substr(length / 3)}), expected) << length;
    EXPECT_EQ(hash.digest(m.substr(length / 2), m.substr(0, length / 2)),
              hash.hmac({m.substr(0, length / 2), std::string_view("\0", 1), m.substr(length / 2)}))
        << length;
  }
}

// Every x of every N up to 600 (all widths to 10 bits) and of larger sizes
// around the width steps, the one-to-two-byte half included (N > 2^16),
// lands below N without collisions; the GMP path agrees on a sample.
TEST(Permute, IsABijection) {
  KeyedHash hash = keyOf(2);
  std::vector<uint64_t> sizes;
  for (uint64_t n = 1; n <= 600; ++n) sizes.push_back(n);
  for (uint64_t n : {676, 1000, 1023, 1024, 1025, 2000, 4097, 65537}) sizes.push_back(n);
  for (uint64_t n : sizes) {
    std::vector<bool> seen(n, false);
    for (uint64_t x = 0; x < n; ++x) {
      u128 y = hash.permuteSmall(n - 1, x, "integer");
      ASSERT_LT(y, n) << n << " " << x;
      ASSERT_FALSE(seen[static_cast<size_t>(y)]) << n << " " << x;
      seen[static_cast<size_t>(y)] = true;
    }
    for (uint64_t x = 0; (n % 97 == 0 || n <= 20 || n > 600) && x < n; x += 1 + n / 16)
      ASSERT_EQ(hash.permuteBig(n, x, "integer"), fromSmall(hash.permuteSmall(n - 1, x, "integer"))) << n;
  }
}

// Labels of every length up to beyond two blocks move the round message's
// tail across one padded block, two (the first absorbed once when only the
// second changes between rounds) and the streamed form, on both paths.
TEST(Permute, RoundMessagesOfEveryLengthMatchTheReference) {
  KeyedHash hash = keyOf(4);
  const mpz_class sizes[] = {1000, pow2(40) + 3, pow2(100) + 7, pow2(130) + 5};
  for (size_t length = 0; length <= 150; ++length) {
    std::string label;
    for (size_t i = 0; i < length; ++i) label += static_cast<char>('a' + (i * 7 + length) % 26);
    for (const mpz_class& n : sizes) {
      mpz_class x = (n * 5 + static_cast<long>(length)) / 9;
      mpz_class expected = referencePermute(hash, n, x, sizeLabel(label, n));
      ASSERT_EQ(hash.permute(n, x, label), expected) << length << " " << n.get_str();
      if (n < pow2(128))
        ASSERT_EQ(hash.permuteBig(n, x, label), expected) << length << " " << n.get_str();
    }
  }
}

// Size 1 takes no pass; over all x of N = 1000 the walk visits each of the
// 1024 points at most once and some of the 24 spare ones; N = 2^w takes one.
TEST(Permute, CycleWalkPasses) {
  KeyedHash hash = keyOf(3);
  auto passes = [&](u128 sizeMinusOne, u128 x) {
    uint64_t count = 7;
    hash.permuteSmall(sizeMinusOne, x, "integer", count);
    return count;
  };
  EXPECT_EQ(passes(0, 0), 0u);
  uint64_t total = 0;
  for (uint64_t x = 0; x < 1000; ++x) total += passes(999, x);
  EXPECT_GT(total, 1000u);
  EXPECT_LE(total, 1024u);
  for (uint64_t x = 0; x < 1024; x += 7) EXPECT_EQ(passes(1023, x), 1u);
}

// N enters the round label as ceil(bitlen(N) / 8) bytes: 255 as one, 256 as two.
TEST(Permute, RoundLabelCarriesSizeAsMinimalBigEndianBytes) {
  KeyedHash hash = keyOf(6);
  const std::pair<int, std::string> cases[] = {{255, "integer|\xff"}, {256, std::string("integer|\x01\x00", 10)}};
  for (const auto& [n, q] : cases)
    for (int x = 0; x < n; ++x)
      ASSERT_EQ(fromSmall(hash.permuteSmall(n - 1, x, "integer")), referencePermute(hash, n, x, q)) << n << " " << x;
}

TEST(Permute, ValueOutsideTheRangeIsRefusedOnEveryPath) {
  KeyedHash hash = keyOf(9);
  EXPECT_EQ(hash.permute(0, 5, "integer"), 5);  // below size 2 the value is returned as it is
  EXPECT_THROW(hash.permute(10, -1, "integer"), InternalError);
  EXPECT_THROW(hash.permuteBig(pow2(200), pow2(200), "integer"), InternalError);
  EXPECT_THROW(hash.permuteSmall(9, 10, "integer"), InternalError);
  try {
    hash.permute(10, 10, "integer");
    ADD_FAILURE() << "no refusal";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "value is below size");
  }
}

// Walks side by side give each job what it gets alone: jobs of every size
// class and label length, short and long walks mixed so that lanes finish
// and refill at different rounds, labels past one block (walked alone), and
// sizes of one.
TEST(Permute, ManyWalksMatchOneAtATime) {
  KeyedHash hash = KeyedHash::fromSubkey(std::array<uint8_t, 32>{7});
  uint64_t state = 3;
  auto next = [&state] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state;
  };
  std::vector<std::string> labels;
  for (size_t length : {0, 5, 20, 38, 44, 47, 60, 90, 140}) labels.push_back(std::string(length, 'L'));
  std::vector<PermuteJob> jobs;
  for (int i = 0; i < 3000; ++i) {
    const unsigned bits = 1 + static_cast<unsigned>(next() % 128);
    u128 sizeMinusOne = (static_cast<u128>(next()) << 64) | next();
    sizeMinusOne >>= 128 - bits;
    if (i % 50 == 0) sizeMinusOne = i % 100 == 0 ? 0 : ~u128{0};
    const u128 value = sizeMinusOne == ~u128{0} ? sizeMinusOne / 3 : ((static_cast<u128>(next()) << 64) | next()) % (sizeMinusOne + 1);
    jobs.push_back({sizeMinusOne, value, labels[next() % labels.size()], 0});
  }
  for (size_t count : {size_t{1}, size_t{3}, size_t{5}, jobs.size()}) {
    std::vector<PermuteJob> some(jobs.begin(), jobs.begin() + count);
    hash.permuteMany(some);
    for (const PermuteJob& job : some) {
      ASSERT_EQ(job.result, hash.permuteSmall(job.sizeMinusOne, job.value, job.label));
    }
  }
}

}  // namespace
}  // namespace morvo
