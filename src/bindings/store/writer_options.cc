#include "bindings/store/writer_options.h"

#include <optional>
#include <string>
#include <utility>

#include "bindings/store/errors.h"
#include "bindings/store/keys.h"

namespace tarndb::py::store {
namespace {

bool MemoryLimit(PyObject* obj, WriterSettings* s) {
  const unsigned long long limit = PyLong_AsUnsignedLongLong(obj);
  if (limit == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError, "memory_limit must be a positive number of bytes");
    }
    return false;
  }
  if (limit < kWriterMinMemory) {
    PyErr_Format(PyExc_ValueError, "memory_limit must be at least %llu bytes (1 MiB), not %llu",
                 static_cast<unsigned long long>(kWriterMinMemory), limit);
    return false;
  }
  s->memory_limit = limit;
  return true;
}

bool Flag(PyObject* obj, std::optional<bool>* flag) {
  const int on = PyObject_IsTrue(obj);
  if (on < 0) return false;
  *flag = on != 0;
  return true;
}

bool Target(const StoreModule& module, PyObject* obj, WriterSettings* s) {
  std::optional<std::string> target = PathText(obj);
  if (!target) return false;
  if (Status ok = CheckTarget(*target); !ok.ok()) return SetCoreError(module, ok.error()), false;
  s->target = std::move(*target);
  return true;
}

bool Given(PyObject* obj) { return obj != nullptr && obj != Py_None; }

}  // namespace

bool ParseWriterSettings(const StoreModule& module, PyObject* const* a, WriterSettings* s) {
  if (Given(a[1]) && !MemoryLimit(a[1], s)) return false;
  if (Given(a[2])) {
    s->spill_dir = PathText(a[2]);
    if (!s->spill_dir) return false;
  }
  if (a[3] != nullptr && !Flag(a[3], &s->hash_index)) return false;
  if (Given(a[4]) && !Target(module, a[4], s)) return false;
  if (a[5] != nullptr && !Flag(a[5], &s->unique_keys)) return false;
  if (Given(a[6])) {
    unsigned long long k0 = 0, k1 = 0;
    if (!PyArg_ParseTuple(a[6], "KK;hash_seed must be a pair of integers", &k0, &k1)) return false;
    s->seed = HashKey{k0, k1};
  }
  if (a[7] != nullptr && !Flag(a[7], &s->filter)) return false;
  return true;
}

}  // namespace tarndb::py::store
