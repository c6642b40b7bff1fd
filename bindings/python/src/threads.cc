// setThreads, threads and availableCores: the Python face of the pool.
#include <array>
#include <string>

#include "args.h"
#include "cores.h"
#include "errors.h"
#include "functions.h"
#include "pool.h"

namespace morvo {

const char SET_THREADS_DOC[] =
    "setThreads(threads)\n--\n\n"
    "How many threads mask a chunk in this process, 1 for the calling thread\n"
    "alone. Results are the same for any count.";
const char THREADS_DOC[] = "threads()\n--\n\nThe masking threads in this process.";
const char AVAILABLE_CORES_DOC[] =
    "availableCores()\n--\n\n"
    "The cores this process may use: a container's CPU quota on Linux, where\n"
    "Python's os.cpu_count() reports the host's.";

namespace {
constexpr std::array<const char*, 1> THREADS_NAMES = {"threads"};
constexpr Signature THREADS_SIGNATURE{"setThreads()", THREADS_NAMES};
}  // namespace

PyObject* setThreads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 1> bound{};
  if (!bindFastcall(THREADS_SIGNATURE, args, nargs, kwnames, bound)) return nullptr;
  std::optional<uint64_t> count = readU64(bound[0], "threads");
  if (!count) return nullptr;
  if (*count == 0) {
    PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
    return nullptr;
  }
  if (*count == 1) {
    removePool();
    Py_RETURN_NONE;
  }
  if (std::optional<std::string> error = replacePool(*count)) {
    PyErr_Format(PyExc_ValueError, "could not start %llu masking threads: %s",
                 static_cast<unsigned long long>(*count), error->c_str());
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* threadsFunction(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLongLong(currentThreads());
}

PyObject* availableCoresFunction(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLong(availableCores());
}

}  // namespace morvo
