// The keyed permutation and the key strategy, with digest in the same binary
// so that a permute can be read as a number of digest calls. The cycle walk
// makes the cost per value vary; the "passes" counter reports the average
// number of ten-round passes so the ratio can be taken per round.
#include <benchmark/benchmark.h>

#include <array>
#include <vector>

#include "key.h"
#include "keyed_hash.h"

namespace {

morvo::KeyedHash benchKey() {
  std::array<uint8_t, 32> subkey;
  for (size_t i = 0; i < subkey.size(); ++i) subkey[i] = static_cast<uint8_t>(i * 13 + 5);
  return morvo::KeyedHash::fromSubkey(subkey);
}

void digest(benchmark::State& state) {
  morvo::KeyedHash hash = benchKey();
  for (auto _ : state) benchmark::DoNotOptimize(hash.digest("0123456789abcdef", morvo::label::NUMBER));
}
BENCHMARK(digest);

// N = 10^9 on the 128-bit path; the values step through the range so the
// walk lengths average out.
void permute1e9(benchmark::State& state) {
  morvo::KeyedHash hash = benchKey();
  const morvo::u128 sizeMinusOne = 999'999'999;
  uint64_t x = 0, passes = 0, total = 0, calls = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(hash.permuteSmall(sizeMinusOne, x, morvo::label::INTEGER, passes));
    x = (x + 7'654'321) % 1'000'000'000;
    total += passes;
    ++calls;
  }
  state.counters["passes"] = static_cast<double>(total) / static_cast<double>(calls);
}
BENCHMARK(permute1e9);

// N = 10^40 on GMP.
void permute1e40(benchmark::State& state) {
  morvo::KeyedHash hash = benchKey();
  mpz_class size("10000000000000000000000000000000000000000");
  mpz_class step("1234567890123456789012345678901234567");
  mpz_class x = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(hash.permute(size, x, morvo::label::INTEGER));
    x += step;
    if (x >= size) x -= size;
  }
}
BENCHMARK(permute1e40);

void keyText10(benchmark::State& state) {
  morvo::KeyedHash hash = benchKey();
  for (auto _ : state)
    benchmark::DoNotOptimize(morvo::KeyStrategy::maskText(morvo::Charset::Alphanumeric, hash, "AB12-cd34x"));
}
BENCHMARK(keyText10);

// Round messages of two blocks: 12 classified characters, and 24, where the
// label fills the first block and only the second changes between rounds.
void keyText12(benchmark::State& state) {
  morvo::KeyedHash hash = benchKey();
  for (auto _ : state)
    benchmark::DoNotOptimize(morvo::KeyStrategy::maskText(morvo::Charset::Alphanumeric, hash, "AB12cd34xyZ9"));
}
BENCHMARK(keyText12);

void keyText24(benchmark::State& state) {
  morvo::KeyedHash hash = benchKey();
  for (auto _ : state)
    benchmark::DoNotOptimize(
        morvo::KeyStrategy::maskText(morvo::Charset::Alphanumeric, hash, "AB12cd34xyZ9QR56st78uvW0"));
}
BENCHMARK(keyText24);

void keyInteger9(benchmark::State& state) {
  morvo::KeyedHash hash = benchKey();
  morvo::Integer value = morvo::Integer::fromI64(123'456'789);
  for (auto _ : state) benchmark::DoNotOptimize(morvo::KeyStrategy::maskInteger(hash, value));
}
BENCHMARK(keyInteger9);

// 256 walks of code-like domains (between 2^44 and 2^48, a 38-byte label):
// one at a time, and side by side.
std::vector<morvo::PermuteJob> codeJobs() {
  std::vector<morvo::PermuteJob> jobs;
  uint64_t x = 12345;
  for (int i = 0; i < 256; ++i) {
    x = x * 6364136223846793005ULL + 1442695040888963407ULL;
    const morvo::u128 sizeMinusOne = (uint64_t{1} << 44) + (x >> 16) % (uint64_t{15} << 44);
    jobs.push_back({sizeMinusOne, (x >> 7) % sizeMinusOne, "text|alphanumeric|26261010262626262626", 0});
  }
  return jobs;
}

void walksOneAtATime(benchmark::State& state) {
  morvo::KeyedHash hash = benchKey();
  std::vector<morvo::PermuteJob> jobs = codeJobs();
  for (auto _ : state) {
    for (morvo::PermuteJob& job : jobs) job.result = hash.permuteSmall(job.sizeMinusOne, job.value, job.label);
    benchmark::DoNotOptimize(jobs.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(jobs.size()));
}
BENCHMARK(walksOneAtATime);

void walksSideBySide(benchmark::State& state) {
  morvo::KeyedHash hash = benchKey();
  std::vector<morvo::PermuteJob> jobs = codeJobs();
  for (auto _ : state) {
    hash.permuteMany(jobs);
    benchmark::DoNotOptimize(jobs.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(jobs.size()));
}
BENCHMARK(walksSideBySide);

}  // namespace
