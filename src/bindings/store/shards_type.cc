// tarndb._store.Shards: the readers of a sharded store's shards behind one
// read-only Mapping, routed natively: a key goes to shard shard_of(key, n)
// with no Python frame between the caller and the shard's own lookup, a
// batch is grouped by shard and each group looked up in one batched pass,
// and listings merge the shards' sorted entries by their key bytes. The
// package's ShardedReader subclasses it.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bindings/common/call_frame.h"
#include "bindings/common/create_type.h"
#include "bindings/common/errors.h"
#include "bindings/common/method_call.h"
#include "bindings/common/results.h"
#include "bindings/store/keys.h"
#include "bindings/store/reader_lookup.h"
#include "bindings/store/reader_object.h"
#include "bindings/store/shards_iterator.h"
#include "bindings/store/types.h"
#include "core/common/shard_hash.h"
#include "core/format/layout.h"

namespace tarndb::py::store {
namespace {

struct ShardsObject {
  PyObject_HEAD
  PyObject* readers;  // a tuple of Reader instances, shard i at i; nullptr until set
};

ShardsObject* AsShards(PyObject* self) { return reinterpret_cast<ShardsObject*>(self); }

constexpr const char* kSetNames[] = {"readers"};
constexpr Params kSetParams{"_set_shards()", kSetNames, 1, 1};
constexpr const char* kGetNames[] = {"key", "default"};
constexpr Params kGetParams{"get()", kGetNames, 2, 1};
constexpr const char* kGetManyNames[] = {"keys", "default"};
constexpr Params kGetManyParams{"get_many()", kGetManyNames, 2, 1};
constexpr const char* kPrefixNames[] = {"prefix"};
constexpr Params kPrefixParams{"prefix()", kPrefixNames, 1, 1};

// The shard reader for key_obj; nullptr with an exception set.
ReaderObject* Route(ShardsObject* self, PyObject* key_obj) {
  if (self->readers == nullptr) {
    ReaderObject::RaiseClosed();
    return nullptr;
  }
  StoreKey key;
  if (!key.Convert(key_obj)) return nullptr;
  const Py_ssize_t n = PyTuple_GET_SIZE(self->readers);
  const uint32_t s = ShardOf(key.view().data, key.view().size, static_cast<uint32_t>(n));
  return reinterpret_cast<ReaderObject*>(PyTuple_GET_ITEM(self->readers, s));
}

extern "C" PyObject* ShardsNew(PyTypeObject* type, PyObject*, PyObject*) {
  allocfunc alloc = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self != nullptr) AsShards(self)->readers = nullptr;
  return self;
}

extern "C" int ShardsTraverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(AsShards(self)->readers);
  return 0;
}

extern "C" int ShardsClear(PyObject* self) {
  Py_CLEAR(AsShards(self)->readers);
  return 0;
}

extern "C" void ShardsDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  ShardsClear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

extern "C" PyObject* ShardsSet(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[1];
    if (!BindFastcall(kSetParams, args, nargs, kwnames, a)) return nullptr;
    OwnedRef readers = OwnedRef::Steal(PySequence_Tuple(a[0]));
    if (!readers) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(readers.get());
    PyTypeObject* reader_type = ReaderType();
    if (reader_type == nullptr) return nullptr;
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
    Py_XSETREF(AsShards(self)->readers, readers.release());
    Py_RETURN_NONE;
  });
}

extern "C" PyObject* ShardsSubscript(PyObject* self, PyObject* key) {
  return Frame([&]() -> PyObject* {
    ReaderObject* shard = Route(AsShards(self), key);
    if (shard == nullptr) return nullptr;
    return FetchOrKeyError(shard, key);
  });
}

extern "C" int ShardsContains(PyObject* self, PyObject* key) {
  return Frame<int>(-1, [&]() -> int {
    ReaderObject* shard = Route(AsShards(self), key);
    return shard == nullptr ? -1 : Contains(shard, key);
  });
}

extern "C" Py_ssize_t ShardsLength(PyObject* self) {
  PyObject* readers = AsShards(self)->readers;
  if (readers == nullptr) {
    ReaderObject::RaiseClosed();
    return -1;
  }
  Py_ssize_t total = 0;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(readers); ++i) {
    const Reader* r = reinterpret_cast<ReaderObject*>(PyTuple_GET_ITEM(readers, i))->Store();
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
    ReaderObject* shard = Route(AsShards(self), a[0]);
    if (shard == nullptr) return nullptr;
    return FetchOr(shard, a[0], a[1] ? a[1] : Py_None);
  });
}

// get_many: a chunk of keys at a time, grouped by shard, each shard's group
// looked up in one batched pass, then the values made in the keys' order.
extern "C" PyObject* ShardsGetMany(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[2];
    if (!BindFastcall(kGetManyParams, args, nargs, kwnames, a)) return nullptr;
    PyObject* fallback = a[1] ? a[1] : Py_None;
    PyObject* readers_obj = AsShards(self)->readers;
    if (readers_obj == nullptr) return ReaderObject::RaiseClosed(), nullptr;
    if (IsOneKey(a[0])) return nullptr;
    // A tuple: decode callables run Python code, which could change a list.
    OwnedRef keys = OwnedRef::Steal(PySequence_Tuple(a[0]));
    OwnedRef readers = OwnedRef::NewRef(readers_obj);  // close() may drop the attribute
    if (!keys) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(keys.get());
    const uint32_t shards = static_cast<uint32_t>(PyTuple_GET_SIZE(readers.get()));
    OwnedRef out = OwnedRef::Steal(Made(PyList_New(n)));
    if (!out) return nullptr;
    std::vector<ReaderObject*> shard(shards);
    std::vector<std::shared_ptr<const Reader>> stores(shards);
    for (uint32_t s = 0; s < shards; ++s) {
      shard[s] = reinterpret_cast<ReaderObject*>(PyTuple_GET_ITEM(readers.get(), s));
      stores[s] = shard[s]->SharedStore();
      if (!stores[s]) return nullptr;
    }
    // A chunk at a time, so that its tables stay in the cache: each key is
    // converted and routed, its bytes copied, grouped by shard, into one
    // block, and each shard's group looked up in one batched pass over
    // compact memory. The values are then made in the keys' own order, so
    // that they lie in memory in the order of the list that holds them
    // (made shard by shard, freeing the list later walks the heap at random).
    const size_t chunk = std::max<size_t>(2048, size_t{64} * shards);
    const size_t cap = std::min(chunk, static_cast<size_t>(n));
    std::vector<StoreKey> converted(cap);
    std::vector<uint32_t> shard_of(cap);
    std::vector<size_t> slot(cap);
    std::vector<KeyView> views(cap);
    std::vector<uint64_t> offsets(cap);
    std::unique_ptr<bool[]> found(new bool[cap]);
    std::vector<size_t> start(shards + 1), bytes_start(shards + 1), fill(shards), byte_fill(shards);
    std::vector<unsigned char> key_bytes;
    for (Py_ssize_t base = 0; base < n; base += static_cast<Py_ssize_t>(chunk)) {
      const size_t m = std::min(chunk, static_cast<size_t>(n - base));
      PyObject* const* keys_in = &PyTuple_GET_ITEM(keys.get(), base);
      std::fill(start.begin(), start.end(), 0);
      std::fill(bytes_start.begin(), bytes_start.end(), 0);
      for (size_t i = 0; i < m; ++i) {
        if (!converted[i].Convert(keys_in[i])) return nullptr;
        const KeyView v = converted[i].view();
        shard_of[i] = ShardOf(v.data, v.size, shards);
        ++start[shard_of[i] + 1];
        bytes_start[shard_of[i] + 1] += v.size;
      }
      for (uint32_t s = 0; s < shards; ++s) {
        start[s + 1] += start[s];
        bytes_start[s + 1] += bytes_start[s];
      }
      key_bytes.resize(bytes_start[shards]);
      std::copy(start.begin(), start.end() - 1, fill.begin());
      std::copy(bytes_start.begin(), bytes_start.end() - 1, byte_fill.begin());
      for (size_t i = 0; i < m; ++i) {
        const uint32_t s = shard_of[i];
        slot[i] = fill[s]++;
        const KeyView v = converted[i].view();
        unsigned char* copy = key_bytes.data() + byte_fill[s];
        if (v.size) std::memcpy(copy, v.data, v.size);
        byte_fill[s] += v.size;
        views[slot[i]] = KeyView{copy, v.size};
      }
      for (uint32_t s = 0; s < shards; ++s) {
        const size_t first = start[s];
        if (!FindViews(*stores[s], views.data() + first, start[s + 1] - first,
                       offsets.data() + first, found.get() + first)) {
          return nullptr;
        }
      }
      for (size_t i = 0; i < m; ++i) {
        const uint32_t s = shard_of[i];
        PyObject* value =
            ValueAt(shard[s], *stores[s], found[slot[i]], offsets[slot[i]], keys_in[i], fallback);
        if (value == nullptr) return nullptr;
        PyList_SET_ITEM(out.get(), base + static_cast<Py_ssize_t>(i), value);
      }
      for (uint32_t s = 0; s < shards; ++s) {
        // defaults given for keys of a changed file
        if (!ReaderObject::CheckIntact(*stores[s])) return nullptr;
      }
    }
    return out.release();
  });
}

// The readers, or nullptr with ValueError set before any were set.
PyObject* Readers(PyObject* self) {
  PyObject* readers = AsShards(self)->readers;
  if (readers == nullptr) ReaderObject::RaiseClosed();
  return readers;
}

extern "C" PyObject* ShardsIter(PyObject* self) {
  return Frame([&]() -> PyObject* {
    PyObject* readers = Readers(self);
    return readers ? NewMergeIterator(readers, IterMode::kKeys, nullptr) : nullptr;
  });
}

extern "C" PyObject* ShardsItems(PyObject* self, PyObject*) {
  return Frame([&]() -> PyObject* {
    PyObject* readers = Readers(self);
    return readers ? NewMergeIterator(readers, IterMode::kItems, nullptr) : nullptr;
  });
}

extern "C" PyObject* ShardsValues(PyObject* self, PyObject*) {
  return Frame([&]() -> PyObject* {
    PyObject* readers = Readers(self);
    return readers ? NewMergeIterator(readers, IterMode::kValues, nullptr) : nullptr;
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
    return NewMergeIterator(readers, IterMode::kItems, &view);
  });
}

PyMethodDef kMethods[] = {
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

PyType_Spec kSpec = {"tarndb._store.Shards", static_cast<int>(sizeof(ShardsObject)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, kSlots};

}  // namespace

PyTypeObject* ShardsType() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = CreateType(&kSpec);
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace tarndb::py::store
