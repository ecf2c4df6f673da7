// Writer()'s arguments (encode, memory_limit, spill_dir, hash_index,
// target, unique_keys, hash_seed, filter) turned into what a new writer needs.
#ifndef TARNDB_BINDINGS_STORE_WRITER_OPTIONS_H_
#define TARNDB_BINDINGS_STORE_WRITER_OPTIONS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bindings/store/core_writer.h"
#include "bindings/store/module_state.h"

namespace tarndb::py::store {

// The settings from a[1..7], converted in order; a target no store may
// replace is refused here, before any value is written beside it. False
// with an exception set (as module's classes) on failure.
bool ParseWriterSettings(const StoreModule& module, PyObject* const* a, WriterSettings* settings);

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_WRITER_OPTIONS_H_
