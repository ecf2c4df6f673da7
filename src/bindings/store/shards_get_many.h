// get_many of a sharded store (shards_get_many.cc).
#ifndef TARNDB_BINDINGS_STORE_SHARDS_GET_MANY_H_
#define TARNDB_BINDINGS_STORE_SHARDS_GET_MANY_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarndb::py::store {

// The values of keys (a tuple) among readers (a tuple of Reader instances,
// shard i at i) as a new list, in the keys' order, fallback for absent
// keys; nullptr with an exception set.
PyObject* ShardedGetMany(PyObject* readers, PyObject* keys, PyObject* fallback);

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_SHARDS_GET_MANY_H_
