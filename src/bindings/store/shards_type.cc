// tarndb._store.Shards: the readers of a sharded store's shards behind one
// read-only Mapping, routed natively: a key goes to shard shard_of(key, n)
// with no Python frame between the caller and the shard's own lookup, a
// batch is grouped by shard and each group looked up in one batched pass
// (shards_get_many.h), and listings merge the shards' sorted entries by
// their key bytes (shards_iterator.h). The package's ShardedReader
// subclasses it.
#include "bindings/common/call_frame.h"
#include "bindings/common/errors.h"
#include "bindings/common/instance.h"
#include "bindings/common/method_call.h"
#include "bindings/common/results.h"
#include "bindings/store/keys.h"
#include "bindings/store/module_state.h"
#include "bindings/store/reader_lookup.h"
#include "bindings/store/reader_object.h"
#include "bindings/store/reader_scan.h"
#include "bindings/store/shards_get_many.h"
#include "bindings/store/shards_iterator.h"
#include "bindings/store/types.h"
#include "core/common/shard_hash.h"

namespace tarndb::py::store {
namespace {

struct ShardsState {
  OwnedRef readers;  // a tuple of Reader instances, shard i at i; null until set

  int Traverse(visitproc visit, void* arg) const {
    Py_VISIT(readers.get());
    return 0;
  }
  void Clear() { readers.reset(); }
};

using ShardsObject = Instance<ShardsState>;

constexpr const char* kSetNames[] = {"readers"};
constexpr Params kSetParams{"_set_shards()", kSetNames, 1, 1};
constexpr const char* kGetNames[] = {"key", "default"};
constexpr Params kGetParams{"get()", kGetNames, 2, 1};
constexpr const char* kGetManyNames[] = {"keys", "default"};
constexpr Params kGetManyParams{"get_many()", kGetManyNames, 2, 1};
constexpr const char* kPrefixNames[] = {"prefix"};
constexpr Params kPrefixParams{"prefix()", kPrefixNames, 1, 1};

// The readers, or nullptr with ValueError set before any were set.
PyObject* Readers(PyObject* self) {
  PyObject* readers = ShardsObject::StateOf(self).readers.get();
  if (readers == nullptr) ReaderRef::RaiseClosed();
  return readers;
}

// The shard reader for key_obj; nullptr with an exception set.
PyObject* Route(PyObject* self, PyObject* key_obj) {
  PyObject* readers = Readers(self);
  if (readers == nullptr) return nullptr;
  StoreKey key;
  if (!key.Convert(key_obj)) return nullptr;
  const Py_ssize_t n = PyTuple_GET_SIZE(readers);
  const uint32_t s = ShardOf(key.view().data, key.view().size, static_cast<uint32_t>(n));
  return PyTuple_GET_ITEM(readers, s);
}

extern "C" PyObject* ShardsNew(PyTypeObject* type, PyObject*, PyObject*) {
  return Frame([&]() -> PyObject* { return ShardsObject::Create(type); });
}

extern "C" int ShardsTraverse(PyObject* self, visitproc visit, void* arg) {
  return ShardsObject::Traverse(self, visit, arg);
}

extern "C" int ShardsClear(PyObject* self) { return ShardsObject::Clear(self); }

extern "C" void ShardsDealloc(PyObject* self) { ShardsObject::Dealloc(self); }

extern "C" PyObject* ShardsSet(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[1];
    if (!BindFastcall(kSetParams, args, nargs, kwnames, a)) return nullptr;
    OwnedRef readers = OwnedRef::Steal(PySequence_Tuple(a[0]));
    if (!readers) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(readers.get());
    PyTypeObject* reader_type = StoreModule::AsType(ModuleOf(self).reader_type);
    if (n < 1 || n > static_cast<Py_ssize_t>(kMaxShards)) {
      PyErr_SetString(PyExc_ValueError, "a sharded store has 1 or more shards");
      return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!PyObject_TypeCheck(PyTuple_GET_ITEM(readers.get(), i), reader_type)) {
        PyErr_SetString(PyExc_TypeError, "shards must be tarndb readers");
        return nullptr;
      }
    }
    ShardsObject::StateOf(self).readers = std::move(readers);
    Py_RETURN_NONE;
  });
}

extern "C" PyObject* ShardsSubscript(PyObject* self, PyObject* key) {
  return Frame([&]() -> PyObject* {
    PyObject* shard = Route(self, key);
    return shard == nullptr ? nullptr : FetchOrKeyError(ReaderRef(shard), key);
  });
}

extern "C" int ShardsContains(PyObject* self, PyObject* key) {
  return Frame<int>(-1, [&]() -> int {
    PyObject* shard = Route(self, key);
    return shard == nullptr ? -1 : Contains(ReaderRef(shard), key);
  });
}

extern "C" Py_ssize_t ShardsLength(PyObject* self) {
  PyObject* readers = Readers(self);
  if (readers == nullptr) return -1;
  Py_ssize_t total = 0;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(readers); ++i) {
    const Reader* r = ReaderRef(PyTuple_GET_ITEM(readers, i)).Store();
    if (r == nullptr) return -1;
    total += static_cast<Py_ssize_t>(r->entry_count());
  }
  return total;
}

extern "C" PyObject* ShardsGet(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[2];
    if (!BindFastcall(kGetParams, args, nargs, kwnames, a)) return nullptr;
    PyObject* shard = Route(self, a[0]);
    return shard == nullptr ? nullptr : FetchOr(ReaderRef(shard), a[0], a[1] ? a[1] : Py_None);
  });
}

extern "C" PyObject* ShardsGetMany(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[2];
    if (!BindFastcall(kGetManyParams, args, nargs, kwnames, a)) return nullptr;
    PyObject* readers = Readers(self);
    if (readers == nullptr || IsOneKey(a[0])) return nullptr;
    // Held for the call: close() may drop the attribute, and decode
    // callables run Python code, which could change a list of keys.
    const OwnedRef held = OwnedRef::NewRef(readers);
    OwnedRef keys = OwnedRef::Steal(PySequence_Tuple(a[0]));
    if (!keys) return nullptr;
    return ShardedGetMany(held.get(), keys.get(), a[1] ? a[1] : Py_None);
  });
}

extern "C" PyObject* ShardsIter(PyObject* self) {
  return Frame([&]() -> PyObject* {
    PyObject* readers = Readers(self);
    return readers ? NewMergeIterator(self, readers, IterMode::kKeys, nullptr) : nullptr;
  });
}

extern "C" PyObject* ShardsItems(PyObject* self, PyObject*) {
  return Frame([&]() -> PyObject* {
    PyObject* readers = Readers(self);
    return readers ? NewMergeIterator(self, readers, IterMode::kItems, nullptr) : nullptr;
  });
}

extern "C" PyObject* ShardsValues(PyObject* self, PyObject*) {
  return Frame([&]() -> PyObject* {
    PyObject* readers = Readers(self);
    return readers ? NewMergeIterator(self, readers, IterMode::kValues, nullptr) : nullptr;
  });
}

extern "C" PyObject* ShardsPrefix(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[1];
    if (!BindFastcall(kPrefixParams, args, nargs, kwnames, a)) return nullptr;
    StoreKey prefix;
    if (!prefix.Convert(a[0])) return nullptr;
    PyObject* readers = Readers(self);
    if (readers == nullptr) return nullptr;
    const KeyView view = prefix.view();
    return NewMergeIterator(self, readers, IterMode::kItems, &view);
  });
}

extern "C" PyObject* ShardsScan(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    IterMode mode;
    ScanBounds bounds;
    if (!ParseScan("_scan()", args, nargs, kwnames, &mode, &bounds)) return nullptr;
    PyObject* readers = Readers(self);
    return readers ? NewMergeIterator(self, readers, mode, nullptr, &bounds) : nullptr;
  });
}

PyMethodDef kMethods[] = {
    {"_scan", AsCFunction(ShardsScan), METH_FASTCALL | METH_KEYWORDS,
     "_scan($self, mode, start=None, stop=None, reverse=False)\n--\n\n"
     "An iterator of the keys, (key, value) pairs or values (*mode*) of the keys k with\n"
     "start <= k < stop (None: unbounded), in key order or, with *reverse*, the other way."},
    {"_items", ShardsItems, METH_NOARGS,
     "_items($self)\n--\n\nAn iterator of `(key, value)` pairs in key order."},
    {"_values", ShardsValues, METH_NOARGS,
     "_values($self)\n--\n\nAn iterator of the values in key order."},
    {"prefix", AsCFunction(ShardsPrefix), METH_FASTCALL | METH_KEYWORDS,
     "prefix($self, prefix)\n--\n\n"
     "An iterator of `(key, value)` for the keys that begin with *prefix*, in key order."},
    {"_set_shards", AsCFunction(ShardsSet), METH_FASTCALL | METH_KEYWORDS,
     "_set_shards($self, readers)\n--\n\nThe shards' readers, shard i at i."},
    {"get", AsCFunction(ShardsGet), METH_FASTCALL | METH_KEYWORDS,
     "get($self, key, default=None)\n--\n\nThe value of *key*, or *default* when it is absent."},
    {"get_many", AsCFunction(ShardsGetMany), METH_FASTCALL | METH_KEYWORDS,
     "get_many($self, keys, default=None)\n--\n\n"
     "The values of *keys* as a list, in order, with *default* for absent keys."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ShardsNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ShardsDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(ShardsTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ShardsClear)},
    {Py_mp_subscript, reinterpret_cast<void*>(ShardsSubscript)},
    {Py_tp_iter, reinterpret_cast<void*>(ShardsIter)},
    {Py_mp_length, reinterpret_cast<void*>(ShardsLength)},
    {Py_sq_length, reinterpret_cast<void*>(ShardsLength)},
    {Py_sq_contains, reinterpret_cast<void*>(ShardsContains)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("Shards()\n--\n\n"
                                  "The shards of a sharded store as one mapping; the base of "
                                  "tarndb.ShardedReader.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec kShardsSpec = {"tarndb._store.Shards", static_cast<int>(sizeof(ShardsObject)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | ShardsObject::kTypeFlags,
                           kSlots};

}  // namespace tarndb::py::store
