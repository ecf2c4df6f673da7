// Lookups on one reader (or raw view) that the reader's own methods and
// the sharded router share. Each returns failure with an exception set.
#ifndef TARNDB_BINDINGS_STORE_READER_LOOKUP_H_
#define TARNDB_BINDINGS_STORE_READER_LOOKUP_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bindings/store/reader_object.h"

namespace tarndb::py::store {

// r[key]: the value of key_obj, or nullptr with KeyError (or another
// exception) set.
PyObject* FetchOrKeyError(ReaderRef self, PyObject* key_obj);

// r.get(key, fallback): the value of key_obj, a new reference to fallback
// when absent, or nullptr with an exception set.
PyObject* FetchOr(ReaderRef self, PyObject* key_obj, PyObject* fallback);

// True, with TypeError set, when keys is one str or bytes where get_many
// takes an iterable of keys.
bool IsOneKey(PyObject* keys);

// 1 when key_obj is present, 0 when absent, -1 with an exception set.
int Contains(ReaderRef self, PyObject* key_obj);

// The values of keys[0, n) (fallback for absent ones) into the list out,
// at positions[i] (or at i when positions is null), looked up a batch at a
// time so that their cache misses overlap. The keys must not change while
// this runs (a decode callable runs Python code: pass a tuple then).
bool FetchMany(ReaderRef self, PyObject* const* keys, Py_ssize_t n, PyObject* fallback,
               PyObject* out, const Py_ssize_t* positions);

// The same for keys already converted: views[i] is the bytes of keys[i]
// (named in an error when its value cannot be decoded). Without positions
// the values go to out[first + i].
bool FetchViews(ReaderRef self, const KeyView* views, PyObject* const* keys, Py_ssize_t n,
                PyObject* fallback, PyObject* out, const Py_ssize_t* positions, Py_ssize_t first);

// The object offsets of views[0, n) in r (self's store), found[i] telling
// which are present (keys over the length limit are absent), looked up a
// batch at a time so that their cache misses overlap. False with an
// exception set.
bool FindViews(ReaderRef self, const Reader& r, const KeyView* views, size_t n, uint64_t* offsets,
               bool* found);

// The value at offset in r (read under key, named if decoding fails), or a
// new reference to fallback when not found; nullptr with an exception set.
PyObject* ValueAt(ReaderRef self, const Reader& r, bool found, uint64_t offset, PyObject* key,
                  PyObject* fallback);

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_READER_LOOKUP_H_
