#include "sha_ext.h"

#include <gtest/gtest.h>
#include <openssl/hmac.h>

#include <array>
#include <cstring>

#include "keyed_hash.h"

namespace morvo {
namespace {

// The fused HMAC against OpenSSL's HMAC on every message length that ends in
// one padded block, with and without a whole block of message before it in
// the midstate, and on bytes of every value.
TEST(OneBlockHmac, MatchesOpenSslHmac) {
  if (!shaExtensions()) GTEST_SKIP() << "no SHA extensions on this CPU (or MORVO_SHA_EXTENSIONS=0)";
  uint64_t state = 5;
  auto next = [&state] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<uint8_t>(state >> 56);
  };
  for (int trial = 0; trial < 200; ++trial) {
    std::array<uint8_t, SUBKEY_SIZE> subkey;
    for (auto& b : subkey) b = next();
    const KeyedHash hash = KeyedHash::fromSubkey(subkey);
    for (size_t prefix : {size_t{0}, size_t{64}}) {
      for (size_t length = 0; length <= 55; ++length) {
        uint8_t message[64 + 55];
        for (size_t i = 0; i < prefix + length; ++i) message[i] = next();
        SHA256_CTX midstate = hash.inner;
        if (prefix) SHA256_Update(&midstate, message, prefix);
        // The last block padded: 0x80, zeros, the bit length with the key block.
        uint8_t block[64] = {};
        std::memcpy(block, message + prefix, length);
        block[length] = 0x80;
        const uint64_t bits = (64 + prefix + length) * 8;
        for (int i = 0; i < 8; ++i) block[63 - i] = static_cast<uint8_t>(bits >> (8 * i));
        uint32_t words[8];
        OneBlockHmac::of(midstate, hash.outer).run(block, words);
        uint8_t ours[32];
        for (int i = 0; i < 8; ++i) {
          for (int j = 0; j < 4; ++j) ours[4 * i + j] = static_cast<uint8_t>(words[i] >> (24 - 8 * j));
        }
        uint8_t expected[32];
        unsigned size = 0;
        HMAC(EVP_sha256(), subkey.data(), static_cast<int>(subkey.size()), message, prefix + length, expected, &size);
        ASSERT_EQ(size, 32u);
        ASSERT_EQ(std::memcmp(ours, expected, 32), 0) << "length " << length << ", prefix " << prefix;
      }
    }
  }
}

}  // namespace
}  // namespace morvo
