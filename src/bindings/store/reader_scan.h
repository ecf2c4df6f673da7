// Range scans and the key form of a reader's scans: _scan(mode, start,
// stop, reverse) of a Reader or Shards, and _set_keys_as_bytes.
#ifndef TARNDB_BINDINGS_STORE_READER_SCAN_H_
#define TARNDB_BINDINGS_STORE_READER_SCAN_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bindings/store/reader_iterator.h"
#include "bindings/store/scan.h"

namespace tarndb::py::store {

// _scan's arguments (mode: "keys", "items" or "values"; start and stop:
// keys or None; reverse: a truth value), bound and converted. False with an
// exception set.
bool ParseScan(const char* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               IterMode* mode, ScanBounds* bounds);

// Reader._scan and Reader._set_keys_as_bytes.
extern "C" PyObject* ReaderScan(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
extern "C" PyObject* ReaderSetKeysAsBytes(PyObject* self, PyObject* flag);

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_READER_SCAN_H_
