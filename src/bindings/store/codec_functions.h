// The module-level functions for the value codec section.
#ifndef TARNDB_BINDINGS_STORE_CODEC_FUNCTIONS_H_
#define TARNDB_BINDINGS_STORE_CODEC_FUNCTIONS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarndb::py::store {

// Add _encode_codec and _decode_codec to module; -1 with an exception set
// on failure.
int AddCodecFunctions(PyObject* module);

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_CODEC_FUNCTIONS_H_
