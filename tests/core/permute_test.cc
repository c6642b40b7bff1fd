#include <gtest/gtest.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <set>
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

mpz_class big(const char* decimal) { return mpz_class(decimal, 10); }
mpz_class pow2(unsigned e) {
  mpz_class v = 1;
  return v << e;
}
u128 toSmall(const mpz_class& v) { return toU128(fromMpz(v)); }
mpz_class fromSmall(u128 v) { return toMpz(fromU128(v)); }

// The permutation exactly as described: widths from N, Q = label | BE_n(N)
// unless the caller spells Q out, and each round the expand of BE_nb(R) under
// Q || r. Written without the production round buffer so it can catch a
// mislaid byte there.
mpz_class referencePermute(const KeyedHash& hash, const mpz_class& n, const mpz_class& x, std::string_view label,
                           const std::string* spelledQ = nullptr) {
  if (n <= 1) return x;
  size_t w = std::max<size_t>(mpz_sizeinbase(mpz_class(n - 1).get_mpz_t(), 2), 2);
  w += w & 1;
  size_t h = w / 2, nb = (h + 7) / 8;
  mpz_class mask = pow2(static_cast<unsigned>(h)) - 1;
  std::string q;
  if (spelledQ) {
    q = *spelledQ;
  } else {
    std::string sizeBytes((mpz_sizeinbase(n.get_mpz_t(), 2) + 7) / 8, '\0');
    mpz_export(sizeBytes.data(), nullptr, 1, 1, 1, 0, n.get_mpz_t());
    q = std::string(label) + "|" + sizeBytes;
  }
  mpz_class v = x;
  do {
    mpz_class left = v >> h, right = v & mask;
    for (int r = 0; r < 10; ++r) {
      std::string message(nb, '\0');
      size_t used = sgn(right) == 0 ? 0 : (mpz_sizeinbase(right.get_mpz_t(), 2) + 7) / 8;
      mpz_export(message.data() + nb - used, nullptr, 1, 1, 1, 0, right.get_mpz_t());
      auto stream = hash.expand(message, nb, q + static_cast<char>(r));
      mpz_class f;
      mpz_import(f.get_mpz_t(), nb, 1, 1, 1, 0, stream.data());
      f &= mask;
      mpz_class next = left ^ f;
      left = right;
      right = next;
    }
    v = (left << h) | right;
  } while (v >= n);
  return v;
}

// Vectors from an independent Python rendering of the description (hmac,
// hashlib), subkey bytes 0, 1, ..., 31. Labels of 50 and 130 bytes reach the
// streamed inner hash and the precomputed label blocks.
struct Vector {
  const char* size;
  const char* value;
  std::string label;
  const char* expected;
};
const Vector VECTORS[] = {
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
  for (const Vector& v : VECTORS) {
    mpz_class n = big(v.size), x = big(v.value), expected = big(v.expected);
    EXPECT_EQ(hash.permute(n, x, v.label), expected) << v.size;
    EXPECT_EQ(hash.permuteBig(n, x, v.label), expected) << v.size;
    EXPECT_EQ(referencePermute(hash, n, x, v.label), expected) << v.size;
    if (mpz_sizeinbase(mpz_class(n - 1).get_mpz_t(), 2) <= 128) {
      EXPECT_EQ(fromSmall(hash.permuteSmall(toSmall(n - 1), toSmall(x), v.label)), expected) << v.size;
    }
  }
}

// The one-compression HMAC must equal OpenSSL's HMAC at every length, in
// particular around 55 (last one-block tail), 56 and 64.
TEST(Permute, ShortMessageHmacMatchesOpenSslAtEveryLength) {
  std::array<uint8_t, 32> subkey;
  for (size_t i = 0; i < subkey.size(); ++i) subkey[i] = static_cast<uint8_t>(3 * i + 1);
  KeyedHash hash = KeyedHash::fromSubkey(subkey);
  std::string all;
  for (int i = 0; i < 200; ++i) all += static_cast<char>(i * 37 + 11);
  for (size_t length = 0; length <= all.size(); ++length) {
    std::string message = all.substr(0, length);
    unsigned char expected[32];
    unsigned int size = 0;
    HMAC(EVP_sha256(), subkey.data(), 32, reinterpret_cast<const unsigned char*>(message.data()), length,
         expected, &size);
    ASSERT_EQ(size, 32u);
    Digest whole = hash.hmac({message});
    Digest split = hash.hmac({message.substr(0, length / 3), message.substr(length / 3)});
    EXPECT_TRUE(std::equal(whole.begin(), whole.end(), expected)) << length;
    EXPECT_TRUE(std::equal(split.begin(), split.end(), expected)) << length;
    if (length >= 1) {
      Digest viaDigest = hash.digest(message.substr(length / 2 + 1), message.substr(0, length / 2));
      Digest manual = hash.hmac({message.substr(0, length / 2), std::string_view("\0", 1),
                                 message.substr(length / 2 + 1)});
      EXPECT_EQ(viaDigest, manual) << length;
    }
  }
}

TEST(Permute, SizesBelowTwoReturnTheValue) {
  KeyedHash hash = keyOf(1);
  EXPECT_EQ(hash.permute(0, 0, "integer"), 0);
  EXPECT_EQ(hash.permute(0, 5, "integer"), 5);
  EXPECT_EQ(hash.permute(1, 0, "integer"), 0);
  EXPECT_EQ(hash.permuteBig(1, 0, "integer"), 0);
  uint64_t passes = 7;
  EXPECT_EQ(hash.permuteSmall(0, 0, "integer", passes), 0u);
  EXPECT_EQ(passes, 0u);
}

// Every x of every N up to 2000 lands below N, and no two collide. The two
// arithmetic paths must agree on the small sizes too.
TEST(Permute, IsABijectionForEverySizeUpTo2000) {
  KeyedHash hash = keyOf(2);
  for (uint64_t n = 1; n <= 2000; ++n) {
    std::vector<bool> seen(n, false);
    for (uint64_t x = 0; x < n; ++x) {
      u128 y = hash.permuteSmall(n - 1, x, "integer");
      ASSERT_LT(y, n) << n << " " << x;
      ASSERT_FALSE(seen[static_cast<size_t>(y)]) << n << " " << x;
      seen[static_cast<size_t>(y)] = true;
    }
    if (n % 97 == 0 || n <= 20) {
      for (uint64_t x = 0; x < n; x += 1 + n / 16)
        ASSERT_EQ(hash.permuteBig(n, x, "integer"), fromSmall(hash.permuteSmall(n - 1, x, "integer"))) << n;
    }
  }
}

// Each point of [0, 2^w) is walked at most once over all x in [0, N), and a
// size of exactly 2^w never walks more than one pass.
TEST(Permute, CycleWalkVisitsEachDomainPointAtMostOnce) {
  KeyedHash hash = keyOf(3);
  uint64_t passes = 0, total = 0;
  for (uint64_t x = 0; x < 1000; ++x) {
    hash.permuteSmall(999, x, "integer", passes);
    ASSERT_GE(passes, 1u);
    total += passes;
  }
  EXPECT_LE(total, 1024u);
  EXPECT_GT(total, 1000u);  // 24 spare points: a walk that never steps there is suspicious
  for (uint64_t x = 0; x < 1024; x += 7) {
    hash.permuteSmall(1023, x, "integer", passes);
    EXPECT_EQ(passes, 1u);
  }
}

struct LargeSize {
  const char* name;
  mpz_class size;
  size_t samples;
};

// Sampled x on sizes around the limb and path boundaries: results below N,
// distinct for distinct inputs, and the same from the dispatcher and the
// reference.
TEST(Permute, LargeSizesStayInRangeAndDistinct) {
  KeyedHash hash = keyOf(4);
  std::mt19937_64 random(2024);
  const LargeSize sizes[] = {
      {"10^6", big("1000000"), 3000},         {"2^64-1", pow2(64) - 1, 300}, {"2^64+1", pow2(64) + 1, 300},
      {"2^128", pow2(128), 300},              {"2^128+1", pow2(128) + 1, 300},
      {"10^40", big("10000000000000000000000000000000000000000"), 200},
  };
  for (const LargeSize& s : sizes) {
    std::set<mpz_class> inputs, outputs;
    gmp_randclass draw(gmp_randinit_default);
    draw.seed(static_cast<unsigned long>(random()));
    inputs.insert(0);
    inputs.insert(s.size - 1);
    while (inputs.size() < s.samples) inputs.insert(draw.get_z_range(s.size));
    size_t checked = 0;
    for (const mpz_class& x : inputs) {
      mpz_class y = hash.permute(s.size, x, "integer");
      ASSERT_LT(y, s.size) << s.name;
      ASSERT_GE(y, 0) << s.name;
      outputs.insert(y);
      if (checked++ < 20) {
        EXPECT_EQ(y, referencePermute(hash, s.size, x, "integer")) << s.name;
      }
    }
    EXPECT_EQ(outputs.size(), inputs.size()) << s.name;
  }
}

TEST(Permute, AllOf676CodesMapToDistinctCodes) {
  KeyedHash hash = keyOf(5);
  std::set<mpz_class> outputs;
  for (int x = 0; x < 676; ++x) {
    mpz_class y = hash.permute(676, x, "text|alphanumeric|2626");
    ASSERT_LT(y, 676);
    outputs.insert(y);
  }
  EXPECT_EQ(outputs.size(), 676u);
}

// N enters the round label as exactly ceil(bitlen(N) / 8) bytes: 255 as one
// byte, 256 as two. The reference is handed those bytes spelled out.
TEST(Permute, RoundLabelCarriesSizeAsMinimalBigEndianBytes) {
  KeyedHash hash = keyOf(6);
  const std::string q255 = std::string("integer|") + "\xff";
  const std::string q256 = std::string("integer|") + std::string("\x01\x00", 2);
  for (int x = 0; x < 255; ++x)
    ASSERT_EQ(fromSmall(hash.permuteSmall(254, x, "integer")), referencePermute(hash, 255, x, "", &q255)) << x;
  for (int x = 0; x < 256; ++x)
    ASSERT_EQ(fromSmall(hash.permuteSmall(255, x, "integer")), referencePermute(hash, 256, x, "", &q256)) << x;
  // A zero-padded N (two bytes for 255) would give another permutation.
  const std::string padded = std::string("integer|") + std::string("\x00\xff", 2);
  int same = 0;
  for (int x = 0; x < 255; ++x)
    same += fromSmall(hash.permuteSmall(254, x, "integer")) == referencePermute(hash, 255, x, "", &padded);
  EXPECT_LT(same, 30);
}

std::vector<uint64_t> table(const KeyedHash& hash, uint64_t n, std::string_view label) {
  std::vector<uint64_t> out;
  for (uint64_t x = 0; x < n; ++x) out.push_back(static_cast<uint64_t>(hash.permuteSmall(n - 1, x, label)));
  return out;
}

size_t differences(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b) {
  size_t count = 0;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) count += a[i] != b[i];
  return count;
}

// Unrelated permutations of 1000 points agree on about one point; anything
// near 1000 agreements means the label, key or size did not reach the rounds.
TEST(Permute, LabelKeyAndSizeEachChangeThePermutation) {
  KeyedHash hash = keyOf(7), other = keyOf(8);
  auto base = table(hash, 1000, "integer");
  EXPECT_GT(differences(base, table(hash, 1000, "negative")), 900u);
  EXPECT_GT(differences(base, table(other, 1000, "integer")), 900u);
  EXPECT_GT(differences(base, table(hash, 1001, "integer")), 900u);
  EXPECT_EQ(base, table(keyOf(7), 1000, "integer"));
}

TEST(Permute, ValueOutsideTheRangeIsAnInternalError) {
  KeyedHash hash = keyOf(9);
  EXPECT_THROW(hash.permute(10, 10, "integer"), InternalError);
  EXPECT_THROW(hash.permute(10, -1, "integer"), InternalError);
  EXPECT_THROW(hash.permuteBig(pow2(200), pow2(200), "integer"), InternalError);
  EXPECT_THROW(hash.permuteSmall(9, 10, "integer"), InternalError);
  try {
    hash.permuteSmall(9, 10, "integer");
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "value is below size");
  }
}

}  // namespace
}  // namespace morvo
