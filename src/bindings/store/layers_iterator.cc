// Listings of a stack of layers: the core's merge of the layers' indexes
// and tombstones, one live entry per step, its value made by the reader
// instance of the layer that decides it.
#include <memory>
#include <utility>

#include "bindings/common/call_frame.h"
#include "bindings/common/errors.h"
#include "bindings/common/results.h"
#include "bindings/store/layers_object.h"
#include "bindings/store/module_state.h"
#include "bindings/store/types.h"

namespace tarndb::py::store {
namespace {

struct LayerIterState {
  OwnedRef layers;   // the Layers instance; null once cleared by the collector
  OwnedRef readers;  // its readers when the iterator was made, layer i at i
  std::shared_ptr<const LayerStack> stack;
  IterMode mode;
  LayerStack::Merge merge;

  int Traverse(visitproc visit, void* arg) const {
    Py_VISIT(layers.get());
    Py_VISIT(readers.get());
    return 0;
  }
  void Clear() {
    layers.reset();
    readers.reset();
  }
};

using LayerIterObject = Instance<LayerIterState>;

extern "C" int LayerIterTraverse(PyObject* self, visitproc visit, void* arg) {
  return LayerIterObject::Traverse(self, visit, arg);
}

extern "C" int LayerIterClear(PyObject* self) { return LayerIterObject::Clear(self); }

extern "C" void LayerIterDealloc(PyObject* self) { LayerIterObject::Dealloc(self); }

extern "C" PyObject* LayerIterNext(PyObject* self) {
  return Frame([&]() -> PyObject* {
    LayerIterState& it = LayerIterObject::StateOf(self);
    if (!it.layers || !it.readers) return nullptr;
    // A closed stack ends its iterators with ValueError, as a reader does.
    if (!OpenStack(it.layers.get())) return nullptr;
    PyObject* readers = it.readers.get();
    LayerStack::Merge& m = it.merge;
    if (m.done()) return nullptr;  // StopIteration
    const LayerHit hit{true, m.layer(), m.offset()};
    const ReaderRef reader(PyTuple_GET_ITEM(readers, hit.layer));
    const Reader& r = it.stack->reader(hit.layer);
    OwnedRef key;
    if (it.mode != IterMode::kValues) key = reader.KeyOut(m.key());
    const KeyView entry_key = m.key();
    if (Status st = m.Next(); !st.ok()) {
      return reader.CheckIntact(r) ? reader.Raise(st.error()) : nullptr;
    }
    if (it.mode == IterMode::kKeys) return reader.CheckIntact(r) ? key.release() : nullptr;
    const std::shared_ptr<const LayerStack> keep = it.stack;
    OwnedRef value =
        OwnedRef::Steal(LayerValue(readers, *keep, hit, KeyOf{key.get(), entry_key}));
    if (!value) return nullptr;
    if (it.mode != IterMode::kItems) return value.release();
    return NewPair(std::move(key), std::move(value)).release();
  });
}

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(LayerIterDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(LayerIterTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(LayerIterClear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(LayerIterNext)},
    {0, nullptr},
};

}  // namespace

PyType_Spec kLayerIteratorSpec = {"tarndb._store.LayerIterator",
                                  static_cast<int>(sizeof(LayerIterObject)), 0,
                                  Py_TPFLAGS_DEFAULT | LayerIterObject::kTypeFlags, kSlots};

PyObject* NewLayerIterator(PyObject* layers, IterMode mode, const KeyView* prefix) {
  std::shared_ptr<const LayerStack> stack = OpenStack(layers);
  if (!stack) return nullptr;
  Result<LayerStack::Merge> merge = stack->Begin(prefix);
  if (!merge.ok()) {
    PyObject* readers = LayersObject::StateOf(layers).readers.get();
    return ReaderRef(PyTuple_GET_ITEM(readers, 0)).Raise(merge.error());
  }
  PyTypeObject* type = StoreModule::AsType(ModuleOf(layers).layer_iterator_type);
  return LayerIterObject::Create(type, OwnedRef::NewRef(layers),
                                 OwnedRef::NewRef(LayersObject::StateOf(layers).readers.get()),
                                 std::move(stack), mode, std::move(merge.value()));
}

}  // namespace tarndb::py::store
