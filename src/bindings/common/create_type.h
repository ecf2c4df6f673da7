// Creating a class from a PyType_Spec, the same on every supported
// Python version.
#ifndef TARNDB_BINDINGS_COMMON_CREATE_TYPE_H_
#define TARNDB_BINDINGS_COMMON_CREATE_TYPE_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarndb::py {

// The class of spec, or nullptr with an exception set: PyType_FromSpec, or
// with a module, PyType_FromModuleAndSpec (the class then belongs to that
// module object, whose state its methods reach). Before Python 3.11, the
// interpreter drops the text signature ("name(args)\n--\n\n") when it
// copies the docstring slot, which hides the constructor's signature from
// inspect; the full docstring is put back there.
PyObject* CreateType(PyType_Spec* spec, PyObject* module = nullptr);

}  // namespace tarndb::py

#endif  // TARNDB_BINDINGS_COMMON_CREATE_TYPE_H_
