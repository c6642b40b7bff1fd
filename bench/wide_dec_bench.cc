// The steps of the number strategy's fixed-width path, each on the shapes an
// ordinary value gives it: a two-decimal amount times a factor of about 55
// digits (the unbounded rule), the 60-digit product quantized back to cents,
// the texts written and read, and the product as a double. Reports the time
// per step, to set beside the whole strategy in number_bench.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "wide_dec.h"

namespace {

using morvo::WideDec;

constexpr size_t COUNT = 256;

uint64_t next(uint64_t& state) {
  state = state * 6364136223846793005ULL + 1442695040888963407ULL;
  return state >> 11;
}

WideDec wideOf(const std::string& text) { return *morvo::toWide(*morvo::Dec::parse(text)); }

// Amounts of 3 to 9 digits at 10^-2.
std::vector<WideDec> amounts() {
  std::vector<WideDec> out;
  uint64_t s = 1;
  for (size_t i = 0; i < COUNT; ++i) {
    out.push_back(wideOf(std::to_string(next(s) % (uint64_t{1} << (10 + i % 20))) + "." +
                         std::to_string(10 + i % 90)));
  }
  return out;
}

// 1 + 0.1 (2U - 1) for a 53-bit U, exactly: 55 digits at 10^-54.
std::vector<WideDec> factors() {
  std::vector<WideDec> out;
  uint64_t s = 2;
  for (size_t i = 0; i < COUNT; ++i) {
    WideDec u{morvo::Wide::fromU128(5), -1, false};
    morvo::Wide fives = morvo::widePower(0);
    for (int k = 0; k < 53; ++k) morvo::multiplySmall(fives, 5);
    WideDec unit{fives, -53, false};
    morvo::multiplySmall(unit.c, next(s) & ((uint64_t{1} << 53) - 1));
    auto scaled = morvo::wideMultiply(unit, WideDec{morvo::Wide::fromU128(2), -1, false});
    out.push_back(*morvo::wideAdd(WideDec{morvo::widePower(0), 0, false}, *scaled));
    benchmark::DoNotOptimize(u);
  }
  return out;
}

std::vector<WideDec> products() {
  auto a = amounts();
  auto f = factors();
  std::vector<WideDec> out;
  for (size_t i = 0; i < COUNT; ++i) out.push_back(*morvo::wideMultiply(a[i], f[i]));
  return out;
}

void perValue(benchmark::State& state) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * COUNT));
}

void multiply(benchmark::State& state) {
  auto a = amounts();
  auto f = factors();
  for (auto _ : state) {
    for (size_t i = 0; i < COUNT; ++i) benchmark::DoNotOptimize(morvo::wideMultiply(a[i], f[i]));
  }
  perValue(state);
}

void quantizeToCents(benchmark::State& state) {
  auto p = products();
  WideDec out;
  for (auto _ : state) {
    for (const auto& x : p) {
      benchmark::DoNotOptimize(morvo::wideQuantize(x, -2, morvo::Rounding::halfEven, out));
      benchmark::DoNotOptimize(out);
    }
  }
  perValue(state);
}

void compareAmounts(benchmark::State& state) {
  auto a = amounts();
  for (auto _ : state) {
    for (size_t i = 0; i + 1 < COUNT; ++i) benchmark::DoNotOptimize(morvo::wideCompare(a[i], a[i + 1]));
  }
  perValue(state);
}

void text(benchmark::State& state) {
  auto a = amounts();
  char out[morvo::WIDE_TEXT];
  for (auto _ : state) {
    for (const auto& x : a) benchmark::DoNotOptimize(morvo::wideText(x, out));
  }
  perValue(state);
}

void productToDouble(benchmark::State& state) {
  auto p = products();
  for (auto _ : state) {
    for (const auto& x : p) benchmark::DoNotOptimize(morvo::wideToF64(x));
  }
  perValue(state);
}

BENCHMARK(multiply);
BENCHMARK(quantizeToCents);
BENCHMARK(compareAmounts);
BENCHMARK(text);
BENCHMARK(productToDouble);

}  // namespace
