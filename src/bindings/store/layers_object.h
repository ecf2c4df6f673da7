// The instance state of tarndb._store.Layers, shared by the type and its
// iterators: the layers' reader instances (newest first), and the core's
// stack over their stores.
//
// The stack holds the stores by shared_ptr: a call or an iterator keeps
// its own reference for as long as it reads, so a close() from Python code
// run meanwhile (a decode callable) cannot unmap what it reads. After
// _close() every call raises ValueError.
#ifndef TARNDB_BINDINGS_STORE_LAYERS_OBJECT_H_
#define TARNDB_BINDINGS_STORE_LAYERS_OBJECT_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <optional>

#include "bindings/common/instance.h"
#include "bindings/common/py_ref.h"
#include "bindings/store/reader_object.h"
#include "bindings/store/reader_iterator.h"
#include "core/reader/layers.h"

namespace tarndb::py::store {

struct LayersState {
  OwnedRef readers;  // a tuple of Reader instances (or views), newest first
  std::shared_ptr<const LayerStack> stack;  // null until set, and once closed
  std::optional<uint64_t> count;            // the live keys, once counted

  int Traverse(visitproc visit, void* arg) const {
    Py_VISIT(readers.get());
    return 0;
  }
  void Clear() { readers.reset(); }
};

using LayersObject = Instance<LayersState>;

// The stack of a Layers instance, or null with ValueError set when closed.
inline std::shared_ptr<const LayerStack> OpenStack(PyObject* layers) {
  std::shared_ptr<const LayerStack> stack = LayersObject::StateOf(layers).stack;
  if (!stack || !LayersObject::StateOf(layers).readers) ReaderRef::RaiseClosed();
  return stack;
}

// The same as a plain pointer, for a call that runs no Python code while
// it reads the stack (the state keeps it alive meanwhile).
inline const LayerStack* StackOf(PyObject* layers) {
  const LayersState& state = LayersObject::StateOf(layers);
  if (!state.stack || !state.readers) ReaderRef::RaiseClosed();
  return state.readers ? state.stack.get() : nullptr;
}

// The value of a hit: read from its layer and made by that layer's reader
// instance (its decode callable), or nullptr with an exception set.
PyObject* LayerValue(PyObject* readers, const LayerStack& stack, const LayerHit& hit,
                     const KeyOf& key);

// An iterator of a Layers instance over the live entries in key order:
// all of them, or those whose keys begin with *prefix. A new reference, or
// nullptr with an exception set.
PyObject* NewLayerIterator(PyObject* layers, IterMode mode, const KeyView* prefix);

// _compact(path, memory_limit=None, spill_dir=None, hash_index=True,
// filter=False, sections=None, progress=None): the stack merged into one
// store at path (layers_compact.cc); returns (objects, keys, bytes).
PyObject* LayersCompact(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_LAYERS_OBJECT_H_
