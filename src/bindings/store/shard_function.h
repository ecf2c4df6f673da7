// Registers tarndb._store's functions for sharded stores (shard_function.cc).
#ifndef TARNDB_BINDINGS_STORE_SHARD_FUNCTION_H_
#define TARNDB_BINDINGS_STORE_SHARD_FUNCTION_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarndb::py::store {

// Adds shard_of and _group_by_shard to module; -1 with an exception set on
// failure.
int AddShardFunctions(PyObject* module);

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_SHARD_FUNCTION_H_
