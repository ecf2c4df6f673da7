// The frame of a method call, written once for the methods of every class:
// bind the arguments, check the receiver, take the instance for shared or
// exclusive use, run the body with the native state, release on every path,
// and stop any C++ exception at the boundary.
#ifndef TARNDB_BINDINGS_COMMON_METHOD_CALL_H_
#define TARNDB_BINDINGS_COMMON_METHOD_CALL_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bindings/common/call_frame.h"
#include "bindings/common/instance.h"

namespace tarndb::py {

// The class a method belongs to, for the receiver check.
struct ClassRef {
  PyTypeObject* (*type)();  // the process-wide class object
  const char* name;         // its __qualname__, for the mismatch text
};

// Take the instance for use in mode and run body(state, args...); the
// instance is released on every path.
template <typename State, typename Body, typename... Args>
PyObject* RunTaken(PyObject* self, ScopedUse::Mode mode, Body& body, Args... args) {
  auto& inst = Instance<State>::Of(self);
  ScopedUse use(inst.access, mode);
  if (!use) return nullptr;
  return body(inst.state(), args...);
}

// A METH_FASTCALL | METH_KEYWORDS method with N parameters. body(state,
// args) runs with the instance taken and returns a new reference or nullptr
// with an exception set; args[i] is nullptr for an omitted optional one.
template <typename State, int N, typename Body>
PyObject* CallMethod(const Params& params, ClassRef cls, ScopedUse::Mode mode, PyObject* self,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     Body&& body) noexcept {
  return Frame([&]() -> PyObject* {
    PyObject* bound[N];
    if (!BindFastcall(params, args, nargs, kwnames, bound)) return nullptr;
    if (!CheckReceiver(self, cls.type(), cls.name)) return nullptr;
    return RunTaken<State>(self, mode, body, static_cast<PyObject**>(bound));
  });
}

// The same for a method of a class whose receiver the interpreter has
// checked already (its method descriptors do).
template <typename State, int N, typename Body>
PyObject* CallMethod(const Params& params, ScopedUse::Mode mode, PyObject* self,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     Body&& body) noexcept {
  return Frame([&]() -> PyObject* {
    PyObject* bound[N];
    if (!BindFastcall(params, args, nargs, kwnames, bound)) return nullptr;
    return RunTaken<State>(self, mode, body, static_cast<PyObject**>(bound));
  });
}

// A METH_NOARGS method or a repr slot: body(state) as above.
template <typename State, typename Body>
PyObject* CallNoArgs(ClassRef cls, ScopedUse::Mode mode, PyObject* self, Body&& body) noexcept {
  return Frame([&]() -> PyObject* {
    if (!CheckReceiver(self, cls.type(), cls.name)) return nullptr;
    return RunTaken<State>(self, mode, body);
  });
}

// Cast a fast-call function for a PyMethodDef entry.
template <typename F>
PyCFunction AsCFunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace tarndb::py

#endif  // TARNDB_BINDINGS_COMMON_METHOD_CALL_H_
