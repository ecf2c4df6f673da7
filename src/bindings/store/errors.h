// The package module's exception classes.
#ifndef TARNDB_BINDINGS_STORE_ERRORS_H_
#define TARNDB_BINDINGS_STORE_ERRORS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarndb::py {

// Import tarndb._errors and keep its classes for SetCoreError. Returns
// false with an exception set when that fails.
bool LoadErrorClasses();

// Replace the pending exception, raised while decoding the value of key,
// with TarnValueError naming the key (the old one becomes its cause). An
// exception that is not the value's fault (MemoryError, KeyboardInterrupt
// and others outside Exception) stays as it is. Returns nullptr.
PyObject* RaiseUndecodable(PyObject* key);

}  // namespace tarndb::py

#endif  // TARNDB_BINDINGS_STORE_ERRORS_H_
