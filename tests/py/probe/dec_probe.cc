// Test-only module: Dec arithmetic on texts, so that pytest can compare it
// with Python's decimal module. Texts in and out are in Dec's own notation;
// None stands for a text that does not parse (or a quantize that needs more
// than 60 digits).
#include <Python.h>

#include <optional>
#include <string_view>

#include "common.h"
#include "dec.h"

namespace {

using morvo::Dec;

// The arguments as parsed decimals (nullopt for a text that does not parse);
// false with a Python error set when they are not `count` str objects.
bool decArgs(PyObject* const* args, Py_ssize_t n, Py_ssize_t count, std::optional<Dec>* out) {
  if (n != count) return PyErr_Format(PyExc_TypeError, "expected %zd arguments", count), false;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(args[i], &size);
    if (!data) return false;
    out[i] = Dec::parse(std::string_view(data, static_cast<size_t>(size)));
  }
  return true;
}

PyObject* fromDec(const std::optional<Dec>& value) {
  if (!value) Py_RETURN_NONE;
  morvo::Text text = value->toText();
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// C++ exceptions must not cross into the interpreter.
template <class F>
PyObject* guarded(F&& f) try { return f(); } catch (const std::exception& e) {
  return PyErr_SetString(PyExc_RuntimeError, e.what()), nullptr;
}

template <Dec (*op)(const Dec&, const Dec&)>
PyObject* binary(PyObject*, PyObject* const* args, Py_ssize_t n) {
  std::optional<Dec> x[2];
  if (!decArgs(args, n, 2, x)) return nullptr;
  return guarded([&] { return fromDec(x[0] && x[1] ? std::optional<Dec>(op(*x[0], *x[1])) : std::nullopt); });
}

Dec identity(const Dec& x) { return x; }

template <Dec (*op)(const Dec&)>
PyObject* unary(PyObject*, PyObject* arg) {
  std::optional<Dec> x;
  if (!decArgs(&arg, 1, 1, &x)) return nullptr;
  return guarded([&] { return fromDec(x ? std::optional<Dec>(op(*x)) : std::nullopt); });
}

PyObject* compare(PyObject*, PyObject* const* args, Py_ssize_t n) {
  std::optional<Dec> x[2];
  if (!decArgs(args, n, 2, x)) return nullptr;
  if (!x[0] || !x[1]) Py_RETURN_NONE;
  return guarded([&] { return PyLong_FromLong(Dec::compare(*x[0], *x[1])); });
}

// quantize(text, exponent, rounding): rounding is "halfEven", "ceiling" or "floor".
PyObject* quantize(PyObject*, PyObject* const* args, Py_ssize_t n) {
  std::optional<Dec> x;
  if (n != 3) return PyErr_Format(PyExc_TypeError, "expected text, exponent, rounding");
  if (!decArgs(args, 1, 1, &x)) return nullptr;
  long long target = PyLong_AsLongLong(args[1]);
  if (target == -1 && PyErr_Occurred()) return nullptr;
  const char* mode = PyUnicode_AsUTF8(args[2]);
  if (!mode) return nullptr;
  std::string_view m(mode);
  if (m != "ceiling" && m != "floor" && m != "halfEven") return PyErr_Format(PyExc_ValueError, "unknown rounding %s", mode);
  auto rounding = m == "ceiling" ? morvo::Rounding::ceiling
                  : m == "floor" ? morvo::Rounding::floor
                                 : morvo::Rounding::halfEven;
  return guarded([&] { return fromDec(x ? Dec::quantize(*x, target, rounding) : std::nullopt); });
}

#define FAST(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f)), METH_FASTCALL
PyMethodDef METHODS[] = {{"toText", unary<identity>, METH_O, "Dec text of a parsed text, or None."},
                         {"rounded", unary<Dec::rounded>, METH_O, "The value cut to 60 digits."},
                         {"add", FAST(binary<Dec::add>), "a + b"},
                         {"subtract", FAST(binary<Dec::subtract>), "a - b"},
                         {"multiply", FAST(binary<morvo::multiply>), "a * b"},
                         {"compare", FAST(compare), "-1, 0 or 1"},
                         {"quantize", FAST(quantize), "quantize(text, exponent, rounding)"},
                         {nullptr, nullptr, 0, nullptr}};

PyModuleDef MODULE = {PyModuleDef_HEAD_INIT, "dec_probe", "Dec arithmetic on texts, for tests.", -1, METHODS,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_dec_probe(void) { return PyModule_Create(&MODULE); }
