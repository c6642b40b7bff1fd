// A test-only extension for bench/floor.py: native timings of the
// primitives the strategies are built from, and the two per-value counts
// that a model outside the core cannot see (the passes of a Feistel cycle
// walk, the FF1 encryptions of an fpe cycle walk).
#include <Python.h>
#include <openssl/sha.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string_view>

#include "ff1.h"
#include "fpe.h"
#include "keyed_hash.h"

namespace morvo {
namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// C++ exceptions must not cross into the interpreter.
template <class F>
PyObject* guarded(F&& f) try { return f(); } catch (const std::exception& e) {
  return PyErr_SetString(PyExc_RuntimeError, e.what()), nullptr;
}

bool readSubkey(PyObject* object, std::array<uint8_t, SUBKEY_SIZE>& out) {
  if (!PyBytes_Check(object) || PyBytes_GET_SIZE(object) != static_cast<Py_ssize_t>(SUBKEY_SIZE)) {
    PyErr_SetString(PyExc_ValueError, "a subkey is 32 bytes");
    return false;
  }
  std::memcpy(out.data(), PyBytes_AS_STRING(object), SUBKEY_SIZE);
  return true;
}

KeyedHash fixedHash() {
  std::array<uint8_t, SUBKEY_SIZE> subkey;
  for (size_t i = 0; i < subkey.size(); ++i) subkey[i] = static_cast<uint8_t>(i);
  return KeyedHash::fromSubkey(subkey);
}

bool readIterations(PyObject* arg, unsigned long long& n) {
  n = PyLong_AsUnsignedLongLong(arg);
  if (PyErr_Occurred()) return false;
  if (n == 0) {
    PyErr_SetString(PyExc_ValueError, "at least one iteration");
    return false;
  }
  return true;
}

// timeCompress(n) -> seconds for n SHA-256 compressions of one block, each
// from the state the previous one left: the call the keyed hash makes per
// block, chained so that the compressions cannot overlap.
PyObject* timeCompress(PyObject*, PyObject* arg) {
  unsigned long long n;
  if (!readIterations(arg, n)) return nullptr;
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  uint8_t block[64];
  for (size_t i = 0; i < sizeof block; ++i) block[i] = static_cast<uint8_t>(i);
  auto start = Clock::now();
  for (unsigned long long i = 0; i < n; ++i) SHA256_Transform(&ctx, block);
  double elapsed = seconds(start);
  volatile uint32_t sink = ctx.h[0];
  (void)sink;
  return PyFloat_FromDouble(elapsed);
}

// timeDigest(n) -> seconds for n keyed digests of a 16-byte message under
// the empty label (one padded block: two compressions from the precomputed
// states), each message taking bytes of the previous digest.
PyObject* timeDigest(PyObject*, PyObject* arg) {
  unsigned long long n;
  if (!readIterations(arg, n)) return nullptr;
  KeyedHash hash = fixedHash();
  char message[16] = "0123456789abcde";
  auto start = Clock::now();
  for (unsigned long long i = 0; i < n; ++i) {
    Digest d = hash.digest(std::string_view(message, sizeof message), label::NONE);
    std::memcpy(message, d.data(), 8);
  }
  double elapsed = seconds(start);
  volatile char sink = message[0];
  (void)sink;
  return PyFloat_FromDouble(elapsed);
}

// timeAes(n) -> seconds for n AES-256 block encryptions by FF1's cipher (the
// AES instructions when the processor has them), chained like the CBC-MAC
// of FF1's rounds.
PyObject* timeAes(PyObject*, PyObject* arg) {
  unsigned long long n;
  if (!readIterations(arg, n)) return nullptr;
  std::array<uint8_t, 32> key;
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(3 * i + 1);
  return guarded([&] {
    Ff1 cipher = Ff1::make(key, 10);
    Block b{};
    auto start = Clock::now();
    for (unsigned long long i = 0; i < n; ++i) cipher.block(b);
    double elapsed = seconds(start);
    volatile uint8_t sink = b[0];
    (void)sink;
    return PyFloat_FromDouble(elapsed);
  });
}

// aesHardware() -> whether FF1 runs on the AES instructions here.
PyObject* aesHardware(PyObject*, PyObject*) {
  std::array<uint8_t, 32> key{};
  return guarded([&] { return PyBool_FromLong(Ff1::make(key, 10).hardware); });
}

u128 readU128(const uint8_t* p) {
  u128 v = 0;
  for (size_t i = 0; i < 16; ++i) v = (v << 8) | p[i];
  return v;
}

// permutePasses(subkey, sizeMinusOne, value, label) -> (permuted, passes):
// the core's Feistel permutation and its own count of cycle-walk passes.
// sizeMinusOne and value are 16 big-endian bytes each.
PyObject* permutePasses(PyObject*, PyObject* args) {
  PyObject* subkeyObject;
  const char* size;
  Py_ssize_t sizeLength;
  const char* value;
  Py_ssize_t valueLength;
  const char* label;
  Py_ssize_t labelLength;
  if (!PyArg_ParseTuple(args, "Oy#y#s#", &subkeyObject, &size, &sizeLength, &value, &valueLength, &label,
                        &labelLength)) {
    return nullptr;
  }
  std::array<uint8_t, SUBKEY_SIZE> subkey;
  if (!readSubkey(subkeyObject, subkey)) return nullptr;
  if (sizeLength != 16 || valueLength != 16) {
    PyErr_SetString(PyExc_ValueError, "sizeMinusOne and value are 16 bytes each");
    return nullptr;
  }
  return guarded([&] {
    KeyedHash hash = KeyedHash::fromSubkey(subkey);
    uint64_t passes = 0;
    u128 out = hash.permuteSmall(readU128(reinterpret_cast<const uint8_t*>(size)),
                                 readU128(reinterpret_cast<const uint8_t*>(value)),
                                 std::string_view(label, static_cast<size_t>(labelLength)), passes);
    uint8_t bytes[16];
    for (size_t i = 0; i < 16; ++i) bytes[15 - i] = static_cast<uint8_t>(out >> (8 * i));
    return Py_BuildValue("(y#K)", reinterpret_cast<const char*>(bytes), Py_ssize_t{16},
                         static_cast<unsigned long long>(passes));
  });
}

// fpeEncryptions(subkey, digits) -> (masked digits, encryptions): the fpe
// strategy's cycle walk on a non-negative integer of at least six digits,
// written as its digit text, with the count of FF1 encryptions it took.
PyObject* fpeEncryptions(PyObject*, PyObject* args) {
  PyObject* subkeyObject;
  const char* digits;
  Py_ssize_t length;
  if (!PyArg_ParseTuple(args, "Os#", &subkeyObject, &digits, &length)) return nullptr;
  std::array<uint8_t, SUBKEY_SIZE> subkey;
  if (!readSubkey(subkeyObject, subkey)) return nullptr;
  return guarded([&]() -> PyObject* {
    KeyedHash hash = KeyedHash::fromSubkey(subkey);
    FpeStrategy fpe = FpeStrategy::make(hash, Charset::Digits, false);
    Vec<uint32_t> x;
    for (Py_ssize_t i = 0; i < length; ++i) {
      if (digits[i] < '0' || digits[i] > '9') {
        PyErr_SetString(PyExc_ValueError, "digits only");
        return nullptr;
      }
      x.push_back(static_cast<uint32_t>(digits[i] - '0'));
    }
    if (x.size() < fpe.decimalCipher.minimumLength || x[0] == 0) {
      PyErr_SetString(PyExc_ValueError, "an integer of at least six digits");
      return nullptr;
    }
    // The walk of FpeStrategy::maskInteger on a non-negative value.
    unsigned long long encryptions = 1;
    Vec<uint32_t> y = fpe.decimalCipher.encrypt(x, label::INTEGER);
    while (y[0] == 0) {
      y = fpe.decimalCipher.encrypt(y, label::INTEGER);
      ++encryptions;
    }
    Text out;
    for (uint32_t d : y) out += static_cast<char>('0' + d);
    return Py_BuildValue("(s#K)", out.data(), static_cast<Py_ssize_t>(out.size()), encryptions);
  });
}

PyMethodDef METHODS[] = {
    {"timeCompress", timeCompress, METH_O, nullptr},
    {"timeDigest", timeDigest, METH_O, nullptr},
    {"timeAes", timeAes, METH_O, nullptr},
    {"aesHardware", aesHardware, METH_NOARGS, nullptr},
    {"permutePasses", permutePasses, METH_VARARGS, nullptr},
    {"fpeEncryptions", fpeEncryptions, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE = {PyModuleDef_HEAD_INIT, "floor_probe", nullptr, -1, METHODS, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace morvo

PyMODINIT_FUNC PyInit_floor_probe() { return PyModule_Create(&morvo::MODULE); }
