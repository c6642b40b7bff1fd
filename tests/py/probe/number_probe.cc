// Test-only module: the number strategy's fast and exact paths side by side,
// so that pytest can check that they agree wherever the fast path answers.
//
//   paths(kind, text, min, max, variance, decimals, key) -> (fast, exact)
//
// kind is "int" (text: decimal digits), "float" (text: the repr; the value is
// read back from it) or "decimal" (text: Python's str of the Decimal). min,
// max and variance are texts or None, decimals an int or None, key 32 bytes.
// Each result is the masked value (int, float, or the Decimal's text in Dec
// notation), "fallback", or for fast also "deferred".
#include <Python.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "common.h"
#include "number.h"

namespace {

using morvo::NumberStrategy;
using morvo::Outcome;

template <class F>
PyObject* guarded(F&& f) try { return f(); } catch (const std::exception& e) {
  return PyErr_SetString(PyExc_RuntimeError, e.what()), nullptr;
}

std::optional<std::string_view> optionalText(PyObject* o, bool& ok) {
  if (o == Py_None) return std::nullopt;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(o, &size);
  ok = data != nullptr;
  return data ? std::optional<std::string_view>(std::string_view(data, static_cast<size_t>(size))) : std::nullopt;
}

PyObject* text(std::string_view s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

PyObject* toPython(const morvo::Integer& v) {
  morvo::Text digits = morvo::decimalText(v);
  return PyLong_FromString(digits.c_str(), nullptr, 10);
}
PyObject* toPython(double v) { return PyFloat_FromDouble(v); }
PyObject* toPython(const morvo::Text& v) { return text(v); }

template <class T>
PyObject* fromOutcome(const Outcome<T>& o) {
  if (auto* v = std::get_if<T>(&o)) return toPython(*v);
  if (std::holds_alternative<morvo::Fallback>(o)) return text("fallback");
  return text("refused");
}

template <class T>
PyObject* pair(const std::optional<Outcome<T>>& fast, const Outcome<T>& exact) {
  PyObject* f = fast ? fromOutcome(*fast) : text("deferred");
  PyObject* e = fromOutcome(exact);
  if (!f || !e) {
    Py_XDECREF(f);
    Py_XDECREF(e);
    return nullptr;
  }
  return Py_BuildValue("(NN)", f, e);
}

PyObject* paths(PyObject*, PyObject* const* args, Py_ssize_t n) {
  if (n != 7) return PyErr_Format(PyExc_TypeError, "expected kind, text, min, max, variance, decimals, key");
  const char* kind = PyUnicode_AsUTF8(args[0]);
  if (!kind) return nullptr;
  bool ok = true;
  auto value = optionalText(args[1], ok);
  auto min = optionalText(args[2], ok);
  auto max = optionalText(args[3], ok);
  auto variance = optionalText(args[4], ok);
  if (!ok || !value) return ok ? PyErr_Format(PyExc_TypeError, "the value is a text") : nullptr;
  std::optional<uint32_t> decimals;
  if (args[5] != Py_None) {
    unsigned long d = PyLong_AsUnsignedLong(args[5]);
    if (PyErr_Occurred()) return nullptr;
    if (d > UINT32_MAX) return PyErr_Format(PyExc_ValueError, "decimals beyond 32 bits");
    decimals = static_cast<uint32_t>(d);
  }
  char* keyData = nullptr;
  Py_ssize_t keySize = 0;
  if (PyBytes_AsStringAndSize(args[6], &keyData, &keySize) < 0) return nullptr;
  if (keySize != 32) return PyErr_Format(PyExc_ValueError, "the key is 32 bytes");
  return guarded([&]() -> PyObject* {
    auto made = NumberStrategy::make(min, max, variance, decimals);
    if (auto* error = std::get_if<morvo::Text>(&made)) return PyErr_Format(PyExc_ValueError, "%s", error->c_str());
    const NumberStrategy& s = std::get<NumberStrategy>(made);
    std::span<const uint8_t, 32> key(reinterpret_cast<const uint8_t*>(keyData), 32);
    morvo::KeyedHash hash = morvo::KeyedHash::fromSubkey(key);
    std::string_view kindView(kind);
    if (kindView == "int") {
      bool negative = !value->empty() && (*value)[0] == '-';
      std::string_view digits = value->substr(negative);
      morvo::Integer v = morvo::Integer::fromMagnitude(negative, morvo::magnitudeFromDigits(digits));
      return pair(s.maskIntegerFast(hash, v), s.maskIntegerExact(hash, v));
    }
    if (kindView == "float") {
      std::string repr(*value);
      double v = std::strtod(repr.c_str(), nullptr);
      return pair(s.maskFloatFast(hash, v, repr), s.maskFloatExact(hash, v, repr));
    }
    if (kindView == "decimal") return pair(s.maskDecimalFast(hash, *value), s.maskDecimalExact(hash, *value));
    return PyErr_Format(PyExc_ValueError, "unknown kind %s", kind);
  });
}

// targets(x, min, max, variance, message, key) -> (fast, exact): the keyed
// target of the Dec text x drawn from message, in Dec's text; fast is
// "deferred" where the fast path gives none.
PyObject* targets(PyObject*, PyObject* const* args, Py_ssize_t n) {
  if (n != 6) return PyErr_Format(PyExc_TypeError, "expected x, min, max, variance, message, key");
  bool ok = true;
  auto xText = optionalText(args[0], ok);
  auto min = optionalText(args[1], ok);
  auto max = optionalText(args[2], ok);
  auto variance = optionalText(args[3], ok);
  auto message = optionalText(args[4], ok);
  if (!ok || !xText || !message) return ok ? PyErr_Format(PyExc_TypeError, "x and message are texts") : nullptr;
  char* keyData = nullptr;
  Py_ssize_t keySize = 0;
  if (PyBytes_AsStringAndSize(args[5], &keyData, &keySize) < 0) return nullptr;
  if (keySize != 32) return PyErr_Format(PyExc_ValueError, "the key is 32 bytes");
  return guarded([&]() -> PyObject* {
    auto x = morvo::Dec::parse(*xText);
    if (!x) return PyErr_Format(PyExc_ValueError, "not a decimal");
    auto made = NumberStrategy::make(min, max, variance, std::nullopt);
    if (auto* error = std::get_if<morvo::Text>(&made)) return PyErr_Format(PyExc_ValueError, "%s", error->c_str());
    const NumberStrategy& s = std::get<NumberStrategy>(made);
    morvo::KeyedHash hash = morvo::KeyedHash::fromSubkey(std::span<const uint8_t, 32>(
        reinterpret_cast<const uint8_t*>(keyData), 32));
    auto fast = s.targetFast(*x, hash, *message);
    PyObject* f = fast ? text(fast->toText()) : text("deferred");
    return Py_BuildValue("(NN)", f, text(s.target(*x, hash, *message).toText()));
  });
}

// hashTexts(text) -> (fast, exact): the keyed draws' message for a Decimal's
// text, None where it has none. The fast writer takes what fits 38 digits.
PyObject* hashTexts(PyObject*, PyObject* arg) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(arg, &size);
  if (!data) return nullptr;
  return guarded([&]() -> PyObject* {
    auto x = morvo::Dec::parse(std::string_view(data, static_cast<size_t>(size)));
    if (!x || x->isZero() || x->digits() > 38 || x->exponent < -400 || x->exponent > 400) {
      return PyErr_Format(PyExc_ValueError, "a non-zero decimal of at most 38 digits, exponent within 400");
    }
    char out[morvo::HASH_TEXT_CAPACITY];
    auto fast = morvo::decimalHashTextInto(x->coefficient.toU128(), x->exponent, x->negative, out);
    auto exact = morvo::decimalHashText(*x);
    PyObject* f = fast ? text({out, *fast}) : Py_NewRef(Py_None);
    PyObject* e = exact ? text(*exact) : Py_NewRef(Py_None);
    return Py_BuildValue("(NN)", f, e);
  });
}

std::optional<morvo::Rounding> roundingOf(std::string_view m) {
  if (m == "halfEven") return morvo::Rounding::halfEven;
  if (m == "ceiling") return morvo::Rounding::ceiling;
  if (m == "floor") return morvo::Rounding::floor;
  return std::nullopt;
}

PyObject* fromWide(const std::optional<morvo::WideDec>& w) {
  if (!w) return text("deferred");
  return text(morvo::toDec(*w).toText());
}

// wide(op, a, b) -> (fast, exact) in Dec's text: op "multiply" or "add" of
// two Dec texts, or "halfEven", "ceiling", "floor": quantize of a to the
// exponent b (an int). The fast result is "deferred" when a wide operand or
// result does not fit, and quantize gives "none" where Dec gives none.
PyObject* wide(PyObject*, PyObject* const* args, Py_ssize_t n) {
  if (n != 3) return PyErr_Format(PyExc_TypeError, "expected op, a, b");
  const char* op = PyUnicode_AsUTF8(args[0]);
  const char* a = op ? PyUnicode_AsUTF8(args[1]) : nullptr;
  if (!a) return nullptr;
  auto x = morvo::Dec::parse(a);
  if (!x) return PyErr_Format(PyExc_ValueError, "not a decimal: %s", a);
  std::string_view opView(op);
  return guarded([&]() -> PyObject* {
    auto wx = morvo::toWide(*x);
    if (auto rounding = roundingOf(opView)) {
      long long target = PyLong_AsLongLong(args[2]);
      if (target == -1 && PyErr_Occurred()) return nullptr;
      auto exact = morvo::Dec::quantize(*x, target, *rounding);
      PyObject* e = exact ? text(exact->toText()) : text("none");
      PyObject* f = nullptr;
      morvo::WideDec out;
      auto q = wx ? morvo::wideQuantize(*wx, target, *rounding, out) : morvo::Quantized::deferred;
      f = q == morvo::Quantized::ok                ? fromWide(out)
          : q == morvo::Quantized::unrepresentable ? text("none")
                                                   : text("deferred");
      return Py_BuildValue("(NN)", f, e);
    }
    const char* b = PyUnicode_AsUTF8(args[2]);
    if (!b) return nullptr;
    auto y = morvo::Dec::parse(b);
    if (!y) return PyErr_Format(PyExc_ValueError, "not a decimal: %s", b);
    auto wy = morvo::toWide(*y);
    if (opView == "multiply") {
      auto f = wx && wy ? morvo::wideMultiply(*wx, *wy) : std::nullopt;
      return Py_BuildValue("(NN)", fromWide(f), text(morvo::multiply(*x, *y).toText()));
    }
    if (opView == "add") {
      auto f = wx && wy ? morvo::wideAdd(*wx, *wy) : std::nullopt;
      return Py_BuildValue("(NN)", fromWide(f), text(morvo::Dec::add(*x, *y).toText()));
    }
    return PyErr_Format(PyExc_ValueError, "unknown op %s", op);
  });
}

// METH_FASTCALL functions have their own signature; CPython calls them by
// the flag.
template <PyObject* (*f)(PyObject*, PyObject* const*, Py_ssize_t)>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef METHODS[] = {{"paths", fastcall<paths>(), METH_FASTCALL, "(fast, exact) results of one value"},
                         {"targets", fastcall<targets>(), METH_FASTCALL, "(fast, exact) keyed targets"},
                         {"wide", fastcall<wide>(), METH_FASTCALL, "(fast, exact) of one Dec operation"},
                         {"hashTexts", hashTexts, METH_O, "(fast, exact) hash texts of a Decimal text"},
                         {nullptr, nullptr, 0, nullptr}};

PyModuleDef MODULE = {PyModuleDef_HEAD_INIT, "number_probe", "The number strategy's two paths, for tests.", -1,
                      METHODS, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_number_probe(void) { return PyModule_Create(&MODULE); }
