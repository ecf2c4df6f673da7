// How _tarndb reports a core error (core_error.cc).
#ifndef TARNDB_BINDINGS_TARNDB_CORE_ERROR_H_
#define TARNDB_BINDINGS_TARNDB_CORE_ERROR_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bindings/common/errors.h"

namespace tarndb::py {

// Raise the Python exception for a core error. Always returns nullptr.
PyObject* SetCoreError(const Error& error);

}  // namespace tarndb::py

#endif  // TARNDB_BINDINGS_TARNDB_CORE_ERROR_H_
