// The writer's calls that store values: one pair (put), one value under
// many keys (put_many), and the batch calls (update, update_raw,
// _update_packed), which run their loop here, one native call for the
// whole batch. raw: values are bytes-like objects stored as they are, else
// any object, turned into bytes by the writer's encode callable. Each
// returns a new reference, or nullptr with an exception set.
#ifndef TARNDB_BINDINGS_STORE_WRITER_BATCH_H_
#define TARNDB_BINDINGS_STORE_WRITER_BATCH_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bindings/store/writer_object.h"

namespace tarndb::py::store {

// put/put_raw: one key, one new object; returns its ID.
PyObject* Put(const WriterRef& w, PyObject* key, PyObject* value, bool raw);

// put_many/put_many_raw: one new object under every key of keys (checked
// before anything is stored); returns its ID.
PyObject* PutMany(const WriterRef& w, PyObject* keys, PyObject* value, bool raw);

// update/update_raw: items is a mapping (its items) or an iterable of
// (key, value) pairs. Pairs before a failing one stay stored, as in
// dict.update. Returns None.
PyObject* Update(const WriterRef& w, PyObject* items, bool raw);

// _update_packed: update_raw over packed pairs (packed_pairs.h), as the
// sharded build hands them over; returns how many pairs it stored.
PyObject* UpdatePacked(const WriterRef& w, PyObject* packed);

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_WRITER_BATCH_H_
