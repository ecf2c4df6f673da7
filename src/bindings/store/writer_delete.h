// Writer.delete and Writer.delete_many: tombstones, which make the store a
// writer builds a delta (a layer that deletes keys from the layers below
// it). Each returns None, or nullptr with an exception set.
#ifndef TARNDB_BINDINGS_STORE_WRITER_DELETE_H_
#define TARNDB_BINDINGS_STORE_WRITER_DELETE_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bindings/store/writer_object.h"

namespace tarndb::py::store {

// delete(key)
PyObject* DeleteBody(const WriterRef& w, PyObject* const* a);
// delete_many(keys): any iterable of keys (one str or bytes is refused).
PyObject* DeleteManyBody(const WriterRef& w, PyObject* const* a);

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_WRITER_DELETE_H_
