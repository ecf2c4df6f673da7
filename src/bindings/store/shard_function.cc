// Module functions of tarndb._store for sharded stores: shard_of(key, n),
// the stable shard function, and _group_by_shard(keys, n, values=None),
// which routes a batch of keys in one call, and _pack_by_shard(keys,
// values, n), which routes a batch of pairs into one packed buffer per
// shard (the sharded builds' split of records by shard).
#include "bindings/store/shard_function.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "bindings/common/call_frame.h"
#include "bindings/common/py_ref.h"
#include "bindings/common/results.h"
#include "bindings/store/keys.h"
#include "bindings/store/packed_pairs.h"
#include "core/common/shard_hash.h"

namespace tarndb::py::store {
namespace {

constexpr const char* kShardOfNames[] = {"key", "n"};
constexpr Params kShardOfParams{"shard_of()", kShardOfNames, 2, 2};
constexpr const char* kGroupNames[] = {"keys", "n", "values"};
constexpr Params kGroupParams{"_group_by_shard()", kGroupNames, 3, 2};
constexpr const char* kPackNames[] = {"keys", "values", "n"};
constexpr Params kPackParams{"_pack_by_shard()", kPackNames, 3, 3};

// The shard count: an int from 1 to kMaxShards; TypeError or ValueError
// otherwise.
bool ConvertShardCount(PyObject* obj, uint32_t* n) {
  if (PyLong_CheckExact(obj)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0 && v >= 1 && v <= kMaxShards) {
      *n = static_cast<uint32_t>(v);
      return true;
    }
    if (v == -1 && PyErr_Occurred()) return false;
  } else {
    OwnedRef index = OwnedRef::Steal(PyNumber_Index(obj));
    if (!index) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Format(PyExc_TypeError, "the shard count must be an int, not %s",
                     Py_TYPE(obj)->tp_name);
      }
      return false;
    }
    return ConvertShardCount(index.get(), n);
  }
  PyErr_Format(PyExc_ValueError, "the shard count must be 1 to %u, not %s", kMaxShards,
               IntText(obj).c_str());
  return false;
}

// values as a tuple of count items; null with an exception set otherwise.
OwnedRef ValuesTuple(PyObject* values, Py_ssize_t count, const char* function) {
  OwnedRef tuple = OwnedRef::Steal(PySequence_Tuple(values));
  if (tuple && PyTuple_GET_SIZE(tuple.get()) != count) {
    PyErr_Format(PyExc_ValueError, "%s: %zd keys but %zd values", function, count,
                 PyTuple_GET_SIZE(tuple.get()));
    return OwnedRef();
  }
  return tuple;
}

extern "C" PyObject* ShardOfFn(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[2];
    if (!BindFastcall(kShardOfParams, args, nargs, kwnames, a)) return nullptr;
    StoreKey key;
    if (!key.Convert(a[0])) return nullptr;
    uint32_t n;
    if (!ConvertShardCount(a[1], &n)) return nullptr;
    return PyLong_FromUnsignedLong(ShardOf(key.view().data, key.view().size, n));
  });
}

extern "C" PyObject* GroupByShardFn(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[3];
    if (!BindFastcall(kGroupParams, args, nargs, kwnames, a)) return nullptr;
    if (PyUnicode_Check(a[0]) || PyBytes_Check(a[0])) {
      PyErr_SetString(PyExc_TypeError, "_group_by_shard() takes an iterable of keys, not one key");
      return nullptr;
    }
    uint32_t n;
    if (!ConvertShardCount(a[1], &n)) return nullptr;
    // Tuples: nothing can change them while the groups are filled (an
    // allocation may run a finaliser, which could change a list).
    OwnedRef keys = OwnedRef::Steal(PySequence_Tuple(a[0]));
    if (!keys) return nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(keys.get());
    OwnedRef values;
    PyObject* values_arg = a[2] == nullptr || a[2] == Py_None ? nullptr : a[2];
    if (values_arg != nullptr) {
      values = ValuesTuple(values_arg, count, "_group_by_shard()");
      if (!values) return nullptr;
    }
    // Route every key first, so that the lists are made at their final size.
    std::vector<uint32_t> shard(static_cast<size_t>(count));
    std::vector<Py_ssize_t> size(n, 0);
    for (Py_ssize_t i = 0; i < count; ++i) {
      StoreKey key;
      if (!key.Convert(PyTuple_GET_ITEM(keys.get(), i))) return nullptr;
      shard[static_cast<size_t>(i)] = ShardOf(key.view().data, key.view().size, n);
      ++size[shard[static_cast<size_t>(i)]];
    }
    OwnedRef out = OwnedRef::Steal(PyList_New(n));
    if (!out) return nullptr;
    std::vector<PyObject*> key_lists(n), second_lists(n);
    for (uint32_t s = 0; s < n; ++s) {
      OwnedRef k = OwnedRef::Steal(PyList_New(size[s]));
      OwnedRef v = OwnedRef::Steal(PyList_New(size[s]));
      if (!k || !v) return nullptr;
      key_lists[s] = k.get();
      second_lists[s] = v.get();
      OwnedRef pair = OwnedRef::Steal(PyTuple_Pack(2, k.get(), v.get()));
      if (!pair) return nullptr;
      PyList_SET_ITEM(out.get(), s, pair.release());
    }
    // The lists are owned by their tuples, which out owns; fill them in order.
    std::fill(size.begin(), size.end(), 0);
    for (Py_ssize_t i = 0; i < count; ++i) {
      const uint32_t s = shard[static_cast<size_t>(i)];
      const Py_ssize_t at = size[s]++;
      PyObject* key = PyTuple_GET_ITEM(keys.get(), i);
      Py_INCREF(key);
      PyList_SET_ITEM(key_lists[s], at, key);
      PyObject* second;
      if (values) {
        second = PyTuple_GET_ITEM(values.get(), i);
        Py_INCREF(second);
      } else {
        second = PyLong_FromSsize_t(i);
        if (second == nullptr) return nullptr;
      }
      PyList_SET_ITEM(second_lists[s], at, second);
    }
    return out.release();
  });
}

// _pack_by_shard(keys, values, n): for each shard, the pairs routed there,
// in input order, as one bytes object of packed pairs (packed_pairs.h).
extern "C" PyObject* PackByShardFn(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[3];
    if (!BindFastcall(kPackParams, args, nargs, kwnames, a)) return nullptr;
    uint32_t n;
    if (!ConvertShardCount(a[2], &n)) return nullptr;
    OwnedRef keys = OwnedRef::Steal(PySequence_Tuple(a[0]));
    if (!keys) return nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(keys.get());
    OwnedRef values = ValuesTuple(a[1], count, "_pack_by_shard()");
    if (!values) return nullptr;
    // Keys are str or bytes and values bytes, none of which can change
    // while the buffers are allocated between the two passes.
    std::vector<uint32_t> shard(static_cast<size_t>(count));
    std::vector<size_t> size(n, 0);
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* key_obj = PyTuple_GET_ITEM(keys.get(), i);
      PyObject* value = PyTuple_GET_ITEM(values.get(), i);
      if (!(PyUnicode_Check(key_obj) || PyBytes_Check(key_obj)) || !PyBytes_Check(value)) {
        PyErr_Format(PyExc_TypeError,
                     "_pack_by_shard() takes str or bytes keys and bytes values, not %s and %s",
                     Py_TYPE(key_obj)->tp_name, Py_TYPE(value)->tp_name);
        return nullptr;
      }
      StoreKey key;
      if (!key.Convert(key_obj)) return nullptr;
      const KeyView k = key.view();
      const size_t v = static_cast<size_t>(PyBytes_GET_SIZE(value));
      if (k.size > UINT32_MAX || v > UINT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "_pack_by_shard(): a key or value over 4 GiB");
        return nullptr;
      }
      const uint32_t s = ShardOf(k.data, k.size, n);
      shard[static_cast<size_t>(i)] = s;
      size[s] += kPackedPairHead + k.size + v;
    }
    OwnedRef out = OwnedRef::Steal(PyList_New(n));
    if (!out) return nullptr;
    std::vector<uint8_t*> at(n);
    for (uint32_t s = 0; s < n; ++s) {
      PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size[s]));
      if (bytes == nullptr) return nullptr;
      PyList_SET_ITEM(out.get(), s, bytes);
      at[s] = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes));
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
      StoreKey key;
      if (!key.Convert(PyTuple_GET_ITEM(keys.get(), i))) return nullptr;
      PyObject* value = PyTuple_GET_ITEM(values.get(), i);
      const uint32_t s = shard[static_cast<size_t>(i)];
      at[s] = PutPackedPair(at[s], key.view(), reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(value)),
                            static_cast<size_t>(PyBytes_GET_SIZE(value)));
    }
    return out.release();
  });
}

// _unpack_pairs(data): the packed pairs in data as a list of (key, value)
// bytes pairs, for writers that take them through update_raw.
extern "C" PyObject* UnpackPairsFn(PyObject*, PyObject* data) {
  return Frame([&]() -> PyObject* {
    RawValue packed;
    if (!packed.Convert(data, "packed pairs")) return nullptr;
    OwnedRef out = OwnedRef::Steal(PyList_New(0));
    if (!out) return nullptr;
    PackedPairReader pairs(packed.data(), packed.size());
    KeyView key;
    const uint8_t* value;
    size_t size;
    while (pairs.Next(&key, &value, &size)) {
      OwnedRef pair =
          OwnedRef::Steal(Py_BuildValue("(y#y#)", key.data, static_cast<Py_ssize_t>(key.size),
                                        value, static_cast<Py_ssize_t>(size)));
      if (!pair || PyList_Append(out.get(), pair.get()) < 0) return nullptr;
    }
    if (pairs.cut_short()) {
      PyErr_SetString(PyExc_ValueError, "packed pairs cut short");
      return nullptr;
    }
    return out.release();
  });
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kFunctions[] = {
    {"shard_of", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ShardOfFn)), kFastKw,
     "shard_of(key, n)\n--\n\n"
     "The shard, 0 to n - 1, of *key* (str or bytes) among *n* shards: the jump consistent "
     "hash of the key's SipHash-1-3 under a fixed key. The same everywhere and always."},
    {"_group_by_shard", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(GroupByShardFn)),
     kFastKw,
     "_group_by_shard(keys, n, values=None)\n--\n\n"
     "A list of n pairs (keys, second), one per shard: the keys routed there, in input order, "
     "and their values (or, with no values, their positions in keys)."},
    {"_pack_by_shard", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(PackByShardFn)),
     kFastKw,
     "_pack_by_shard(keys, values, n)\n--\n\n"
     "A list of n bytes objects, one per shard: the (key, value) pairs routed there, in input "
     "order, packed for Writer._update_packed()."},
    {"_unpack_pairs", UnpackPairsFn, METH_O,
     "_unpack_pairs(data)\n--\n\nThe pairs packed in *data*, as a list of (key, value) bytes."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int AddShardFunctions(PyObject* module) { return PyModule_AddFunctions(module, kFunctions); }

}  // namespace tarndb::py::store
