// The package module's functions beside its classes.
#ifndef TARNDB_BINDINGS_STORE_MODULE_FUNCTIONS_H_
#define TARNDB_BINDINGS_STORE_MODULE_FUNCTIONS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarndb::py::store {

// Add publish_file, _encode_codec, _decode_codec and _guard_truncation to
// module; -1 with an exception set on failure.
int AddModuleFunctions(PyObject* module);

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_MODULE_FUNCTIONS_H_
