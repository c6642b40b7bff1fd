// The number strategy on ordinary values: integers up to 18 digits, floats
// by their repr, two-decimal Decimals; unbounded and bounded, through the
// dispatching entry point (the fixed-width path) and through the exact Dec
// path alone. Reports the time per value.
#include <benchmark/benchmark.h>

#include <array>
#include <string>
#include <vector>

#include "number.h"

namespace {

using morvo::NumberStrategy;

const morvo::KeyedHash& hash() {
  static const morvo::KeyedHash h = [] {
    std::array<uint8_t, 32> subkey;
    for (size_t i = 0; i < subkey.size(); ++i) subkey[i] = static_cast<uint8_t>(i);
    return morvo::KeyedHash::fromSubkey(subkey);
  }();
  return h;
}

NumberStrategy make(bool bounded) {
  auto made = bounded ? NumberStrategy::make("-1000", "1000000", std::nullopt, std::nullopt)
                      : NumberStrategy::make(std::nullopt, std::nullopt, std::nullopt, std::nullopt);
  return std::get<NumberStrategy>(std::move(made));
}

constexpr size_t COUNT = 256;

std::vector<morvo::Integer> integers() {
  std::vector<morvo::Integer> out;
  uint64_t v = 7;
  for (size_t i = 0; i < COUNT; ++i) {
    v = v * 6364136223846793005ULL + 1442695040888963407ULL;
    int64_t x = static_cast<int64_t>((v >> 4) % 1000000000000000000ULL) >> (i % 60);  // 1 to 18 digits
    out.push_back(morvo::Integer::fromI64(i % 2 ? -x : x));
  }
  return out;
}

std::vector<std::pair<double, std::string>> floats() {
  std::vector<std::pair<double, std::string>> out;
  for (size_t i = 0; i < COUNT; ++i) {
    double f = (static_cast<double>(i) + 0.37) * (i % 3 ? 12.5 : 0.0137);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", f);  // stands in for the repr
    out.emplace_back(f, buf);
  }
  return out;
}

std::vector<std::string> decimals() {
  std::vector<std::string> out;
  for (size_t i = 0; i < COUNT; ++i) out.push_back(std::to_string(i * 37 + 1) + "." + std::to_string(10 + i % 90));
  return out;
}

void BM_maskInteger(benchmark::State& state) {
  NumberStrategy s = make(state.range(0));
  auto values = integers();
  for (auto _ : state) {
    for (const auto& v : values) {
      benchmark::DoNotOptimize(state.range(1) ? s.maskIntegerExact(hash(), v) : s.maskInteger(hash(), v));
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * values.size()));
}

void BM_maskFloat(benchmark::State& state) {
  NumberStrategy s = make(state.range(0));
  auto values = floats();
  for (auto _ : state) {
    for (const auto& [v, repr] : values) {
      benchmark::DoNotOptimize(state.range(1) ? s.maskFloatExact(hash(), v, repr) : s.maskFloat(hash(), v, repr));
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * values.size()));
}

void BM_maskDecimal(benchmark::State& state) {
  NumberStrategy s = make(state.range(0));
  auto values = decimals();
  for (auto _ : state) {
    for (const auto& v : values) {
      benchmark::DoNotOptimize(state.range(1) ? s.maskDecimalExact(hash(), v) : s.maskDecimal(hash(), v));
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * values.size()));
}

// The keyed digest alone, for scale: every value needs one or two.
void BM_digest(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(hash().digest("123456.78", morvo::label::NONE));
}

BENCHMARK(BM_maskInteger)->ArgNames({"bounded", "exact"})->ArgsProduct({{0, 1}, {0, 1}});
BENCHMARK(BM_maskFloat)->ArgNames({"bounded", "exact"})->ArgsProduct({{0, 1}, {0, 1}});
BENCHMARK(BM_maskDecimal)->ArgNames({"bounded", "exact"})->ArgsProduct({{0, 1}, {0, 1}});
BENCHMARK(BM_digest);

}  // namespace
