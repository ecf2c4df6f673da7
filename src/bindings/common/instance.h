// Instance layout shared by both classes: the object header, the access
// counter, and the native state, which is built in place by the constructor
// and destroyed explicitly by the destructor.
#ifndef TARNDB_BINDINGS_COMMON_INSTANCE_H_
#define TARNDB_BINDINGS_COMMON_INSTANCE_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

#include "bindings/common/call_frame.h"
#include "bindings/common/py_ref.h"

namespace tarndb::py {

template <typename State>
struct Instance {
  PyObject_HEAD
  AccessCounter access;
  alignas(State) unsigned char storage[sizeof(State)];

  State& state() { return *std::launder(reinterpret_cast<State*>(storage)); }

  // Allocate an instance of type through its allocator and move state into
  // it. Returns a new reference, or nullptr with the interpreter's error
  // set (state is then simply destroyed by the caller's scope).
  static PyObject* Create(PyTypeObject* type, State&& state) {
    allocfunc alloc = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* inst = reinterpret_cast<Instance*>(self);
    new (&inst->access) AccessCounter(0);
    new (inst->storage) State(std::move(state));
    return self;
  }

  // tp_dealloc: destroy the state, free the memory, drop the type reference
  // that every instance of a heap type holds.
  static void Dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto* inst = reinterpret_cast<Instance*>(self);
    inst->state().~State();
    inst->access.~AccessCounter();
    type->tp_free(self);
    OwnedRef::Steal(reinterpret_cast<PyObject*>(type));
  }
};

}  // namespace tarndb::py

#endif  // TARNDB_BINDINGS_COMMON_INSTANCE_H_
