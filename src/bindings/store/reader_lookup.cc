#include "bindings/store/reader_lookup.h"

#include <algorithm>
#include <memory>

#include "bindings/common/errors.h"
#include "bindings/store/keys.h"
#include "core/format/layout.h"

namespace tarndb::py::store {
namespace {

// The object offset of key: found, absent (keys no store can hold, over
// 65,535 bytes, are absent too), or false with an exception set.
bool Find(ReaderRef self, const Reader& r, KeyView key, std::optional<uint64_t>* offset) {
  if (key.size > kMaxKeyLength) return true;
  Result<std::optional<uint64_t>> found = r.Find(key);
  if (!found.ok()) {
    self.Raise(found.error());
    return false;
  }
  *offset = found.value();
  return true;
}

// The value of key_obj; nullptr with *missing set when absent, or nullptr
// with an exception set.
PyObject* Fetch(ReaderRef self, PyObject* key_obj, bool* missing) {
  StoreKey key;
  if (!key.Convert(key_obj)) return nullptr;
  const Reader* r = self.Store();
  if (r == nullptr) return nullptr;
  std::optional<uint64_t> offset;
  if (!Find(self, *r, key.view(), &offset)) return nullptr;
  if (!offset) {
    if (!self.CheckIntact(*r)) return nullptr;
    *missing = true;
    return nullptr;
  }
  Result<ObjectView> obj = r->ReadObject(*offset);
  if (!obj.ok()) return self.CheckIntact(*r) ? self.Raise(obj.error()) : nullptr;
  return self.Value(*r, obj.value(), KeyOf{key_obj, {}}).release();
}

}  // namespace

PyObject* FetchOrKeyError(ReaderRef self, PyObject* key_obj) {
  bool missing = false;
  PyObject* value = Fetch(self, key_obj, &missing);
  if (missing) {
    // The key as KeyError's one argument, even when it is a tuple.
    OwnedRef args = OwnedRef::Steal(PyTuple_Pack(1, key_obj));
    if (args) PyErr_SetObject(PyExc_KeyError, args.get());
  }
  return value;
}

PyObject* FetchOr(ReaderRef self, PyObject* key_obj, PyObject* fallback) {
  bool missing = false;
  PyObject* value = Fetch(self, key_obj, &missing);
  if (!missing) return value;
  Py_INCREF(fallback);
  return fallback;
}

bool IsOneKey(PyObject* keys) {
  if (!PyUnicode_Check(keys) && !PyBytes_Check(keys)) return false;
  PyErr_SetString(PyExc_TypeError, "get_many() takes an iterable of keys, not one key");
  return true;
}

int Contains(ReaderRef self, PyObject* key_obj) {
  StoreKey key;
  if (!key.Convert(key_obj)) return -1;
  const Reader* r = self.Store();
  if (r == nullptr) return -1;
  std::optional<uint64_t> offset;
  if (!Find(self, *r, key.view(), &offset) || !self.CheckIntact(*r)) return -1;
  return offset.has_value() ? 1 : 0;
}

bool FindViews(ReaderRef self, const Reader& r, const KeyView* views, size_t n, uint64_t* offsets,
               bool* found) {
  constexpr size_t kBatch = Reader::kMaxLookupBatch;
  KeyView batch[kBatch];
  uint64_t batch_offsets[kBatch];
  bool batch_found[kBatch];
  for (size_t base = 0; base < n; base += kBatch) {
    const size_t m = std::min(n - base, kBatch);
    size_t lookups = 0;  // keys too long to be stored are not looked up
    for (size_t b = 0; b < m; ++b) {
      if (views[base + b].size <= kMaxKeyLength) batch[lookups++] = views[base + b];
    }
    if (Status s = r.FindMany(batch, lookups, batch_offsets, batch_found); !s.ok()) {
      ReaderRef::Raise(self.object(), s.error());
      return false;
    }
    for (size_t b = 0, l = 0; b < m; ++b) {
      const bool storable = views[base + b].size <= kMaxKeyLength;
      found[base + b] = storable && batch_found[l];
      offsets[base + b] = storable ? batch_offsets[l] : 0;
      l += storable;
    }
  }
  return true;
}

PyObject* ValueAt(ReaderRef self, const Reader& r, bool found, uint64_t offset, PyObject* key,
                  PyObject* fallback) {
  if (!found) {
    Py_INCREF(fallback);
    return fallback;
  }
  Result<ObjectView> obj = r.ReadObject(offset);
  if (!obj.ok()) return ReaderRef::Raise(self.object(), obj.error());
  return self.Value(r, obj.value(), KeyOf{key, {}}).release();
}

bool FetchViews(ReaderRef self, const KeyView* views, PyObject* const* keys, Py_ssize_t n,
                PyObject* fallback, PyObject* out, const Py_ssize_t* positions, Py_ssize_t first) {
  const std::shared_ptr<const Reader> r = self.SharedStore();
  if (!r) return false;
  constexpr size_t kBatch = Reader::kMaxLookupBatch;
  uint64_t offsets[kBatch];
  bool found[kBatch];
  for (Py_ssize_t base = 0; base < n; base += kBatch) {
    const size_t m = static_cast<size_t>(std::min<Py_ssize_t>(n - base, kBatch));
    if (!FindViews(self, *r, views + base, m, offsets, found)) return false;
    for (size_t b = 0; b < m; ++b) {
      const Py_ssize_t i = base + static_cast<Py_ssize_t>(b);
      PyObject* value = ValueAt(self, *r, found[b], offsets[b], keys[i], fallback);
      if (value == nullptr) return false;
      PyList_SET_ITEM(out, positions ? positions[i] : first + i, value);
    }
  }
  return self.CheckIntact(*r);  // defaults given for keys of a changed file
}

bool FetchMany(ReaderRef self, PyObject* const* keys, Py_ssize_t n, PyObject* fallback,
               PyObject* out, const Py_ssize_t* positions) {
  // Converted a batch at a time: the views of str and bytes keys point into
  // the key objects, which the caller holds.
  constexpr Py_ssize_t kBatch = Reader::kMaxLookupBatch;
  StoreKey converted[kBatch];
  KeyView views[kBatch];
  for (Py_ssize_t base = 0; base < n; base += kBatch) {
    const Py_ssize_t m = std::min<Py_ssize_t>(n - base, kBatch);
    TouchKeys(keys + base, static_cast<size_t>(m));
    for (Py_ssize_t b = 0; b < m; ++b) {
      if (!converted[b].Convert(keys[base + b])) return false;
      views[b] = converted[b].view();
    }
    if (!FetchViews(self, views, keys + base, m, fallback, out,
                    positions ? positions + base : nullptr, base)) {
      return false;
    }
  }
  return true;
}

}  // namespace tarndb::py::store
