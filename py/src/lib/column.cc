#include "column.h"

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
    default:
      return std::nullopt;
  }
}

namespace {

// The per-call map from a key to its index in the distinct batch: open
// addressing with linear probing over borrowed keys, so that a call with a
// million distinct values does not allocate a node per value.
class PendingMap {
 public:
  explicit PendingMap(size_t expected) : keys_(SipKeys::random()) {
    size_t capacity = 16;
    while (capacity < expected * 2) capacity *= 2;
    slots_.resize(capacity);
    mask_ = capacity - 1;
  }

  // The index stored for key, or inserts next and returns nullopt.
  std::optional<size_t> findOrInsert(const KeyRef& key, size_t next) {
    if ((size_ + 1) * 2 > slots_.size()) grow();
    uint64_t hash = sipHash13(keys_, static_cast<uint8_t>(key.tag), key.bytes);
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (!slot.used) {
        slot = {hash, key, next, true};
        ++size_;
        return std::nullopt;
      }
      if (slot.hash == hash && slot.key == key) return slot.index;
    }
  }

 private:
  struct Slot {
    uint64_t hash = 0;
    KeyRef key{KeyTag::Text, {}};
    size_t index = 0;
    bool used = false;
  };

  void grow() {
    Vec<Slot> old = std::move(slots_);
    slots_ = Vec<Slot>(old.size() * 2);
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (!slot.used) continue;
      size_t i = slot.hash & mask_;
      while (slots_[i].used) i = (i + 1) & mask_;
      slots_[i] = slot;
    }
  }

  SipKeys keys_;
  Vec<Slot> slots_;
  size_t mask_ = 0;
  size_t size_ = 0;
};

bool cacheable(const Output& output) {
  return std::holds_alternative<output::Int>(output) || std::holds_alternative<output::Text>(output);
}

}  // namespace

Vec<Output> maskInputs(const Masker& masker, std::span<const Input> inputs) {
  const size_t n = inputs.size();
  Vec<Source> sources;
  sources.reserve(n);
  Vec<size_t> batch;    // input positions of the distinct values to mask
  Vec<size_t> uses;     // how many positions wait for each batch entry
  PendingMap pending(std::min<size_t>(n, 1 << 20));
  MaskerCache* cache = masker.cache.get();

  {
    std::unique_lock<std::mutex> guard;
    if (cache) guard = std::unique_lock<std::mutex>(cache->lock);
    for (size_t p = 0; p < n; ++p) {
      std::optional<KeyRef> key = CacheKey::of(inputs[p]);
      if (!key) {
        sources.emplace_back(maskOne(masker.strategy, masker.hash, inputs[p]));
        continue;
      }
      if (cache && !cache->map.empty()) {
        auto found = cache->map.find(*key);
        if (found != cache->map.end()) {
          sources.emplace_back(Output(found->second));
          continue;
        }
      }
      if (auto index = pending.findOrInsert(*key, batch.size())) {
        ++uses[*index];
        sources.emplace_back(Pending{*index});
        continue;
      }
      sources.emplace_back(Pending{batch.size()});
      batch.push_back(p);
      uses.push_back(1);
    }
  }

  Vec<Output> masked(batch.size());
  auto maskRange = [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) masked[i] = maskOne(masker.strategy, masker.hash, inputs[batch[i]]);
  };
  PoolHandle pool = batch.size() >= PARALLEL_FROM ? takePool() : PoolHandle{};
  if (pool) {
    pool->parallelFor(batch.size(), maskRange);
  } else {
    maskRange(0, batch.size());
  }

  if (cache) {
    std::lock_guard<std::mutex> guard(cache->lock);
    for (size_t i = 0; i < batch.size() && cache->map.size() < CACHE_LIMIT; ++i) {
      if (!cacheable(masked[i])) continue;
      KeyRef key = *CacheKey::of(inputs[batch[i]]);
      if (key.tag == KeyTag::Text && key.bytes.size() > CACHED_TEXT_LIMIT) continue;
      cache->map.insert_or_assign(CacheKey{key.tag, Text(key.bytes)}, masked[i]);
    }
  }

  Vec<Output> outputs;
  outputs.reserve(n);
  for (Source& source : sources) {
    if (auto* done = std::get_if<Output>(&source)) {
      outputs.push_back(std::move(*done));
      continue;
    }
    size_t index = std::get<Pending>(source).index;
    // The last position waiting for an entry takes it; earlier ones copy.
    if (--uses[index] == 0) {
      outputs.push_back(std::move(masked[index]));
    } else {
      outputs.push_back(masked[index]);
    }
  }
  return outputs;
}

}  // namespace morvo
