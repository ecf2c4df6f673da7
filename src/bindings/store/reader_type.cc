// tarndb._store.Reader: an open store file with the read half of the
// Mapping protocol in native slots (r[key], key in r, len(r), iter(r)),
// get, get_many, lazy scans, verify and stats.
#include <algorithm>
#include <memory>
#include <string>

#include "bindings/common/call_frame.h"
#include "bindings/common/errors.h"
#include "bindings/common/method_call.h"
#include "bindings/common/results.h"
#include "bindings/store/errors.h"
#include "bindings/store/keys.h"
#include "bindings/store/module_state.h"
#include "bindings/store/reader_iterator.h"
#include "bindings/store/reader_lookup.h"
#include "bindings/store/reader_object.h"
#include "bindings/store/reader_scan.h"
#include "bindings/store/types.h"
#include "core/format/hash_index.h"
#include "core/format/layout.h"

namespace tarndb::py::store {
namespace {

constexpr const char* kNewNames[] = {"path", "verify", "decode", "populate"};
constexpr Params kNewParams{"Reader()", kNewNames, 4, 1};
constexpr const char* kGetNames[] = {"key", "default"};
constexpr Params kGetParams{"get()", kGetNames, 2, 1};
constexpr const char* kGetManyNames[] = {"keys", "default"};
constexpr Params kGetManyParams{"get_many()", kGetManyNames, 2, 1};
constexpr const char* kPrefixNames[] = {"prefix"};
constexpr Params kPrefixParams{"prefix()", kPrefixNames, 1, 1};
constexpr const char* kSectionNames[] = {"type", "version"};
constexpr Params kSectionParams{"_section()", kSectionNames, 2, 2};
constexpr const char* kViewNames[] = {"cls"};
constexpr Params kViewParams{"_view()", kViewNames, 1, 1};

extern "C" PyObject* ReaderNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Frame([&]() -> PyObject* {
    PyObject* a[4];
    if (!BindTuple(kNewParams, args, kwargs, a)) return nullptr;
    PyObject* path_bytes = nullptr;
    if (!PyUnicode_FSConverter(a[0], &path_bytes)) return nullptr;
    OwnedRef path = OwnedRef::Steal(path_bytes);
    const bool verify = a[1] == nullptr || PyObject_IsTrue(a[1]) > 0;
    const bool populate = a[3] != nullptr && PyObject_IsTrue(a[3]) > 0;
    if (PyErr_Occurred()) return nullptr;
    PyObject* decode = a[2] == Py_None ? nullptr : a[2];
    if (decode != nullptr && !PyCallable_Check(decode)) {
      PyErr_SetString(PyExc_TypeError, "decode must be callable or None");
      return nullptr;
    }
    Result<Reader> opened =
        Reader::Open(std::string_view(PyBytes_AS_STRING(path.get()),
                                      static_cast<size_t>(PyBytes_GET_SIZE(path.get()))),
                     Reader::Options{verify, /*use_extension=*/true, populate, /*strict=*/true});
    if (!opened.ok()) return SetCoreError(ModuleOfType(type), opened.error());
    return ReaderObject::Create(type, std::make_shared<const Reader>(std::move(opened.value())),
                                OwnedRef(), OwnedRef::NewRef(decode));
  });
}

extern "C" int ReaderTraverse(PyObject* self, visitproc visit, void* arg) {
  return ReaderObject::Traverse(self, visit, arg);
}

extern "C" int ReaderClear(PyObject* self) { return ReaderObject::Clear(self); }

extern "C" void ReaderDealloc(PyObject* self) { ReaderObject::Dealloc(self); }

extern "C" PyObject* ReaderSubscript(PyObject* self, PyObject* key) {
  return Frame([&]() -> PyObject* { return FetchOrKeyError(ReaderRef(self), key); });
}

extern "C" int ReaderContains(PyObject* self, PyObject* key_obj) {
  return Frame<int>(-1, [&]() -> int { return Contains(ReaderRef(self), key_obj); });
}

extern "C" Py_ssize_t ReaderLength(PyObject* self) {
  const Reader* r = ReaderRef(self).Store();
  return r == nullptr ? -1 : static_cast<Py_ssize_t>(r->entry_count());
}

extern "C" PyObject* ReaderIter(PyObject* self) {
  return Frame([&]() -> PyObject* {
    const Reader* r = ReaderRef(self).Store();
    if (r == nullptr) return nullptr;
    return NewReaderIterator(self, IterMode::kKeys);
  });
}

extern "C" PyObject* ReaderGet(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[2];
    if (!BindFastcall(kGetParams, args, nargs, kwnames, a)) return nullptr;
    return FetchOr(ReaderRef(self), a[0], a[1] ? a[1] : Py_None);
  });
}

// get_many: the keys are converted and looked up a batch at a time, the
// batch's cache misses overlapping (Reader::FindMany), then each value
// is made in order.
extern "C" PyObject* ReaderGetMany(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[2];
    if (!BindFastcall(kGetManyParams, args, nargs, kwnames, a)) return nullptr;
    PyObject* fallback = a[1] ? a[1] : Py_None;
    if (IsOneKey(a[0])) return nullptr;
    const ReaderRef reader(self);
    // A decode callable runs Python code between lookups, which could change
    // a list of keys under us: then the keys are copied to a tuple first.
    OwnedRef seq =
        OwnedRef::Steal(reader.state().decode && PyList_Check(a[0])
                            ? PySequence_Tuple(a[0])
                            : PySequence_Fast(a[0], "get_many() takes an iterable of keys"));
    if (!seq) return nullptr;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    OwnedRef out = OwnedRef::Steal(Made(PyList_New(n)));
    if (!FetchMany(reader, PySequence_Fast_ITEMS(seq.get()), n, fallback, out.get(), nullptr)) {
      return nullptr;
    }
    return out.release();
  });
}

extern "C" PyObject* ReaderItems(PyObject* self, PyObject*) {
  return Frame([&]() -> PyObject* {
    const Reader* r = ReaderRef(self).Store();
    if (r == nullptr) return nullptr;
    return NewReaderIterator(self, IterMode::kItems);
  });
}

extern "C" PyObject* ReaderValues(PyObject* self, PyObject*) {
  return Frame([&]() -> PyObject* {
    const Reader* r = ReaderRef(self).Store();
    if (r == nullptr) return nullptr;
    return NewReaderIterator(self, IterMode::kValues);
  });
}

extern "C" PyObject* ReaderObjects(PyObject* self, PyObject*) {
  return Frame([&]() -> PyObject* {
    const Reader* r = ReaderRef(self).Store();
    if (r == nullptr) return nullptr;
    return NewReaderIterator(self, IterMode::kObjects);
  });
}

extern "C" PyObject* ReaderPrefix(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[1];
    if (!BindFastcall(kPrefixParams, args, nargs, kwnames, a)) return nullptr;
    StoreKey prefix;
    if (!prefix.Convert(a[0])) return nullptr;
    const Reader* r = ReaderRef(self).Store();
    if (r == nullptr) return nullptr;
    return NewPrefixIterator(self, prefix.view());
  });
}

extern "C" PyObject* ReaderVerify(PyObject* self, PyObject*) {
  return Frame([&]() -> PyObject* {
    const ReaderRef reader(self);
    const std::shared_ptr<const Reader> r = reader.SharedStore();
    if (!r) return nullptr;
    if (Status s = r->Verify(/*strict=*/true); !s.ok()) return reader.Raise(s.error());
    Py_RETURN_TRUE;
  });
}

OwnedRef Unsigned(uint64_t v) { return OwnedRef::Steal(Made(PyLong_FromUnsignedLongLong(v))); }

// None, or what the file's hash index costs and whether lookups use it.
OwnedRef HashIndexStats(const Reader& r) {
  const ExtensionBlock* ext = r.extension();
  if (ext == nullptr || !ext->Find(kHashIndexSection, kHashIndexVersion)) {
    return OwnedRef::NewRef(Py_None);
  }
  const uint64_t bytes = HashIndexFileBytes(*ext);
  OwnedRef d = OwnedRef::Steal(Made(PyDict_New()));
  const bool ok = SetEntry(d.get(), "bytes", [&] { return Unsigned(bytes); }) &&
                  SetEntry(d.get(), "in_use", [&] {
                    return OwnedRef::NewRef(r.uses_file_hash_index() ? Py_True : Py_False);
                  });
  if (!ok) throw PythonErrorSet{};
  return d;
}

extern "C" PyObject* ReaderStats(PyObject* self, PyObject*) {
  return Frame([&]() -> PyObject* {
    const Reader* r = ReaderRef(self).Store();
    if (r == nullptr) return nullptr;
    OwnedRef d = OwnedRef::Steal(Made(PyDict_New()));
    const bool ok =
        SetEntry(d.get(), "path",
                 [&] {
                   return OwnedRef::Steal(Made(PyUnicode_DecodeFSDefaultAndSize(
                       r->path().data(), static_cast<Py_ssize_t>(r->path().size()))));
                 }) &&
        SetEntry(d.get(), "version", [] { return Unsigned(kFormatVersion); }) &&
        SetEntry(d.get(), "num_keys", [&] { return Unsigned(r->num_keys()); }) &&
        // Objects the user stored: the extension block's record is not one.
        SetEntry(d.get(), "num_objects",
                 [&] {
                   const uint32_t ext = r->extension() != nullptr && r->num_objects() > 0;
                   return Unsigned(r->num_objects() - ext);
                 }) &&
        SetEntry(d.get(), "index_offset", [&] { return Unsigned(r->index_offset()); }) &&
        SetEntry(d.get(), "data_offset", [] { return Unsigned(kDataOffset); }) &&
        SetEntry(d.get(), "file_size_kb",
                 [&] {
                   return OwnedRef::Steal(
                       Made(PyFloat_FromDouble(static_cast<double>(r->file_size()) / 1024.0)));
                 }) &&
        SetEntry(d.get(), "file_crc32", [&] { return NewStr(CrcText(r->file_crc32())); }) &&
        SetEntry(d.get(), "hash_index", [&] { return HashIndexStats(*r); }) &&
        SetEntry(d.get(), "private_bytes", [&] { return Unsigned(r->private_bytes()); }) &&
        SetEntry(d.get(), "file_size", [&] { return Unsigned(r->file_size()); });
    return ok ? d.release() : nullptr;
  });
}

extern "C" PyObject* ReaderClose(PyObject* self, PyObject*) {
  ReaderRef(self).Close();
  Py_RETURN_NONE;
}

extern "C" PyObject* ReaderClosed(PyObject* self, void*) {
  return PyBool_FromLong(ReaderRef(self).closed());
}

// _view(cls): a new instance of cls (Reader or a subclass) that reads this
// reader's store and returns its values as the stored bytes.
extern "C" PyObject* ReaderView(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[1];
    if (!BindFastcall(kViewParams, args, nargs, kwnames, a)) return nullptr;
    const ReaderRef reader(self);
    PyTypeObject* base = StoreModule::AsType(ModuleOf(self).reader_type);
    if (!PyType_Check(a[0]) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(a[0]), base)) {
      PyErr_SetString(PyExc_TypeError, "_view() takes a subclass of Reader");
      return nullptr;
    }
    if (reader.Store() == nullptr) return nullptr;
    PyObject* view = ReaderObject::Create(reinterpret_cast<PyTypeObject*>(a[0]), nullptr,
                                          OwnedRef::NewRef(reader.primary_object()), OwnedRef());
    if (view != nullptr) ReaderRef(view).state().keys_as_bytes = reader.state().keys_as_bytes;
    return view;
  });
}

// _section(type, version): the bytes of a section of the file's extension
// block (type: four ASCII bytes), or None.
extern "C" PyObject* ReaderSection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[2];
    if (!BindFastcall(kSectionParams, args, nargs, kwnames, a)) return nullptr;
    if (!PyBytes_Check(a[0]) || PyBytes_GET_SIZE(a[0]) != 4) {
      PyErr_SetString(PyExc_TypeError, "a section type is 4 bytes");
      return nullptr;
    }
    const unsigned long version = PyLong_AsUnsignedLong(a[1]);
    if (PyErr_Occurred()) return nullptr;
    const ReaderRef reader(self);
    const Reader* r = reader.Store();
    if (r == nullptr) return nullptr;
    const auto* t = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(a[0]));
    const uint32_t type = LoadBE32(t);
    const std::optional<ObjectView> bytes =
        r->ExtensionSectionBytes(type, static_cast<uint32_t>(version));
    if (!bytes) Py_RETURN_NONE;
    OwnedRef copy = NewBytes(bytes->data, bytes->size);
    return reader.CheckIntact(*r) ? copy.release() : nullptr;
  });
}

// _set_decode(decode): how this reader (not its views) turns stored bytes
// into values from now on; None for the bytes themselves.
extern "C" PyObject* ReaderSetDecode(PyObject* self, PyObject* decode) {
  if (decode != Py_None && !PyCallable_Check(decode)) {
    PyErr_SetString(PyExc_TypeError, "decode must be callable or None");
    return nullptr;
  }
  ReaderRef(self).state().decode = OwnedRef::NewRef(decode == Py_None ? nullptr : decode);
  Py_RETURN_NONE;
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"_section", AsCFunction(ReaderSection), kFastKw,
     "_section($self, type, version)\n--\n\n"
     "The bytes of a section of the file's extension block, or None."},
    {"_set_decode", ReaderSetDecode, METH_O,
     "_set_decode($self, decode)\n--\n\nHow values are decoded from now on (None: bytes)."},
    {"get", AsCFunction(ReaderGet), kFastKw,
     "get($self, key, default=None)\n--\n\nThe value of *key*, or *default* when it is absent."},
    {"get_many", AsCFunction(ReaderGetMany), kFastKw,
     "get_many($self, keys, default=None)\n--\n\n"
     "The values of *keys* as a list, in order, with *default* for absent keys."},
    {"prefix", AsCFunction(ReaderPrefix), kFastKw,
     "prefix($self, prefix)\n--\n\n"
     "An iterator of `(key, value)` for the keys that begin with *prefix*, in key order."},
    {"_scan", AsCFunction(ReaderScan), kFastKw,
     "_scan($self, mode, start=None, stop=None, reverse=False)\n--\n\n"
     "An iterator of the keys, (key, value) pairs or values (*mode*) of the keys k with\n"
     "start <= k < stop (None: unbounded), in key order or, with *reverse*, the other way."},
    {"_set_keys_as_bytes", ReaderSetKeysAsBytes, METH_O,
     "_set_keys_as_bytes($self, flag)\n--\n\nWhether scans give keys as bytes from now on."},
    {"_items", ReaderItems, METH_NOARGS,
     "_items($self)\n--\n\nAn iterator of `(key, value)` pairs in key order."},
    {"_values", ReaderValues, METH_NOARGS,
     "_values($self)\n--\n\nAn iterator of the values in key order."},
    {"objects", ReaderObjects, METH_NOARGS,
     "objects($self)\n--\n\n"
     "An iterator of every stored object that some key names, once, in the order of its "
     "first key."},
    {"verify", ReaderVerify, METH_NOARGS,
     "verify($self)\n--\n\n"
     "Check the whole-file checksum, every object's checksum and the file's structure; "
     "returns True or raises TarnCorruptError."},
    {"stats", ReaderStats, METH_NOARGS, "stats($self)\n--\n\nThe file's metadata as a new dict."},
    {"close", ReaderClose, METH_NOARGS,
     "close($self)\n--\n\nRelease the file; later calls raise ValueError."},
    {"_view", AsCFunction(ReaderView), kFastKw,
     "_view($self, cls)\n--\n\nA *cls* instance reading this store, values as stored bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"closed", ReaderClosed, nullptr, "Whether close() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ReaderNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ReaderDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(ReaderTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ReaderClear)},
    {Py_tp_iter, reinterpret_cast<void*>(ReaderIter)},
    {Py_mp_subscript, reinterpret_cast<void*>(ReaderSubscript)},
    {Py_mp_length, reinterpret_cast<void*>(ReaderLength)},
    {Py_sq_length, reinterpret_cast<void*>(ReaderLength)},
    {Py_sq_contains, reinterpret_cast<void*>(ReaderContains)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("Reader(path, verify=True, decode=None)\n--\n\n"
                                  "An open store file; the base of tarndb.TarnReader.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec kReaderSpec = {"tarndb._store.Reader", static_cast<int>(sizeof(ReaderObject)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | ReaderObject::kTypeFlags,
                           kSlots};

}  // namespace tarndb::py::store
