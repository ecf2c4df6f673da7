// Lazy iterators over a reader's index entries: keys, (key, value) pairs,
// values, or each object once. They read the store as they go, so a scan
// of any size holds one item at a time; each step checks that the reader
// is still open.
#ifndef TARNDB_BINDINGS_STORE_READER_ITERATOR_H_
#define TARNDB_BINDINGS_STORE_READER_ITERATOR_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "core/format/key_order.h"

namespace tarndb::py::store {

enum class IterMode {
  kKeys,    // key text of each entry
  kItems,   // (key text, value) of each entry
  kValues,  // value of each entry
  kObjects  // value of each object, once, at the first entry naming it
};

// An iterator over the entries of reader (a Reader instance or view):
// all of them, or from the first key not less than prefix while keys begin
// with it. Returns a new reference, or nullptr with an exception set.
PyObject* NewReaderIterator(PyObject* reader, IterMode mode);
PyObject* NewPrefixIterator(PyObject* reader, KeyView prefix);
// An iterator over the entries of reader within bounds (scan.h).
struct ScanBounds;
PyObject* NewRangeIterator(PyObject* reader, IterMode mode, const ScanBounds& bounds);

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_READER_ITERATOR_H_
