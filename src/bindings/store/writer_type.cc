// tarndb._store.Writer: collects values and keys and builds a store file.
//
// Values come either as bytes-like objects (the *_raw calls) or as any
// object, turned into bytes by the writer's encode callable. The batch
// calls (put_many, update, update_raw) run their loop here, one native call
// for the whole batch. Mutating calls take the writer for exclusive use,
// so an encode callable that calls back into the same writer gets an error
// instead of changing it halfway.
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bindings/common/call_frame.h"
#include "bindings/common/create_type.h"
#include "bindings/common/errors.h"
#include "bindings/common/gil_released.h"
#include "bindings/common/method_call.h"
#include "bindings/common/results.h"
#include "bindings/store/keys.h"
#include "bindings/store/packed_pairs.h"
#include "bindings/store/types.h"
#include "core/format/coding.h"
#include "core/format/hash_index.h"
#include "core/writer/temp_file.h"
#include "core/writer/temp_path.h"
#include "core/writer/writer.h"

namespace tarndb::py::store {
namespace {

struct WriterObject {
  PyObject_HEAD
  AccessCounter access;
  Writer core;
  PyObject* encode;  // a new reference, or nullptr when only raw calls work
  // Builds that renamed a file into place; changed only with the
  // interpreter lock held, read without taking the writer (see _published).
  uint64_t published;
};

WriterObject* AsWriter(PyObject* self) { return reinterpret_cast<WriterObject*>(self); }

constexpr const char* kNewNames[] = {"encode", "memory_limit", "spill_dir", "hash_index",
                                     "target", "unique_keys",  "hash_seed"};
constexpr Params kNewParams{"Writer()", kNewNames, 7, 0};
constexpr const char* kValueNames[] = {"value"};
constexpr Params kAddParams{"add()", kValueNames, 1, 1};
constexpr const char* kDataNames[] = {"data"};
constexpr Params kAddRawParams{"add_raw()", kDataNames, 1, 1};
constexpr const char* kAddKeyNames[] = {"key", "obj_id"};
constexpr Params kAddKeyParams{"add_key()", kAddKeyNames, 2, 2};
constexpr const char* kPutNames[] = {"key", "value"};
constexpr Params kPutParams{"put()", kPutNames, 2, 2};
constexpr const char* kPutRawNames[] = {"key", "data"};
constexpr Params kPutRawParams{"put_raw()", kPutRawNames, 2, 2};
constexpr const char* kPutManyNames[] = {"keys", "value"};
constexpr Params kPutManyParams{"put_many()", kPutManyNames, 2, 2};
constexpr const char* kPutManyRawNames[] = {"keys", "data"};
constexpr Params kPutManyRawParams{"put_many_raw()", kPutManyRawNames, 2, 2};
constexpr const char* kItemsNames[] = {"items"};
constexpr Params kUpdateParams{"update()", kItemsNames, 1, 1};
constexpr Params kUpdateRawParams{"update_raw()", kItemsNames, 1, 1};
constexpr const char* kPackedNames[] = {"data"};
constexpr Params kUpdatePackedParams{"_update_packed()", kPackedNames, 1, 1};
constexpr const char* kSetSectionNames[] = {"type", "version", "data"};
constexpr Params kSetSectionParams{"_set_section()", kSetSectionNames, 3, 3};
constexpr const char* kBuildNames[] = {"path"};
constexpr Params kBuildParams{"build()", kBuildNames, 1, 1};

// Bind a fast call, then take the writer; returns false with an exception
// set on either failure.
struct Call {
  PyObject* args[2] = {nullptr, nullptr};
  std::optional<ScopedUse> use;

  bool Begin(PyObject* self, const Params& params, PyObject* const* a, Py_ssize_t nargs,
             PyObject* kwnames, ScopedUse::Mode mode) {
    if (!BindFastcall(params, a, nargs, kwnames, args)) return false;
    use.emplace(AsWriter(self)->access, mode);
    return static_cast<bool>(*use);
  }
};

// A key converted and checked against the 65,535-byte limit.
bool ConvertStorableKey(PyObject* obj, StoreKey* key) {
  if (!key->Convert(obj)) return false;
  if (Status s = Writer::CheckKeyLength(key->view().size); !s.ok()) {
    SetCoreError(s.error());
    return false;
  }
  return true;
}

// The bytes to store for value: its buffer for a raw call, else what the
// writer's encode callable makes of it. `holder` keeps the encoded object.
bool ValueBytes(WriterObject* w, PyObject* value, bool raw, OwnedRef* holder, RawValue* bytes) {
  if (raw) return bytes->Convert(value, "a raw value");
  if (w->encode == nullptr) {
    PyErr_SetString(PyExc_TypeError, "this writer has no encoder: use the *_raw calls");
    return false;
  }
  *holder = OwnedRef::Steal(PyObject_CallOneArg(w->encode, value));
  if (!*holder) return false;
  return bytes->Convert(holder->get(), "the encoder's result");
}

// Store data as a new object; its ID, or nullopt with an exception set.
std::optional<uint64_t> AddObject(WriterObject* w, const uint8_t* data, size_t size) {
  Result<uint64_t> id = w->core.AddObject(data, size);
  if (!id.ok()) {
    SetCoreError(id.error());
    return std::nullopt;
  }
  return id.value();
}

std::optional<uint64_t> AddObject(WriterObject* w, const RawValue& data) {
  return AddObject(w, data.data(), data.size());
}

bool AddKey(WriterObject* w, KeyView key, uint64_t obj_id) {
  bool spill_first = false;
  Status added = w->core.AddKey(key, obj_id, &spill_first);
  if (added.ok() && spill_first) {
    // A key is a view of an immutable str or bytes, or a copy: spilling the
    // keys held (a sort and a write) may run without the interpreter lock.
    GilReleased released;
    added = w->core.AddKey(key, obj_id);
  }
  if (!added.ok()) {
    SetCoreError(added.error());
    return false;
  }
  return true;
}

bool AddKey(WriterObject* w, const StoreKey& key, uint64_t obj_id) {
  return AddKey(w, key.view(), obj_id);
}

// put/put_raw: one key, one new object.
PyObject* Put(PyObject* self, PyObject* key_obj, PyObject* value, bool raw) {
  WriterObject* w = AsWriter(self);
  StoreKey key;
  if (!ConvertStorableKey(key_obj, &key)) return nullptr;
  OwnedRef encoded;
  RawValue data;
  if (!ValueBytes(w, value, raw, &encoded, &data)) return nullptr;
  const std::optional<uint64_t> id = AddObject(w, data);
  if (!id || !AddKey(w, key, *id)) return nullptr;
  return PyLong_FromUnsignedLongLong(*id);
}

// put_many/put_many_raw: every key is checked before anything is stored.
PyObject* PutMany(PyObject* self, PyObject* keys_obj, PyObject* value, bool raw) {
  WriterObject* w = AsWriter(self);
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
    if (!ConvertStorableKey(PyList_GET_ITEM(seq.get(), i), &keys[static_cast<size_t>(i)])) {
      return nullptr;
    }
  }
  OwnedRef encoded;
  RawValue data;
  if (!ValueBytes(w, value, raw, &encoded, &data)) return nullptr;
  const std::optional<uint64_t> id = AddObject(w, data);
  if (!id) return nullptr;
  for (const StoreKey& key : keys) {
    if (!AddKey(w, key, *id)) return nullptr;
  }
  return PyLong_FromUnsignedLongLong(*id);
}

// One (key, value) pair of update/update_raw.
bool PutPair(WriterObject* w, PyObject* key_obj, PyObject* value, bool raw) {
  StoreKey key;
  if (!ConvertStorableKey(key_obj, &key)) return false;
  OwnedRef encoded;
  RawValue data;
  if (!ValueBytes(w, value, raw, &encoded, &data)) return false;
  const std::optional<uint64_t> id = AddObject(w, data);
  return id && AddKey(w, key, *id);
}

// One item of update/update_raw: a (key, value) pair.
bool PutItem(WriterObject* w, PyObject* pair, bool raw) {
  if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) {
    return PutPair(w, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1), raw);
  }
  OwnedRef fast = OwnedRef::Steal(PySequence_Fast(pair, ""));
  if (!fast || PySequence_Fast_GET_SIZE(fast.get()) != 2) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "update items must be (key, value) pairs, not %s",
                 Py_TYPE(pair)->tp_name);
    return false;
  }
  return PutPair(w, PySequence_Fast_GET_ITEM(fast.get(), 0),
                 PySequence_Fast_GET_ITEM(fast.get(), 1), raw);
}

// Touch what the pairs v[first, last) will need: each pair, then its key
// and value objects. Objects made at different times lie anywhere in
// memory, so each would be a cache and TLB miss of its own, one after the
// other; loads that do not depend on each other, issued together, overlap.
// (Software prefetches are not enough: they are dropped on a TLB miss.)
void TouchPairs(PyObject* const* v, Py_ssize_t first, Py_ssize_t last) {
  uintptr_t sink = 0;
  for (Py_ssize_t i = first; i < last; ++i) sink += reinterpret_cast<uintptr_t>(Py_TYPE(v[i]));
  for (Py_ssize_t i = first; i < last; ++i) {
    PyObject* pair = v[i];
    if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) continue;
    sink += reinterpret_cast<uintptr_t>(Py_TYPE(PyTuple_GET_ITEM(pair, 0)));
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    sink += reinterpret_cast<uintptr_t>(Py_TYPE(value));
  }
  // The rest of each value's bytes (the first line came with its header).
  for (Py_ssize_t i = first; i < last; ++i) {
    PyObject* pair = v[i];
    if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) continue;
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    if (!PyBytes_CheckExact(value)) continue;
    const char* data = PyBytes_AS_STRING(value);
    const Py_ssize_t size = PyBytes_GET_SIZE(value);
    for (Py_ssize_t off = 32; off < size && off < 512; off += 64) sink += data[off];
  }
  asm volatile("" : : "r"(sink));  // keep the loads
}

// update/update_raw: items is a mapping (its items) or an iterable of
// (key, value) pairs. Pairs before a failing one stay stored, as in
// dict.update.
PyObject* Update(PyObject* self, PyObject* items, bool raw) {
  WriterObject* w = AsWriter(self);
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
      if (i % kBatch == 0) TouchPairs(v, i, std::min(i + kBatch, PySequence_Fast_GET_SIZE(items)));
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

// A path argument as bytes (str, bytes or os.PathLike); nullopt with an
// exception set on failure.
std::optional<std::string> PathText(PyObject* obj) {
  PyObject* converted = nullptr;
  if (!PyUnicode_FSConverter(obj, &converted)) return std::nullopt;
  OwnedRef bytes = OwnedRef::Steal(converted);
  return std::string(PyBytes_AS_STRING(bytes.get()),
                     static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

// The writer's options from Writer()'s arguments a[1..6].
bool ParseOptions(PyObject* const* a, WriterOptions* o) {
  if (a[1] != nullptr && a[1] != Py_None) {
    const unsigned long long limit = PyLong_AsUnsignedLongLong(a[1]);
    if (limit == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "memory_limit must be a positive number of bytes");
      }
      return false;
    }
    if (limit < kMinMemoryLimit) {
      PyErr_Format(PyExc_ValueError, "memory_limit must be at least %llu bytes (1 MiB), not %llu",
                   static_cast<unsigned long long>(kMinMemoryLimit), limit);
      return false;
    }
    o->memory_limit = limit;
  }
  if (a[2] != nullptr && a[2] != Py_None) {
    std::optional<std::string> dir = PathText(a[2]);
    if (!dir) return false;
    o->spill_dir = std::move(*dir);
  }
  if (a[3] != nullptr) {
    const int on = PyObject_IsTrue(a[3]);
    if (on < 0) return false;
    o->extension = on != 0;
  }
  if (a[4] != nullptr && a[4] != Py_None) {
    std::optional<std::string> target = PathText(a[4]);
    if (!target) return false;
    // Values are about to go to its directory: refuse a target no store
    // may replace before any is written.
    if (Result<TargetState> state = InspectTarget(*target, /*refuse_directory=*/true);
        !state.ok()) {
      SetCoreError(state.error());
      return false;
    }
    o->target = std::move(*target);
  }
  if (a[5] != nullptr) {
    const int on = PyObject_IsTrue(a[5]);
    if (on < 0) return false;
    o->unique_keys = on != 0;
  }
  if (a[6] != nullptr && a[6] != Py_None) {
    unsigned long long k0 = 0, k1 = 0;
    if (!PyArg_ParseTuple(a[6], "KK;hash_seed must be a pair of integers", &k0, &k1)) return false;
    o->seed = HashKey{k0, k1};
  }
  return true;
}

extern "C" PyObject* WriterNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Frame([&]() -> PyObject* {
    PyObject* a[7];
    if (!BindTuple(kNewParams, args, kwargs, a)) return nullptr;
    PyObject* encode = a[0] == Py_None ? nullptr : a[0];
    if (encode != nullptr && !PyCallable_Check(encode)) {
      PyErr_SetString(PyExc_TypeError, "encode must be callable or None");
      return nullptr;
    }
    WriterOptions options;
    if (!ParseOptions(a, &options)) return nullptr;
    Writer core(std::move(options));
    allocfunc alloc = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    WriterObject* w = AsWriter(self);
    new (&w->access) AccessCounter(0);
    new (&w->core) Writer(std::move(core));
    w->encode = encode;
    w->published = 0;
    Py_XINCREF(encode);
    return self;
  });
}

extern "C" int WriterTraverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(AsWriter(self)->encode);
  return 0;
}

extern "C" int WriterClear(PyObject* self) {
  Py_CLEAR(AsWriter(self)->encode);
  return 0;
}

extern "C" void WriterDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  WriterClear(self);
  AsWriter(self)->core.~Writer();
  AsWriter(self)->access.~AccessCounter();
  type->tp_free(self);
  Py_DECREF(type);
}

// A METH_FASTCALL | METH_KEYWORDS method: bind the arguments by P, take
// the writer for exclusive use, run Body(self, args).
template <const Params& P, PyObject* (*Body)(PyObject*, PyObject* const*)>
PyObject* ExclusiveMethod(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    Call call;
    if (!call.Begin(self, P, args, nargs, kwnames, ScopedUse::kExclusive)) return nullptr;
    return Body(self, call.args);
  });
}

PyObject* AddBody(PyObject* self, PyObject* const* a) {
  OwnedRef encoded;
  RawValue data;
  if (!ValueBytes(AsWriter(self), a[0], false, &encoded, &data)) return nullptr;
  const std::optional<uint64_t> id = AddObject(AsWriter(self), data);
  return id ? PyLong_FromUnsignedLongLong(*id) : nullptr;
}

PyObject* AddRawBody(PyObject* self, PyObject* const* a) {
  RawValue data;
  if (!data.Convert(a[0], "a raw value")) return nullptr;
  const std::optional<uint64_t> id = AddObject(AsWriter(self), data);
  return id ? PyLong_FromUnsignedLongLong(*id) : nullptr;
}

PyObject* AddKeyBody(PyObject* self, PyObject* const* a) {
  WriterObject* w = AsWriter(self);
  StoreKey key;
  if (!ConvertStorableKey(a[0], &key)) return nullptr;
  std::optional<uint64_t> id;
  if (!ConvertObjectId(a[1], &id)) return nullptr;
  if (!id || *id >= w->core.object_count()) {
    PyErr_Format(PyExc_ValueError, "obj_id %s out of range (have %llu objects)",
                 IntText(a[1]).c_str(), static_cast<unsigned long long>(w->core.object_count()));
    return nullptr;
  }
  if (!AddKey(w, key, *id)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* PutBody(PyObject* self, PyObject* const* a) { return Put(self, a[0], a[1], false); }
PyObject* PutRawBody(PyObject* self, PyObject* const* a) { return Put(self, a[0], a[1], true); }
PyObject* PutManyBody(PyObject* self, PyObject* const* a) {
  return PutMany(self, a[0], a[1], false);
}
PyObject* PutManyRawBody(PyObject* self, PyObject* const* a) {
  return PutMany(self, a[0], a[1], true);
}
PyObject* UpdateBody(PyObject* self, PyObject* const* a) { return Update(self, a[0], false); }
PyObject* UpdateRawBody(PyObject* self, PyObject* const* a) { return Update(self, a[0], true); }

// _update_packed(data): update_raw over packed pairs (packed_pairs.h), as
// the sharded build hands them over; returns how many pairs it stored.
PyObject* UpdatePackedBody(PyObject* self, PyObject* const* a) {
  WriterObject* w = AsWriter(self);
  RawValue packed;
  if (!packed.Convert(a[0], "packed pairs")) return nullptr;
  PackedPairReader pairs(packed.data(), packed.size());
  KeyView key;
  const uint8_t* value;
  size_t size;
  uint64_t count = 0;
  while (pairs.Next(&key, &value, &size)) {
    if (Status s = Writer::CheckKeyLength(key.size); !s.ok()) {
      SetCoreError(s.error());
      return nullptr;
    }
    const std::optional<uint64_t> id = AddObject(w, value, size);
    if (!id || !AddKey(w, key, *id)) return nullptr;
    ++count;
  }
  if (pairs.cut_short()) {
    PyErr_SetString(PyExc_ValueError, "packed pairs cut short");
    return nullptr;
  }
  return PyLong_FromUnsignedLongLong(count);
}

// _set_section(type, version, data): a section of the extension block of
// the files this writer builds (the package stores its value codec so).
extern "C" PyObject* WriterSetSection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[3];
    if (!BindFastcall(kSetSectionParams, args, nargs, kwnames, a)) return nullptr;
    if (!PyBytes_Check(a[0]) || PyBytes_GET_SIZE(a[0]) != 4 || !PyBytes_Check(a[2])) {
      PyErr_SetString(PyExc_TypeError, "a section is a 4-byte type, a version and bytes");
      return nullptr;
    }
    const unsigned long long version = PyLong_AsUnsignedLongLong(a[1]);
    if (PyErr_Occurred()) return nullptr;
    const uint32_t type = LoadBE32(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(a[0])));
    if (version > UINT32_MAX || type == kHashIndexSection || type == kSamplesSection) {
      PyErr_SetString(PyExc_ValueError, "not a section type and version a caller may set");
      return nullptr;
    }
    const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(a[2]));
    SectionBytes section{type, static_cast<uint32_t>(version),
                         std::vector<uint8_t>(data, data + PyBytes_GET_SIZE(a[2]))};
    ScopedUse use(AsWriter(self)->access, ScopedUse::kExclusive);
    if (!use) return nullptr;
    AsWriter(self)->core.SetSection(std::move(section));
    Py_RETURN_NONE;
  });
}

// _storable_key(key): the bytes add_key would store for key, with the same
// errors, for callers that hold keys back before adding them.
extern "C" PyObject* WriterStorableKey(PyObject*, PyObject* obj) {
  return Frame([&]() -> PyObject* {
    StoreKey key;
    if (!ConvertStorableKey(obj, &key)) return nullptr;
    return NewBytes(key.view().data, key.view().size).release();
  });
}

extern "C" PyObject* WriterBuild(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    Call call;
    if (!call.Begin(self, kBuildParams, args, nargs, kwnames, ScopedUse::kExclusive)) {
      return nullptr;
    }
    std::optional<std::string> path = PathText(call.args[0]);
    if (!path) return nullptr;
    WriterObject* w = AsWriter(self);
    Result<BuildFigures> built = [&] {
      GilReleased released;
      return w->core.Build(*path);
    }();
    if (!built.ok()) return SetCoreError(built.error());
    // Counted before any Python code runs again: a signal handler that
    // runs once this call returns can tell that the store is in place.
    ++w->published;
    const BuildFigures& f = built.value();
    return Py_BuildValue("(KKK)", static_cast<unsigned long long>(f.objects),
                         static_cast<unsigned long long>(f.keys),
                         static_cast<unsigned long long>(f.bytes));
  });
}

extern "C" PyObject* WriterNumObjects(PyObject* self, void*) {
  return Frame([&]() -> PyObject* {
    ScopedUse use(AsWriter(self)->access, ScopedUse::kShared);
    if (!use) return nullptr;
    return PyLong_FromUnsignedLongLong(AsWriter(self)->core.object_count());
  });
}

extern "C" PyObject* WriterNumKeys(PyObject* self, void*) {
  return Frame([&]() -> PyObject* {
    // Counting applies queued key puts, a change to the writer's state.
    ScopedUse use(AsWriter(self)->access, ScopedUse::kExclusive);
    if (!use) return nullptr;
    // Spilled runs are merged from disk to count them.
    Result<uint64_t> n = [&] {
      GilReleased released;
      return AsWriter(self)->core.KeyCount();
    }();
    if (!n.ok()) return SetCoreError(n.error());
    return PyLong_FromUnsignedLongLong(n.value());
  });
}

// Read without taking the writer, so that a signal handler run during a
// build (which holds the writer) may ask.
extern "C" PyObject* WriterPublished(PyObject* self, void*) {
  return Frame(
      [&]() -> PyObject* { return PyLong_FromUnsignedLongLong(AsWriter(self)->published); });
}

extern "C" PyObject* WriterRuns(PyObject* self, void*) {
  return Frame([&]() -> PyObject* {
    ScopedUse use(AsWriter(self)->access, ScopedUse::kShared);
    if (!use) return nullptr;
    return PyLong_FromSize_t(AsWriter(self)->core.runs());
  });
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"add", AsCFunction(ExclusiveMethod<kAddParams, AddBody>), kFastKw,
     "add($self, value)\n--\n\nStore one value as a new object; returns its object ID."},
    {"add_raw", AsCFunction(ExclusiveMethod<kAddRawParams, AddRawBody>), kFastKw,
     "add_raw($self, data)\n--\n\nStore bytes you encoded as a new object; returns its ID."},
    {"add_key", AsCFunction(ExclusiveMethod<kAddKeyParams, AddKeyBody>), kFastKw,
     "add_key($self, key, obj_id)\n--\n\nMap *key* to the object *obj_id* (the last call wins)."},
    {"put", AsCFunction(ExclusiveMethod<kPutParams, PutBody>), kFastKw,
     "put($self, key, value)\n--\n\nStore *value* under *key*; returns its object ID."},
    {"put_raw", AsCFunction(ExclusiveMethod<kPutRawParams, PutRawBody>), kFastKw,
     "put_raw($self, key, data)\n--\n\nStore bytes you encoded under *key*; returns the ID."},
    {"put_many", AsCFunction(ExclusiveMethod<kPutManyParams, PutManyBody>), kFastKw,
     "put_many($self, keys, value)\n--\n\n"
     "Store *value* once under every key of *keys*; returns its object ID."},
    {"put_many_raw", AsCFunction(ExclusiveMethod<kPutManyRawParams, PutManyRawBody>), kFastKw,
     "put_many_raw($self, keys, data)\n--\n\n"
     "Store bytes you encoded once under every key of *keys*; returns the ID."},
    {"update", AsCFunction(ExclusiveMethod<kUpdateParams, UpdateBody>), kFastKw,
     "update($self, items)\n--\n\n"
     "Store each value of a mapping or of an iterable of (key, value) pairs under its key."},
    {"update_raw", AsCFunction(ExclusiveMethod<kUpdateRawParams, UpdateRawBody>), kFastKw,
     "update_raw($self, items)\n--\n\n"
     "update() for values that are bytes you encoded."},
    {"_update_packed", AsCFunction(ExclusiveMethod<kUpdatePackedParams, UpdatePackedBody>), kFastKw,
     "_update_packed($self, data)\n--\n\n"
     "update_raw() over pairs packed by _pack_by_shard(); returns how many were stored."},
    {"_storable_key", WriterStorableKey, METH_O | METH_STATIC,
     "_storable_key(key)\n--\n\nThe bytes stored for *key*; the errors add_key raises."},
    {"_set_section", AsCFunction(WriterSetSection), kFastKw,
     "_set_section($self, type, version, data)\n--\n\n"
     "Store *data* as a section of the extension block of the files built from now on."},
    {"build", AsCFunction(WriterBuild), kFastKw,
     "build($self, path)\n--\n\n"
     "Write the store file at *path* atomically and durably; returns (objects, keys, bytes).\n\n"
     "Interrupted before the rename that publishes it (a signal handler raised), it stops\n"
     "and raises that exception with *path* untouched; once renamed it completes."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"num_objects", WriterNumObjects, nullptr, "The number of objects added so far.", nullptr},
    {"num_keys", WriterNumKeys, nullptr, "The number of distinct keys added so far.", nullptr},
    {"_runs", WriterRuns, nullptr, "Sorted runs of keys spilled to disk so far.", nullptr},
    {"_published", WriterPublished, nullptr,
     "How many builds of this writer have renamed their file into place.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(WriterNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(WriterDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(WriterTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(WriterClear)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("Writer(encode=None, memory_limit=None, spill_dir=None, "
                                  "hash_index=True, target=None, unique_keys=False, "
                                  "hash_seed=None)\n--\n\n"
                                  "Collects values and keys; the base of tarndb.TarnWriter.")},
    {0, nullptr},
};

PyType_Spec kSpec = {"tarndb._store.Writer", static_cast<int>(sizeof(WriterObject)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, kSlots};

}  // namespace

PyTypeObject* WriterType() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = CreateType(&kSpec);
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace tarndb::py::store
