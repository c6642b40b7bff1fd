// maskChunk: a whole chunk of rows masked with one release of the GIL, every
// masked column at once across the pool.
#include <array>

#include "args.h"
#include "conversion.h"
#include "errors.h"
#include "functions.h"
#include "masker.h"
#include "pool.h"
#include "py_ref.h"
#include "sequence.h"

namespace morvo {

const char MASK_CHUNK_DOC[] =
    "maskChunk(maskers, rows)\n--\n\n"
    "Masks a chunk: `rows` is a sequence of rows, and `maskers` has one entry per\n"
    "column, None for a column carried through as it is.\n\n"
    "Returns `(rows, problems)`: the rows as tuples, and `problems` a list of\n"
    "`(column, row, FALLBACK or (REFUSED, message))` in row order, each such\n"
    "position None in `rows`. The caller finishes them column by column, each\n"
    "column in row order, so the refusal Python would have raised first still\n"
    "raises first.\n\n"
    "The GIL is held to read the rows and to build the result, and released once\n"
    "between, while every masked column is masked at once across the pool. What\n"
    "the module allocated natively is freed without it: the inputs once masked,\n"
    "the outputs on a thread of their own once turned into Python objects. Freeing\n"
    "tens of millions of strings a job otherwise takes a quarter of the GIL time.";

namespace {

constexpr std::array<const char*, 2> CHUNK_NAMES = {"maskers", "rows"};
constexpr Signature CHUNK_SIGNATURE{"maskChunk()", CHUNK_NAMES};

// The maskers argument: one entry per column, a Masker or None. The masker
// objects are held for the whole call, since their records are used with
// the GIL released.
bool readMaskers(PyObject* maskers, std::vector<PyRef>& out) {
  PyTypeObject* type = maskerType();
  if (!type) return false;
  return readSequence(maskers, "maskers", "a str is not read as a sequence of maskers", [&](PyObject* item) {
    if (item != Py_None && !PyObject_TypeCheck(item, type)) {
      setNotInstance(item, "Masker");
      return false;
    }
    out.push_back(PyRef::borrow(item));
    return true;
  });
}

struct Column {
  const Masker* masker = nullptr;  // null: carried through
  PyObject* decimalType = nullptr;  // borrowed from the call's kit
  DecimalKit* decimal = nullptr;  // likewise
  Vec<Input> inputs;
  DistinctOutputs masked;
};

// Reads one row into its tuple and the masked columns' inputs.
bool readRow(PyObject* row, std::vector<Column>& columns, std::vector<PyRef>& tuples) {
  PyRef tuple = PyTuple_Check(row) ? PyRef::borrow(row) : PyRef::steal(PySequence_Tuple(row));
  if (!tuple) return false;
  Py_ssize_t width = PyTuple_GET_SIZE(tuple.get());
  if (static_cast<size_t>(width) != columns.size()) {
    PyErr_Format(PyExc_ValueError, "the policy covers %zu column(s) and a row has %zd", columns.size(), width);
    return false;
  }
  for (size_t j = 0; j < columns.size(); ++j) {
    Column& column = columns[j];
    if (!column.masker) continue;
    // Read in place; a failed read ends the call, so the entry left behind
    // does not matter. strs are borrowed: the tuple, and so its items, is
    // held until the result is built.
    if (!convert(PyTuple_GET_ITEM(tuple.get(), static_cast<Py_ssize_t>(j)), column.decimalType,
                 column.inputs.emplace_back(), StrBytes::borrowed))
      return false;
  }
  tuples.push_back(std::move(tuple));
  return true;
}

}  // namespace

PyObject* maskChunk(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 2> bound{};
  if (!bindFastcall(CHUNK_SIGNATURE, args, nargs, kwnames, bound)) return nullptr;
  auto [maskersArg, rows] = bound;

  // Phase 1: arguments.
  std::vector<PyRef> maskers;
  if (!readMaskers(maskersArg, maskers)) return nullptr;
  DecimalKit decimal;
  if (!importDecimalKit(decimal)) return nullptr;
  size_t hint = 0;
  if (!sizeHint(rows, hint)) return nullptr;
  std::vector<Column> columns(maskers.size());
  for (size_t j = 0; j < maskers.size(); ++j) {
    if (maskers[j].get() == Py_None) continue;
    columns[j].masker = &maskerOf(maskers[j].get());
    if (std::holds_alternative<strategy::Number>(columns[j].masker->strategy)) {
      columns[j].decimalType = decimal.type.get();
      columns[j].decimal = &decimal;
    }
    columns[j].inputs.reserve(hint);
  }

  // Phase 2: reading the rows.
  std::vector<PyRef> tuples;
  tuples.reserve(hint);
  if (!forEachItem(rows, false, [&](PyObject* row) { return readRow(row, columns, tuples); })) {
    return nullptr;
  }

  // Phase 3: masking, without the GIL.
  Failure failure = withoutGil([&] {
    auto maskColumn = [&](size_t j) {
      Column& column = columns[j];
      if (column.masker) column.masked = maskDistinct(*column.masker, column.inputs);
    };
    if (PoolHandle pool = takePool()) {
      pool->parallelFor(columns.size(), [&](size_t begin, size_t end) {
        for (size_t j = begin; j < end; ++j) maskColumn(j);
      });
    } else {
      for (size_t j = 0; j < columns.size(); ++j) maskColumn(j);
    }
    for (Column& column : columns) Vec<Input>().swap(column.inputs);
  });
  if (failure) return raiseFailure(failure);

  // Phase 4: building the result.
  PyRef problems = PyRef::steal(PyList_New(0));
  if (!problems) return raiseInternal("failed to create a Python list");
  PyRef result = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(tuples.size())));
  if (!result) return raiseInternal("failed to create a Python list");
  const Py_ssize_t width = static_cast<Py_ssize_t>(columns.size());
  for (size_t r = 0; r < tuples.size(); ++r) {
    PyRef out = PyRef::steal(PyTuple_New(width));
    if (!out) return raiseInternal("failed to create a Python tuple");
    // Whether an item can be part of a reference cycle.
    bool holdsTracked = false;
    for (size_t j = 0; j < columns.size(); ++j) {
      Column& column = columns[j];
      PyObject* item;
      if (!column.masker) {
        item = PyTuple_GET_ITEM(tuples[r].get(), static_cast<Py_ssize_t>(j));
        Py_INCREF(item);
      } else {
        if (r >= column.masked.outputs.size()) return raiseInternal("one output per input");
        const size_t source = column.masked.sourceOf(r);
        const Output& output = column.masked.outputs[source];
        if (std::holds_alternative<Fallback>(output) || std::holds_alternative<Refused>(output)) {
          PyRef marker = PyRef::steal(problemMarker(output));
          if (!marker) return raiseInternal("failed to create a problem entry");
          PyRef problem = PyRef::steal(Py_BuildValue("(nnO)", static_cast<Py_ssize_t>(j), static_cast<Py_ssize_t>(r), marker.get()));
          if (!problem) return raiseInternal("failed to create a Python tuple");
          if (PyList_Append(problems.get(), problem.get()) < 0) return nullptr;
        }
        if (source < r) {
          // A repeat shares the object made for the value's first row.
          item = PyTuple_GET_ITEM(PyList_GET_ITEM(result.get(), static_cast<Py_ssize_t>(source)),
                                  static_cast<Py_ssize_t>(j));
          Py_INCREF(item);
        } else {
          item = toPython(output, column.decimal);
          if (!item) return nullptr;
        }
      }
      holdsTracked = holdsTracked || (PyObject_IS_GC(item) && PyObject_GC_IsTracked(item));
      PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(j), item);
    }
    // A tuple of strs, numbers and None is never part of a cycle. The
    // collector would find that out and stop tracking it at its first pass;
    // untracked now, the rows of a large chunk cost no collections at all.
    if (!holdsTracked) PyObject_GC_UnTrack(out.get());
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(r), out.release());
  }
  tuples.clear();

  // The outputs are freed off this thread and without the GIL.
  Vec<Vec<Output>> outputs;
  outputs.reserve(columns.size());
  for (Column& column : columns) outputs.push_back(std::move(column.masked.outputs));
  releaseOutputs(std::move(outputs));
  return PyTuple_Pack(2, result.get(), problems.get());
}

}  // namespace morvo
