// Instance layout shared by every class of both modules: the object header,
// the access counter, and the native state, which is built in place when the
// instance is created and destroyed when it is deallocated. A type's slots
// are the template's; no class writes its own lifetime.
//
// A state that holds Python references (OwnedRef members) says so by
// providing Traverse(visit, arg) and Clear(); its class is then tracked by
// the cyclic garbage collector (kTypeFlags) and takes Traverse and Clear as
// its tp_traverse and tp_clear. Any other state is never tracked.
#ifndef TARNDB_BINDINGS_COMMON_INSTANCE_H_
#define TARNDB_BINDINGS_COMMON_INSTANCE_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <concepts>
#include <new>
#include <utility>

#include "bindings/common/call_frame.h"
#include "bindings/common/py_ref.h"

namespace tarndb::py {

// Traverse visits each Python reference the state holds (Py_VISIT: returns
// the first non-zero result of visit); Clear drops them all, each pointer
// set to null before its reference goes (OwnedRef::reset does).
template <typename State>
concept CollectableState = requires(const State& s, State& m, visitproc visit, void* arg) {
  { s.Traverse(visit, arg) } -> std::same_as<int>;
  m.Clear();
};

template <typename State>
struct Instance {
  PyObject_HEAD
  AccessCounter access;
  alignas(State) unsigned char storage[sizeof(State)];

  static constexpr bool kCollectable = CollectableState<State>;
  // The type flags the class's spec adds for its state.
  static constexpr unsigned int kTypeFlags = kCollectable ? Py_TPFLAGS_HAVE_GC : 0;

  static Instance& Of(PyObject* self) { return *reinterpret_cast<Instance*>(self); }
  static State& StateOf(PyObject* self) { return Of(self).state(); }
  State& state() { return *std::launder(reinterpret_cast<State*>(storage)); }

  // Allocate an instance of type (the class or a subclass) through its
  // allocator and build its state in place from args (State{args...}).
  // Returns a new reference, or nullptr with the interpreter's error set
  // (args are then left to the caller's scope). The allocator of a
  // collectable class starts tracking the instance; nothing runs between
  // that and the state being in place.
  template <typename... Args>
  static PyObject* Create(PyTypeObject* type, Args&&... args) {
    allocfunc alloc = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    Instance& inst = Of(self);
    new (&inst.access) AccessCounter(0);
    new (inst.storage) State{std::forward<Args>(args)...};
    return self;
  }

  // tp_dealloc: stop tracking, destroy the state, free the memory, drop the
  // type reference that every instance of a heap type holds.
  static void Dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if constexpr (kCollectable) PyObject_GC_UnTrack(self);
    Instance& inst = Of(self);
    inst.state().~State();
    inst.access.~AccessCounter();
    type->tp_free(self);
    OwnedRef::Steal(reinterpret_cast<PyObject*>(type));
  }

  // tp_traverse: the instance's type (an instance of a heap type holds a
  // reference to it, which a cycle may run through: a class attribute
  // holding an instance), then the state's references.
  static int Traverse(PyObject* self, visitproc visit, void* arg) requires kCollectable {
    Py_VISIT(Py_TYPE(self));
    return StateOf(self).Traverse(visit, arg);
  }

  // tp_clear: the state drops its references; the instance stays valid.
  static int Clear(PyObject* self) requires kCollectable {
    StateOf(self).Clear();
    return 0;
  }
};

}  // namespace tarndb::py

#endif  // TARNDB_BINDINGS_COMMON_INSTANCE_H_
