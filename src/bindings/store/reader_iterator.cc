#include "bindings/store/reader_iterator.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bindings/common/call_frame.h"
#include "bindings/common/errors.h"
#include "bindings/common/instance.h"
#include "bindings/common/results.h"
#include "bindings/store/module_state.h"
#include "bindings/store/reader_object.h"
#include "bindings/store/scan.h"
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
  Scan scan;
  Reader::Cursor ahead;  // kReadAhead entries in front of a forward scan
  std::vector<uint32_t> first_entries;  // kObjects: the first entry naming each object
};

struct IteratorState {
  OwnedRef reader;  // null once cleared by the collector: the iterator is then exhausted
  IterMode mode;
  Walk walk;

  int Traverse(visitproc visit, void* arg) const {
    Py_VISIT(reader.get());
    return 0;
  }
  void Clear() { reader.reset(); }
};

using IteratorObject = Instance<IteratorState>;

extern "C" int IteratorTraverse(PyObject* self, visitproc visit, void* arg) {
  return IteratorObject::Traverse(self, visit, arg);
}

extern "C" int IteratorClear(PyObject* self) { return IteratorObject::Clear(self); }

extern "C" void IteratorDealloc(PyObject* self) { IteratorObject::Dealloc(self); }

// Move the scan to the next entry to give out: past entries whose object
// an earlier entry named (kObjects), and the read-ahead cursor kReadAhead
// entries in front of a forward scan. False with an exception set.
bool Advance(const ReaderRef& reader, const Reader& r, IterMode mode, Walk& w) {
  Scan& scan = w.scan;
  if (mode == IterMode::kObjects) {
    while (!scan.done() && w.first_entries[scan.index()] != scan.index()) {
      if (Status s = scan.Next(); !s.ok()) return reader.Raise(s.error()), false;
    }
  }
  if (mode == IterMode::kKeys || scan.done() || scan.reverse()) return true;
  while (!w.ahead.done() && w.ahead.index() < scan.index() + kReadAhead) {
    if (Status s = w.ahead.Next(); !s.ok()) return reader.Raise(s.error()), false;
  }
  if (!w.ahead.done()) r.Prefetch(w.ahead.offset());
  return true;
}

extern "C" PyObject* IteratorNext(PyObject* self) {
  return Frame([&]() -> PyObject* {
    IteratorState& it = IteratorObject::StateOf(self);
    if (!it.reader) return nullptr;
    const ReaderRef reader(it.reader.get());
    const Reader* r = reader.Store();
    if (r == nullptr) return nullptr;
    Walk& w = it.walk;
    if (!Advance(reader, *r, it.mode, w)) return nullptr;
    Scan& scan = w.scan;
    if (scan.done()) return nullptr;
    OwnedRef key;
    if (it.mode == IterMode::kKeys || it.mode == IterMode::kItems) key = reader.KeyOut(scan.key());
    const uint64_t offset = scan.offset();
    const KeyView entry_key = scan.key();
    if (Status s = scan.Next(); !s.ok()) {
      return reader.CheckIntact(*r) ? reader.Raise(s.error()) : nullptr;
    }
    if (it.mode == IterMode::kKeys) return reader.CheckIntact(*r) ? key.release() : nullptr;
    Result<ObjectView> obj = r->ReadObject(offset);
    if (!obj.ok()) return reader.CheckIntact(*r) ? reader.Raise(obj.error()) : nullptr;
    // The value is made last: a decode callable may run any Python code,
    // close() included; the entry's key, named if decoding fails, must stay
    // mapped until then.
    const std::shared_ptr<const Reader> keep =
        reader.state().decode ? reader.SharedStore() : nullptr;
    OwnedRef value = reader.Value(*r, obj.value(), KeyOf{key.get(), entry_key});
    if (!value) return nullptr;
    if (it.mode != IterMode::kItems) return value.release();
    return NewPair(std::move(key), std::move(value)).release();
  });
}

extern "C" PyObject* IteratorLengthHint(PyObject* self, PyObject*) {
  const std::optional<size_t> left = IteratorObject::StateOf(self).walk.scan.remaining();
  return PyLong_FromSize_t(left.value_or(0));  // 0: unknown
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

// A new iterator of reader's module; nullptr with an exception set.
PyObject* MakeIterator(PyObject* reader, IterMode mode, Walk&& walk) {
  PyTypeObject* type = StoreModule::AsType(ModuleOf(reader).reader_iterator_type);
  return IteratorObject::Create(type, OwnedRef::NewRef(reader), mode, std::move(walk));
}

}  // namespace

PyType_Spec kReaderIteratorSpec = {"tarndb._store.ReaderIterator",
                                   static_cast<int>(sizeof(IteratorObject)), 0,
                                   Py_TPFLAGS_DEFAULT | IteratorObject::kTypeFlags, kSlots};

namespace {

// An iterator over scan, read ahead from where it starts.
PyObject* IteratorOver(PyObject* reader_obj, IterMode mode, Result<Scan> scan) {
  const ReaderRef reader(reader_obj);
  if (!scan.ok()) return reader.Raise(scan.error());
  Walk walk;
  walk.ahead = scan.value().cursor();
  walk.scan = std::move(scan.value());
  return MakeIterator(reader_obj, mode, std::move(walk));
}

}  // namespace

PyObject* NewReaderIterator(PyObject* reader_obj, IterMode mode) {
  const ReaderRef reader(reader_obj);
  const Reader* r = reader.Store();
  if (r == nullptr) return nullptr;
  if (mode != IterMode::kObjects) return IteratorOver(reader_obj, mode, Scan::From(*r, nullptr));
  Result<OffsetGroups> groups = OffsetGroups::Of(*r);
  if (!groups.ok()) return reader.Raise(groups.error());
  Result<Scan> scan = Scan::From(*r, nullptr);
  if (!scan.ok()) return reader.Raise(scan.error());
  Walk walk;
  walk.ahead = scan.value().cursor();
  walk.scan = std::move(scan.value());
  walk.first_entries = groups.value().FirstEntries();
  return MakeIterator(reader_obj, mode, std::move(walk));
}

PyObject* NewPrefixIterator(PyObject* reader_obj, KeyView prefix) {
  const Reader* r = ReaderRef(reader_obj).Store();
  if (r == nullptr) return nullptr;
  const std::string text(reinterpret_cast<const char*>(prefix.data), prefix.size);
  return IteratorOver(reader_obj, IterMode::kItems, Scan::From(*r, &text));
}

PyObject* NewRangeIterator(PyObject* reader_obj, IterMode mode, const ScanBounds& bounds) {
  const Reader* r = ReaderRef(reader_obj).Store();
  if (r == nullptr) return nullptr;
  return IteratorOver(reader_obj, mode, Scan::Over(*r, bounds));
}

}  // namespace tarndb::py::store
