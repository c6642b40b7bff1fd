// morvo_arrow: masking Arrow arrays and record batches with morvo_rs maskers.
// Arrays come in and go out through the Arrow PyCapsule interface; their
// buffers are read and the masked ones written with the GIL released for the
// whole masking, on the pool of morvo_rs, through the engine table that every
// Masker carries.
#include <Python.h>

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "args.h"
#include "arrow_abi.h"
#include "arrow_data.h"
#include "arrow_type.h"
#include "column_io.h"
#include "conversion.h"
#include "engine_api.h"
#include "errors.h"
#include "masker.h"
#include "py_ref.h"
#include "sequence.h"

namespace morvo::arrow {
namespace {

const char MODULE_DOC[] =
    "Masking Apache Arrow data with morvo_rs maskers, without a Python object per\n"
    "value: arrays and record batches come in and go out through the Arrow\n"
    "PyCapsule interface (`__arrow_c_array__`).";

const char MASK_ARRAY_DOC[] =
    "maskArray(masker, array)\n--\n\n"
    "Masks one Arrow array (any object exporting `__arrow_c_array__`, or a stream\n"
    "of chunks through `__arrow_c_stream__`, as a polars Series) with a\n"
    "morvo_rs.Masker; a stream's chunks come back as one array.\n\n"
    "Returns `(masked, problems)`: `masked` exports `__arrow_c_array__` (so\n"
    "`pyarrow.array(masked)` takes it without a copy), and `problems` maps a\n"
    "position to FALLBACK or (REFUSED, message), exactly as `maskColumn` does for\n"
    "the same values; those positions are null in `masked`. Null stays null.\n\n"
    "`hash`, `email` and the fakes give utf8 texts (large_utf8 for large_utf8\n"
    "input); the other strategies keep the array's type, and a substitute that\n"
    "the type cannot hold (an integer beyond the width, a decimal beyond precision\n"
    "or scale) is a FALLBACK. A dictionary-encoded array stays one, its dictionary\n"
    "masked once.";

const char MASK_BATCH_DOC[] =
    "maskBatch(maskers, batch)\n--\n\n"
    "Masks a record batch (an object exporting a struct array through\n"
    "`__arrow_c_array__`, as pyarrow.RecordBatch does): `maskers` has one entry per\n"
    "column, a morvo_rs.Masker or None for a column carried through without a\n"
    "copy. Every masked column is masked at once across the pool.\n\n"
    "Returns `(batch, problems)`: the masked batch, exporting `__arrow_c_array__`\n"
    "(`pyarrow.record_batch(batch)` takes it), and `problems` a list of\n"
    "`(column, row, FALLBACK or (REFUSED, message))` in row order, then column\n"
    "order, as `maskChunk` gives; those positions are null in the batch.";

// ---- maskers -------------------------------------------------------------

// The class morvo_rs.Masker, looked up in the imported module (a new
// reference), or null with an exception set.
PyObject* maskerClass() {
  PyRef module = PyRef::steal(PyImport_ImportModule("morvo_rs"));
  if (!module) return nullptr;
  return PyObject_GetAttrString(module.get(), "Masker");
}

// The record and the engine behind a morvo_rs.Masker, or false with
// TypeError set.
bool maskerParts(PyObject* object, PyObject* maskerType, const Masker*& masker, const EngineApi*& engine) {
  if (!PyType_Check(maskerType) ||
      !PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(maskerType))) {
    setNotInstance(object, "Masker");
    return false;
  }
  auto* record = reinterpret_cast<MaskerObject*>(object);
  if (!record->masker || !record->engine || record->engine->abi != ENGINE_ABI) {
    PyErr_SetString(PyExc_TypeError, "the Masker comes from a morvo_rs build that morvo_arrow cannot use");
    return false;
  }
  masker = record->masker;
  engine = record->engine;
  return true;
}

// The strategies whose answers are always texts, whatever they mask.
bool givesText(const Masker& masker) {
  return std::holds_alternative<strategy::Hash>(masker.strategy) ||
         std::holds_alternative<strategy::Email>(masker.strategy) ||
         std::holds_alternative<strategy::Fake>(masker.strategy);
}

bool readsNumbers(const Masker& masker) { return std::holds_alternative<strategy::Number>(masker.strategy); }

// ---- arrays in -----------------------------------------------------------

// An exported array with the capsules that own it, held for the call; or
// the chunks of an exported stream, owned here.
struct Imported {
  PyRef schemaCapsule;
  PyRef arrayCapsule;
  ArrowSchema* schema = nullptr;
  ArrowArray* array = nullptr;

  ArrowSchema streamSchema{};
  std::vector<ArrowArray> chunks;

  Imported() = default;
  Imported(const Imported&) = delete;
  Imported& operator=(const Imported&) = delete;
  ~Imported() {
    for (ArrowArray& chunk : chunks) {
      if (chunk.release) chunk.release(&chunk);
    }
    if (streamSchema.release) streamSchema.release(&streamSchema);
  }

  // The arrays to read: the one exported array, or the stream's chunks.
  std::vector<ArrowArray> views() const {
    if (array) return {*array};
    return chunks;
  }
};

bool hasAttribute(PyObject* object, const char* name, PyRef& out) {
  out = PyRef::steal(PyObject_GetAttrString(object, name));
  if (out) return true;
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
  return false;
}

// Reads every chunk of an exported stream (polars exports only streams).
// The producer's callbacks may run Python code, so this runs with the GIL.
bool importStream(PyObject* method, Imported& out) {
  PyRef capsule = PyRef::steal(PyObject_CallNoArgs(method));
  if (!capsule) return false;
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), STREAM_CAPSULE));
  if (!stream) return false;
  if (!stream->release) {
    PyErr_SetString(PyExc_ValueError, "the exported Arrow stream was already released");
    return false;
  }
  auto failed = [&](int code) {
    const char* message = stream->get_last_error ? stream->get_last_error(stream) : nullptr;
    PyErr_Format(PyExc_ValueError, "the Arrow stream failed (error %d): %s", code, message ? message : "no message");
    return false;
  };
  if (int code = stream->get_schema(stream, &out.streamSchema)) return failed(code);
  if (!out.streamSchema.release || !out.streamSchema.format) {
    PyErr_SetString(PyExc_ValueError, "the Arrow stream gave no schema");
    return false;
  }
  for (;;) {
    ArrowArray chunk{};
    if (int code = stream->get_next(stream, &chunk)) return failed(code);
    if (!chunk.release) break;  // the end of the stream
    out.chunks.push_back(chunk);
  }
  out.schema = &out.streamSchema;
  return true;
}

bool importArray(PyObject* object, const char* argument, Imported& out, bool streams = false) {
  PyRef method;
  if (!hasAttribute(object, "__arrow_c_array__", method)) {
    if (PyErr_Occurred()) return false;
    PyRef stream;
    if (streams && hasAttribute(object, "__arrow_c_stream__", stream)) return importStream(stream.get(), out);
    if (PyErr_Occurred()) return false;
    PyErr_Format(PyExc_TypeError, "'%s' object does not export an Arrow array (__arrow_c_array__%s)",
                 Py_TYPE(object)->tp_name, streams ? " or __arrow_c_stream__" : "");
    noteArgument(argument);
    return false;
  }
  PyRef pair = PyRef::steal(PyObject_CallNoArgs(method.get()));
  if (!pair) return false;
  if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
    PyErr_SetString(PyExc_TypeError, "__arrow_c_array__ must return a pair of capsules");
    return false;
  }
  out.schemaCapsule = PyRef::borrow(PyTuple_GET_ITEM(pair.get(), 0));
  out.arrayCapsule = PyRef::borrow(PyTuple_GET_ITEM(pair.get(), 1));
  out.schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(out.schemaCapsule.get(), SCHEMA_CAPSULE));
  if (!out.schema) return false;
  out.array = static_cast<ArrowArray*>(PyCapsule_GetPointer(out.arrayCapsule.get(), ARRAY_CAPSULE));
  if (!out.array) return false;
  if (!out.schema->release || !out.array->release || !out.schema->format) {
    PyErr_SetString(PyExc_ValueError, "the exported Arrow array was already released");
    return false;
  }
  return true;
}

// ---- one column ----------------------------------------------------------

// What masking one column needs and gives. Plain data: it is filled with
// the GIL released, possibly on a pool worker.
struct ColumnPlan {
  const Masker* masker = nullptr;
  const EngineApi* engine = nullptr;
  std::vector<ArrowArray> views;  // the column's arrays (a stream's chunks), parent offsets folded in
  const ArrowSchema* schema = nullptr;
  ColumnType type;             // the values' type (the dictionary's, if encoded)
  std::optional<ColumnType> indexType;  // set for a dictionary-encoded column

  ArrayPtr masked;
  Vec<Output> outputs;  // per position, or per dictionary entry; freed once written
  // Problem positions in order, each with its index in problemOutputs: the
  // few outputs kept to build the markers once the GIL is back.
  std::vector<std::pair<int64_t, uint32_t>> problems;
  Vec<Output> problemOutputs;
};

bool isProblem(const Output& output) {
  return std::holds_alternative<Fallback>(output) || std::holds_alternative<Refused>(output);
}

bool isNullOutput(const Output& output) { return isProblem(output) || std::holds_alternative<output::None>(output); }

// The type of a column, or false with TypeError naming the unsupported type.
bool planType(const ArrowSchema& schema, ColumnPlan& plan) {
  if (schema.dictionary) {
    std::optional<ColumnType> index = parseType(schema.format);
    std::optional<ColumnType> values = parseType(schema.dictionary->format ? schema.dictionary->format : "");
    if (!index || index->kind != Kind::Int) {
      PyErr_Format(PyExc_TypeError, "cannot mask a dictionary with indices of Arrow type '%s'", schema.format);
      return false;
    }
    if (!values) {
      PyErr_Format(PyExc_TypeError, "cannot mask an Arrow dictionary of values of type '%s'",
                   schema.dictionary->format ? schema.dictionary->format : "");
      return false;
    }
    plan.indexType = index;
    plan.type = *values;
    return true;
  }
  std::optional<ColumnType> type = parseType(schema.format);
  if (!type) {
    PyErr_Format(PyExc_TypeError, "cannot mask an Arrow array of type '%s'", schema.format);
    return false;
  }
  plan.type = *type;
  return true;
}

int64_t indexAt(const void* indices, const ColumnType& type, int64_t i) {
  auto at = [&](auto zero) {
    decltype(zero) v;
    std::memcpy(&v, static_cast<const uint8_t*>(indices) + i * static_cast<int64_t>(sizeof v), sizeof v);
    return v;
  };
  switch (type.bits) {
    case 8: return type.isSigned ? at(int8_t{}) : at(uint8_t{});
    case 16: return type.isSigned ? at(int16_t{}) : at(uint16_t{});
    case 32: return type.isSigned ? at(int32_t{}) : at(uint32_t{});
    default: {
      if (type.isSigned) return at(int64_t{});
      uint64_t v = at(uint64_t{});
      return v > static_cast<uint64_t>(INT64_MAX) ? -1 : static_cast<int64_t>(v);
    }
  }
}

// Masks a plain column: read, mask, fit, write.
void maskPlain(ColumnPlan& plan) {
  Vec<Input> inputs;
  for (const ArrowArray& view : plan.views) readInputs(view, plan.type, readsNumbers(*plan.masker), inputs);
  const size_t count = inputs.size();
  plan.outputs = plan.engine->maskInputs(*plan.masker, inputs);
  Vec<Input>().swap(inputs);
  if (plan.outputs.size() != count) throw std::logic_error("one output per input");
  const ColumnType out = outputType(plan.type, givesText(*plan.masker));
  fitOutputs(out, plan.outputs);
  plan.masked = writeOutputs(out, plan.outputs);
  for (size_t p = 0; p < plan.outputs.size(); ++p) {
    if (!isProblem(plan.outputs[p])) continue;
    plan.problems.emplace_back(static_cast<int64_t>(p), static_cast<uint32_t>(plan.problemOutputs.size()));
    plan.problemOutputs.push_back(std::move(plan.outputs[p]));
  }
  Vec<Output>().swap(plan.outputs);  // freed here, without the GIL
}

// Masks a dictionary-encoded column: the dictionary once, then the indices
// copied, null where their entry is null or a problem.
void maskDictionary(ColumnPlan& plan) {
  if (plan.views.size() != 1) {
    throw MalformedArray("a dictionary-encoded stream is masked one chunk at a time, not " +
                         std::to_string(plan.views.size()) + " at once");
  }
  const ArrowArray& indices = plan.views.front();
  if (!indices.dictionary || indices.n_buffers != 2 || (indices.length > 0 && !indices.buffers[1]) ||
      indices.length < 0 || indices.offset < 0) {
    throw MalformedArray("malformed Arrow array: a dictionary-encoded array without its dictionary or indices");
  }
  Vec<Input> inputs;
  readInputs(*indices.dictionary, plan.type, readsNumbers(*plan.masker), inputs);
  plan.outputs = plan.engine->maskInputs(*plan.masker, inputs);
  Vec<Input>().swap(inputs);
  if (plan.outputs.size() != static_cast<size_t>(indices.dictionary->length)) {
    throw std::logic_error("one output per input");
  }
  const ColumnType out = outputType(plan.type, givesText(*plan.masker));
  fitOutputs(out, plan.outputs);
  ArrayPtr dictionary = writeOutputs(out, plan.outputs);

  const ColumnType& indexType = *plan.indexType;
  const size_t n = static_cast<size_t>(indices.length);
  const size_t width = static_cast<size_t>(indexType.bits / 8);
  auto blocks = std::make_shared<OwnedBlocks>();
  auto* validity = static_cast<uint8_t*>(blocks->allocate((n + 7) / 8));
  auto* values = static_cast<uint8_t*>(blocks->allocate(n * width));
  const auto* inValidity =
      indices.null_count == 0 ? nullptr : static_cast<const uint8_t*>(indices.buffers[0]);
  const int64_t entries = indices.dictionary->length;
  // Each problem entry of the dictionary is kept once, however many
  // positions point at it.
  std::vector<uint32_t> kept(plan.outputs.size(), UINT32_MAX);
  int64_t nulls = 0;
  for (size_t i = 0; i < n; ++i) {
    const int64_t p = indices.offset + static_cast<int64_t>(i);
    std::memcpy(values + i * width, static_cast<const uint8_t*>(indices.buffers[1]) + p * static_cast<int64_t>(width),
                width);
    if (inValidity && !((inValidity[p >> 3] >> (p & 7)) & 1)) {
      ++nulls;
      continue;
    }
    const int64_t entry = indexAt(indices.buffers[1], indexType, p);
    if (entry < 0 || entry >= entries) throw MalformedArray("malformed Arrow array: a dictionary index out of range");
    const Output& output = plan.outputs[static_cast<size_t>(entry)];
    if (isNullOutput(output)) {
      ++nulls;
      if (isProblem(output)) {
        uint32_t& index = kept[static_cast<size_t>(entry)];
        if (index == UINT32_MAX) {
          index = static_cast<uint32_t>(plan.problemOutputs.size());
          plan.problemOutputs.push_back(output);
        }
        plan.problems.emplace_back(static_cast<int64_t>(i), index);
      }
      continue;
    }
    validity[i >> 3] |= static_cast<uint8_t>(1u << (i & 7));
  }
  auto data = std::make_shared<ArrayData>();
  data->length = indices.length;
  data->nullCount = nulls;
  data->buffers = {nulls ? validity : nullptr, values};
  data->dictionary = std::move(dictionary);
  data->owner = std::move(blocks);
  plan.masked = std::move(data);
  Vec<Output>().swap(plan.outputs);  // freed here, without the GIL
}

void maskPlan(ColumnPlan& plan) {
  if (plan.indexType) {
    maskDictionary(plan);
  } else {
    maskPlain(plan);
  }
}

// The schema of the masked column: the input's name, metadata and flags,
// with the masked type (a masked dictionary is no longer ordered).
SchemaPtr maskedSchema(const ColumnPlan& plan) {
  auto schema = std::make_shared<SchemaData>();
  const ArrowSchema& in = *plan.schema;
  schema->name = in.name ? in.name : "";
  if (in.metadata) schema->metadata = copySchema(in)->metadata;
  schema->flags = in.flags & ~int64_t{ARROW_FLAG_DICTIONARY_ORDERED};
  const ColumnType out = outputType(plan.type, givesText(*plan.masker));
  if (plan.indexType) {
    schema->format = formatOf(*plan.indexType);
    auto values = std::make_shared<SchemaData>();
    values->format = formatOf(out);
    values->flags = ARROW_FLAG_NULLABLE;
    schema->dictionary = std::move(values);
  } else {
    schema->format = formatOf(out);
  }
  schema->flags |= ARROW_FLAG_NULLABLE;  // problems become nulls
  return schema;
}

// ---- work without the GIL ------------------------------------------------

// Runs work with the GIL released, inside the engine's native-work scope.
// Failures come back as the Python exception to raise, raised by the caller
// once the GIL is back.
struct Outcome {
  PyObject* type = nullptr;  // borrowed exception type, or null for success
  Failure failure;           // for the engine's own failures
  std::string message;
};

template <class Work>
Outcome withoutGilOn(const EngineApi* engine, Work work) {
  Outcome outcome;
  GilRelease release;
  engine->enterNative();
  try {
    work();
  } catch (abi::__forced_unwind&) {
    engine->leaveNative();
    throw;
  } catch (const MalformedArray& error) {
    outcome = {PyExc_ValueError, {}, error.what()};
  } catch (const std::overflow_error& error) {
    outcome = {PyExc_OverflowError, {}, error.what()};
  } catch (...) {
    outcome.failure = failureOf(std::current_exception());
  }
  engine->leaveNative();
  return outcome;
}

bool raised(const Outcome& outcome) {
  if (outcome.type) {
    PyErr_SetString(outcome.type, outcome.message.c_str());
    return true;
  }
  if (outcome.failure) {
    raiseFailure(outcome.failure);
    return true;
  }
  return false;
}

// ---- arrays out ----------------------------------------------------------

struct MaskedObject {
  PyObject_HEAD
  ArrayPtr* array;
  SchemaPtr* schema;
};

void releaseSchemaCapsule(PyObject* capsule) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, SCHEMA_CAPSULE));
  if (!schema) {
    PyErr_Clear();
    return;
  }
  if (schema->release) schema->release(schema);
  delete schema;
}

void releaseArrayCapsule(PyObject* capsule) {
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, ARRAY_CAPSULE));
  if (!array) {
    PyErr_Clear();
    return;
  }
  if (array->release) array->release(array);
  delete array;
}

PyObject* schemaCapsule(const SchemaPtr& schema) {
  auto exported = std::make_unique<ArrowSchema>();
  exportSchema(schema, exported.get());
  PyObject* capsule = PyCapsule_New(exported.get(), SCHEMA_CAPSULE, releaseSchemaCapsule);
  if (!capsule) {
    exported->release(exported.get());
    return nullptr;
  }
  exported.release();
  return capsule;
}

PyObject* arrayCapsule(const ArrayPtr& array) {
  auto exported = std::make_unique<ArrowArray>();
  exportArray(array, exported.get());
  PyObject* capsule = PyCapsule_New(exported.get(), ARRAY_CAPSULE, releaseArrayCapsule);
  if (!capsule) {
    exported->release(exported.get());
    return nullptr;
  }
  exported.release();
  return capsule;
}

constexpr std::array<const char*, 1> EXPORT_NAMES = {"requested_schema"};
constexpr Signature EXPORT_SIGNATURE{"__arrow_c_array__()", EXPORT_NAMES};

PyObject* maskedArrowArray(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  // requested_schema is optional; a producer may ignore it, and this one
  // gives its own type (the masked type is already the input's).
  if (nargs > 1) {
    PyErr_SetString(PyExc_TypeError, "__arrow_c_array__() takes at most 1 argument");
    return nullptr;
  }
  if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
    std::array<PyObject*, 1> bound{};
    if (!bindFastcall(EXPORT_SIGNATURE, args, nargs, kwnames, bound)) return nullptr;
  }
  auto* masked = reinterpret_cast<MaskedObject*>(self);
  PyRef schema = PyRef::steal(schemaCapsule(*masked->schema));
  if (!schema) return nullptr;
  PyRef array = PyRef::steal(arrayCapsule(*masked->array));
  if (!array) return nullptr;
  return PyTuple_Pack(2, schema.get(), array.get());
}

PyObject* maskedArrowSchema(PyObject* self, PyObject*) {
  return schemaCapsule(*reinterpret_cast<MaskedObject*>(self)->schema);
}

Py_ssize_t maskedLength(PyObject* self) {
  return static_cast<Py_ssize_t>((*reinterpret_cast<MaskedObject*>(self)->array)->length);
}

PyObject* maskedRepr(PyObject* self) {
  auto* masked = reinterpret_cast<MaskedObject*>(self);
  return PyUnicode_FromFormat("<morvo_arrow.MaskedArray of %zd values, Arrow type '%s'>",
                              static_cast<Py_ssize_t>((*masked->array)->length), (*masked->schema)->format.c_str());
}

void maskedDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* masked = reinterpret_cast<MaskedObject*>(self);
  delete masked->array;
  delete masked->schema;
  type->tp_free(self);
  Py_DECREF(type);
}

const char MASKED_DOC[] =
    "A masked Arrow array or record batch. It exports itself through the Arrow\n"
    "PyCapsule interface (`__arrow_c_array__`, `__arrow_c_schema__`), as often as\n"
    "asked, without copying its buffers.";

PyMethodDef MASKED_METHODS[] = {
    {"__arrow_c_array__", guardedMethod<maskedArrowArray>(),
     METH_FASTCALL | METH_KEYWORDS, "__arrow_c_array__($self, requested_schema=None)\n--\n\nThe array as a pair of capsules."},
    {"__arrow_c_schema__", guardedNoArgs<maskedArrowSchema>, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nThe type as a schema capsule."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot MASKED_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(MASKED_DOC)},
    {Py_tp_dealloc, reinterpret_cast<void*>(maskedDealloc)},
    {Py_tp_methods, MASKED_METHODS},
    {Py_tp_repr, reinterpret_cast<void*>(maskedRepr)},
    {Py_sq_length, reinterpret_cast<void*>(maskedLength)},
    {0, nullptr},
};

PyType_Spec MASKED_SPEC = {
    "morvo_arrow.MaskedArray",
    sizeof(MaskedObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    MASKED_SLOTS,
};

PyTypeObject* maskedType() {
  // Built under the GIL on first need and kept for the life of the process.
  static PyObject* type = nullptr;
  if (!type) type = PyType_FromSpec(&MASKED_SPEC);
  return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* newMasked(ArrayPtr array, SchemaPtr schema) {
  PyTypeObject* type = maskedType();
  if (!type) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  auto* masked = reinterpret_cast<MaskedObject*>(self);
  masked->array = new ArrayPtr(std::move(array));
  masked->schema = new SchemaPtr(std::move(schema));
  return self;
}

// ---- problems ------------------------------------------------------------

PyObject* problemEntry(const Output& output) {
  PyObject* marker = problemMarker(output);
  if (!marker) return raiseInternal("failed to create a problem entry");
  return marker;
}

// ---- maskArray -----------------------------------------------------------

constexpr std::array<const char*, 2> ARRAY_NAMES = {"masker", "array"};
constexpr Signature ARRAY_SIGNATURE{"maskArray()", ARRAY_NAMES};

PyObject* maskArray(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 2> bound{};
  if (!bindFastcall(ARRAY_SIGNATURE, args, nargs, kwnames, bound)) return nullptr;
  auto [maskerArg, arrayArg] = bound;
  // Both are used with the GIL released: hold them.
  PyRef maskerRef = PyRef::borrow(maskerArg);
  PyRef maskerType = PyRef::steal(maskerClass());
  if (!maskerType) return nullptr;
  ColumnPlan plan;
  if (!maskerParts(maskerArg, maskerType.get(), plan.masker, plan.engine)) {
    noteArgument("masker");
    return nullptr;
  }
  Imported imported;
  if (!importArray(arrayArg, "array", imported, true)) return nullptr;
  if (!planType(*imported.schema, plan)) {
    noteArgument("array");
    return nullptr;
  }
  plan.views = imported.views();
  plan.schema = imported.schema;

  Outcome outcome = withoutGilOn(plan.engine, [&] { maskPlan(plan); });
  if (raised(outcome)) return nullptr;

  PyRef problems = PyRef::steal(PyDict_New());
  if (!problems) return raiseInternal("failed to create a Python dict");
  for (const auto& [position, index] : plan.problems) {
    PyRef key = PyRef::steal(PyLong_FromLongLong(position));
    if (!key) return raiseInternal("failed to create a Python int");
    PyRef marker = PyRef::steal(problemEntry(plan.problemOutputs[index]));
    if (!marker) return nullptr;
    if (PyDict_SetItem(problems.get(), key.get(), marker.get()) < 0) return nullptr;
  }
  PyRef masked = PyRef::steal(newMasked(plan.masked, maskedSchema(plan)));
  if (!masked) return nullptr;
  return PyTuple_Pack(2, masked.get(), problems.get());
}

// ---- maskBatch -----------------------------------------------------------

constexpr std::array<const char*, 2> BATCH_NAMES = {"maskers", "batch"};
constexpr Signature BATCH_SIGNATURE{"maskBatch()", BATCH_NAMES};

PyObject* maskBatch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 2> bound{};
  if (!bindFastcall(BATCH_SIGNATURE, args, nargs, kwnames, bound)) return nullptr;
  auto [maskersArg, batchArg] = bound;

  PyRef maskerType = PyRef::steal(maskerClass());
  if (!maskerType) return nullptr;
  std::vector<PyRef> maskers;  // held for the call: their records are used without the GIL
  if (!readSequence(maskersArg, "maskers", "a str is not read as a sequence of maskers", [&](PyObject* item) {
        if (item != Py_None) {
          const Masker* masker;
          const EngineApi* engine;
          if (!maskerParts(item, maskerType.get(), masker, engine)) return false;
        }
        maskers.push_back(PyRef::borrow(item));
        return true;
      })) {
    return nullptr;
  }

  Imported imported;
  if (!importArray(batchArg, "batch", imported)) return nullptr;
  const ArrowSchema& schema = *imported.schema;
  ArrowArray& batch = *imported.array;
  if (std::string_view(schema.format) != "+s") {
    PyErr_Format(PyExc_TypeError, "a batch is a struct array, not an Arrow array of type '%s'", schema.format);
    noteArgument("batch");
    return nullptr;
  }
  const size_t width = maskers.size();
  if (schema.n_children != batch.n_children || static_cast<size_t>(batch.n_children) != width) {
    PyErr_Format(PyExc_ValueError, "the policy covers %zu column(s) and the batch has %lld", width,
                 static_cast<long long>(batch.n_children));
    return nullptr;
  }
  if (batch.null_count != 0 && batch.n_buffers > 0 && batch.buffers && batch.buffers[0]) {
    PyErr_SetString(PyExc_ValueError, "a batch with null rows cannot be masked");
    return nullptr;
  }
  if (batch.length < 0 || batch.offset < 0 || (width > 0 && !batch.children) || (width > 0 && !schema.children)) {
    PyErr_SetString(PyExc_ValueError, "malformed Arrow array: a struct without its columns");
    return nullptr;
  }
  for (size_t j = 0; j < width; ++j) {
    // Each column must cover the batch's rows, or reading would run past it.
    const ArrowArray* child = batch.children[j];
    if (!child || !schema.children[j] || !schema.children[j]->format || !child->release ||
        child->length < batch.offset + batch.length) {
      PyErr_Format(PyExc_ValueError, "malformed Arrow array: column %zu does not cover the batch's rows", j);
      return nullptr;
    }
  }

  std::vector<ColumnPlan> plans(width);
  std::vector<size_t> masked;
  const EngineApi* engine = nullptr;
  for (size_t j = 0; j < width; ++j) {
    if (maskers[j].get() == Py_None) continue;
    ColumnPlan& plan = plans[j];
    maskerParts(maskers[j].get(), maskerType.get(), plan.masker, plan.engine);
    engine = engine ? engine : plan.engine;
    plan.schema = schema.children[j];
    if (!planType(*plan.schema, plan)) {
      noteArgument("batch");
      return nullptr;
    }
    // The column as the batch shows it: the batch's own slice folded in.
    ArrowArray view = *batch.children[j];
    view.offset += batch.offset;
    view.length = batch.length;
    plan.views = {view};
    masked.push_back(j);
  }

  if (engine) {
    Outcome outcome = withoutGilOn(engine, [&] {
      engine->parallelFor(
          masked.size(),
          [&](size_t begin, size_t end) {
            for (size_t k = begin; k < end; ++k) maskPlan(plans[masked[k]]);
          },
          1);
    });
    if (raised(outcome)) return nullptr;
  }

  // The result: masked columns, and carried ones taken over without a copy.
  auto result = std::make_shared<ArrayData>();
  result->length = batch.length;
  result->buffers = {nullptr};
  auto resultSchema = std::make_shared<SchemaData>();
  resultSchema->format = "+s";
  resultSchema->name = schema.name ? schema.name : "";
  if (schema.metadata) resultSchema->metadata = copySchema(schema)->metadata;
  resultSchema->flags = schema.flags;
  for (size_t j = 0; j < width; ++j) {
    if (plans[j].masker) {
      result->children.push_back(plans[j].masked);
      resultSchema->children.push_back(maskedSchema(plans[j]));
    } else {
      result->children.push_back(takeChild(*batch.children[j], batch.offset, batch.length));
      resultSchema->children.push_back(copySchema(*schema.children[j]));
    }
  }

  // Problems in row order, then column order.
  std::vector<std::tuple<int64_t, size_t, const Output*>> found;
  for (size_t j : masked) {
    for (const auto& [row, index] : plans[j].problems) found.emplace_back(row, j, &plans[j].problemOutputs[index]);
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
    return std::tie(std::get<0>(a), std::get<1>(a)) < std::tie(std::get<0>(b), std::get<1>(b));
  });
  PyRef problems = PyRef::steal(PyList_New(0));
  if (!problems) return raiseInternal("failed to create a Python list");
  for (const auto& [row, column, output] : found) {
    PyRef marker = PyRef::steal(problemEntry(*output));
    if (!marker) return nullptr;
    PyRef entry = PyRef::steal(Py_BuildValue("(nLO)", static_cast<Py_ssize_t>(column), static_cast<long long>(row),
                                             marker.get()));
    if (!entry) return raiseInternal("failed to create a Python tuple");
    if (PyList_Append(problems.get(), entry.get()) < 0) return nullptr;
  }
  PyRef out = PyRef::steal(newMasked(std::move(result), std::move(resultSchema)));
  if (!out) return nullptr;
  return PyTuple_Pack(2, out.get(), problems.get());
}

// ---- the module ----------------------------------------------------------

PyMethodDef FUNCTIONS[] = {
    {"maskArray", guardedMethod<maskArray>(), METH_FASTCALL | METH_KEYWORDS, MASK_ARRAY_DOC},
    {"maskBatch", guardedMethod<maskBatch>(), METH_FASTCALL | METH_KEYWORDS, MASK_BATCH_DOC},
    {nullptr, nullptr, 0, nullptr},
};

int execute(PyObject* module) {
  PyTypeObject* type = maskedType();
  if (!type) return -1;
  Py_INCREF(type);
  if (PyModule_AddObject(module, "MaskedArray", reinterpret_cast<PyObject*>(type)) < 0) {
    Py_DECREF(type);
    return -1;
  }
  return PyModule_AddFunctions(module, FUNCTIONS);
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute)},
    {0, nullptr},
};

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT, "morvo_arrow", MODULE_DOC, 0, nullptr, SLOTS, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace morvo::arrow

PyMODINIT_FUNC PyInit_morvo_arrow() { return PyModuleDef_Init(&morvo::arrow::MODULE); }
