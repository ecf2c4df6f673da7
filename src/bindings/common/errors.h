// Turning failures into Python exceptions, the parts both modules share.
//
// Internal faults become PanicException, a BaseException subclass created
// once per process, so an ordinary `except Exception` does not swallow a
// bug. How a core error becomes an exception is each module's own
// (SetCoreError, in tarndb/core_error.h and store/errors.h).
#ifndef TARNDB_BINDINGS_COMMON_ERRORS_H_
#define TARNDB_BINDINGS_COMMON_ERRORS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdexcept>
#include <string>
#include <string_view>

#include "core/common/result.h"

namespace tarndb::py {

// An internal fault, thrown inside a call and caught by its frame.
class Panic : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Thrown when a Python exception is already set and must reach the caller
// unchanged (a MemoryError while creating a result, say); the frame stops
// it and returns failure.
struct PythonErrorSet {};

// The dotted name of the module's PanicException, defined by each module.
extern const char kPanicClassName[];

// The core's interrupt check (core/common/posix.h) for both modules: run
// the interpreter's pending signal handlers, and stop when one raised (the
// exception stays set; SetCoreError then leaves it in place of the EINTR
// error). Safe with or without the interpreter lock held.
bool CheckPythonSignals();

// Whether error is an interruption that left a Python exception pending.
bool InterruptedByPython(const Error& error);

// Raise cls(text), the text decoded from UTF-8 with bad bytes replaced
// (it may hold NUL bytes). Always returns nullptr.
PyObject* RaiseWithText(PyObject* cls, std::string_view text);

// Raise PanicException carrying message (a generic text when null).
// Always returns nullptr.
PyObject* RaisePanic(const char* message);

// Check an object the interpreter was asked to create. A null result with
// MemoryError pending throws PythonErrorSet, so the MemoryError reaches the
// caller; any other null result is an internal fault: the pending error is
// reported as unraisable and Panic("PyObject pointer is null") is thrown.
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

#endif  // TARNDB_BINDINGS_COMMON_ERRORS_H_
