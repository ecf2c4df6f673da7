// tarndb._store.Layers: a newest-first stack of store readers behind one
// read-only Mapping, answered natively by the core's LayerStack: lookups,
// get_many (each layer's undecided keys in one batched pass), listings (a
// merge of the layers' indexes and tombstones) and the count of live keys
// (counted once, then kept). The package's LayeredReader subclasses it.
#include <memory>
#include <utility>
#include <vector>

#include "bindings/common/call_frame.h"
#include "bindings/common/errors.h"
#include "bindings/common/gil_released.h"
#include "bindings/common/method_call.h"
#include "bindings/common/results.h"
#include "bindings/store/keys.h"
#include "bindings/store/layers_object.h"
#include "bindings/store/module_state.h"
#include "bindings/store/reader_lookup.h"
#include "bindings/store/types.h"
#include "core/format/layout.h"

namespace tarndb::py::store {

PyObject* LayerValue(PyObject* readers, const LayerStack& stack, const LayerHit& hit,
                     const KeyOf& key) {
  const ReaderRef reader(PyTuple_GET_ITEM(readers, hit.layer));
  const Reader& r = stack.reader(hit.layer);
  Result<ObjectView> obj = r.ReadObject(hit.offset);
  if (!obj.ok()) return reader.CheckIntact(r) ? reader.Raise(obj.error()) : nullptr;
  return reader.Value(r, obj.value(), key).release();
}

namespace {

constexpr const char* kSetNames[] = {"readers"};
constexpr Params kSetParams{"_set_layers()", kSetNames, 1, 1};
constexpr const char* kGetNames[] = {"key", "default"};
constexpr Params kGetParams{"get()", kGetNames, 2, 1};
constexpr const char* kGetManyNames[] = {"keys", "default"};
constexpr Params kGetManyParams{"get_many()", kGetManyNames, 2, 1};
constexpr const char* kPrefixNames[] = {"prefix"};
constexpr Params kPrefixParams{"prefix()", kPrefixNames, 1, 1};

PyObject* Readers(PyObject* self) { return LayersObject::StateOf(self).readers.get(); }

// Raise a core error as the newest layer's reader does.
PyObject* RaiseFor(PyObject* self, const Error& e) {
  return ReaderRef(PyTuple_GET_ITEM(Readers(self), 0)).Raise(e);
}

// The value of key_obj; nullptr with *missing set when absent, or nullptr
// with an exception set.
PyObject* Fetch(PyObject* self, PyObject* key_obj, bool* missing) {
  StoreKey key;
  if (!key.Convert(key_obj)) return nullptr;
  // A plain pointer: the value's bytes are copied before its decode
  // callable (Python code, which might close the stack) runs.
  const LayerStack* stack = StackOf(self);
  if (stack == nullptr) return nullptr;
  LayerHit hit;
  if (key.view().size <= kMaxKeyLength) {
    Result<LayerHit> found = stack->Find(key.view());
    if (!found.ok()) return RaiseFor(self, found.error());
    hit = found.value();
  }
  if (!hit.found) {
    *missing = true;
    return nullptr;
  }
  return LayerValue(Readers(self), *stack, hit, KeyOf{key_obj, {}});
}

extern "C" PyObject* LayersNew(PyTypeObject* type, PyObject*, PyObject*) {
  return Frame([&]() -> PyObject* { return LayersObject::Create(type); });
}

extern "C" int LayersTraverse(PyObject* self, visitproc visit, void* arg) {
  return LayersObject::Traverse(self, visit, arg);
}

extern "C" int LayersClear(PyObject* self) { return LayersObject::Clear(self); }

extern "C" void LayersDealloc(PyObject* self) { LayersObject::Dealloc(self); }

extern "C" PyObject* LayersSet(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[1];
    if (!BindFastcall(kSetParams, args, nargs, kwnames, a)) return nullptr;
    OwnedRef readers = OwnedRef::Steal(PySequence_Tuple(a[0]));
    if (!readers) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(readers.get());
    if (n < 1 || n > 65535) {
      PyErr_SetString(PyExc_ValueError, "a stack has 1 to 65535 layers");
      return nullptr;
    }
    PyTypeObject* reader_type = StoreModule::AsType(ModuleOf(self).reader_type);
    std::vector<std::shared_ptr<const Reader>> stores;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* r = PyTuple_GET_ITEM(readers.get(), i);
      if (!PyObject_TypeCheck(r, reader_type)) {
        PyErr_SetString(PyExc_TypeError, "layers must be tarndb readers");
        return nullptr;
      }
      stores.push_back(ReaderRef(r).SharedStore());
      if (!stores.back()) return nullptr;
    }
    Result<LayerStack> stack = LayerStack::Make(std::move(stores));
    if (!stack.ok()) return ReaderRef(PyTuple_GET_ITEM(readers.get(), 0)).Raise(stack.error());
    LayersState& state = LayersObject::StateOf(self);
    state.stack = std::make_shared<const LayerStack>(std::move(stack.value()));
    state.readers = std::move(readers);
    state.count.reset();
    Py_RETURN_NONE;
  });
}

extern "C" PyObject* LayersClose(PyObject* self, PyObject*) {
  LayersObject::StateOf(self).stack.reset();
  Py_RETURN_NONE;
}

extern "C" PyObject* LayersSubscript(PyObject* self, PyObject* key) {
  return Frame([&]() -> PyObject* {
    bool missing = false;
    PyObject* value = Fetch(self, key, &missing);
    if (missing) {
      OwnedRef args = OwnedRef::Steal(PyTuple_Pack(1, key));
      if (args) PyErr_SetObject(PyExc_KeyError, args.get());
    }
    return value;
  });
}

extern "C" int LayersContains(PyObject* self, PyObject* key_obj) {
  return Frame<int>(-1, [&]() -> int {
    StoreKey key;
    if (!key.Convert(key_obj)) return -1;
    const LayerStack* stack = StackOf(self);
    if (stack == nullptr) return -1;
    if (key.view().size > kMaxKeyLength) return 0;
    Result<LayerHit> found = stack->Find(key.view());
    if (!found.ok()) return RaiseFor(self, found.error()), -1;
    return found.value().found ? 1 : 0;
  });
}

extern "C" Py_ssize_t LayersLength(PyObject* self) {
  return Frame<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
    const std::shared_ptr<const LayerStack> stack = OpenStack(self);
    if (!stack) return -1;
    LayersState& state = LayersObject::StateOf(self);
    if (!state.count) {
      Result<uint64_t> n = [&] {
        GilReleased released;
        return stack->Count();
      }();
      if (!n.ok()) return RaiseFor(self, n.error()), -1;
      state.count = n.value();
    }
    return static_cast<Py_ssize_t>(*state.count);
  });
}

extern "C" PyObject* LayersGet(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[2];
    if (!BindFastcall(kGetParams, args, nargs, kwnames, a)) return nullptr;
    bool missing = false;
    PyObject* value = Fetch(self, a[0], &missing);
    if (!missing) return value;
    PyObject* fallback = a[1] ? a[1] : Py_None;
    Py_INCREF(fallback);
    return fallback;
  });
}

// The values of keys (a tuple) into out, a batch at a time, made by
// readers (the stack's, held by the caller).
bool FetchLayered(PyObject* self, const LayerStack& stack, PyObject* readers, PyObject* keys,
                  PyObject* fallback, PyObject* out) {
  constexpr Py_ssize_t kBatch = Reader::kMaxLookupBatch;
  StoreKey converted[kBatch];
  KeyView views[kBatch];
  LayerHit hits[kBatch];
  const Py_ssize_t n = PyTuple_GET_SIZE(keys);
  for (Py_ssize_t base = 0; base < n; base += kBatch) {
    const Py_ssize_t m = std::min<Py_ssize_t>(n - base, kBatch);
    size_t lookups = 0;  // keys too long to be stored are not looked up
    KeyView batch[kBatch];
    for (Py_ssize_t b = 0; b < m; ++b) {
      if (!converted[b].Convert(PyTuple_GET_ITEM(keys, base + b))) return false;
      views[b] = converted[b].view();
      if (views[b].size <= kMaxKeyLength) batch[lookups++] = views[b];
    }
    LayerHit found[kBatch];
    if (Status s = stack.FindMany(batch, lookups, found); !s.ok()) {
      return RaiseFor(self, s.error()), false;
    }
    for (Py_ssize_t b = 0, l = 0; b < m; ++b) {
      hits[b] = views[b].size <= kMaxKeyLength ? found[l++] : LayerHit{};
    }
    for (Py_ssize_t b = 0; b < m; ++b) {
      PyObject* key = PyTuple_GET_ITEM(keys, base + b);
      PyObject* value = hits[b].found
                            ? LayerValue(readers, stack, hits[b], KeyOf{key, {}})
                            : (Py_INCREF(fallback), fallback);
      if (value == nullptr) return false;
      PyList_SET_ITEM(out, base + b, value);
    }
  }
  return true;
}

extern "C" PyObject* LayersGetMany(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[2];
    if (!BindFastcall(kGetManyParams, args, nargs, kwnames, a)) return nullptr;
    if (IsOneKey(a[0])) return nullptr;
    // A tuple: decode callables run Python code, which could change a list.
    OwnedRef keys = OwnedRef::Steal(PySequence_Tuple(a[0]));
    if (!keys) return nullptr;
    const std::shared_ptr<const LayerStack> stack = OpenStack(self);
    if (!stack) return nullptr;
    const OwnedRef held = OwnedRef::NewRef(Readers(self));
    OwnedRef out = OwnedRef::Steal(PyList_New(PyTuple_GET_SIZE(keys.get())));
    if (!out) return nullptr;
    if (!FetchLayered(self, *stack, held.get(), keys.get(), a[1] ? a[1] : Py_None, out.get())) {
      return nullptr;
    }
    return out.release();
  });
}

extern "C" PyObject* LayersIter(PyObject* self) {
  return Frame([&]() -> PyObject* { return NewLayerIterator(self, IterMode::kKeys, nullptr); });
}

extern "C" PyObject* LayersItems(PyObject* self, PyObject*) {
  return Frame([&]() -> PyObject* { return NewLayerIterator(self, IterMode::kItems, nullptr); });
}

extern "C" PyObject* LayersValues(PyObject* self, PyObject*) {
  return Frame([&]() -> PyObject* { return NewLayerIterator(self, IterMode::kValues, nullptr); });
}

extern "C" PyObject* LayersPrefix(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[1];
    if (!BindFastcall(kPrefixParams, args, nargs, kwnames, a)) return nullptr;
    StoreKey prefix;
    if (!prefix.Convert(a[0])) return nullptr;
    const KeyView view = prefix.view();
    return NewLayerIterator(self, IterMode::kItems, &view);
  });
}

PyMethodDef kMethods[] = {
    {"_items", LayersItems, METH_NOARGS,
     "_items($self)\n--\n\nAn iterator of `(key, value)` pairs in key order."},
    {"_values", LayersValues, METH_NOARGS,
     "_values($self)\n--\n\nAn iterator of the values in key order."},
    {"prefix", AsCFunction(LayersPrefix), METH_FASTCALL | METH_KEYWORDS,
     "prefix($self, prefix)\n--\n\n"
     "An iterator of `(key, value)` for the keys that begin with *prefix*, in key order."},
    {"_set_layers", AsCFunction(LayersSet), METH_FASTCALL | METH_KEYWORDS,
     "_set_layers($self, readers)\n--\n\nThe layers' readers, newest first."},
    {"_compact", AsCFunction(LayersCompact), METH_FASTCALL | METH_KEYWORDS,
     "_compact($self, path, memory_limit=None, spill_dir=None, hash_index=True, filter=False,\n"
     "         sections=None, progress=None)\n--\n\n"
     "Merge the stack into one store at *path*; returns (objects, keys, bytes)."},
    {"_close", LayersClose, METH_NOARGS,
     "_close($self)\n--\n\nDrop the stack: every later call raises ValueError."},
    {"get", AsCFunction(LayersGet), METH_FASTCALL | METH_KEYWORDS,
     "get($self, key, default=None)\n--\n\nThe value of *key*, or *default* when it is absent."},
    {"get_many", AsCFunction(LayersGetMany), METH_FASTCALL | METH_KEYWORDS,
     "get_many($self, keys, default=None)\n--\n\n"
     "The values of *keys* as a list, in order, with *default* for absent keys."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(LayersNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(LayersDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(LayersTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(LayersClear)},
    {Py_mp_subscript, reinterpret_cast<void*>(LayersSubscript)},
    {Py_tp_iter, reinterpret_cast<void*>(LayersIter)},
    {Py_mp_length, reinterpret_cast<void*>(LayersLength)},
    {Py_sq_length, reinterpret_cast<void*>(LayersLength)},
    {Py_sq_contains, reinterpret_cast<void*>(LayersContains)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("Layers()\n--\n\n"
                                  "A newest-first stack of layers as one mapping; the base of "
                                  "tarndb.LayeredReader.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec kLayersSpec = {"tarndb._store.Layers", static_cast<int>(sizeof(LayersObject)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | LayersObject::kTypeFlags,
                           kSlots};

}  // namespace tarndb::py::store
