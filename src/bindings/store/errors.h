// The package module's exception classes.
#ifndef TARNDB_BINDINGS_STORE_ERRORS_H_
#define TARNDB_BINDINGS_STORE_ERRORS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarndb::py {

// Import tarndb._errors and keep its classes for SetCoreError. Returns
// false with an exception set when that fails.
bool LoadErrorClasses();

}  // namespace tarndb::py

#endif  // TARNDB_BINDINGS_STORE_ERRORS_H_
