#include "keyed_hash.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace morvo {
namespace {

std::string hex(std::span<const uint8_t> bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

KeyedHash keyOf(uint8_t fill) {
  std::array<uint8_t, 32> subkey;
  subkey.fill(fill);
  return KeyedHash::fromSubkey(subkey);
}

// RFC 4231 test case 2 uses a 4-byte key; HMAC pads any key below the block
// size with zeros, so the same result comes from "Jefe" padded to 32 bytes.
TEST(KeyedHash, MatchesRfc4231) {
  std::array<uint8_t, 32> jefe{};
  std::memcpy(jefe.data(), "Jefe", 4);
  KeyedHash hash = KeyedHash::fromSubkey(jefe);
  Digest d = hash.hmac({"what do ya want ", "for nothing?"});
  EXPECT_EQ(hex(d), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");

  // Test case 1: key 0x0b * 20, "Hi There".
  std::array<uint8_t, 32> key1{};
  std::fill_n(key1.begin(), 20, 0x0b);
  EXPECT_EQ(hex(KeyedHash::fromSubkey(key1).hmac({"Hi There"})),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
}

// Values computed with Python: hmac.new(bytes([7]) * 32, msg, "sha256").
TEST(KeyedHash, DigestIsLabelZeroMessage) {
  KeyedHash hash = keyOf(7);
  EXPECT_EQ(hex(hash.digest("", "")), hex(hash.hmac({std::string_view("\0", 1)})));
  EXPECT_EQ(hex(hash.digest("", "")),
            "fdd716d598c266c3a3737925159e5923a0f707ef3b1e362124ed7cad2317d075");
  EXPECT_EQ(hex(hash.digest("abc", "ff1 key")), hex(hash.hmac({"ff1 key", std::string_view("\0abc", 4)})));
}

// Messages of every length around one block with the label, in lists of odd
// and even sizes (a block left waiting for a partner), interleaved with ones
// too long for a block, under labels of 0 to 60 bytes (the longest leave no
// room and take the one-at-a-time path).
TEST(KeyedHash, DigestManyMatchesOneAtATime) {
  const KeyedHash hash = keyOf(9);
  std::string pool;
  for (int i = 0; i < 200; ++i) pool += static_cast<char>('a' + (i * 7) % 26);
  for (size_t labelLength : {0, 1, 8, 30, 54, 55, 60}) {
    const std::string label = pool.substr(100, labelLength);
    std::vector<std::string> owned;
    for (size_t length = 0; length <= 70; ++length) owned.push_back(pool.substr(length % 13, length));
    for (size_t take : {size_t{1}, size_t{2}, size_t{3}, owned.size()}) {
      std::vector<std::string_view> messages(owned.begin(), owned.begin() + static_cast<ptrdiff_t>(take));
      std::vector<Digest> digests(take);
      hash.digestMany(messages, label, digests);
      for (size_t i = 0; i < take; ++i) {
        ASSERT_EQ(hex(digests[i]), hex(hash.digest(messages[i], label)))
            << "label " << labelLength << ", message " << messages[i].size() << " of " << take;
      }
    }
  }
}

TEST(KeyedHash, ExpandIsCounterModeOverDigest) {
  KeyedHash hash = keyOf(1);
  EXPECT_TRUE(hash.expand("m", 0, "a").empty());
  auto one = hash.expand("m", 32, "a");
  auto two = hash.expand("m", 33, "a");
  auto many = hash.expand("m", 100, "a");
  ASSERT_EQ(two.size(), 33u);
  EXPECT_TRUE(std::equal(one.begin(), one.end(), two.begin()));
  EXPECT_TRUE(std::equal(two.begin(), two.end(), many.begin()));
  std::string label0("a#\0\0\0\0", 6);
  Digest first = hash.digest("m", label0);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), one.begin()));
  std::string label2("a#\0\0\0\2", 6);
  Digest third = hash.digest("m", label2);
  EXPECT_TRUE(std::equal(third.begin(), third.end(), many.begin() + 64));
}

// below reads ceil(bits / 8) + 32 bytes big-endian and reduces them.
TEST(KeyedHash, BelowReducesTheExpandedStream) {
  KeyedHash hash = keyOf(3);
  for (uint64_t bound : {1ull, 9ull, 9999ull, 255ull, 256ull, 1000003ull, ~0ull}) {
    size_t bits = 64 - __builtin_clzll(bound);
    auto stream = hash.expand("value", (bits + 7) / 8 + 32, "number");
    mpz_class v;
    mpz_import(v.get_mpz_t(), stream.size(), 1, 1, 0, 0, stream.data());
    mpz_class expected = v % mpz_class(std::to_string(bound));
    EXPECT_EQ(hash.below("value", bound, "number"), std::stoull(expected.get_str())) << bound;
  }
  EXPECT_EQ(hash.below("anything", 1, "x"), 0u);
}

TEST(KeyedHash, SubkeyChangesEverything) {
  EXPECT_NE(keyOf(1).digest("x", ""), keyOf(2).digest("x", ""));
  EXPECT_EQ(keyOf(1).digest("x", ""), keyOf(1).digest("x", ""));
  EXPECT_NE(keyOf(1).digest("x", "a"), keyOf(1).digest("x", "b"));
}

}  // namespace
}  // namespace morvo
