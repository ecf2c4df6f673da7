// The call frame every entry from Python goes through.
//
// A callable declares a Params table (qualified name, parameter names,
// required count). Bind* fills an array of borrowed argument pointers from
// CPython's calling conventions and raises the interpreter-style TypeErrors
// for surplus, unexpected, duplicated and missing arguments. ScopedUse takes
// an object for shared or exclusive use through its atomic access counter
// and releases it on every path. Frame runs a body and turns any C++
// exception that escapes it into a Python exception, so none crosses into
// the interpreter.
#ifndef TARNDB_BINDINGS_COMMON_CALL_FRAME_H_
#define TARNDB_BINDINGS_COMMON_CALL_FRAME_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <new>

#include "bindings/common/errors.h"

namespace tarndb::py {

struct Params {
  const char* fn;            // "{class}.{method}()", as used in messages
  const char* const* names;  // parameter names, in order
  int count;                 // number of parameters
  int required;              // the first `required` parameters are required
};

// METH_FASTCALL | METH_KEYWORDS arguments. On success out[0, count) hold
// borrowed pointers (nullptr for an omitted optional parameter) and true is
// returned; otherwise a TypeError is set and false returned.
bool BindFastcallSlow(const Params& params, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** out);
inline bool BindFastcall(const Params& params, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, PyObject** out) {
  // Every argument by position, the optional ones perhaps left out.
  if (kwnames == nullptr && nargs >= params.required && nargs <= params.count) {
    for (int i = 0; i < params.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    return true;
  }
  return BindFastcallSlow(params, args, nargs, kwnames, out);
}

// The same rules for the tuple-and-dict convention of tp_new.
bool BindTuple(const Params& params, PyObject* args, PyObject* kwargs, PyObject** out);

// Receiver check: self must be an instance of cls, else TypeError with the
// type-mismatch text naming cls_name.
bool CheckReceiverSlow(PyObject* self, PyTypeObject* cls, const char* cls_name);
inline bool CheckReceiver(PyObject* self, PyTypeObject* cls, const char* cls_name) {
  return (cls != nullptr && Py_TYPE(self) == cls) || CheckReceiverSlow(self, cls, cls_name);
}

// 0 free, n > 0 shared uses, -1 one exclusive use.
using AccessCounter = std::atomic<Py_ssize_t>;

class ScopedUse {
 public:
  enum Mode { kShared, kExclusive };

  // Try to take the object; on conflict a RuntimeError is set and the guard
  // converts to false ("Already mutably borrowed" when shared use meets an
  // exclusive one, "Already borrowed" when exclusive use meets any use).
  ScopedUse(AccessCounter& counter, Mode mode);
  ~ScopedUse();
  ScopedUse(const ScopedUse&) = delete;
  ScopedUse& operator=(const ScopedUse&) = delete;

  explicit operator bool() const { return taken_; }

 private:
  AccessCounter& counter_;
  Mode mode_;
  bool taken_ = false;
};

// Runs body() and returns its result; a C++ exception escaping it becomes a
// Python exception and `failed` is returned. A Panic or any other fault
// raises PanicException; std::bad_alloc raises MemoryError, because running
// out of memory is the caller's situation, not a bug.
template <typename R, typename Body>
R Frame(R failed, Body&& body) noexcept {
  try {
    return body();
  } catch (const PythonErrorSet&) {
    // The exception is already set.
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    RaisePanic(e.what());
  } catch (...) {
    RaisePanic(nullptr);
  }
  return failed;
}

template <typename Body>
PyObject* Frame(Body&& body) noexcept {
  return Frame<PyObject*>(nullptr, static_cast<Body&&>(body));
}

}  // namespace tarndb::py

#endif  // TARNDB_BINDINGS_COMMON_CALL_FRAME_H_
