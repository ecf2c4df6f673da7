// Merged listings of a sharded store (see shards_iterator.cc).
#ifndef TARNDB_BINDINGS_STORE_SHARDS_ITERATOR_H_
#define TARNDB_BINDINGS_STORE_SHARDS_ITERATOR_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bindings/store/reader_iterator.h"
#include "core/format/key_order.h"

namespace tarndb::py::store {

struct ScanBounds;

// An iterator, of the module of shards (a Shards instance), over the
// entries of the readers (a tuple of Reader instances, one per shard) in
// key order: all of them, or, with a prefix, those whose keys begin with
// it, or, with bounds, those within them (in either order). kObjects is not
// merged (objects are listed shard by shard). Returns a new reference, or
// nullptr with an exception set.
PyObject* NewMergeIterator(PyObject* shards, PyObject* readers, IterMode mode,
                           const KeyView* prefix, const ScanBounds* bounds = nullptr);

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_SHARDS_ITERATOR_H_
