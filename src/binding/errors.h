// Turning failures into Python exceptions.
//
// Core errors become built-in exceptions whose message starts with the
// kind's prefix: corrupt and version -> RuntimeError, I/O -> OSError, other
// -> ValueError. Internal faults become PanicException, a BaseException
// subclass created once per process and not exported, so an ordinary
// `except Exception` does not swallow a bug.
#ifndef TARNDB_BINDING_ERRORS_H_
#define TARNDB_BINDING_ERRORS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdexcept>
#include <string>

#include "core/common/result.h"

namespace tarndb::py {

// An internal fault, thrown inside a call and caught by its frame.
class Panic : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raise the Python exception for a core error. Always returns nullptr.
PyObject* SetCoreError(const Error& error);

// Raise PanicException carrying message (a generic text when null).
// Always returns nullptr.
PyObject* RaisePanic(const char* message);

// Check an object the interpreter was asked to create: a null result is an
// internal fault. The interpreter's pending error is reported as unraisable
// and Panic("PyObject pointer is null") is thrown.
PyObject* Made(PyObject* p);

// "'{type}' object is not an instance of '{expected}'", or for None
// "'None' is not an instance of '{expected}'", as a new str (nullptr with an
// exception set on failure). prefix, when given, is put in front.
PyObject* TypeMismatchText(PyObject* obj, const char* expected, const char* prefix);

// Raise TypeError with "argument '{name}': " and the type-mismatch text.
// Always returns nullptr.
PyObject* RaiseArgumentTypeMismatch(const char* name, PyObject* obj, const char* expected);

// If the pending exception is exactly a TypeError, replace it by a TypeError
// whose text is "argument '{name}': " followed by the old text, keeping the
// old exception's cause. Other exceptions stay as they are.
void PrefixArgumentError(const char* name);

}  // namespace tarndb::py

#endif  // TARNDB_BINDING_ERRORS_H_
