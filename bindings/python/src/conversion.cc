#include "conversion.h"

#include <climits>
#include <cmath>
#include <cstring>

#include "errors.h"
#include "float_repr.h"
#include "py_ref.h"

namespace morvo {

bool readUtf8(PyObject* text, morvo::Text& out) {
  Py_ssize_t length = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &length);
  if (!data) return false;  // lone surrogates: the interpreter's encoding error
  out.assign(data, static_cast<size_t>(length));
  return true;
}

bool importDecimalKit(DecimalKit& kit) {
  PyRef module = PyRef::steal(PyImport_ImportModule("decimal"));
  if (!module) return false;
  kit.type = PyRef::steal(PyObject_GetAttrString(module.get(), "Decimal"));
  if (!kit.type) return false;
  PyRef contextType = PyRef::steal(PyObject_GetAttrString(module.get(), "Context"));
  if (!contextType) return false;
  PyRef options = PyRef::steal(PyDict_New());
  if (!options) return false;
  for (auto [option, constant] : {std::pair{"prec", "MAX_PREC"}, {"Emax", "MAX_EMAX"}, {"Emin", "MIN_EMIN"}}) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(module.get(), constant));
    if (!value || PyDict_SetItemString(options.get(), option, value.get()) < 0) return false;
  }
  PyRef noArguments = PyRef::steal(PyTuple_New(0));
  if (!noArguments) return false;
  PyRef context = PyRef::steal(PyObject_Call(contextType.get(), noArguments.get(), options.get()));
  if (!context) return false;
  kit.make = PyRef::steal(PyObject_GetAttrString(context.get(), "create_decimal"));
  return static_cast<bool>(kit.make);
}

PyObject* problemMarker(const Output& output) {
  if (std::holds_alternative<Fallback>(output)) return PyUnicode_FromString("fallback");
  const Text& message = std::get<Refused>(output).message;
  return Py_BuildValue("(ss#)", "refused", message.data(), static_cast<Py_ssize_t>(message.size()));
}

namespace {

// Reads two's-complement little-endian bytes into a signed integer.
Integer fromTwosComplement(const uint8_t* bytes, size_t length) {
  bool negative = length > 0 && (bytes[length - 1] & 0x80);
  Limbs magnitude;
  uint64_t carry = 1;  // the +1 of the two's complement of a negative value
  for (size_t start = 0; start < length; start += 8) {
    uint64_t limb = 0;
    size_t take = std::min<size_t>(8, length - start);
    for (size_t i = 0; i < take; ++i) limb |= static_cast<uint64_t>(bytes[start + i]) << (8 * i);
    if (negative) {
      // Bytes past the end are sign extension (all ones) before inverting.
      if (take < 8) limb |= ~uint64_t{0} << (8 * take);
      limb = ~limb;
      u128 sum = static_cast<u128>(limb) + carry;
      limb = static_cast<uint64_t>(sum);
      carry = static_cast<uint64_t>(sum >> 64);
    }
    magnitude.push(limb);
  }
  return Integer::fromMagnitude(negative, std::move(magnitude));
}

// The full read of an int that does not fit 64 bits, through its own
// bit_length() and to_bytes(); any failure makes the value unreadable.
bool readLargeInt(PyObject* value, Integer& out) {
  PyRef bits = PyRef::steal(PyObject_CallMethod(value, "bit_length", nullptr));
  if (!bits) return false;
  unsigned long long n = PyLong_AsUnsignedLongLong(bits.get());
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  // The length sizes what to_bytes allocates: a bit_length that disagrees
  // with the integer's real size (a subclass that lies) makes the value
  // unreadable rather than an allocation of the lie's size.
  const int64_t real = static_cast<int64_t>(_PyLong_NumBits(value));
  if (real < 0) return false;
  if (n != static_cast<unsigned long long>(real)) return false;
  if (n == 0) {
    out = Integer{};
    return true;
  }
  unsigned long long length = n / 8 + 1;  // (n + 8) / 8 without overflow
  PyRef args = PyRef::steal(Py_BuildValue("(Ks)", length, "little"));
  if (!args) return false;
  PyRef kwargs = PyRef::steal(PyDict_New());
  if (!kwargs || PyDict_SetItemString(kwargs.get(), "signed", Py_True) < 0) return false;
  PyRef method = PyRef::steal(PyObject_GetAttrString(value, "to_bytes"));
  if (!method) return false;
  PyRef bytes = PyRef::steal(PyObject_Call(method.get(), args.get(), kwargs.get()));
  if (!bytes || !PyBytes_Check(bytes.get())) return false;
  out = fromTwosComplement(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(bytes.get())),
                           static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
  return true;
}

}  // namespace

namespace {

// The longest text a Text holds without allocating.
const size_t INLINE_TEXT = morvo::Text().capacity();

}  // namespace

bool convert(PyObject* value, PyObject* decimalType, Input& out, StrBytes strs) {
  if (value == Py_None) {
    out = input::None{};
    return true;
  }
  PyTypeObject* type = Py_TYPE(value);
  if (type == &PyBool_Type) {
    out = input::Bool{};
    return true;
  }
  if (PyType_FastSubclass(type, Py_TPFLAGS_UNICODE_SUBCLASS)) {
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &length);
    if (!data) return false;  // lone surrogates: the interpreter's encoding error
    const auto size = static_cast<size_t>(length);
    // A short text is copied into the input itself, with no allocation, and
    // stays beside its neighbours for the masking; a longer one is borrowed
    // when the caller holds the str: its own UTF-8, the data itself when
    // ASCII, else a copy the str keeps for as long as it lives.
    if (strs == StrBytes::borrowed && size > INLINE_TEXT) {
      out = input::TextView{std::string_view(data, size)};
    } else {
      out = input::Text{morvo::Text(data, size)};
    }
    return true;
  }
  if (PyType_FastSubclass(type, Py_TPFLAGS_LONG_SUBCLASS)) {
    long small = PyLong_AsLong(value);
    if (small == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      input::Int big;
      if (readLargeInt(value, big.value)) {
        out = std::move(big);
      } else {
        if (!clearOrdinaryError()) return false;
        out = input::Other{};
      }
      return true;
    }
    static_assert(sizeof(long) == 8, "a C long holds 64 bits on the platforms we build for");
    out = input::Int{Integer::fromI64(small)};
    return true;
  }
  if (!decimalType) {
    out = input::Other{};
    return true;
  }
  if (PyFloat_CheckExact(value) && std::isfinite(PyFloat_AS_DOUBLE(value))) {
    // A float's own repr, without the interpreter's dtoa, which costs about
    // as much as masking the value; a subclass may print itself otherwise.
    double number = PyFloat_AS_DOUBLE(value);
    out = input::Float{number, floatRepr(number)};
    return true;
  }
  if (PyFloat_Check(value)) {
    double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) return false;
    PyRef repr = PyRef::steal(PyObject_Repr(value));
    if (!repr) return false;
    input::Float result{number, {}};
    if (!PyUnicode_Check(repr.get())) {
      PyErr_SetString(PyExc_TypeError, "__repr__ returned non-string");
      return false;
    }
    if (!readUtf8(repr.get(), result.repr)) return false;
    out = std::move(result);
    return true;
  }
  int isDecimal = PyObject_IsInstance(value, decimalType);
  if (isDecimal < 0) {
    if (!clearOrdinaryError()) return false;
    out = input::Other{};
    return true;
  }
  if (isDecimal) {
    PyRef text = PyRef::steal(PyObject_Str(value));
    if (!text) return false;
    input::Decimal result;
    if (!readUtf8(text.get(), result.text)) return false;
    out = std::move(result);
    return true;
  }
  out = input::Other{};
  return true;
}

namespace {

PyObject* checked(PyObject* made, const char* what) {
  if (made) return made;
  PyErr_Clear();
  return raiseInternal(what);
}

PyObject* intToPython(const Integer& value) {
  const Limbs& m = value.magnitude;
  if (m.empty()) return checked(PyLong_FromLong(0), "failed to create a Python int");
  if (m.size() == 1) {
    uint64_t limb = m[0];
    if (!value.negative() && limb <= static_cast<uint64_t>(LLONG_MAX)) {
      return checked(PyLong_FromLongLong(static_cast<long long>(limb)), "failed to create a Python int");
    }
    if (value.negative() && limb <= (uint64_t{1} << 63)) {
      long long v = limb == (uint64_t{1} << 63) ? LLONG_MIN : -static_cast<long long>(limb);
      return checked(PyLong_FromLongLong(v), "failed to create a Python int");
    }
  }
  // Two's complement, little-endian, one byte longer than the magnitude so
  // that the sign bit always has room.
  size_t length = m.size() * 8 + 1;
  Vec<uint8_t> bytes(length, 0);
  for (size_t i = 0; i < m.size(); ++i) {
    for (size_t j = 0; j < 8; ++j) bytes[i * 8 + j] = static_cast<uint8_t>(m[i] >> (8 * j));
  }
  if (value.negative()) {
    unsigned carry = 1;
    for (auto& b : bytes) {
      unsigned v = static_cast<uint8_t>(~b) + carry;
      b = static_cast<uint8_t>(v);
      carry = v >> 8;
    }
  }
  // Trim redundant sign bytes.
  while (length > 1) {
    uint8_t top = bytes[length - 1], next = bytes[length - 2];
    bool redundant = (top == 0 && !(next & 0x80)) || (top == 0xff && (next & 0x80));
    if (!redundant) break;
    --length;
  }
  PyRef object = PyRef::steal(
      checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                        static_cast<Py_ssize_t>(length)),
              "failed to create Python bytes"));
  if (!object) return nullptr;
  PyRef args = PyRef::steal(checked(Py_BuildValue("(Os)", object.get(), "little"), "failed to create a Python tuple"));
  if (!args) return nullptr;
  PyRef kwargs = PyRef::steal(checked(PyDict_New(), "failed to create a Python dict"));
  if (!kwargs || PyDict_SetItemString(kwargs.get(), "signed", Py_True) < 0) return nullptr;
  PyRef fromBytes = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyLong_Type), "from_bytes"));
  if (!fromBytes) return nullptr;
  return PyObject_Call(fromBytes.get(), args.get(), kwargs.get());
}

// A str from UTF-8. Masked texts are nearly always ASCII, which is copied
// into the new object as it is, without decoding.
PyObject* textToPython(std::string_view text) {
  const auto size = static_cast<Py_ssize_t>(text.size());
  if (!isAscii(text)) return checked(PyUnicode_DecodeUTF8(text.data(), size, nullptr), "failed to create a Python str");
  PyObject* out = checked(PyUnicode_New(size, 127), "failed to create a Python str");
  if (out) std::memcpy(PyUnicode_DATA(out), text.data(), text.size());
  return out;
}

// A Decimal from its text, through the kit's maker. Calling it with a tuple
// of our own saves the tuple the interpreter would otherwise build and free
// for each call. The tuple is reused only while nothing else holds it: a
// maker that kept a reference keeps it unchanged, and the next call makes
// a new one.
PyObject* makeDecimal(DecimalKit& kit, std::string_view digits) {
  PyObject* text = textToPython(digits);
  if (!text) return nullptr;
  if (!kit.arguments || Py_REFCNT(kit.arguments.get()) != 1) {
    kit.arguments = PyRef::steal(PyTuple_New(1));
    if (!kit.arguments) {
      Py_DECREF(text);
      return raiseInternal("failed to create a Python tuple");
    }
  }
  PyObject* previous = PyTuple_GET_ITEM(kit.arguments.get(), 0);
  PyTuple_SET_ITEM(kit.arguments.get(), 0, text);
  Py_XDECREF(previous);
  return PyObject_Call(kit.make.get(), kit.arguments.get(), nullptr);
}

}  // namespace

PyObject* toPython(const Output& output, DecimalKit* decimal) {
  switch (output.index()) {
    case 1:
      return intToPython(std::get<output::Int>(output).value);
    case 2: {
      return textToPython(std::get<output::Text>(output).text);
    }
    case 3:
      return checked(PyFloat_FromDouble(std::get<output::Float>(output).value),
                     "failed to create a Python float");
    case 4: {
      if (!decimal) {
        return raiseInternal("internal error: entered unreachable code: only a number column returns a Decimal");
      }
      return makeDecimal(*decimal, std::get<output::Decimal>(output).text);
    }
    default:  // None, and both problem outcomes
      Py_RETURN_NONE;
  }
}

}  // namespace morvo
