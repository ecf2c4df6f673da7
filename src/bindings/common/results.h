// Building result objects straight from native views, filled in place.
// Each returns a new reference; a failure to create one is an internal
// fault (see Made).
#ifndef TARNDB_BINDINGS_COMMON_RESULTS_H_
#define TARNDB_BINDINGS_COMMON_RESULTS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string_view>

#include "bindings/common/errors.h"
#include "bindings/common/py_ref.h"
#include "core/format/key_order.h"

namespace tarndb::py {

// Key text: UTF-8 with each maximal ill-formed subsequence replaced by one
// U+FFFD, exactly as bytes.decode('utf-8', 'replace'). Pure-ASCII keys take
// a fast path.
OwnedRef KeyText(KeyView key);

// A new bytes object holding a copy of data[0, n).
OwnedRef NewBytes(const uint8_t* data, size_t n);

// A new str from UTF-8 text that is known to be valid.
OwnedRef NewStr(std::string_view text);

// A new 2-tuple (a, b), taking over both references. The pair is not
// tracked by the cycle collector: callers put only str and bytes in it.
OwnedRef NewPair(OwnedRef a, OwnedRef b);

// Insert key -> make_value() into dict: the key's str is made first, then
// the value (an OwnedRef). Returns false with the interpreter's error set
// when the insertion fails.
template <typename MakeValue>
bool SetEntry(PyObject* dict, const char* key, MakeValue&& make_value) {
  OwnedRef k = OwnedRef::Steal(Made(PyUnicode_FromString(key)));
  OwnedRef v = make_value();
  return PyDict_SetItem(dict, k.get(), v.get()) == 0;
}

}  // namespace tarndb::py

#endif  // TARNDB_BINDINGS_COMMON_RESULTS_H_
