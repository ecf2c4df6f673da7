// _TarnReader: the Python class over the core Reader.
#include <string>
#include <vector>

#include "bindings/common/create_type.h"
#include "bindings/common/method_call.h"
#include "bindings/common/results.h"
#include "bindings/tarndb/convert.h"
#include "bindings/tarndb/core_error.h"
#include "bindings/tarndb/types.h"
#include "core/reader/offset_groups.h"
#include "core/reader/reader.h"

namespace tarndb::py {
namespace {

using ReaderObject = Instance<Reader>;
constexpr ClassRef kReader{ReaderType, "_TarnReader"};
constexpr auto kShared = ScopedUse::kShared;

constexpr const char* kNewNames[] = {"path", "verify"};
constexpr Params kNewParams{"_TarnReader.__new__()", kNewNames, 2, 1};
constexpr const char* kKeyNames[] = {"key"};
constexpr Params kGetRawParams{"_TarnReader.get_raw()", kKeyNames, 1, 1};
constexpr Params kExistsParams{"_TarnReader.exists()", kKeyNames, 1, 1};
constexpr const char* kPrefixNames[] = {"prefix"};
constexpr Params kPrefixParams{"_TarnReader.prefix_raw()", kPrefixNames, 1, 1};
constexpr const char* kExitNames[] = {"_exc_type", "_exc_val", "_exc_tb"};
constexpr Params kExitParams{"_TarnReader.__exit__()", kExitNames, 3, 3};

// A (key text, payload) pair for the cursor's entry; nullptr with the core
// error raised when the entry's object does not fit in the file.
PyObject* EntryPair(const Reader& r, const Reader::Cursor& c) {
  Result<ObjectView> obj = r.ReadObject(c.offset());
  if (!obj.ok()) return SetCoreError(obj.error());
  OwnedRef key = KeyText(c.key());
  return NewPair(std::move(key), NewBytes(obj.value().data, obj.value().size)).release();
}

// For each entry, the first entry naming the same object.
std::vector<uint32_t> FirstEntries(const Reader& r);

// The index of this module's readers is checked whole at open, so a walk
// over it does not fail; a failure would be a fault of ours.
void MustSucceed(Status s) {
  if (!s.ok()) throw Panic(s.error().message());
}

std::vector<uint32_t> FirstEntries(const Reader& r) {
  Result<OffsetGroups> groups = OffsetGroups::Of(r);
  MustSucceed(groups.ok() ? OkStatus() : Status(groups.error()));
  return groups.value().FirstEntries();
}

// Reader::Find for this module, which never uses a file's hash index and so
// cannot fail.
std::optional<uint64_t> Lookup(const Reader& r, KeyView key) {
  Result<std::optional<uint64_t>> found = r.Find(key);
  MustSucceed(found.ok() ? OkStatus() : Status(found.error()));
  return found.value();
}

extern "C" PyObject* ReaderNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Frame([&]() -> PyObject* {
    PyObject* a[2];
    if (!BindTuple(kNewParams, args, kwargs, a)) return nullptr;
    const auto path = ConvertPath(a[0], "path");
    if (!path) return nullptr;
    const auto verify = ConvertFlag(a[1], "verify");
    if (!verify) return nullptr;
    Result<Reader> opened = Reader::Open(*path, Reader::Options{*verify, false, false});
    if (!opened.ok()) return SetCoreError(opened.error());
    return ReaderObject::Create(type, std::move(opened.value()));
  });
}

extern "C" PyObject* ReaderGetRaw(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return CallMethod<Reader, 1>(kGetRawParams, kReader, kShared, self, args, nargs, kwnames,
                               [](Reader& r, PyObject** a) -> PyObject* {
                                 KeyArg key;
                                 if (!key.Convert(a[0])) return nullptr;
                                 const auto offset = Lookup(r, key.view());
                                 if (!offset) Py_RETURN_NONE;
                                 Result<ObjectView> obj = r.ReadObject(*offset);
                                 if (!obj.ok()) return SetCoreError(obj.error());
                                 return NewBytes(obj.value().data, obj.value().size).release();
                               });
}

extern "C" PyObject* ReaderExists(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return CallMethod<Reader, 1>(kExistsParams, kReader, kShared, self, args, nargs, kwnames,
                               [](Reader& r, PyObject** a) -> PyObject* {
                                 KeyArg key;
                                 if (!key.Convert(a[0])) return nullptr;
                                 return PyBool_FromLong(Lookup(r, key.view()).has_value());
                               });
}

extern "C" PyObject* ReaderPrefixRaw(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return CallMethod<Reader, 1>(
      kPrefixParams, kReader, kShared, self, args, nargs, kwnames,
      [](Reader& r, PyObject** a) -> PyObject* {
        KeyArg prefix;
        if (!prefix.Convert(a[0])) return nullptr;
        Result<std::pair<size_t, size_t>> range = r.PrefixRange(prefix.view());
        MustSucceed(range.ok() ? OkStatus() : Status(range.error()));
        const auto [first, last] = range.value();
        OwnedRef list = OwnedRef::Steal(Made(PyList_New(static_cast<Py_ssize_t>(last - first))));
        bool failed = false;
        MustSucceed(r.ForEach(first, last, [&](const Reader::Cursor& c) {
          PyObject* pair = EntryPair(r, c);
          if (pair == nullptr) return !(failed = true);
          PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(c.index() - first), pair);
          return true;
        }));
        return failed ? nullptr : list.release();
      });
}

extern "C" PyObject* ReaderKeys(PyObject* self, PyObject*) {
  return CallNoArgs<Reader>(kReader, kShared, self, [](Reader& r) -> PyObject* {
    const size_t n = r.entry_count();
    OwnedRef list = OwnedRef::Steal(Made(PyList_New(static_cast<Py_ssize_t>(n))));
    Result<Reader::Cursor> c = r.At(0);
    MustSucceed(c.ok() ? OkStatus() : Status(c.error()));
    for (Reader::Cursor& cur = c.value(); !cur.done(); MustSucceed(cur.Next())) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(cur.index()),
                      KeyText(cur.key()).release());
    }
    return list.release();
  });
}

extern "C" PyObject* ReaderItemsRaw(PyObject* self, PyObject*) {
  return CallNoArgs<Reader>(kReader, kShared, self, [](Reader& r) -> PyObject* {
    const size_t n = r.entry_count();
    // Each object is read from the mapping once per call; later keys that
    // share it copy the bytes of the first pair that holds it.
    const std::vector<uint32_t> first = FirstEntries(r);
    OwnedRef list = OwnedRef::Steal(Made(PyList_New(static_cast<Py_ssize_t>(n))));
    bool failed = false;
    MustSucceed(r.ForEach(0, n, [&](const Reader::Cursor& c) {
      const size_t i = c.index();
      PyObject* pair;
      if (first[i] != i) {
        PyObject* cached = PyTuple_GET_ITEM(PyList_GET_ITEM(list.get(), first[i]), 1);
        OwnedRef key = KeyText(c.key());
        pair = NewPair(std::move(key),
                       NewBytes(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(cached)),
                                static_cast<size_t>(PyBytes_GET_SIZE(cached))))
                   .release();
      } else {
        pair = EntryPair(r, c);
        if (pair == nullptr) return !(failed = true);
      }
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
      return true;
    }));
    return failed ? nullptr : list.release();
  });
}

extern "C" PyObject* ReaderObjectsRaw(PyObject* self, PyObject*) {
  return CallNoArgs<Reader>(kReader, kShared, self, [](Reader& r) -> PyObject* {
    const size_t n = r.entry_count();
    const std::vector<uint32_t> first = FirstEntries(r);
    OwnedRef list = OwnedRef::Steal(Made(PyList_New(0)));
    bool failed = false;
    MustSucceed(r.ForEach(0, n, [&](const Reader::Cursor& c) {
      if (first[c.index()] != c.index()) return true;  // named by an earlier entry
      Result<ObjectView> obj = r.ReadObject(c.offset());
      if (!obj.ok()) return !(failed = (SetCoreError(obj.error()), true));
      OwnedRef bytes = NewBytes(obj.value().data, obj.value().size);
      if (PyList_Append(list.get(), bytes.get()) < 0) return !(failed = true);
      return true;
    }));
    return failed ? nullptr : list.release();
  });
}

extern "C" PyObject* ReaderStats(PyObject* self, PyObject*) {
  return CallNoArgs<Reader>(kReader, kShared, self, [](Reader& r) -> PyObject* {
    OwnedRef d = OwnedRef::Steal(Made(PyDict_New()));
    // Keys are created before their values, and inserted in this order.
    const auto num = [](auto maker, auto v) {
      return [=] { return OwnedRef::Steal(Made(maker(v))); };
    };
    const bool ok =
        SetEntry(d.get(), "path", [&] { return NewStr(r.path()); }) &&
        SetEntry(d.get(), "version", num(PyLong_FromLong, 2L)) &&
        SetEntry(d.get(), "num_keys",
                 num(PyLong_FromUnsignedLong, static_cast<unsigned long>(r.num_keys()))) &&
        SetEntry(d.get(), "num_objects",
                 num(PyLong_FromUnsignedLong, static_cast<unsigned long>(r.num_objects()))) &&
        SetEntry(
            d.get(), "index_offset",
            num(PyLong_FromUnsignedLongLong, static_cast<unsigned long long>(r.index_offset()))) &&
        SetEntry(d.get(), "data_offset", num(PyLong_FromLong, 40L)) &&
        SetEntry(d.get(), "file_size_kb",
                 num(PyFloat_FromDouble, static_cast<double>(r.file_size()) * 0x1p-10)) &&
        SetEntry(d.get(), "file_crc32", [&] { return NewStr(CrcText(r.file_crc32())); });
    return ok ? d.release() : nullptr;
  });
}

extern "C" PyObject* ReaderVerify(PyObject* self, PyObject*) {
  return CallNoArgs<Reader>(kReader, kShared, self, [](Reader& r) -> PyObject* {
    if (Status s = r.Verify(); !s.ok()) return SetCoreError(s.error());
    Py_RETURN_TRUE;
  });
}

extern "C" PyObject* ReaderClose(PyObject* self, PyObject*) {
  return CallNoArgs<Reader>(kReader, kShared, self, [](Reader&) -> PyObject* { Py_RETURN_NONE; });
}

extern "C" PyObject* ReaderEnter(PyObject* self, PyObject*) {
  return CallNoArgs<Reader>(kReader, kShared, self, [self](Reader&) -> PyObject* {
    Py_INCREF(self);
    return self;
  });
}

extern "C" PyObject* ReaderExit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return CallMethod<Reader, 3>(kExitParams, kReader, kShared, self, args, nargs, kwnames,
                               [](Reader&, PyObject**) -> PyObject* { Py_RETURN_FALSE; });
}

extern "C" PyObject* ReaderRepr(PyObject* self) {
  return CallNoArgs<Reader>(kReader, kShared, self, [](Reader& r) -> PyObject* {
    const std::string text = "_TarnReader('" + r.path() +
                             "', keys=" + std::to_string(r.num_keys()) +
                             ", objects=" + std::to_string(r.num_objects()) + ")";
    return NewStr(text).release();
  });
}

extern "C" void ReaderDealloc(PyObject* self) { ReaderObject::Dealloc(self); }

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"get_raw", AsCFunction(ReaderGetRaw), kFastKw,
     "get_raw($self, key)\n--\n\nO(1) exact-match lookup. Returns raw msgpack bytes or `None`."},
    {"exists", AsCFunction(ReaderExists), kFastKw,
     "exists($self, key)\n--\n\nKey presence check \u2014 no I/O beyond the in-memory hash index."},
    {"prefix_raw", AsCFunction(ReaderPrefixRaw), kFastKw,
     "prefix_raw($self, prefix)\n--\n\nSorted prefix scan. Returns `list[tuple[str, bytes]]`."},
    {"keys", ReaderKeys, METH_NOARGS, "keys($self)\n--\n\nAll keys in sorted order."},
    {"items_raw", ReaderItemsRaw, METH_NOARGS,
     "items_raw($self)\n--\n\nAll `(key, raw_bytes)` pairs in sorted key order."},
    {"objects_raw", ReaderObjectsRaw, METH_NOARGS,
     "objects_raw($self)\n--\n\nUnique objects only (deduplicated by file offset)."},
    {"stats", ReaderStats, METH_NOARGS, "stats($self)\n--\n\nReturn file metadata as a `dict`."},
    {"verify", ReaderVerify, METH_NOARGS,
     "verify($self)\n--\n\nDeep CRC32 integrity check (whole-file + per-object)."},
    {"close", ReaderClose, METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", ReaderEnter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", AsCFunction(ReaderExit), kFastKw,
     "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ReaderNew)},
    {Py_tp_repr, reinterpret_cast<void*>(ReaderRepr)},
    {Py_tp_doc,
     const_cast<char*>("_TarnReader(path, verify=True)\n--\n\n"
                       "Low-level reader \u2014 returns raw msgpack bytes.\n"
                       "**Use `tarndb.TarnReader` (Python wrapper) instead of this directly.**\n\n"
                       "Thread-safe for reads: the index is immutable after construction and the\n"
                       "mmap is read-only.  Share one instance freely across threads.")},
    {Py_tp_methods, kMethods},
    {Py_tp_dealloc, reinterpret_cast<void*>(ReaderDealloc)},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins._TarnReader", static_cast<int>(sizeof(ReaderObject)), 0, 0, kSlots};

}  // namespace

PyTypeObject* ReaderType() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = CreateType(&kSpec);
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace tarndb::py
