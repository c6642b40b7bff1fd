#include "column.h"

#include <memory>
#include <system_error>

#include "pool.h"

namespace morvo {

std::optional<KeyRef> CacheKey::of(const Input& input) {
  switch (input.index()) {
    case 1: {
      const Integer& v = std::get<input::Int>(input).value;
      std::string_view limbs(reinterpret_cast<const char*>(v.magnitude.data()), v.magnitude.size() * 8);
      return KeyRef{v.negative() ? KeyTag::NegativeInt : KeyTag::Int, limbs};
    }
    case 2:
      return KeyRef{KeyTag::Text, std::get<input::Text>(input).text};
    case 5: {
      const double& value = std::get<input::Float>(input).value;
      return KeyRef{KeyTag::Float, std::string_view(reinterpret_cast<const char*>(&value), sizeof value)};
    }
    case 6:
      return KeyRef{KeyTag::Decimal, std::get<input::Decimal>(input).text};
    case 7:  // the same key as the text copied
      return KeyRef{KeyTag::Text, std::get<input::TextView>(input).text};
    default:
      return std::nullopt;
  }
}

namespace {

// The per-call map from a key to the position of its first occurrence: the
// keys stay in the inputs.
class FirstMap {
 public:
  FirstMap(std::span<const Input> inputs, size_t expected, const SipKeys& keys)
      : inputs_(inputs), keys_(keys), slots_(expected) {}

  uint64_t hash(const KeyRef& key) const { return sipHash13(keys_, static_cast<uint8_t>(key.tag), key.bytes); }
  void prefetch(uint64_t hash) const { slots_.prefetch(hash); }

  // The first position recorded for the key, or records `position` and
  // returns nullopt.
  std::optional<uint32_t> findOrInsert(const KeyRef& key, uint64_t hash, uint32_t position) {
    return slots_.findOrInsert(
        hash, position, [&](uint32_t index) { return keyAt(index) == key; },
        [&](uint32_t index) { return this->hash(keyAt(index)); });
  }

 private:
  KeyRef keyAt(uint32_t position) const { return *CacheKey::of(inputs_[position]); }

  std::span<const Input> inputs_;
  SipKeys keys_;
  SlotTable slots_;
};

bool cacheable(const Output& output) {
  return std::holds_alternative<output::Int>(output) || std::holds_alternative<output::Text>(output);
}

}  // namespace

DistinctOutputs maskDistinct(const Masker& masker, std::span<const Input> inputs) {
  const size_t n = inputs.size();
  check(n < UINT32_MAX, "a column has fewer than 2**32 - 1 values");
  DistinctOutputs out;
  out.outputs.resize(n);
  out.first.resize(n);
  Vec<Output>& outputs = out.outputs;
  Vec<uint32_t> batch;  // first occurrences still to be masked
  size_t repeats = 0;
  MaskerCache* cache = masker.cache.get();
  // With a cache, the map hashes as the cache does, so one hash serves both.
  FirstMap map(inputs, n, cache ? cache->keys() : SipKeys::random());

  {
    std::unique_lock<std::mutex> guard;
    if (cache) guard = std::unique_lock<std::mutex>(cache->lock);
    const bool lookInCache = cache && !cache->empty();
    // Hashes run a few positions ahead, so that each slot is already on its
    // way into the cache when its position is reached.
    constexpr size_t AHEAD = 8;
    struct Keyed {
      std::optional<KeyRef> key;
      uint64_t hash = 0;
    };
    Keyed ahead[AHEAD];
    auto keyAt = [&](size_t p) {
      Keyed keyed{CacheKey::of(inputs[p])};
      if (keyed.key) {
        keyed.hash = map.hash(*keyed.key);
        map.prefetch(keyed.hash);
      }
      return keyed;
    };
    for (size_t p = 0; p < std::min(n, AHEAD); ++p) ahead[p] = keyAt(p);
    for (size_t p = 0; p < n; ++p) {
      const Keyed current = ahead[p % AHEAD];
      if (p + AHEAD < n) ahead[p % AHEAD] = keyAt(p + AHEAD);
      const auto position = static_cast<uint32_t>(p);
      out.first[p] = position;
      const std::optional<KeyRef>& key = current.key;
      if (!key) {
        outputs[p] = maskOne(masker.strategy, masker.hash, inputs[p]);
        continue;
      }
      if (auto first = map.findOrInsert(*key, current.hash, position)) {
        out.first[p] = *first;
        ++repeats;
        continue;
      }
      if (lookInCache) {
        if (const Output* found = cache->find(*key, current.hash)) {
          outputs[p] = *found;
          continue;
        }
      }
      batch.push_back(position);
    }
  }

  auto maskRange = [&](size_t begin, size_t end) {
    maskMany(masker.strategy, masker.hash, inputs, std::span<const uint32_t>(batch.data() + begin, end - begin),
             outputs.data());
  };
  PoolHandle pool = batch.size() >= PARALLEL_FROM ? takePool() : PoolHandle{};
  if (pool) {
    pool->parallelFor(batch.size(), maskRange, PARALLEL_GRAIN);
  } else {
    maskRange(0, batch.size());
  }

  if (cache) {
    std::lock_guard<std::mutex> guard(cache->lock);
    cache->reserve(batch.size());
    for (size_t i = 0; i < batch.size() && cache->size() < CACHE_LIMIT; ++i) {
      const Output& output = outputs[batch[i]];
      if (!cacheable(output)) continue;
      KeyRef key = *CacheKey::of(inputs[batch[i]]);
      // Long keys are not worth their memory: a long text, or an integer
      // of more than CACHED_KEY_LIMIT bytes of limbs (about 150 digits).
      if (key.bytes.size() > CACHED_KEY_LIMIT) continue;
      cache->insert(key, output);
    }
  }

  if (repeats == 0) Vec<uint32_t>().swap(out.first);
  return out;
}

Vec<Output> maskInputs(const Masker& masker, std::span<const Input> inputs) {
  DistinctOutputs masked = maskDistinct(masker, inputs);
  for (size_t p = 0; p < masked.first.size(); ++p) {
    if (masked.first[p] != p) masked.outputs[p] = masked.outputs[masked.first[p]];
  }
  return std::move(masked.outputs);
}

void releaseOutputs(Vec<Vec<Output>>&& columns) {
  size_t total = 0;
  for (const Vec<Output>& column : columns) total += column.size();
  if (total < DETACHED_FREE_FROM) return Vec<Vec<Output>>().swap(columns);
  try {
    auto owned = std::make_shared<Vec<Vec<Output>>>(std::move(columns));
    runDetached([owned = std::move(owned)] { owned->clear(); });
  } catch (const std::exception&) {
    // No thread (or no memory to hand the outputs over): freeing them here
    // is only slower.
  }
  Vec<Vec<Output>>().swap(columns);
}

const Output* MaskerCache::find(const KeyRef& key, uint64_t hash) const {
  auto index = slots_.find(hash, [&](uint32_t i) { return same(i, key); });
  return index ? &entries_[*index].output : nullptr;
}

void MaskerCache::reserve(size_t more) {
  entries_.reserve(std::min(CACHE_LIMIT, entries_.size() + more));
}

void MaskerCache::insert(const KeyRef& key, const Output& output) {
  if (entries_.size() >= CACHE_LIMIT) return;
  // Whatever can fail comes before the slot is taken: a slot must never name
  // an entry that does not exist.
  const uint64_t h = hash(key);
  Entry entry{key.tag, h, Text(key.bytes), output};
  if (entries_.size() == entries_.capacity())
    entries_.reserve(std::min(CACHE_LIMIT, std::max<size_t>(64, 2 * entries_.size())));
  const auto next = static_cast<uint32_t>(entries_.size());
  auto known = slots_.findOrInsert(
      h, next, [&](uint32_t i) { return same(i, key); }, [&](uint32_t i) { return entries_[i].hash; });
  if (!known) entries_.push_back(std::move(entry));  // within capacity: cannot fail
}

}  // namespace morvo
