#include "masker.h"

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "args.h"
#include "conversion.h"
#include "engine_api.h"
#include "errors.h"
#include "py_ref.h"
#include "sequence.h"

namespace morvo {

namespace {

const char MASKER_DOC[] =
    "Masker(subkey, strategy, options)\n--\n\n"
    "One column's masker: the key, the domain and the strategy, built once and\n"
    "called per chunk. Frozen, so `maskChunk` can reach it with the GIL\n"
    "released: nothing in it changes but the cache, behind its own lock.";

const char MASK_COLUMN_DOC[] =
    "maskColumn($self, values)\n--\n\n"
    "Masks one column.\n\n"
    "Returns `(masked, problems)`. `problems` maps a position to FALLBACK or\n"
    "to a REFUSED message; every other position of `masked` is the answer.\n"
    "The caller walks `problems` in position order, so a refusal Python would\n"
    "have raised first still raises first.\n\n"
    "`values` is any sequence, so the caller hands over the column it already\n"
    "has -- a list or a tuple -- rather than copying it into a list first.";

bool raiseValue(std::string_view message) {
  PyErr_SetString(PyExc_ValueError, std::string(message).c_str());
  return false;
}

// ---- option readers: each returns false with an exception set ----------
//
// Options are read with a borrowed reference from the dict. Any reader that
// can run Python code (__index__, __bool__, __iter__) may change the dict, so
// the value is held by a strong reference while it is read.

// The option's value as a strong reference, or none when the key is absent.
PyRef lookup(PyObject* options, const char* key) {
  return PyRef::borrow(PyDict_GetItemString(options, key));  // borrowed; raises nothing
}

bool readFlag(PyObject* options, const char* key, bool& out) {
  PyRef value = lookup(options, key);
  if (!value) {
    out = false;
    return true;
  }
  PyObject* v = value.get();
  if (PyBool_Check(v)) {
    out = v == Py_True;
    return true;
  }
  // numpy's bool type, recognised by module and name without importing numpy.
  PyTypeObject* type = Py_TYPE(v);
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module && !clearOrdinaryError()) return false;
  const char* moduleName = module && PyUnicode_Check(module.get()) ? PyUnicode_AsUTF8(module.get()) : nullptr;
  if (!moduleName && !clearOrdinaryError()) return false;
  const char* typeName = type->tp_name;
  if (const char* dot = std::strrchr(typeName, '.')) typeName = dot + 1;
  if (moduleName && std::strcmp(moduleName, "numpy") == 0 &&
      (std::strcmp(typeName, "bool_") == 0 || std::strcmp(typeName, "bool") == 0)) {
    if (!type->tp_as_number || !type->tp_as_number->nb_bool) {
      PyErr_Format(PyExc_TypeError, "type '%s' does not define a '__bool__' conversion", type->tp_name);
      noteArgument(key);
      return false;
    }
    int truth = type->tp_as_number->nb_bool(v);
    if (truth < 0) {
      noteArgument(key);
      return false;
    }
    out = truth != 0;
    return true;
  }
  raiseNotInstance(v, "bool", key);
  return false;
}

bool readText(PyObject* options, const char* key, std::optional<Text>& out, bool noneIsAbsent) {
  PyRef value = lookup(options, key);
  if (!value || (noneIsAbsent && value.get() == Py_None)) {
    out.reset();
    return true;
  }
  out.emplace();
  if (!readStr(value.get(), *out)) {
    noteArgument(key);
    return false;
  }
  return true;
}

bool readCount(PyObject* options, const char* key, std::optional<uint64_t>& out, bool noneIsAbsent,
               uint64_t limit = UINT64_MAX) {
  PyRef value = lookup(options, key);
  if (!value || (noneIsAbsent && value.get() == Py_None)) {
    out.reset();
    return true;
  }
  std::optional<uint64_t> count = readU64(value.get(), key);
  if (!count) return false;
  if (*count > limit) {
    PyErr_Format(PyExc_OverflowError, "%llu is too large for an unsigned 32-bit integer",
                 static_cast<unsigned long long>(*count));
    noteArgument(key);
    return false;
  }
  out = count;
  return true;
}

bool readCharset(PyObject* options, Charset& out) {
  std::optional<Text> text;
  if (!readText(options, "charset", text, false)) return false;
  if (!text || *text == "alphanumeric") {
    out = Charset::Alphanumeric;
  } else if (*text == "digits") {
    out = Charset::Digits;
  } else if (*text == "hex") {
    out = Charset::Hex;
  } else {
    Text message = "unknown charset ";
    message += quoted(*text);
    return raiseValue(message);
  }
  return true;
}

bool readWordList(PyObject* options, const char* key, std::string_view strategyName, Vec<Text>& out) {
  PyRef value = lookup(options, key);
  if (!value) {
    std::string message(strategyName);
    message += " needs ";
    message += key;
    return raiseValue(message);
  }
  return readSequence(value.get(), key, "a str is not read as a list of strings", [&](PyObject* item) {
    return readStr(item, out.emplace_back());
  });
}

// ---- strategies by name ------------------------------------------------

struct FakeName {
  std::string_view name;
  FakeKind kind;
};
constexpr FakeName FAKE_NAMES[] = {
    {"fakeFirstName", FakeKind::FirstName}, {"fakeLastName", FakeKind::LastName},
    {"fakeName", FakeKind::Name},           {"fakeCity", FakeKind::City},
    {"fakeCompany", FakeKind::Company},     {"fakeStreetAddress", FakeKind::StreetAddress},
};

bool buildFake(FakeKind kind, std::string_view name, PyObject* options, Strategy& out) {
  FakeLists lists;
  std::optional<Text> address;
  std::optional<uint64_t> maxLength;
  if (!readWordList(options, "firstNames", name, lists.firstNames) ||
      !readWordList(options, "lastNames", name, lists.lastNames) ||
      !readWordList(options, "cities", name, lists.cities) ||
      !readWordList(options, "streets", name, lists.streets) ||
      !readWordList(options, "streetKinds", name, lists.streetKinds) ||
      !readText(options, "address", address, false) ||
      !readWordList(options, "companySuffixes", name, lists.companySuffixes) ||
      !readWordList(options, "companyWords", name, lists.companyWords) ||
      !readCount(options, "maxLength", maxLength, true)) {
    return false;
  }
  if (address) lists.address = std::move(*address);
  auto made = FakeStrategy::make(kind, std::move(lists), maxLength);
  if (auto* message = std::get_if<Text>(&made)) return raiseValue(*message);
  out = strategy::Fake{std::make_unique<FakeStrategy>(std::move(std::get<FakeStrategy>(made)))};
  return true;
}

bool buildNumber(PyObject* options, Strategy& out) {
  std::optional<uint64_t> decimals;
  std::optional<Text> min, max, variance;
  if (!readCount(options, "decimals", decimals, true, UINT32_MAX) || !readText(options, "min", min, true) ||
      !readText(options, "max", max, true) || !readText(options, "variance", variance, true)) {
    return false;
  }
  auto view = [](const std::optional<Text>& t) -> std::optional<std::string_view> {
    if (!t) return std::nullopt;
    return std::string_view(*t);
  };
  std::optional<uint32_t> decimals32;
  if (decimals) decimals32 = static_cast<uint32_t>(*decimals);
  auto made = NumberStrategy::make(view(min), view(max), view(variance), decimals32);
  if (auto* message = std::get_if<Text>(&made)) return raiseValue(*message);
  out = strategy::Number{std::make_unique<NumberStrategy>(std::move(std::get<NumberStrategy>(made)))};
  return true;
}

// Selects the strategy by name and reads its options in their fixed order.
bool buildStrategy(std::string_view name, PyObject* options, const KeyedHash& hash, Strategy& out) {
  if (name == "key") {
    strategy::Key key;
    if (!readCharset(options, key.charset)) return false;
    out = key;
    return true;
  }
  if (name == "fpe") {
    Charset charset;
    bool strict = false;
    if (!readCharset(options, charset) || !readFlag(options, "strict", strict)) return false;
    out = strategy::Fpe{std::make_unique<FpeStrategy>(FpeStrategy::make(hash, charset, strict))};
    return true;
  }
  if (name == "hash") {
    std::optional<uint64_t> length;
    std::optional<Text> prefix;
    if (!readCount(options, "length", length, false) || !readText(options, "prefix", prefix, false)) return false;
    out = strategy::Hash{length.value_or(16), prefix.value_or(Text())};
    return true;
  }
  if (name == "email") {
    std::optional<uint64_t> length;
    std::optional<Text> domain;
    bool keepDomain = false;
    if (!readCount(options, "length", length, false) || !readText(options, "mailDomain", domain, false) ||
        !readFlag(options, "keepDomain", keepDomain)) {
      return false;
    }
    out = strategy::Email{domain ? std::move(*domain) : toText(DEFAULT_MAIL_DOMAIN), length.value_or(12), keepDomain};
    return true;
  }
  if (name == "digits") {
    std::optional<uint64_t> leading, trailing;
    if (!readCount(options, "keepLeading", leading, false) || !readCount(options, "keepTrailing", trailing, false)) {
      return false;
    }
    out = strategy::Digits{leading.value_or(0), trailing.value_or(0)};
    return true;
  }
  if (name == "number") return buildNumber(options, out);
  for (const FakeName& fake : FAKE_NAMES) {
    if (name == fake.name) return buildFake(fake.kind, name, options, out);
  }
  Text message = "no native masker for strategy ";
  message += quoted(name);
  return raiseValue(message);
}

bool hasCache(const Strategy& strategy) {
  return std::holds_alternative<strategy::Key>(strategy) || std::holds_alternative<strategy::Fpe>(strategy) ||
         std::holds_alternative<strategy::Fake>(strategy);
}

// ---- the type ----------------------------------------------------------

constexpr std::array<const char*, 3> NEW_NAMES = {"subkey", "strategy", "options"};
constexpr Signature NEW_SIGNATURE{"Masker.__new__()", NEW_NAMES};

PyObject* maskerNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 3> bound{};
  if (!bindTuple(NEW_SIGNATURE, args, kwargs, bound)) return nullptr;
  auto [subkey, strategyName, options] = bound;
  if (!PyBytes_Check(subkey)) {
    raiseNotInstance(subkey, "bytes", "subkey");
    return nullptr;
  }
  if (!PyUnicode_Check(strategyName)) {
    raiseNotInstance(strategyName, "str", "strategy");
    return nullptr;
  }
  // Options may run Python code that frees the name's str; keep a copy.
  Text name;
  if (!readUtf8(strategyName, name)) {
    noteArgument("strategy");
    return nullptr;
  }
  if (!PyDict_Check(options)) {
    raiseNotInstance(options, "dict", "options");
    return nullptr;
  }
  if (PyBytes_GET_SIZE(subkey) != static_cast<Py_ssize_t>(SUBKEY_SIZE)) {
    PyErr_SetString(PyExc_ValueError, "a subkey is 32 bytes");
    return nullptr;
  }
  std::array<uint8_t, SUBKEY_SIZE> key;
  std::memcpy(key.data(), PyBytes_AS_STRING(subkey), SUBKEY_SIZE);
  // The options dict may be changed by Python code run while it is read;
  // hold it for the whole read.
  PyRef optionsRef = PyRef::borrow(options);

  auto masker = std::make_unique<Masker>();
  try {
    masker->hash = KeyedHash::fromSubkey(key);
    if (!buildStrategy(name, optionsRef.get(), masker->hash, masker->strategy)) return nullptr;
  } catch (const InternalError& error) {
    return raiseInternal(error.what());
  }
  if (hasCache(masker->strategy)) masker->cache = std::make_unique<MaskerCache>();

  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;  // the record is released by its owner
  reinterpret_cast<MaskerObject*>(self)->masker = masker.release();
  reinterpret_cast<MaskerObject*>(self)->engine = engineApi();
  return self;
}

PyObject* guardedNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return maskerNew(type, args, kwargs); });
}

void maskerDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<MaskerObject*>(self)->masker;
  reinterpret_cast<MaskerObject*>(self)->masker = nullptr;
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

constexpr std::array<const char*, 1> COLUMN_NAMES = {"values"};
constexpr Signature COLUMN_SIGNATURE{"Masker.maskColumn()", COLUMN_NAMES};

// Reads every value of a column into inputs; false with an exception set.
// strs are borrowed, each held in `held` (the iterable may drop them, or be
// changed by another thread while the masking runs without the GIL).
bool readColumn(PyObject* values, PyObject* decimalType, Vec<Input>& inputs, std::vector<PyRef>& held) {
  size_t hint = 0;
  if (!sizeHint(values, hint)) return false;
  inputs.reserve(hint);
  held.reserve(hint);
  return forEachItem(values, true, [&](PyObject* item) {
    Input& input = inputs.emplace_back();
    if (!convert(item, decimalType, input, StrBytes::borrowed)) return false;
    if (std::holds_alternative<input::TextView>(input)) held.push_back(PyRef::borrow(item));
    return true;
  });
}

PyObject* maskColumn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 1> bound{};
  if (!bindFastcall(COLUMN_SIGNATURE, args, nargs, kwnames, bound)) return nullptr;
  PyObject* values = bound[0];
  // Masking runs without the GIL; the Python object may go away meanwhile.
  PyRef selfRef = PyRef::borrow(self);
  const Masker& masker = maskerOf(self);

  DecimalKit decimal;
  if (std::holds_alternative<strategy::Number>(masker.strategy) && !importDecimalKit(decimal)) return nullptr;

  Vec<Input> inputs;
  std::vector<PyRef> held;
  if (!readColumn(values, decimal.type.get(), inputs, held)) return nullptr;

  const size_t count = inputs.size();
  DistinctOutputs masked;
  Failure failure = withoutGil([&] {
    masked = maskDistinct(masker, inputs);
    Vec<Input>().swap(inputs);  // freed here, without the GIL
  });
  if (failure) return raiseFailure(failure);
  if (masked.outputs.size() != count) return raiseInternal("one output per input");

  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return raiseInternal("failed to create a Python list");
  PyRef problems = PyRef::steal(PyDict_New());
  if (!problems) return raiseInternal("failed to create a Python dict");
  for (size_t p = 0; p < count; ++p) {
    const size_t source = masked.sourceOf(p);
    const Output& output = masked.outputs[source];
    if (std::holds_alternative<Fallback>(output) || std::holds_alternative<Refused>(output)) {
      PyRef position = PyRef::steal(PyLong_FromSize_t(p));
      if (!position) return raiseInternal("failed to create a Python int");
      PyRef marker = PyRef::steal(problemMarker(output));
      if (!marker) return raiseInternal("failed to create a problem entry");
      if (PyDict_SetItem(problems.get(), position.get(), marker.get()) < 0) return nullptr;
    }
    PyObject* item;
    if (source < p) {
      // A repeat shares the object made for the value's first occurrence.
      item = PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(source));
      Py_INCREF(item);
    } else {
      item = toPython(output, decimal.make ? &decimal : nullptr);
      if (!item) return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(p), item);
  }
  Vec<Vec<Output>> released;
  released.push_back(std::move(masked.outputs));
  releaseOutputs(std::move(released));
  return PyTuple_Pack(2, list.get(), problems.get());
}

PyMethodDef MASKER_METHODS[] = {
    {"maskColumn", guardedMethod<maskColumn>(),
     METH_FASTCALL | METH_KEYWORDS, MASK_COLUMN_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot MASKER_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(MASKER_DOC)},
    {Py_tp_new, reinterpret_cast<void*>(guardedNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(maskerDealloc)},
    {Py_tp_methods, MASKER_METHODS},
    {0, nullptr},
};

PyType_Spec MASKER_SPEC = {
    "morvo_rs.Masker",
    sizeof(MaskerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    MASKER_SLOTS,
};

}  // namespace

PyTypeObject* maskerType() {
  // Built under the GIL on first need and kept for the life of the process.
  static PyObject* type = nullptr;
  if (!type) type = PyType_FromSpec(&MASKER_SPEC);
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace morvo
