#include "bindings/store/reader_iterator.h"

#include <memory>
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

struct IteratorObject {
  PyObject_HEAD
  PyObject* reader;  // a new reference
  IterMode mode;
  size_t next;
  size_t end;
  // kObjects: for each entry, the first entry naming the same object.
  std::vector<uint32_t>* first_entries;
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
  delete AsIterator(self)->first_entries;
  type->tp_free(self);
  Py_DECREF(type);
}

extern "C" PyObject* IteratorNext(PyObject* self) {
  return Frame([&]() -> PyObject* {
    IteratorObject* it = AsIterator(self);
    if (it->reader == nullptr) return nullptr;
    ReaderObject* reader = reinterpret_cast<ReaderObject*>(it->reader);
    const Reader* r = reader->Store();
    if (r == nullptr) return nullptr;
    if (it->mode == IterMode::kObjects) {
      const std::vector<uint32_t>& first = *it->first_entries;
      while (it->next < it->end && first[it->next] != it->next) ++it->next;
    }
    if (it->next >= it->end) return nullptr;  // StopIteration
    const size_t i = it->next++;
    if (i + kReadAhead < it->end && it->mode != IterMode::kKeys) {
      r->Prefetch(r->EntryOffset(i + kReadAhead));
    }
    OwnedRef key;
    if (it->mode == IterMode::kKeys || it->mode == IterMode::kItems) {
      key = KeyText(r->EntryKey(i));
      if (it->mode == IterMode::kKeys) return key.release();
    }
    Result<ObjectView> obj = r->ReadObject(r->EntryOffset(i));
    if (!obj.ok()) return SetCoreError(obj.error());
    // The value is made last: a decode callable may run any Python code,
    // close() included, and r is not used after it.
    OwnedRef value = reader->Value(obj.value());
    if (!value) return nullptr;
    if (it->mode != IterMode::kItems) return value.release();
    return NewPair(std::move(key), std::move(value)).release();
  });
}

extern "C" PyObject* IteratorLengthHint(PyObject* self, PyObject*) {
  const IteratorObject* it = AsIterator(self);
  return PyLong_FromSize_t(it->next < it->end ? it->end - it->next : 0);
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

PyObject* NewReaderIterator(PyObject* reader, IterMode mode, size_t first, size_t last) {
  PyTypeObject* type = ReaderIteratorType();
  if (type == nullptr) return nullptr;
  std::unique_ptr<std::vector<uint32_t>> first_entries;
  if (mode == IterMode::kObjects) {
    const Reader* r = reinterpret_cast<ReaderObject*>(reader)->Store();
    if (r == nullptr) return nullptr;
    first_entries = std::make_unique<std::vector<uint32_t>>(OffsetGroups(*r).FirstEntries());
  }
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  IteratorObject* it = AsIterator(self);
  it->reader = reader;
  Py_INCREF(reader);
  it->mode = mode;
  it->next = first;
  it->end = last;
  it->first_entries = first_entries.release();
  return self;
}

}  // namespace tarndb::py::store
