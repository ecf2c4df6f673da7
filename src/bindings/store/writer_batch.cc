#include "bindings/store/writer_batch.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "bindings/common/py_ref.h"
#include "bindings/store/keys.h"
#include "bindings/store/packed_pairs.h"

namespace tarndb::py::store {
namespace {

// One (key, value) pair: its new object's ID, or nullopt with an exception
// set.
std::optional<uint64_t> PutPair(const WriterRef& w, PyObject* key_obj, PyObject* value, bool raw) {
  StoreKey key;
  if (!w.StorableKey(key_obj, &key)) return std::nullopt;
  OwnedRef encoded;
  RawValue data;
  if (!w.ValueBytes(value, raw, &encoded, &data)) return std::nullopt;
  const std::optional<uint64_t> id = w.AddObject(data);
  if (!id || !w.AddKey(key.view(), *id)) return std::nullopt;
  return id;
}

// One item of update/update_raw: a (key, value) pair.
bool PutItem(const WriterRef& w, PyObject* pair, bool raw) {
  if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) {
    return PutPair(w, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1), raw).has_value();
  }
  OwnedRef fast = OwnedRef::Steal(PySequence_Fast(pair, ""));
  if (!fast || PySequence_Fast_GET_SIZE(fast.get()) != 2) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "update items must be (key, value) pairs, not %s",
                 Py_TYPE(pair)->tp_name);
    return false;
  }
  return PutPair(w, PySequence_Fast_GET_ITEM(fast.get(), 0),
                 PySequence_Fast_GET_ITEM(fast.get(), 1), raw)
      .has_value();
}

// Touching what pairs will need, in three stages, each a pass of loads
// that do not depend on each other (see TouchKeys): the pairs themselves,
// then their key and value objects, then the keys' lengths and bytes and
// the rest of the values' bytes. Each stage reads what the one before
// fetched, so the stages run a batch apart (TouchAhead): every batch then
// waits for memory once instead of three times.
uintptr_t TouchObjects(PyObject* const* v, Py_ssize_t first, Py_ssize_t last) {
  uintptr_t sink = 0;
  for (Py_ssize_t i = first; i < last; ++i) {
    PyObject* pair = v[i];
    if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) continue;
    sink += reinterpret_cast<uintptr_t>(Py_TYPE(PyTuple_GET_ITEM(pair, 0)));
    sink += reinterpret_cast<uintptr_t>(Py_TYPE(PyTuple_GET_ITEM(pair, 1)));
  }
  return sink;
}

uintptr_t TouchBytes(PyObject* const* v, Py_ssize_t first, Py_ssize_t last) {
  uintptr_t sink = 0;
  for (Py_ssize_t i = first; i < last; ++i) {
    PyObject* pair = v[i];
    if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) continue;
    sink += KeyLengthWord(PyTuple_GET_ITEM(pair, 0));
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    if (!PyBytes_CheckExact(value)) continue;
    const char* data = PyBytes_AS_STRING(value);
    const Py_ssize_t size = PyBytes_GET_SIZE(value);
    for (Py_ssize_t off = 32; off < size && off < 512; off += 64) sink += data[off];
  }
  return sink;
}

// Before the batch of pairs at first (of kBatch, in a sequence of n): the
// bytes of this batch, the objects of the next, the pairs of the one
// after. The first batch runs the stages the batches before would have.
void TouchAhead(PyObject* const* v, Py_ssize_t first, Py_ssize_t n, Py_ssize_t batch) {
  const auto end = [n](Py_ssize_t i) { return std::min(i, n); };
  uintptr_t sink = 0;
  const Py_ssize_t pairs_from = first == 0 ? 0 : end(first + 2 * batch);
  for (Py_ssize_t i = pairs_from; i < end(first + 3 * batch); ++i) {
    sink += reinterpret_cast<uintptr_t>(Py_TYPE(v[i]));
  }
  if (first == 0) sink += TouchObjects(v, 0, end(batch));
  sink += TouchObjects(v, end(first + batch), end(first + 2 * batch));
  sink += TouchBytes(v, first, end(first + batch));
  asm volatile("" : : "r"(sink));  // keep the loads
}

}  // namespace

PyObject* Put(const WriterRef& w, PyObject* key_obj, PyObject* value, bool raw) {
  const std::optional<uint64_t> id = PutPair(w, key_obj, value, raw);
  return id ? PyLong_FromUnsignedLongLong(*id) : nullptr;
}

PyObject* PutMany(const WriterRef& w, PyObject* keys_obj, PyObject* value, bool raw) {
  if (PyUnicode_Check(keys_obj) || PyBytes_Check(keys_obj) || PyByteArray_Check(keys_obj) ||
      PyMemoryView_Check(keys_obj)) {
    PyErr_Format(PyExc_TypeError, "keys must be an iterable of keys, not one %s",
                 Py_TYPE(keys_obj)->tp_name);
    return nullptr;
  }
  OwnedRef seq = OwnedRef::Steal(PySequence_List(keys_obj));
  if (!seq) return nullptr;
  const Py_ssize_t n = PyList_GET_SIZE(seq.get());
  if (n == 0) {
    PyErr_SetString(PyExc_ValueError, "no key given for the object");
    return nullptr;
  }
  std::vector<StoreKey> keys(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!w.StorableKey(PyList_GET_ITEM(seq.get(), i), &keys[static_cast<size_t>(i)])) {
      return nullptr;
    }
  }
  OwnedRef encoded;
  RawValue data;
  if (!w.ValueBytes(value, raw, &encoded, &data)) return nullptr;
  const std::optional<uint64_t> id = w.AddObject(data);
  if (!id) return nullptr;
  for (const StoreKey& key : keys) {
    if (!w.AddKey(key.view(), *id)) return nullptr;
  }
  return PyLong_FromUnsignedLongLong(*id);
}

PyObject* Update(const WriterRef& w, PyObject* items, bool raw) {
  // A dict is walked in place when no Python code can run meanwhile.
  if (raw && PyDict_CheckExact(items)) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(items, &pos, &key, &value)) {
      if (!PutPair(w, key, value, raw)) return nullptr;
    }
    Py_RETURN_NONE;
  }
  // A list or tuple is walked by index, each pair held while it is stored
  // (code run by a conversion could change the list), fetching ahead.
  if (PyList_CheckExact(items) || PyTuple_CheckExact(items)) {
    constexpr Py_ssize_t kBatch = 32;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items); ++i) {
      PyObject* const* v = PySequence_Fast_ITEMS(items);
      if (i % kBatch == 0) TouchAhead(v, i, PySequence_Fast_GET_SIZE(items), kBatch);
      OwnedRef pair = OwnedRef::NewRef(v[i]);
      if (!PutItem(w, pair.get(), raw)) return nullptr;
    }
    Py_RETURN_NONE;
  }
  OwnedRef pairs;
  if (PyDict_Check(items) || PyObject_HasAttrString(items, "keys")) {
    pairs = OwnedRef::Steal(PyMapping_Items(items));
  } else {
    pairs = OwnedRef::NewRef(items);
  }
  if (!pairs) return nullptr;
  OwnedRef it = OwnedRef::Steal(PyObject_GetIter(pairs.get()));
  if (!it) return nullptr;
  while (OwnedRef pair = OwnedRef::Steal(PyIter_Next(it.get()))) {
    if (!PutItem(w, pair.get(), raw)) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

PyObject* UpdatePacked(const WriterRef& w, PyObject* packed_obj) {
  RawValue packed;
  if (!packed.Convert(packed_obj, "packed pairs")) return nullptr;
  PackedPairReader pairs(packed.data(), packed.size());
  KeyView key;
  const uint8_t* value;
  size_t size;
  uint64_t count = 0;
  while (pairs.Next(&key, &value, &size)) {
    if (Status s = CheckKeyLength(key.size); !s.ok()) return w.Raise(s.error());
    const std::optional<uint64_t> id = w.AddObject(value, size);
    if (!id || !w.AddKey(key, *id)) return nullptr;
    ++count;
  }
  if (pairs.cut_short()) {
    PyErr_SetString(PyExc_ValueError, "packed pairs cut short");
    return nullptr;
  }
  return PyLong_FromUnsignedLongLong(count);
}

}  // namespace tarndb::py::store
