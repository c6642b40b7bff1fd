// A test-only extension that exposes the value conversions, so the tests can
// check every rule of reading and building Python values directly.
#include <Python.h>

#include "conversion.h"
#include "errors.h"
#include "py_ref.h"

namespace morvo {
namespace {

PyObject* limbsList(const Integer& value) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (uint64_t limb : value.magnitude.span()) {
    PyRef item = PyRef::steal(PyLong_FromUnsignedLongLong(limb));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

// read(value, decimalType=None) -> (kind, payload...): the Input that value
// becomes; an int also comes back through toPython, with its sign and limbs.
PyObject* read(PyObject*, PyObject* args) {
  PyObject* value;
  PyObject* decimalType = Py_None;
  if (!PyArg_ParseTuple(args, "O|O", &value, &decimalType)) return nullptr;
  Input input;
  if (!convert(value, decimalType == Py_None ? nullptr : decimalType, input)) return nullptr;
  switch (input.index()) {
    case 0: return Py_BuildValue("(s)", "none");
    case 1: {
      const Integer& v = std::get<input::Int>(input).value;
      PyRef back = PyRef::steal(toPython(output::Int{v}, nullptr));
      PyRef limbs = PyRef::steal(limbsList(v));
      if (!back || !limbs) return nullptr;
      return Py_BuildValue("(siOO)", "int", static_cast<int>(v.sign), limbs.get(), back.get());
    }
    case 2: {
      const Text& t = std::get<input::Text>(input).text;
      return Py_BuildValue("(sy#)", "text", t.data(), static_cast<Py_ssize_t>(t.size()));
    }
    case 3: return Py_BuildValue("(s)", "other");
    case 4: return Py_BuildValue("(s)", "bool");
    case 7: {
      std::string_view t = std::get<input::TextView>(input).text;
      return Py_BuildValue("(sy#)", "text", t.data(), static_cast<Py_ssize_t>(t.size()));
    }
    case 5: {
      const auto& f = std::get<input::Float>(input);
      return Py_BuildValue("(sds#)", "float", f.value, f.repr.data(), static_cast<Py_ssize_t>(f.repr.size()));
    }
    default: {
      const Text& t = std::get<input::Decimal>(input).text;
      return Py_BuildValue("(ss#)", "decimal", t.data(), static_cast<Py_ssize_t>(t.size()));
    }
  }
}

// build(kind, payload, maker=None) -> toPython of the Output; "decimals"
// builds a list of texts' Decimals with one kit.
PyObject* build(PyObject*, PyObject* args) {
  const char* kind;
  PyObject* payload;
  PyObject* decimalType = Py_None;
  if (!PyArg_ParseTuple(args, "sO|O", &kind, &payload, &decimalType)) return nullptr;
  DecimalKit kit;
  if (decimalType != Py_None) kit.make = PyRef::borrow(decimalType);
  DecimalKit* decimal = kit.make ? &kit : nullptr;
  std::string_view k(kind);
  if (k == "decimals") {
    // One kit for a whole list of texts, as a column is built.
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    PyRef iterator = PyRef::steal(PyObject_GetIter(payload));
    if (!iterator) return nullptr;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
      const char* text = PyUnicode_AsUTF8(item.get());
      if (!text) return nullptr;
      PyRef built = PyRef::steal(toPython(output::Decimal{Text(text)}, decimal));
      if (!built || PyList_Append(list.get(), built.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return list.release();
  }
  Output output;
  if (k == "decimal" || k == "refused" || k == "text") {
    const char* text = PyUnicode_AsUTF8(payload);
    if (!text) return nullptr;
    if (k == "decimal") output = output::Decimal{Text(text)};
    if (k == "refused") output = Refused{Text(text)};
    if (k == "text") output = output::Text{Text(text)};
  } else if (k == "fallback") {
    output = Fallback{};
  } else if (k == "float") {
    output = output::Float{PyFloat_AsDouble(payload)};
  } else if (k == "copy") {
    // A deep copy outlives its original.
    Output original = output::Text{Text(PyUnicode_AsUTF8(payload))};
    output = original;
    original = output::None{};
  } else {
    output = output::None{};
  }
  return toPython(output, decimal);
}

// keep(*arguments) -> arguments[0], keeping the very tuple it was called
// with; kept() hands the kept tuples over. A maker that holds on to its
// arguments, as C code may.
PyObject* KEPT = nullptr;

PyObject* keep(PyObject*, PyObject* args) {
  if (PyTuple_GET_SIZE(args) != 1) {
    PyErr_SetString(PyExc_TypeError, "keep takes one argument");
    return nullptr;
  }
  if (!KEPT && !(KEPT = PyList_New(0))) return nullptr;
  if (PyList_Append(KEPT, args) < 0) return nullptr;
  return Py_NewRef(PyTuple_GET_ITEM(args, 0));
}

PyObject* kept(PyObject*, PyObject*) {
  PyObject* list = KEPT ? KEPT : PyList_New(0);
  KEPT = nullptr;
  return list;
}

PyMethodDef METHODS[] = {
    {"keep", keep, METH_VARARGS, nullptr},
    {"kept", kept, METH_NOARGS, nullptr},
    {"read", read, METH_VARARGS, nullptr},
    {"build", build, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE = {PyModuleDef_HEAD_INIT, "values_probe", nullptr, -1, METHODS, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace morvo

PyMODINIT_FUNC PyInit_values_probe() { return PyModule_Create(&morvo::MODULE); }
