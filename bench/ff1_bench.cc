#include <benchmark/benchmark.h>

#include <vector>

#include "ff1.h"
#include "fpe.h"

namespace morvo {
namespace {

std::array<uint8_t, 32> benchKey() {
  std::array<uint8_t, 32> key;
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i * 11 + 3);
  return key;
}

std::vector<uint32_t> numerals(uint32_t radix, size_t n) {
  std::vector<uint32_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint32_t>((i * 7 + 3) % radix);
  return out;
}

void encrypt(benchmark::State& state, uint32_t radix, size_t n, std::string_view tweak) {
  Ff1 cipher = Ff1::make(benchKey(), radix);
  auto x = numerals(radix, n);
  for (auto _ : state) {
    auto y = cipher.encrypt(x, tweak);
    benchmark::DoNotOptimize(y.data());
  }
}

void BM_Encrypt10Decimal(benchmark::State& state) { encrypt(state, 10, 10, "integer"); }
void BM_Encrypt16Alphanumeric(benchmark::State& state) { encrypt(state, 62, 16, "text|alphanumeric|"); }
// radix^v = 10^20 overflows 64 bits: the GMP path.
void BM_Encrypt40Decimal(benchmark::State& state) { encrypt(state, 10, 40, "integer"); }

void BM_FpeMaskInteger10Digits(benchmark::State& state) {
  KeyedHash hash = KeyedHash::fromSubkey(benchKey());
  FpeStrategy fpe = FpeStrategy::make(hash, Charset::Digits, true);
  // Several values, so that the occasional cycle-walking step (about one
  // value in ten starts with 0 after one pass) is averaged in.
  std::vector<Integer> values;
  for (int64_t i = 0; i < 64; ++i) values.push_back(Integer::fromI64(4711081542 + i * 104729));
  size_t i = 0;
  for (auto _ : state) {
    auto out = fpe.maskInteger(hash, values[i++ % values.size()]);
    benchmark::DoNotOptimize(&out);
  }
}

BENCHMARK(BM_Encrypt10Decimal);
BENCHMARK(BM_Encrypt16Alphanumeric);
BENCHMARK(BM_Encrypt40Decimal);
BENCHMARK(BM_FpeMaskInteger10Digits);

}  // namespace
}  // namespace morvo
