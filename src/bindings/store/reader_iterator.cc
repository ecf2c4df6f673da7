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

bool BeginsWith(KeyView key, const std::string& prefix) {
  return key.size >= prefix.size() &&
         (prefix.empty() || std::memcmp(key.data, prefix.data(), prefix.size()) == 0);
}

// Move the cursors to the next entry to give out: past entries whose object
// an earlier entry named (kObjects), and the read-ahead cursor kReadAhead
// entries in front. False with an exception set.
bool Advance(const ReaderRef& reader, const Reader& r, IterMode mode, Walk& w) {
  if (mode == IterMode::kObjects) {
    while (!w.cur.done() && w.first_entries[w.cur.index()] != w.cur.index()) {
      if (Status s = w.cur.Next(); !s.ok()) return reader.Raise(s.error()), false;
    }
  }
  if (mode == IterMode::kKeys || w.cur.done()) return true;
  while (!w.ahead.done() && w.ahead.index() < w.cur.index() + kReadAhead) {
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
    if (w.cur.done() || (w.by_prefix && !BeginsWith(w.cur.key(), w.prefix))) return nullptr;
    OwnedRef key;
    if (it.mode == IterMode::kKeys || it.mode == IterMode::kItems) key = KeyText(w.cur.key());
    const uint64_t offset = w.cur.offset();
    const KeyView entry_key = w.cur.key();
    if (Status s = w.cur.Next(); !s.ok()) {
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
  const Walk& w = IteratorObject::StateOf(self).walk;
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

// A new iterator of reader's module; nullptr with an exception set.
PyObject* MakeIterator(PyObject* reader, IterMode mode, Walk&& walk) {
  PyTypeObject* type = StoreModule::AsType(ModuleOf(reader).reader_iterator_type);
  return IteratorObject::Create(type, OwnedRef::NewRef(reader), mode, std::move(walk));
}

}  // namespace

PyType_Spec kReaderIteratorSpec = {"tarndb._store.ReaderIterator",
                                   static_cast<int>(sizeof(IteratorObject)), 0,
                                   Py_TPFLAGS_DEFAULT | IteratorObject::kTypeFlags, kSlots};

PyObject* NewReaderIterator(PyObject* reader_obj, IterMode mode) {
  const ReaderRef reader(reader_obj);
  const Reader* r = reader.Store();
  if (r == nullptr) return nullptr;
  Walk walk;
  Result<Reader::Cursor> cur = r->At(0);
  if (!cur.ok()) return reader.Raise(cur.error());
  walk.cur = cur.value();
  walk.ahead = cur.value();
  if (mode == IterMode::kObjects) {
    Result<OffsetGroups> groups = OffsetGroups::Of(*r);
    if (!groups.ok()) return reader.Raise(groups.error());
    walk.first_entries = groups.value().FirstEntries();
  }
  return MakeIterator(reader_obj, mode, std::move(walk));
}

PyObject* NewPrefixIterator(PyObject* reader_obj, KeyView prefix) {
  const ReaderRef reader(reader_obj);
  const Reader* r = reader.Store();
  if (r == nullptr) return nullptr;
  Walk walk;
  Result<Reader::Cursor> cur = r->LowerBound(prefix);
  if (!cur.ok()) return reader.Raise(cur.error());
  walk.cur = cur.value();
  walk.ahead = cur.value();
  walk.prefix.assign(reinterpret_cast<const char*>(prefix.data), prefix.size);
  walk.by_prefix = true;
  return MakeIterator(reader_obj, IterMode::kItems, std::move(walk));
}

}  // namespace tarndb::py::store
