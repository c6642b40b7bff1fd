// Column masking: each distinct value of a call masked once, answers of
// earlier calls taken from the masker's cache, large batches spread over the
// masking pool. The outputs are exactly those of maskOne on every input.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>

#include "siphash.h"
#include "strategy.h"
#include "values.h"

namespace morvo {

// Key tags: a text, a non-negative or negative integer, a float, a decimal.
enum class KeyTag : uint8_t { Text = 0, Int = 1, NegativeInt = 2, Float = 3, Decimal = 4 };

// A borrowed view of an input's identity: the tag and the bytes that tell
// equal values apart (text bytes, integer limbs, float bits, decimal text).
struct KeyRef {
  KeyTag tag;
  std::string_view bytes;
  bool operator==(const KeyRef&) const = default;
};

// The owned identity of an input, as the cache keeps it.
struct CacheKey {
  KeyTag tag;
  Text bytes;

  // The key of an input, or none for None, bool and other values.
  static std::optional<KeyRef> of(const Input& input);
  KeyRef ref() const { return {tag, bytes}; }
};

struct KeyHash {
  using is_transparent = void;
  SipKeys keys;
  size_t operator()(const KeyRef& key) const { return sipHash13(keys, static_cast<uint8_t>(key.tag), key.bytes); }
  size_t operator()(const CacheKey& key) const { return (*this)(key.ref()); }
};

struct KeyEqual {
  using is_transparent = void;
  static KeyRef ref(const KeyRef& key) { return key; }
  static KeyRef ref(const CacheKey& key) { return key.ref(); }
  template <class A, class B>
  bool operator()(const A& a, const B& b) const { return ref(a) == ref(b); }
};

inline constexpr size_t CACHE_LIMIT = 65536;
inline constexpr size_t CACHED_KEY_LIMIT = 64;
inline constexpr size_t PARALLEL_FROM = 256;
// The fewest distinct values a pool worker takes at a time: a piece costs
// tens of microseconds, well above a hand-off.
inline constexpr size_t PARALLEL_GRAIN = 64;

// A masker's memory of earlier answers: integer and text answers only,
// never more than CACHE_LIMIT entries, never evicted.
struct MaskerCache {
  std::mutex lock;
  std::unordered_map<CacheKey, Output, KeyHash, KeyEqual, Allocator<std::pair<const CacheKey, Output>>> map;

  MaskerCache() : map(0, KeyHash{SipKeys::random()}) {}
};

// The native record behind a Python Masker. Fixed after construction but
// for the cache's contents.
struct Masker {
  KeyedHash hash;
  Strategy strategy;
  std::unique_ptr<MaskerCache> cache;  // key, fpe and fake maskers only
};

// One output per input, in input order. Touches no Python object; run it
// with the interpreter lock released. Internal errors propagate as
// InternalError.
Vec<Output> maskInputs(const Masker& masker, std::span<const Input> inputs);

// Columns of at least this many outputs in all are freed on a thread of
// their own: a caller holding the GIL need not wait for it.
inline constexpr size_t DETACHED_FREE_FROM = 4096;

// Frees masked outputs: on a detached thread when there are enough of them,
// here otherwise or when no thread can be started.
void releaseOutputs(Vec<Vec<Output>>&& columns);

}  // namespace morvo
