// An index for hash tables whose entries live elsewhere: open addressing with
// linear probing over 8-byte slots, each 32 bits of an entry's hash and its
// index plus one (0 is an empty slot). A million keys take 16 MiB of slots,
// small enough for the caches; the keys are compared only when the stored
// hash bits match.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <optional>

#include "common.h"

namespace morvo {

class SlotTable {
 public:
  // Room for `expected` entries before the first growth. The memory comes
  // zeroed from the allocator: pages that no key reaches are never touched,
  // so sizing for every position costs little when most values repeat.
  explicit SlotTable(size_t expected = 0) {
    size_t capacity = 64;
    while (capacity < expected * 2) capacity *= 2;
    allocate(capacity);
  }

  size_t size() const { return size_; }
  void prefetch(uint64_t hash) const { __builtin_prefetch(slots_.get() + (hash & mask_)); }

  // The index of the entry with this hash for which same(index) holds.
  template <class Same>
  std::optional<uint32_t> find(uint64_t hash, Same same) const {
    const uint64_t tag = hash >> 32;
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const uint64_t slot = slots_[i];
      if (slot == 0) return std::nullopt;
      if ((slot >> 32) == tag && same(static_cast<uint32_t>(slot) - 1)) return static_cast<uint32_t>(slot) - 1;
    }
  }

  // find, or records `next` under the hash and gives none. hashOf(index) is
  // an entry's hash, needed when the table grows.
  template <class Same, class HashOf>
  std::optional<uint32_t> findOrInsert(uint64_t hash, uint32_t next, Same same, HashOf hashOf) {
    if ((size_ + 1) * 2 > mask_ + 1) grow(hashOf);
    const uint64_t tag = hash >> 32;
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const uint64_t slot = slots_[i];
      if (slot == 0) {
        slots_[i] = (tag << 32) | (uint64_t{next} + 1);
        ++size_;
        return std::nullopt;
      }
      if ((slot >> 32) == tag && same(static_cast<uint32_t>(slot) - 1)) return static_cast<uint32_t>(slot) - 1;
    }
  }

 private:
  struct Free {
    void operator()(uint64_t* p) const { rawFree(p); }
  };

  static std::unique_ptr<uint64_t[], Free> zeroed(size_t capacity) {
    auto* memory = static_cast<uint64_t*>(rawAllocateZeroed(capacity * sizeof(uint64_t)));
    if (!memory) throw std::bad_alloc();
    return std::unique_ptr<uint64_t[], Free>(memory);
  }

  void allocate(size_t capacity) {
    slots_ = zeroed(capacity);
    mask_ = capacity - 1;
  }

  // The new slots are filled before they replace the old, so a failure to
  // allocate them leaves the table as it was.
  template <class HashOf>
  void grow(HashOf hashOf) {
    const size_t oldSize = mask_ + 1;
    std::unique_ptr<uint64_t[], Free> grown = zeroed(oldSize * 2);
    const size_t mask = oldSize * 2 - 1;
    for (size_t k = 0; k < oldSize; ++k) {
      const uint64_t slot = slots_[k];
      if (slot == 0) continue;
      size_t i = hashOf(static_cast<uint32_t>(slot) - 1) & mask;
      while (grown[i] != 0) i = (i + 1) & mask;
      grown[i] = slot;
    }
    slots_ = std::move(grown);
    mask_ = mask;
  }

  std::unique_ptr<uint64_t[], Free> slots_;
  size_t mask_ = 0;
  size_t size_ = 0;
};

}  // namespace morvo
