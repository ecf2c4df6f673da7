// Building result objects straight from native views, filled in place.
// Each returns a new reference; a failure to create one is an internal
// fault (see Made).
#ifndef TARNDB_BINDING_RESULTS_H_
#define TARNDB_BINDING_RESULTS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string_view>

#include "core/format/key_order.h"

namespace tarndb::py {

// Key text: UTF-8 with each maximal ill-formed subsequence replaced by one
// U+FFFD, exactly as bytes.decode('utf-8', 'replace'). Pure-ASCII keys take
// a fast path.
PyObject* KeyText(KeyView key);

// A new bytes object holding a copy of data[0, n).
PyObject* NewBytes(const uint8_t* data, size_t n);

// A new str from UTF-8 text that is known to be valid.
PyObject* NewStr(std::string_view text);

// A new 2-tuple (a, b), stealing both references. The pair is not tracked
// by the cycle collector: callers put only str and bytes in it.
PyObject* NewPair(PyObject* a, PyObject* b);

}  // namespace tarndb::py

#endif  // TARNDB_BINDING_RESULTS_H_
