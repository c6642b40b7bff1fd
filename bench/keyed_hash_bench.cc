// The keyed hash next to one plain SHA-256 of the same message size, so the
// cost of the HMAC wrapping can be read as a ratio.
#include <benchmark/benchmark.h>
#include <openssl/sha.h>

#include <array>
#include <string>
#include <vector>

#include "keyed_hash.h"

namespace {

morvo::KeyedHash benchKey() {
  std::array<uint8_t, 32> subkey;
  for (size_t i = 0; i < subkey.size(); ++i) subkey[i] = static_cast<uint8_t>(i * 7 + 1);
  return morvo::KeyedHash::fromSubkey(subkey);
}

constexpr std::string_view MESSAGE = "0123456789abcdef";  // 16 bytes

void rawSha256(benchmark::State& state) {
  unsigned char out[SHA256_DIGEST_LENGTH];
  for (auto _ : state) {
    SHA256_CTX ctx;
    SHA256_Init(&ctx);
    SHA256_Update(&ctx, MESSAGE.data(), MESSAGE.size());
    SHA256_Final(out, &ctx);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(rawSha256);

void digest(benchmark::State& state) {
  morvo::KeyedHash hash = benchKey();
  for (auto _ : state) benchmark::DoNotOptimize(hash.digest(MESSAGE, morvo::label::NUMBER));
}
BENCHMARK(digest);

// 256 independent digests of 15-byte texts, one at a time and through
// digestMany (two at a time on the SHA extensions): per digest.
std::vector<std::string> texts() {
  std::vector<std::string> out;
  for (int i = 0; i < 256; ++i) out.push_back("customer-" + std::to_string(100000 + i * 37));
  return out;
}

void digestsOneAtATime(benchmark::State& state) {
  const morvo::KeyedHash key = benchKey();
  const auto messages = texts();
  for (auto _ : state) {
    for (const auto& m : messages) benchmark::DoNotOptimize(key.digest(m, ""));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * messages.size()));
}
BENCHMARK(digestsOneAtATime);

void digestsSideBySide(benchmark::State& state) {
  const morvo::KeyedHash key = benchKey();
  const auto owned = texts();
  const std::vector<std::string_view> messages(owned.begin(), owned.end());
  std::vector<morvo::Digest> out(messages.size());
  for (auto _ : state) {
    key.digestMany(messages, "", out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * messages.size()));
}
BENCHMARK(digestsSideBySide);

void expand64(benchmark::State& state) {
  morvo::KeyedHash hash = benchKey();
  for (auto _ : state) benchmark::DoNotOptimize(hash.expand(MESSAGE, 64, morvo::label::NONE));
}
BENCHMARK(expand64);

void below9999(benchmark::State& state) {
  morvo::KeyedHash hash = benchKey();
  for (auto _ : state) benchmark::DoNotOptimize(hash.below(MESSAGE, 9999, morvo::label::NUMBER));
}
BENCHMARK(below9999);

}  // namespace
