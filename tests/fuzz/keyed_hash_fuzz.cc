// The keyed hash against OpenSSL's HMAC-SHA-256 for every length of label
// and message (the precomputed states and the one-block fast path), and the
// keyed permutation on arbitrary sizes and labels: results below the size,
// the 128-bit path equal to the GMP path, and a bijection on small sizes.
#include <openssl/hmac.h>

#include <algorithm>

#include "fuzz.h"

namespace morvo {
namespace {

Digest reference(const std::array<uint8_t, 32>& key, std::string_view bytes) {
  Digest out{};
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(bytes.data()),
       bytes.size(), out.data(), &length);
  REQUIRE(length == 32);
  return out;
}

std::string be32(uint32_t i) {
  return {static_cast<char>(i >> 24), static_cast<char>(i >> 16), static_cast<char>(i >> 8), static_cast<char>(i)};
}

void hashing(const std::array<uint8_t, 32>& key, const KeyedHash& hash, FuzzedDataProvider& in) {
  std::string label = in.ConsumeRandomLengthString(in.ConsumeBool() ? 24 : 200);
  std::string message = in.ConsumeRandomLengthString(in.ConsumeBool() ? 80 : 400);
  std::string joined = label + '\0' + message;
  REQUIRE(hash.digest(message, label) == reference(key, joined));

  size_t count = in.ConsumeIntegralInRange<size_t>(0, 200);
  Vec<uint8_t> stream = hash.expand(message, count, label);
  REQUIRE(stream.size() == count);
  for (size_t block = 0; 32 * block < count; ++block) {
    Digest d = reference(key, label + '#' + be32(static_cast<uint32_t>(block)) + '\0' + message);
    size_t n = std::min<size_t>(32, count - 32 * block);
    REQUIRE(std::equal(d.begin(), d.begin() + static_cast<long>(n), stream.begin() + static_cast<long>(32 * block)));
  }

  uint64_t bound = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(1, 10000) : in.ConsumeIntegralInRange<uint64_t>(1, UINT64_MAX);
  uint64_t r = hash.below(message, bound, label);
  REQUIRE(r < bound);
  size_t bits = 64 - static_cast<size_t>(__builtin_clzll(bound));
  Vec<uint8_t> bytes = hash.expand(message, (bits + 7) / 8 + 32, label);
  mpz_class v;
  mpz_import(v.get_mpz_t(), bytes.size(), 1, 1, 1, 0, bytes.data());
  REQUIRE(mpz_class(v % mpz_class(std::to_string(bound))) == mpz_class(std::to_string(r)));
}

void permuting(const KeyedHash& hash, FuzzedDataProvider& in) {
  std::string label = in.ConsumeRandomLengthString(40);
  if (in.ConsumeBool()) {
    // Small sizes: every value, a bijection.
    uint32_t n = in.ConsumeIntegralInRange<uint32_t>(1, 300);
    std::vector<bool> seen(n);
    mpz_class size(n);
    for (uint32_t x = 0; x < n; ++x) {
      mpz_class y = hash.permute(size, mpz_class(x), label);
      REQUIRE(y >= 0 && y < size && !seen[y.get_ui()]);
      seen[y.get_ui()] = true;
      if (n == 1) REQUIRE(y == x);
    }
    return;
  }
  mpz_class size = fuzz::bigFrom(in, in.ConsumeBool() ? 17 : 48);
  if (size == 0) size = 1;
  mpz_class value = fuzz::bigFrom(in, 48) % size;
  mpz_class y = hash.permute(size, value, label);
  REQUIRE(y >= 0 && y < size);
  REQUIRE(y == hash.permuteBig(size, value, label));
}

}  // namespace
}  // namespace morvo

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace morvo;
  return fuzz::run(data, size, [](FuzzedDataProvider& in) {
    auto key = fuzz::keyBytes(in);
    KeyedHash hash = KeyedHash::fromSubkey(key);
    if (in.ConsumeBool()) {
      hashing(key, hash, in);
    } else {
      permuting(hash, in);
    }
  });
}
