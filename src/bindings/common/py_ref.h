// OwnedRef: the one owner of a strong PyObject* reference.
//
// Every new reference goes into an OwnedRef on the line that creates it and
// leaves through release() when it is handed to Python. There is no implicit
// conversion to PyObject*; use get().
#ifndef TARNDB_BINDINGS_COMMON_PY_REF_H_
#define TARNDB_BINDINGS_COMMON_PY_REF_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

namespace tarndb::py {

struct PyDecref {
  void operator()(PyObject* p) const noexcept { Py_DECREF(p); }
};

class OwnedRef : public std::unique_ptr<PyObject, PyDecref> {
 public:
  using std::unique_ptr<PyObject, PyDecref>::unique_ptr;

  // Take ownership of a new reference (nullptr allowed).
  static OwnedRef Steal(PyObject* p) { return OwnedRef(p); }
  // Add a reference to a borrowed object and own it.
  static OwnedRef NewRef(PyObject* p) {
    Py_XINCREF(p);
    return OwnedRef(p);
  }
};

}  // namespace tarndb::py

#endif  // TARNDB_BINDINGS_COMMON_PY_REF_H_
