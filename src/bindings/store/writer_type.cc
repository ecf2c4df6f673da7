// tarndb._store.Writer: collects values and keys and builds a store file.
//
// The calls that store values are in writer_batch.h, Writer()'s arguments
// in writer_options.h; this file holds the class: its constructor and
// lifetime, the calls that take the writer, the build and the figures.
#include <optional>
#include <string>
#include <vector>

#include "bindings/common/call_frame.h"
#include "bindings/common/errors.h"
#include "bindings/common/gil_released.h"
#include "bindings/common/method_call.h"
#include "bindings/common/results.h"
#include "bindings/store/errors.h"
#include "bindings/store/keys.h"
#include "bindings/store/module_state.h"
#include "bindings/store/types.h"
#include "bindings/store/writer_batch.h"
#include "bindings/store/writer_object.h"
#include "bindings/store/writer_delete.h"
#include "bindings/store/writer_options.h"
#include "core/format/coding.h"
#include "core/format/hash_index.h"

namespace tarndb::py::store {
namespace {

constexpr const char* kNewNames[] = {"encode", "memory_limit", "spill_dir", "hash_index",
                                     "target", "unique_keys",  "hash_seed",  "filter"};
constexpr Params kNewParams{"Writer()", kNewNames, 8, 0};
constexpr const char* kDeleteNames[] = {"key"};
constexpr Params kDeleteParams{"delete()", kDeleteNames, 1, 1};
constexpr const char* kDeleteManyNames[] = {"keys"};
constexpr Params kDeleteManyParams{"delete_many()", kDeleteManyNames, 1, 1};
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

constexpr auto kExclusive = ScopedUse::kExclusive;
constexpr auto kShared = ScopedUse::kShared;

extern "C" PyObject* WriterNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Frame([&]() -> PyObject* {
    PyObject* a[8];
    if (!BindTuple(kNewParams, args, kwargs, a)) return nullptr;
    PyObject* encode = a[0] == Py_None ? nullptr : a[0];
    if (encode != nullptr && !PyCallable_Check(encode)) {
      PyErr_SetString(PyExc_TypeError, "encode must be callable or None");
      return nullptr;
    }
    WriterSettings settings;
    if (!ParseWriterSettings(ModuleOfType(type), a, &settings)) return nullptr;
    return WriterObject::Create(type, NewCoreWriter(std::move(settings)), OwnedRef::NewRef(encode));
  });
}

extern "C" int WriterTraverse(PyObject* self, visitproc visit, void* arg) {
  return WriterObject::Traverse(self, visit, arg);
}

extern "C" int WriterClear(PyObject* self) { return WriterObject::Clear(self); }

extern "C" void WriterDealloc(PyObject* self) { WriterObject::Dealloc(self); }

// A METH_FASTCALL | METH_KEYWORDS method: bind the arguments by P, take
// the writer for exclusive use, run Body(writer, args).
template <const Params& P, PyObject* (*Body)(const WriterRef&, PyObject* const*)>
PyObject* ExclusiveMethod(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return CallMethod<WriterState, 3>(
      P, kExclusive, self, args, nargs, kwnames,
      [self](WriterState&, PyObject** a) { return Body(WriterRef(self), a); });
}

PyObject* AddBody(const WriterRef& w, PyObject* const* a) {
  OwnedRef encoded;
  RawValue data;
  if (!w.ValueBytes(a[0], false, &encoded, &data)) return nullptr;
  const std::optional<uint64_t> id = w.AddObject(data);
  return id ? PyLong_FromUnsignedLongLong(*id) : nullptr;
}

PyObject* AddRawBody(const WriterRef& w, PyObject* const* a) {
  RawValue data;
  if (!data.Convert(a[0], "a raw value")) return nullptr;
  const std::optional<uint64_t> id = w.AddObject(data);
  return id ? PyLong_FromUnsignedLongLong(*id) : nullptr;
}

PyObject* AddKeyBody(const WriterRef& w, PyObject* const* a) {
  StoreKey key;
  if (!w.StorableKey(a[0], &key)) return nullptr;
  std::optional<uint64_t> id;
  if (!ConvertObjectId(a[1], &id)) return nullptr;
  const uint64_t objects = w.state().core.object_count();
  if (!id || *id >= objects) {
    PyErr_Format(PyExc_ValueError, "obj_id %s out of range (have %llu objects)",
                 IntText(a[1]).c_str(), static_cast<unsigned long long>(objects));
    return nullptr;
  }
  if (!w.AddKey(key.view(), *id)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* PutBody(const WriterRef& w, PyObject* const* a) { return Put(w, a[0], a[1], false); }
PyObject* PutRawBody(const WriterRef& w, PyObject* const* a) { return Put(w, a[0], a[1], true); }
PyObject* PutManyBody(const WriterRef& w, PyObject* const* a) {
  return PutMany(w, a[0], a[1], false);
}
PyObject* PutManyRawBody(const WriterRef& w, PyObject* const* a) {
  return PutMany(w, a[0], a[1], true);
}
PyObject* UpdateBody(const WriterRef& w, PyObject* const* a) { return Update(w, a[0], false); }
PyObject* UpdateRawBody(const WriterRef& w, PyObject* const* a) { return Update(w, a[0], true); }
PyObject* UpdatePackedBody(const WriterRef& w, PyObject* const* a) { return UpdatePacked(w, a[0]); }

// _set_section(type, version, data): a section of the extension block of
// the files this writer builds (the package stores its value codec so).
PyObject* SetSectionBody(const WriterRef& w, PyObject* const* a) {
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
  w.state().core.SetSection(
      SectionBytes{type, static_cast<uint32_t>(version),
                   std::vector<uint8_t>(data, data + PyBytes_GET_SIZE(a[2]))});
  Py_RETURN_NONE;
}

// _storable_key(key): the bytes add_key would store for key, with the same
// errors, for callers that hold keys back before adding them. A class
// method, so that its errors reach the module through the class.
extern "C" PyObject* WriterStorableKey(PyObject* cls, PyObject* obj) {
  return Frame([&]() -> PyObject* {
    StoreKey key;
    if (!key.Convert(obj)) return nullptr;
    if (Status s = CheckKeyLength(key.view().size); !s.ok()) {
      return SetCoreError(ModuleOfType(reinterpret_cast<PyTypeObject*>(cls)), s.error());
    }
    return NewBytes(key.view().data, key.view().size).release();
  });
}

PyObject* BuildBody(const WriterRef& w, PyObject* const* a) {
  std::optional<std::string> path = PathText(a[0]);
  if (!path) return nullptr;
  WriterState& state = w.state();
  Result<BuildFigures> built = [&] {
    GilReleased released;
    return state.core.Build(*path);
  }();
  if (!built.ok()) return w.Raise(built.error());
  // Counted before any Python code runs again: a signal handler that
  // runs once this call returns can tell that the store is in place.
  ++state.published;
  const BuildFigures& f = built.value();
  return Py_BuildValue("(KKK)", static_cast<unsigned long long>(f.objects),
                       static_cast<unsigned long long>(f.keys),
                       static_cast<unsigned long long>(f.bytes));
}

// A getter that takes the writer in mode and returns body(writer).
template <ScopedUse::Mode M, PyObject* (*Body)(const WriterRef&)>
PyObject* TakenGetter(PyObject* self, void*) {
  return Frame([&]() -> PyObject* {
    auto& inst = WriterObject::Of(self);
    ScopedUse use(inst.access, M);
    if (!use) return nullptr;
    return Body(WriterRef(self));
  });
}

PyObject* NumObjects(const WriterRef& w) {
  return PyLong_FromUnsignedLongLong(w.state().core.object_count());
}

// Counting applies queued key puts, a change to the writer's state (so it
// takes the writer for exclusive use); spilled runs are merged from disk.
PyObject* NumKeys(const WriterRef& w) {
  Result<uint64_t> n = [&] {
    GilReleased released;
    return w.state().core.KeyCount();
  }();
  if (!n.ok()) return w.Raise(n.error());
  return PyLong_FromUnsignedLongLong(n.value());
}

PyObject* Runs(const WriterRef& w) { return PyLong_FromSize_t(w.state().core.runs()); }

// Read without taking the writer, so that a signal handler run during a
// build (which holds the writer) may ask.
extern "C" PyObject* WriterPublished(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(WriterObject::StateOf(self).published);
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
    {"delete", AsCFunction(ExclusiveMethod<kDeleteParams, DeleteBody>), kFastKw,
     "delete($self, key)\n--\n\n"
     "Record a tombstone for *key*: the store built is a delta that deletes it from the\n"
     "layers below it (the last put or delete of a key wins)."},
    {"delete_many", AsCFunction(ExclusiveMethod<kDeleteManyParams, DeleteManyBody>), kFastKw,
     "delete_many($self, keys)\n--\n\nRecord a tombstone for every key of *keys*."},
    {"_storable_key", WriterStorableKey, METH_O | METH_CLASS,
     "_storable_key(key)\n--\n\nThe bytes stored for *key*; the errors add_key raises."},
    {"_set_section", AsCFunction(ExclusiveMethod<kSetSectionParams, SetSectionBody>), kFastKw,
     "_set_section($self, type, version, data)\n--\n\n"
     "Store *data* as a section of the extension block of the files built from now on."},
    {"build", AsCFunction(ExclusiveMethod<kBuildParams, BuildBody>), kFastKw,
     "build($self, path)\n--\n\n"
     "Write the store file at *path* atomically and durably; returns (objects, keys, bytes).\n\n"
     "Interrupted before the rename that publishes it (a signal handler raised), it stops\n"
     "and raises that exception with *path* untouched; once renamed it completes."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"num_objects", TakenGetter<kShared, NumObjects>, nullptr,
     "The number of objects added so far.", nullptr},
    {"num_keys", TakenGetter<kExclusive, NumKeys>, nullptr,
     "The number of distinct keys added so far.", nullptr},
    {"_runs", TakenGetter<kShared, Runs>, nullptr, "Sorted runs of keys spilled to disk so far.",
     nullptr},
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
                                  "hash_seed=None, filter=False)\n--\n\n"
                                  "Collects values and keys; the base of tarndb.TarnWriter.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec kWriterSpec = {"tarndb._store.Writer", static_cast<int>(sizeof(WriterObject)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | WriterObject::kTypeFlags,
                           kSlots};

}  // namespace tarndb::py::store
