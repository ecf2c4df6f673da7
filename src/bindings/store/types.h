// The classes of the package's module tarndb._store. Each is a heap type
// made once per process, on first need; Reader and Writer may be
// subclassed (the package's TarnReader and TarnWriter are).
#ifndef TARNDB_BINDINGS_STORE_TYPES_H_
#define TARNDB_BINDINGS_STORE_TYPES_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarndb::py::store {

// The class object, or nullptr with an exception set if creating it failed.
PyTypeObject* ReaderType();
PyTypeObject* ReaderIteratorType();
PyTypeObject* WriterType();
PyTypeObject* ShardsType();

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_TYPES_H_
