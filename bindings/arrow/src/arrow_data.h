// Arrow arrays and schemas as this module holds them: plain trees that share
// the memory they point into, exported through the C data interface as many
// times as a consumer asks, each export releasing only its own reference.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "arrow_abi.h"

namespace morvo::arrow {

struct ArrayData {
  int64_t length = 0;
  int64_t nullCount = 0;
  int64_t offset = 0;
  std::vector<const void*> buffers;
  std::vector<std::shared_ptr<const ArrayData>> children;
  std::shared_ptr<const ArrayData> dictionary;
  std::shared_ptr<const void> owner;  // keeps the buffers alive
};
using ArrayPtr = std::shared_ptr<const ArrayData>;

struct SchemaData {
  std::string format;
  std::string name;
  std::optional<std::string> metadata;  // the binary metadata, as given
  int64_t flags = 0;
  std::vector<std::shared_ptr<const SchemaData>> children;
  std::shared_ptr<const SchemaData> dictionary;
};
using SchemaPtr = std::shared_ptr<const SchemaData>;

// Memory blocks from the scalable allocator, freed together.
struct OwnedBlocks {
  std::vector<void*> blocks;
  // A zeroed block of `bytes` (at least 1), kept until this owner goes.
  void* allocate(size_t bytes);
  OwnedBlocks() = default;
  OwnedBlocks(const OwnedBlocks&) = delete;
  OwnedBlocks& operator=(const OwnedBlocks&) = delete;
  ~OwnedBlocks();
};

// Takes a child array over from its parent, as the interface allows: the
// child's structure is moved into a holder of ours (its release set to null
// in the parent, which then leaves it alone) and shared without copying its
// buffers. `extraOffset` adds the parent's own offset.
ArrayPtr takeChild(ArrowArray& child, int64_t extraOffset, int64_t length);

// A deep copy of a schema's fields.
SchemaPtr copySchema(const ArrowSchema& schema);

// Fills `out` with a new export of the tree; the consumer releases it.
void exportArray(const ArrayPtr& data, ArrowArray* out);
void exportSchema(const SchemaPtr& schema, ArrowSchema* out);

}  // namespace morvo::arrow
