// Per-value cost of the light strategies and the fake picks on short texts.
#include <benchmark/benchmark.h>

#include <array>
#include <string>

#include "cheap.h"
#include "fake.h"

namespace morvo {
namespace {

const KeyedHash& key() {
  static const KeyedHash hash = [] {
    std::array<uint8_t, 32> subkey;
    for (size_t i = 0; i < subkey.size(); ++i) subkey[i] = static_cast<uint8_t>(i * 7 + 1);
    return KeyedHash::fromSubkey(subkey);
  }();
  return hash;
}

// A rotating set of distinct values, so no result repeats back to back.
template <class Make>
std::array<std::string, 64> values(Make make) {
  std::array<std::string, 64> out;
  for (size_t i = 0; i < out.size(); ++i) out[i] = make(i);
  return out;
}

void BM_MaskHash(benchmark::State& state) {
  auto inputs = values([](size_t i) { return "customer-" + std::to_string(1000 + i); });
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(maskHash(key(), inputs[i++ % 64], 16, ""));
}
BENCHMARK(BM_MaskHash);

void BM_MaskEmail(benchmark::State& state) {
  auto inputs = values([](size_t i) { return " Jane.Doe" + std::to_string(i) + "@Example.COM "; });
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(maskEmail(key(), inputs[i++ % 64], 12, DEFAULT_MAIL_DOMAIN, false));
}
BENCHMARK(BM_MaskEmail);

void BM_MaskDigitsText(benchmark::State& state) {
  auto inputs = values([](size_t i) { return "+44 20 7946 " + std::to_string(1000 + i); });
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(maskDigitsText(key(), inputs[i++ % 64], 3, 2));
}
BENCHMARK(BM_MaskDigitsText);

FakeStrategy bigStrategy(FakeKind kind) {
  FakeLists lists;
  for (int i = 0; i < 5000; ++i) {
    std::string s = std::to_string(i);
    lists.firstNames.push_back(toText("First" + s));
    lists.lastNames.push_back(toText("Last" + s));
    lists.cities.push_back(toText("City" + s));
    lists.companyWords.push_back(toText("Word" + s));
    lists.companySuffixes.push_back(toText("Suffix" + s));
    lists.streets.push_back(toText("Street" + s));
    lists.streetKinds.push_back(toText("Kind" + s));
  }
  lists.address = toText("{number} {street} {kind}");
  return std::get<FakeStrategy>(FakeStrategy::make(kind, std::move(lists), std::nullopt));
}

void BM_FakeMask(benchmark::State& state) {
  const FakeStrategy fake = bigStrategy(static_cast<FakeKind>(state.range(0)));
  auto inputs = values([](size_t i) { return "Person " + std::to_string(i); });
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(fake.mask(key(), inputs[i++ % 64]));
}
BENCHMARK(BM_FakeMask)
    ->ArgName("kind")
    ->Arg(static_cast<int>(FakeKind::Name))
    ->Arg(static_cast<int>(FakeKind::StreetAddress));

}  // namespace
}  // namespace morvo
