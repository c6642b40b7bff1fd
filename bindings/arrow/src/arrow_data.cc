#include "arrow_data.h"

#include <cstring>
#include <new>

#include "common.h"

namespace morvo::arrow {

void* OwnedBlocks::allocate(size_t bytes) {
  // Room first: a failure to grow the list must not lose a block.
  if (blocks.size() == blocks.capacity()) blocks.reserve(2 * blocks.size() + 4);
  void* block = rawAllocateZeroed(bytes == 0 ? 1 : bytes);
  if (!block) throw std::bad_alloc();
  blocks.push_back(block);
  return block;
}

OwnedBlocks::~OwnedBlocks() {
  for (void* block : blocks) rawFree(block);
}

namespace {

// Shares an array that lives inside a moved structure: the same buffers,
// children shared the same way, all kept alive by `owner`.
ArrayPtr share(const ArrowArray& array, const std::shared_ptr<const void>& owner, int64_t extraOffset,
               int64_t length) {
  auto data = std::make_shared<ArrayData>();
  data->length = length;
  data->offset = array.offset + extraOffset;
  // A slice of the original may hold fewer nulls; unknown is always allowed.
  data->nullCount = (extraOffset == 0 && length == array.length) ? array.null_count : -1;
  if (array.null_count == 0) data->nullCount = 0;
  data->buffers.assign(array.buffers, array.buffers + array.n_buffers);
  for (int64_t i = 0; i < array.n_children; ++i) {
    const ArrowArray& child = *array.children[i];
    data->children.push_back(share(child, owner, 0, child.length));
  }
  if (array.dictionary) data->dictionary = share(*array.dictionary, owner, 0, array.dictionary->length);
  data->owner = owner;
  return data;
}

}  // namespace

ArrayPtr takeChild(ArrowArray& child, int64_t extraOffset, int64_t length) {
  auto moved = std::shared_ptr<ArrowArray>(new ArrowArray(child), [](ArrowArray* array) {
    if (array->release) array->release(array);
    delete array;
  });
  child.release = nullptr;
  return share(*moved, moved, extraOffset, length);
}

namespace {

size_t metadataSize(const char* metadata) {
  // int32 pair count, then per key and value an int32 length and the bytes.
  auto read32 = [](const char* p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return v;
  };
  const char* p = metadata;
  int32_t pairs = read32(p);
  p += 4;
  for (int32_t i = 0; i < pairs * 2; ++i) {
    int32_t length = read32(p);
    p += 4 + (length > 0 ? length : 0);
  }
  return static_cast<size_t>(p - metadata);
}

}  // namespace

SchemaPtr copySchema(const ArrowSchema& schema) {
  auto copy = std::make_shared<SchemaData>();
  copy->format = schema.format ? schema.format : "";
  copy->name = schema.name ? schema.name : "";
  if (schema.metadata) copy->metadata.emplace(schema.metadata, metadataSize(schema.metadata));
  copy->flags = schema.flags;
  for (int64_t i = 0; i < schema.n_children; ++i) copy->children.push_back(copySchema(*schema.children[i]));
  if (schema.dictionary) copy->dictionary = copySchema(*schema.dictionary);
  return copy;
}

namespace {

// What one export owns: the shared tree, and the structures handed out for
// its children and dictionary.
template <class C, class Data>
struct Exported {
  Data data;
  std::vector<const void*> buffers;  // arrays only
  std::vector<C*> children;
  C* dictionary = nullptr;
};
using ExportedArray = Exported<ArrowArray, ArrayPtr>;
using ExportedSchema = Exported<ArrowSchema, SchemaPtr>;

// Releases one export (of an array or a schema) with what it handed out. A
// child that the consumer moved out has its release cleared and is its own.
template <class C, class Data>
void release(C* structure) {
  auto* exported = static_cast<Exported<C, Data>*>(structure->private_data);
  for (C* child : exported->children) {
    if (child->release) child->release(child);
    delete child;
  }
  if (C* dictionary = exported->dictionary) {
    if (dictionary->release) dictionary->release(dictionary);
    delete dictionary;
  }
  delete exported;
  structure->release = nullptr;
}

void releaseArray(ArrowArray* array) { release<ArrowArray, ArrayPtr>(array); }
void releaseSchema(ArrowSchema* schema) { release<ArrowSchema, SchemaPtr>(schema); }

}  // namespace

void exportArray(const ArrayPtr& data, ArrowArray* out) {
  auto exported = std::make_unique<ExportedArray>();
  exported->data = data;
  exported->buffers = data->buffers;
  for (const ArrayPtr& child : data->children) {
    auto* childOut = new ArrowArray{};
    exported->children.push_back(childOut);
    exportArray(child, childOut);
  }
  if (data->dictionary) {
    exported->dictionary = new ArrowArray{};
    exportArray(data->dictionary, exported->dictionary);
  }
  out->length = data->length;
  out->null_count = data->nullCount;
  out->offset = data->offset;
  out->n_buffers = static_cast<int64_t>(exported->buffers.size());
  out->n_children = static_cast<int64_t>(exported->children.size());
  out->buffers = exported->buffers.data();
  out->children = exported->children.data();
  out->dictionary = exported->dictionary;
  out->release = releaseArray;
  out->private_data = exported.release();
}

void exportSchema(const SchemaPtr& schema, ArrowSchema* out) {
  auto exported = std::make_unique<ExportedSchema>();
  exported->data = schema;
  for (const SchemaPtr& child : schema->children) {
    auto* childOut = new ArrowSchema{};
    exported->children.push_back(childOut);
    exportSchema(child, childOut);
  }
  if (schema->dictionary) {
    exported->dictionary = new ArrowSchema{};
    exportSchema(schema->dictionary, exported->dictionary);
  }
  out->format = schema->format.c_str();
  out->name = schema->name.c_str();
  out->metadata = schema->metadata ? schema->metadata->data() : nullptr;
  out->flags = schema->flags;
  out->n_children = static_cast<int64_t>(exported->children.size());
  out->children = exported->children.data();
  out->dictionary = exported->dictionary;
  out->release = releaseSchema;
  out->private_data = exported.release();
}

}  // namespace morvo::arrow
