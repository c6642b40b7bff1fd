// Test-only module: Dec arithmetic on texts, so that pytest can compare it
// with Python's decimal module. Every function takes and gives decimal texts
// in Dec's own notation; None stands for a text that does not parse (or a
// quantize that needs more than 60 digits).
#include <Python.h>

#include <optional>
#include <string_view>

#include "dec.h"
#include "common.h"

namespace {

using morvo::Dec;

// A str argument as UTF-8; nullopt with the Python error set otherwise.
std::optional<std::string_view> textArg(PyObject* arg) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(arg, &size);
  if (!data) return std::nullopt;
  return std::string_view(data, static_cast<size_t>(size));
}

PyObject* fromDec(const std::optional<Dec>& value) {
  if (!value) Py_RETURN_NONE;
  morvo::Text text = value->toText();
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// C++ exceptions must not cross into the interpreter.
template <class F>
PyObject* guarded(F&& f) {
  try {
    return f();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
}

PyObject* unary(PyObject* arg, Dec (*op)(const Dec&)) {
  auto text = textArg(arg);
  if (!text) return nullptr;
  return guarded([&] {
    auto x = Dec::parse(*text);
    return fromDec(x ? std::optional<Dec>(op(*x)) : std::nullopt);
  });
}

PyObject* binary(PyObject* const* args, Py_ssize_t n, Dec (*op)(const Dec&, const Dec&)) {
  if (n != 2) {
    PyErr_SetString(PyExc_TypeError, "expected two texts");
    return nullptr;
  }
  auto a = textArg(args[0]);
  if (!a) return nullptr;
  auto b = textArg(args[1]);
  if (!b) return nullptr;
  return guarded([&] {
    auto x = Dec::parse(*a), y = Dec::parse(*b);
    return fromDec(x && y ? std::optional<Dec>(op(*x, *y)) : std::nullopt);
  });
}

Dec identity(const Dec& x) { return x; }

PyObject* parse(PyObject*, PyObject* arg) { return unary(arg, identity); }
PyObject* toText(PyObject*, PyObject* arg) { return unary(arg, identity); }
PyObject* rounded(PyObject*, PyObject* arg) { return unary(arg, Dec::rounded); }
PyObject* add(PyObject*, PyObject* const* args, Py_ssize_t n) { return binary(args, n, Dec::add); }
PyObject* subtract(PyObject*, PyObject* const* args, Py_ssize_t n) { return binary(args, n, Dec::subtract); }
PyObject* multiply(PyObject*, PyObject* const* args, Py_ssize_t n) { return binary(args, n, morvo::multiply); }

PyObject* compare(PyObject*, PyObject* const* args, Py_ssize_t n) {
  if (n != 2) {
    PyErr_SetString(PyExc_TypeError, "expected two texts");
    return nullptr;
  }
  auto a = textArg(args[0]);
  if (!a) return nullptr;
  auto b = textArg(args[1]);
  if (!b) return nullptr;
  return guarded([&]() -> PyObject* {
    auto x = Dec::parse(*a), y = Dec::parse(*b);
    if (!x || !y) Py_RETURN_NONE;
    return PyLong_FromLong(Dec::compare(*x, *y));
  });
}

PyObject* quantize(PyObject*, PyObject* const* args, Py_ssize_t n) {
  if (n != 3) {
    PyErr_SetString(PyExc_TypeError, "expected text, exponent, rounding");
    return nullptr;
  }
  auto text = textArg(args[0]);
  if (!text) return nullptr;
  long long target = PyLong_AsLongLong(args[1]);
  if (target == -1 && PyErr_Occurred()) return nullptr;
  auto mode = textArg(args[2]);
  if (!mode) return nullptr;
  morvo::Rounding rounding;
  if (*mode == "halfEven") {
    rounding = morvo::Rounding::halfEven;
  } else if (*mode == "ceiling") {
    rounding = morvo::Rounding::ceiling;
  } else if (*mode == "floor") {
    rounding = morvo::Rounding::floor;
  } else {
    PyErr_SetString(PyExc_ValueError, "rounding is halfEven, ceiling or floor");
    return nullptr;
  }
  return guarded([&] {
    auto x = Dec::parse(*text);
    return fromDec(x ? Dec::quantize(*x, target, rounding) : std::nullopt);
  });
}

PyMethodDef METHODS[] = {
    {"parse", parse, METH_O, "Dec text of a parsed text, or None."},
    {"toText", toText, METH_O, "Dec text of a parsed text, or None."},
    {"rounded", rounded, METH_O, "The value cut to 60 digits."},
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(add)), METH_FASTCALL, "a + b"},
    {"subtract", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(subtract)), METH_FASTCALL, "a - b"},
    {"multiply", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(multiply)), METH_FASTCALL, "a * b"},
    {"compare", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(compare)), METH_FASTCALL, "-1, 0, 1"},
    {"quantize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(quantize)), METH_FASTCALL,
     "quantize(text, exponent, rounding)"},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef MODULE = {PyModuleDef_HEAD_INIT, "dec_probe", "Dec arithmetic on texts, for tests.", -1, METHODS,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_dec_probe(void) { return PyModule_Create(&MODULE); }
