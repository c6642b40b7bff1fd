// Column masking: each distinct value of a call masked once, answers of
// earlier calls taken from the masker's cache, large batches spread over the
// masking pool. The outputs are exactly those of maskOne on every input.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>

#include "siphash.h"
#include "slot_table.h"
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

// Where an input's identity comes from.
struct CacheKey {
  // The key of an input, or none for None, bool and other values.
  static std::optional<KeyRef> of(const Input& input);
};

inline constexpr size_t CACHE_LIMIT = 65536;
inline constexpr size_t CACHED_KEY_LIMIT = 64;
inline constexpr size_t PARALLEL_FROM = 256;
// The fewest distinct values a pool worker takes at a time: a piece costs
// tens of microseconds, well above a hand-off.
inline constexpr size_t PARALLEL_GRAIN = 64;

// A masker's memory of earlier answers: integer and text answers only,
// never more than CACHE_LIMIT entries, never evicted. Callers hold `lock`.
class MaskerCache {
 public:
  std::mutex lock;

  MaskerCache() : keys_(SipKeys::random()) {}

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const SipKeys& keys() const { return keys_; }
  uint64_t hash(const KeyRef& key) const { return sipHash13(keys_, static_cast<uint8_t>(key.tag), key.bytes); }
  // The answer kept for a key of this hash, or null.
  const Output* find(const KeyRef& key, uint64_t hash) const;
  // Room for `more` answers beyond those kept, within the limit.
  void reserve(size_t more);
  // Keeps an answer, unless the key has one or the cache is full.
  void insert(const KeyRef& key, const Output& output);

 private:
  struct Entry {
    KeyTag tag;
    uint64_t hash;
    Text bytes;
    Output output;
  };
  bool same(uint32_t index, const KeyRef& key) const {
    const Entry& entry = entries_[index];
    return entry.tag == key.tag && entry.bytes == key.bytes;
  }

  SipKeys keys_;
  Vec<Entry> entries_;
  SlotTable slots_;
};

// The native record behind a Python Masker. Fixed after construction but
// for the cache's contents.
struct Masker {
  KeyedHash hash;
  Strategy strategy;
  std::unique_ptr<MaskerCache> cache;  // key, fpe and fake maskers only
};

// A column's outputs with each distinct value's output held once, at its
// first occurrence. A position that repeats an earlier value has no output
// of its own (its entry is None): first[p] is the position whose output it
// shares, p itself for a first occurrence. first is empty when no position
// repeats another.
struct DistinctOutputs {
  Vec<Output> outputs;
  Vec<uint32_t> first;

  size_t sourceOf(size_t p) const { return first.empty() ? p : first[p]; }
  const Output& of(size_t p) const { return outputs[sourceOf(p)]; }
};

// Masks a column. Touches no Python object; run it with the interpreter lock
// released. Internal errors propagate as InternalError.
DistinctOutputs maskDistinct(const Masker& masker, std::span<const Input> inputs);

// One output per input, in input order: maskDistinct with the repeats'
// outputs copied in.
Vec<Output> maskInputs(const Masker& masker, std::span<const Input> inputs);

// Columns of at least this many outputs in all are freed on a thread of
// their own: a caller holding the GIL need not wait for it.
inline constexpr size_t DETACHED_FREE_FROM = 4096;

// Frees masked outputs: on a detached thread when there are enough of them,
// here otherwise or when no thread can be started.
void releaseOutputs(Vec<Vec<Output>>&& columns);

}  // namespace morvo
