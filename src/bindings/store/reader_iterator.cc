#include "bindings/store/reader_iterator.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bindings/common/call_frame.h"
#include "bindings/common/create_type.h"
#include "bindings/common/errors.h"
#include "bindings/common/results.h"
#include "bindings/store/reader_object.h"
#include "bindings/store/types.h"
#include "core/reader/offset_groups.h"

namespace tarndb::py::store {
namespace {

// How many entries ahead a scan fetches the records it will read: records
// lie in object order, entries in key order, so each read would otherwise
// be a cache miss of its own.
constexpr size_t kReadAhead = 8;

// What an iterator walks with. Its cursors point into the mapping, so
// each step first checks that the reader is still open.
struct Walk {
  Reader::Cursor cur;
  Reader::Cursor ahead;  // kReadAhead entries in front of cur
  std::string prefix;    // for a prefix scan: stop where keys stop beginning with it
  bool by_prefix = false;
  std::vector<uint32_t> first_entries;  // kObjects: the first entry naming each object
};

struct IteratorObject {
  PyObject_HEAD
  PyObject* reader;  // a new reference
  IterMode mode;
  Walk* walk;  // owned
};

IteratorObject* AsIterator(PyObject* self) { return reinterpret_cast<IteratorObject*>(self); }

extern "C" int IteratorTraverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(AsIterator(self)->reader);
  return 0;
}

extern "C" int IteratorClear(PyObject* self) {
  Py_CLEAR(AsIterator(self)->reader);
  return 0;
}

extern "C" void IteratorDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  IteratorClear(self);
  delete AsIterator(self)->walk;
  type->tp_free(self);
  Py_DECREF(type);
}

bool BeginsWith(KeyView key, const std::string& prefix) {
  return key.size >= prefix.size() &&
         (prefix.empty() || std::memcmp(key.data, prefix.data(), prefix.size()) == 0);
}

extern "C" PyObject* IteratorNext(PyObject* self) {
  return Frame([&]() -> PyObject* {
    IteratorObject* it = AsIterator(self);
    if (it->reader == nullptr) return nullptr;
    ReaderObject* reader = reinterpret_cast<ReaderObject*>(it->reader);
    const Reader* r = reader->Store();
    if (r == nullptr) return nullptr;
    Walk& w = *it->walk;
    if (it->mode == IterMode::kObjects) {
      while (!w.cur.done() && w.first_entries[w.cur.index()] != w.cur.index()) {
        if (Status s = w.cur.Next(); !s.ok()) return SetCoreError(s.error());
      }
    }
    if (w.cur.done() || (w.by_prefix && !BeginsWith(w.cur.key(), w.prefix))) return nullptr;
    if (it->mode != IterMode::kKeys) {
      while (!w.ahead.done() && w.ahead.index() < w.cur.index() + kReadAhead) {
        if (Status s = w.ahead.Next(); !s.ok()) return SetCoreError(s.error());
      }
      if (!w.ahead.done()) r->Prefetch(w.ahead.offset());
    }
    OwnedRef key;
    if (it->mode == IterMode::kKeys || it->mode == IterMode::kItems) key = KeyText(w.cur.key());
    const uint64_t offset = w.cur.offset();
    const KeyView entry_key = w.cur.key();
    if (Status s = w.cur.Next(); !s.ok()) {
      return ReaderObject::CheckIntact(*r) ? SetCoreError(s.error()) : nullptr;
    }
    if (it->mode == IterMode::kKeys) return ReaderObject::CheckIntact(*r) ? key.release() : nullptr;
    Result<ObjectView> obj = r->ReadObject(offset);
    if (!obj.ok()) return ReaderObject::CheckIntact(*r) ? SetCoreError(obj.error()) : nullptr;
    // The value is made last: a decode callable may run any Python code,
    // close() included; the entry's key, named if decoding fails, must stay
    // mapped until then.
    const std::shared_ptr<const Reader> keep =
        reader->decode != nullptr ? reader->SharedStore() : nullptr;
    OwnedRef value = reader->Value(*r, obj.value(), ReaderObject::KeyOf{key.get(), entry_key});
    if (!value) return nullptr;
    if (it->mode != IterMode::kItems) return value.release();
    return NewPair(std::move(key), std::move(value)).release();
  });
}

extern "C" PyObject* IteratorLengthHint(PyObject* self, PyObject*) {
  const Walk& w = *AsIterator(self)->walk;
  if (w.by_prefix) return PyLong_FromSize_t(0);  // unknown
  return PyLong_FromSize_t(w.cur.done() ? 0 : w.cur.count() - w.cur.index());
}

PyMethodDef kMethods[] = {
    {"__length_hint__", IteratorLengthHint, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(IteratorDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(IteratorTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(IteratorClear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(IteratorNext)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"tarndb._store.ReaderIterator", static_cast<int>(sizeof(IteratorObject)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, kSlots};

}  // namespace

PyTypeObject* ReaderIteratorType() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = CreateType(&kSpec);
    // Made only by readers: no constructor from Python.
    if (type != nullptr) reinterpret_cast<PyTypeObject*>(type)->tp_new = nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

namespace {

// A new iterator walking from cur; nullptr with an exception set.
PyObject* MakeIterator(PyObject* reader, IterMode mode, std::unique_ptr<Walk> walk) {
  PyTypeObject* type = ReaderIteratorType();
  if (type == nullptr) return nullptr;
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  IteratorObject* it = AsIterator(self);
  it->reader = reader;
  Py_INCREF(reader);
  it->mode = mode;
  it->walk = walk.release();
  return self;
}

}  // namespace

PyObject* NewReaderIterator(PyObject* reader, IterMode mode) {
  const Reader* r = reinterpret_cast<ReaderObject*>(reader)->Store();
  if (r == nullptr) return nullptr;
  auto walk = std::make_unique<Walk>();
  Result<Reader::Cursor> cur = r->At(0);
  Result<Reader::Cursor> ahead = r->At(0);
  if (!cur.ok()) return SetCoreError(cur.error());
  if (!ahead.ok()) return SetCoreError(ahead.error());
  walk->cur = cur.value();
  walk->ahead = ahead.value();
  if (mode == IterMode::kObjects) {
    Result<OffsetGroups> groups = OffsetGroups::Of(*r);
    if (!groups.ok()) return SetCoreError(groups.error());
    walk->first_entries = groups.value().FirstEntries();
  }
  return MakeIterator(reader, mode, std::move(walk));
}

PyObject* NewPrefixIterator(PyObject* reader, KeyView prefix) {
  const Reader* r = reinterpret_cast<ReaderObject*>(reader)->Store();
  if (r == nullptr) return nullptr;
  auto walk = std::make_unique<Walk>();
  Result<Reader::Cursor> cur = r->LowerBound(prefix);
  if (!cur.ok()) return SetCoreError(cur.error());
  walk->cur = cur.value();
  walk->ahead = cur.value();
  walk->prefix.assign(reinterpret_cast<const char*>(prefix.data), prefix.size);
  walk->by_prefix = true;
  return MakeIterator(reader, IterMode::kItems, std::move(walk));
}

}  // namespace tarndb::py::store
