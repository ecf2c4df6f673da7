#include "bindings/store/reader_scan.h"

#include <cstring>
#include <optional>
#include <string>

#include "bindings/common/call_frame.h"
#include "bindings/common/errors.h"
#include "bindings/store/keys.h"
#include "bindings/store/reader_object.h"

namespace tarndb::py::store {
namespace {

constexpr const char* kScanNames[] = {"mode", "start", "stop", "reverse"};

// A bound: None, or a key (str or bytes-like) as its bytes.
bool Bound(PyObject* obj, std::optional<std::string>* out) {
  if (obj == nullptr || obj == Py_None) return true;
  StoreKey key;
  if (!key.Convert(obj)) return false;
  out->emplace(reinterpret_cast<const char*>(key.view().data), key.view().size);
  return true;
}

}  // namespace

bool ParseScan(const char* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               IterMode* mode, ScanBounds* bounds) {
  const Params params{fn, kScanNames, 4, 1};
  PyObject* a[4];
  if (!BindFastcall(params, args, nargs, kwnames, a)) return false;
  const char* m = PyUnicode_Check(a[0]) ? PyUnicode_AsUTF8(a[0]) : nullptr;
  if (m != nullptr && std::strcmp(m, "keys") == 0) {
    *mode = IterMode::kKeys;
  } else if (m != nullptr && std::strcmp(m, "items") == 0) {
    *mode = IterMode::kItems;
  } else if (m != nullptr && std::strcmp(m, "values") == 0) {
    *mode = IterMode::kValues;
  } else {
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "a scan's mode is 'keys', 'items' or 'values'");
    return false;
  }
  if (!Bound(a[1], &bounds->start) || !Bound(a[2], &bounds->stop)) return false;
  const int reverse = a[3] == nullptr ? 0 : PyObject_IsTrue(a[3]);
  if (reverse < 0) return false;
  bounds->reverse = reverse != 0;
  return true;
}

extern "C" PyObject* ReaderScan(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    IterMode mode;
    ScanBounds bounds;
    if (!ParseScan("_scan()", args, nargs, kwnames, &mode, &bounds)) return nullptr;
    return NewRangeIterator(self, mode, bounds);
  });
}

extern "C" PyObject* ReaderSetKeysAsBytes(PyObject* self, PyObject* flag) {
  const int on = PyObject_IsTrue(flag);
  if (on < 0) return nullptr;
  ReaderRef(self).state().keys_as_bytes = on != 0;
  Py_RETURN_NONE;
}

}  // namespace tarndb::py::store
