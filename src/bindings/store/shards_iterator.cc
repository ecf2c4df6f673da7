// Listings of a sharded store: each shard's entries are in key order, so a
// k-way merge by key bytes (a small heap of cursors, one per shard) gives
// the whole store in key order, one entry per step.
#include "bindings/store/shards_iterator.h"

#include <algorithm>
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

namespace tarndb::py::store {
namespace {

struct Merge {
  std::vector<Scan> scans;     // one per shard
  std::vector<uint32_t> heap;  // shards with entries left, the next key on top
  bool reverse = false;

  // Heap order: the smaller key first, or the larger for a reversed scan
  // (the shard number breaks ties, which only stores with a key in two
  // shards have).
  bool Later(uint32_t a, uint32_t b) const {
    const int c = CompareKeys(scans[a].key(), scans[b].key());
    if (c == 0) return a > b;
    return reverse ? c < 0 : c > 0;
  }
  bool Live(uint32_t s) const { return !scans[s].done(); }
  void Push(uint32_t s) {
    heap.push_back(s);
    std::push_heap(heap.begin(), heap.end(),
                   [this](uint32_t a, uint32_t b) { return Later(a, b); });
  }
  uint32_t Pop() {
    std::pop_heap(heap.begin(), heap.end(), [this](uint32_t a, uint32_t b) { return Later(a, b); });
    const uint32_t s = heap.back();
    heap.pop_back();
    return s;
  }
};

struct MergeState {
  OwnedRef readers;  // the shards' readers (a tuple); null once cleared by the collector
  IterMode mode;
  Merge merge;

  int Traverse(visitproc visit, void* arg) const {
    Py_VISIT(readers.get());
    return 0;
  }
  void Clear() { readers.reset(); }
};

using MergeIteratorObject = Instance<MergeState>;

extern "C" int MergeTraverse(PyObject* self, visitproc visit, void* arg) {
  return MergeIteratorObject::Traverse(self, visit, arg);
}

extern "C" int MergeClear(PyObject* self) { return MergeIteratorObject::Clear(self); }

extern "C" void MergeDealloc(PyObject* self) { MergeIteratorObject::Dealloc(self); }

PyObject* ShardReader(PyObject* readers, uint32_t s) { return PyTuple_GET_ITEM(readers, s); }

extern "C" PyObject* MergeNext(PyObject* self) {
  return Frame([&]() -> PyObject* {
    MergeState& it = MergeIteratorObject::StateOf(self);
    if (!it.readers) return nullptr;
    PyObject* readers = it.readers.get();
    Merge& m = it.merge;
    // The heap compares the keys of every shard's cursor: each must still
    // point into an open mapping.
    for (Py_ssize_t s = 0; s < PyTuple_GET_SIZE(readers); ++s) {
      if (ReaderRef(ShardReader(readers, static_cast<uint32_t>(s))).Store() == nullptr) {
        return nullptr;
      }
    }
    if (m.heap.empty()) return nullptr;  // StopIteration
    const uint32_t s = m.Pop();
    const ReaderRef reader(ShardReader(readers, s));
    const Reader* r = reader.Store();
    Scan& cur = m.scans[s];
    OwnedRef key;
    if (it.mode == IterMode::kKeys || it.mode == IterMode::kItems) key = reader.KeyOut(cur.key());
    const uint64_t offset = cur.offset();
    const KeyView entry_key = cur.key();
    if (Status st = cur.Next(); !st.ok()) {
      return reader.CheckIntact(*r) ? reader.Raise(st.error()) : nullptr;
    }
    if (m.Live(s)) m.Push(s);
    if (it.mode == IterMode::kKeys) return reader.CheckIntact(*r) ? key.release() : nullptr;
    Result<ObjectView> obj = r->ReadObject(offset);
    if (!obj.ok()) return reader.CheckIntact(*r) ? reader.Raise(obj.error()) : nullptr;
    const std::shared_ptr<const Reader> keep =
        reader.state().decode ? reader.SharedStore() : nullptr;
    OwnedRef value = reader.Value(*r, obj.value(), KeyOf{key.get(), entry_key});
    if (!value) return nullptr;
    if (it.mode != IterMode::kItems) return value.release();
    return NewPair(std::move(key), std::move(value)).release();
  });
}

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(MergeDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(MergeTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(MergeClear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(MergeNext)},
    {0, nullptr},
};

}  // namespace

PyType_Spec kMergeIteratorSpec = {"tarndb._store.MergeIterator",
                                  static_cast<int>(sizeof(MergeIteratorObject)), 0,
                                  Py_TPFLAGS_DEFAULT | MergeIteratorObject::kTypeFlags, kSlots};

PyObject* NewMergeIterator(PyObject* shards, PyObject* readers, IterMode mode,
                           const KeyView* prefix, const ScanBounds* bounds) {
  Merge merge;
  merge.reverse = bounds != nullptr && bounds->reverse;
  const Py_ssize_t n = PyTuple_GET_SIZE(readers);
  const std::string text =
      prefix ? std::string(reinterpret_cast<const char*>(prefix->data), prefix->size) : "";
  merge.scans.reserve(static_cast<size_t>(n));
  for (Py_ssize_t s = 0; s < n; ++s) {
    const ReaderRef reader(ShardReader(readers, static_cast<uint32_t>(s)));
    const Reader* r = reader.Store();
    if (r == nullptr) return nullptr;
    Result<Scan> scan =
        bounds != nullptr ? Scan::Over(*r, *bounds) : Scan::From(*r, prefix ? &text : nullptr);
    if (!scan.ok()) return reader.Raise(scan.error());
    merge.scans.push_back(std::move(scan.value()));
  }
  for (uint32_t s = 0; s < static_cast<uint32_t>(n); ++s) {
    if (merge.Live(s)) merge.Push(s);
  }
  PyTypeObject* type = StoreModule::AsType(ModuleOf(shards).merge_iterator_type);
  return MergeIteratorObject::Create(type, OwnedRef::NewRef(readers), mode, std::move(merge));
}

}  // namespace tarndb::py::store
