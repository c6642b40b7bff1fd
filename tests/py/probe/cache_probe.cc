// A test-only extension that tells how many answers a masker's cache holds,
// so the tests can see what the cache keeps without measuring memory.
#include <Python.h>

#include <cstring>
#include <mutex>

#include "masker.h"

namespace morvo {
namespace {

// cacheSize(masker) -> int, or None for a masker without a cache. The masker
// comes from morvo_rs, whose type object is not this extension's: it is
// recognised by name, and its record has the same layout.
PyObject* cacheSize(PyObject*, PyObject* masker) {
  if (std::strcmp(Py_TYPE(masker)->tp_name, "morvo_rs.Masker") != 0) {
    PyErr_SetString(PyExc_TypeError, "a morvo_rs.Masker is needed");
    return nullptr;
  }
  MaskerCache* cache = maskerOf(masker).cache.get();
  if (!cache) Py_RETURN_NONE;
  std::lock_guard guard(cache->lock);
  return PyLong_FromSize_t(cache->size());
}

PyMethodDef METHODS[] = {
    {"cacheSize", cacheSize, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE = {PyModuleDef_HEAD_INIT, "cache_probe", nullptr, -1, METHODS, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace morvo

PyMODINIT_FUNC PyInit_cache_probe() { return PyModule_Create(&morvo::MODULE); }
