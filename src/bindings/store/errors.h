// How the package's module raises: a core error as the package's exception
// classes, with their fields set, and a value that cannot be decoded.
#ifndef TARNDB_BINDINGS_STORE_ERRORS_H_
#define TARNDB_BINDINGS_STORE_ERRORS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bindings/store/module_state.h"
#include "core/common/result.h"

namespace tarndb::py::store {

// Raise the exception for a core error, from its fields alone (never its
// text): kCorrupt TarnCorruptError; kVersion TarnVersionError(version);
// kIo TarnIOError(text, errno, filename), errno None when the system gave
// no error number (a refusal of the binding's own) and the path leading
// the text unless the text names it already; kDuplicateKey
// TarnDuplicateKeyError(key, first_id, repeat_id); kOther ValueError. An
// interruption that left a Python exception pending (KeyboardInterrupt)
// stays. Always returns nullptr.
PyObject* SetCoreError(const StoreModule& module, const Error& error);

// Replace the pending exception, raised while decoding the value of key,
// with TarnValueError naming the key (the old one becomes its cause). An
// exception that is not the value's fault (MemoryError, KeyboardInterrupt
// and others outside Exception) stays as it is. Returns nullptr.
PyObject* RaiseUndecodable(const StoreModule& module, PyObject* key);

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_ERRORS_H_
