// The two classes of the module. Each is a heap type made with
// PyType_FromSpec once per process, on first need, and kept for the life of
// the process; every module object of the process shares them.
#ifndef TARNDB_BINDINGS_TARNDB_TYPES_H_
#define TARNDB_BINDINGS_TARNDB_TYPES_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarndb::py {

// The class object, or nullptr with an exception set if creating it failed.
PyTypeObject* WriterType();
PyTypeObject* ReaderType();

}  // namespace tarndb::py

#endif  // TARNDB_BINDINGS_TARNDB_TYPES_H_
