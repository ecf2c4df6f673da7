// The state of one tarndb._store module object: its classes and the
// package's exception classes it raises.
//
// The module is initialised in phases (a module object, then its execution
// step), so each module object (one per interpreter, or a second import)
// has its own classes and nothing of the module is process-wide. A call
// reaches the state through the class of the instance it runs on
// (ModuleOf), and only when it needs it: to raise one of the package's
// errors or to make another of the module's objects. Lookups, get_many and
// iteration never ask for it on their way to a value.
#ifndef TARNDB_BINDINGS_STORE_MODULE_STATE_H_
#define TARNDB_BINDINGS_STORE_MODULE_STATE_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bindings/common/py_ref.h"

namespace tarndb::py::store {

struct StoreModule {
  // The module's classes.
  OwnedRef reader_type;
  OwnedRef reader_iterator_type;
  OwnedRef merge_iterator_type;
  OwnedRef writer_type;
  OwnedRef shards_type;
  OwnedRef layers_type;
  OwnedRef layer_iterator_type;
  OwnedRef range_reader_type;
  // The classes of tarndb._errors that the module raises.
  OwnedRef corrupt_error;
  OwnedRef version_error;
  OwnedRef io_error;
  OwnedRef value_error;
  OwnedRef duplicate_key_error;

  static PyTypeObject* AsType(const OwnedRef& type) {
    return reinterpret_cast<PyTypeObject*>(type.get());
  }

  // Fill the state of a new module object: create the classes and import
  // the error classes. False with an exception set on failure.
  bool Init(PyObject* module);
  int Traverse(visitproc visit, void* arg) const;
  void Clear();
};

// The module's definition (module.cc), by which its classes find it.
extern PyModuleDef kStoreModuleDef;

// The state of a module object of this definition.
StoreModule& StateOfModule(PyObject* module);

// The state of the module that defined type (or the class a subclass
// derives from). Throws PythonErrorSet, with TypeError set, for a type of
// no class of this module.
StoreModule& ModuleOfType(PyTypeObject* type);

// The same for obj's class.
inline StoreModule& ModuleOf(PyObject* obj) { return ModuleOfType(Py_TYPE(obj)); }

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_MODULE_STATE_H_
