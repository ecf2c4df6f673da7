// The module-level function that publishes a small file through the core.
#ifndef TARNDB_BINDINGS_STORE_PUBLISH_FUNCTION_H_
#define TARNDB_BINDINGS_STORE_PUBLISH_FUNCTION_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarndb::py::store {

// Add publish_file to module; -1 with an exception set on failure.
int AddPublishFunctions(PyObject* module);

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_PUBLISH_FUNCTION_H_
