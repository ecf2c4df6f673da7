// tarndb._store.RangeReader: the steps of a store read by ranges (a
// FedStore), for the package's remote reader, which fetches the ranges.
//
// Every step returns (needs, result): needs is a list of (begin, end,
// table) ranges of the file the step lacks (table: a page of the hash
// index, the samples or the index, worth keeping), and result is None until
// needs is empty. The package fetches every range of a step at once,
// feed()s the bytes and runs the step again; forget() drops the fed bytes
// once a call is answered. Keys and values are bytes; the package decodes.
#include <memory>
#include <optional>
#include <vector>

#include "bindings/common/call_frame.h"
#include "bindings/common/errors.h"
#include "bindings/common/instance.h"
#include "bindings/common/method_call.h"
#include "bindings/common/results.h"
#include "bindings/store/errors.h"
#include "bindings/store/keys.h"
#include "bindings/store/module_state.h"
#include "bindings/store/types.h"
#include "core/format/coding.h"
#include "core/format/hash_index.h"
#include "core/reader/fed_store.h"

namespace tarndb::py::store {
namespace {

struct RangeReaderState {
  std::unique_ptr<FedBytes> bytes;
  std::optional<FedStore> store;
};

using RangeReaderObject = Instance<RangeReaderState>;

constexpr const char* kNewNames[] = {"size"};
constexpr Params kNewParams{"RangeReader()", kNewNames, 1, 1};
constexpr const char* kFeedNames[] = {"offset", "data"};
constexpr Params kFeedParams{"feed()", kFeedNames, 2, 2};
constexpr const char* kSectionNames[] = {"type", "version"};
constexpr Params kSectionParams{"section()", kSectionNames, 2, 2};
constexpr const char* kLocateNames[] = {"keys", "window", "every"};
constexpr Params kLocateParams{"locate()", kLocateNames, 3, 2};
constexpr const char* kRecordsNames[] = {"offsets", "window"};
constexpr Params kRecordsParams{"records()", kRecordsNames, 2, 2};
constexpr const char* kBoundNames[] = {"prefix"};
constexpr Params kBoundParams{"lower_bound()", kBoundNames, 1, 1};
constexpr const char* kBlockNames[] = {"index"};
constexpr Params kBlockParams{"block_start()", kBlockNames, 1, 1};
constexpr const char* kEntriesNames[] = {"index", "pos", "max", "chunk"};
constexpr Params kEntriesParams{"entries()", kEntriesNames, 4, 4};

OwnedRef Unsigned(uint64_t v) { return OwnedRef::Steal(Made(PyLong_FromUnsignedLongLong(v))); }

uint64_t ToU64(PyObject* o) {
  const unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (PyErr_Occurred()) throw PythonErrorSet{};
  return v;
}

// (needs, result): the step's needed ranges, and result (None while any
// range is needed). The needs are cleared for the next step.
PyObject* StepResult(FedBytes& bytes, OwnedRef result) {
  const std::vector<NeededRange>& needed = bytes.needed();
  OwnedRef needs = OwnedRef::Steal(Made(PyList_New(static_cast<Py_ssize_t>(needed.size()))));
  for (size_t i = 0; i < needed.size(); ++i) {
    PyList_SET_ITEM(needs.get(), static_cast<Py_ssize_t>(i),
                    Made(Py_BuildValue("(KKO)", static_cast<unsigned long long>(needed[i].begin),
                                       static_cast<unsigned long long>(needed[i].end),
                                       needed[i].table ? Py_True : Py_False)));
  }
  // A step that neither answers nor names a range would be run for ever.
  if (needed.empty() && !result) throw Panic("a step of a store read by ranges asked for nothing");
  if (!needed.empty()) result = OwnedRef::NewRef(Py_None);
  bytes.ClearNeeded();
  return Made(PyTuple_Pack(2, needs.get(), result.get()));
}

PyObject* Raise(PyObject* self, FedBytes& bytes, const Error& e) {
  bytes.ClearNeeded();
  return SetCoreError(ModuleOf(self), e);
}

// The open store, or nullptr with ValueError set before open() completed.
const FedStore* Opened(const RangeReaderState& s) {
  if (!s.store) PyErr_SetString(PyExc_ValueError, "the store is not open yet");
  return s.store ? &*s.store : nullptr;
}

extern "C" PyObject* RangeReaderNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Frame([&]() -> PyObject* {
    PyObject* a[1];
    if (!BindTuple(kNewParams, args, kwargs, a)) return nullptr;
    const uint64_t size = ToU64(a[0]);
    return RangeReaderObject::Create(type, std::make_unique<FedBytes>(size), std::nullopt);
  });
}

extern "C" void RangeReaderDealloc(PyObject* self) { RangeReaderObject::Dealloc(self); }

template <int N, typename Body>
PyObject* Method(const Params& params, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, Body&& body) {
  return CallMethod<RangeReaderState, N>(params, ScopedUse::kExclusive, self, args, nargs, kwnames,
                                         body);
}

extern "C" PyObject* RangeReaderFeed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return Method<2>(kFeedParams, self, args, nargs, kwnames,
                   [&](RangeReaderState& s, PyObject** a) -> PyObject* {
                     const uint64_t offset = ToU64(a[0]);
                     RawValue data;
                     if (!data.Convert(a[1], "data")) return nullptr;
                     s.bytes->Feed(offset, data.data(), data.size());
                     Py_RETURN_NONE;
                   });
}

extern "C" PyObject* RangeReaderForget(PyObject* self, PyObject*) {
  RangeReaderObject::StateOf(self).bytes->Clear();
  Py_RETURN_NONE;
}

extern "C" PyObject* RangeReaderOpen(PyObject* self, PyObject*) {
  return Frame([&]() -> PyObject* {
    RangeReaderState& s = RangeReaderObject::StateOf(self);
    if (s.store) return StepResult(*s.bytes, OwnedRef::NewRef(Py_True));
    Result<std::optional<FedStore>> opened = FedStore::Open(*s.bytes);
    if (!opened.ok()) return Raise(self, *s.bytes, opened.error());
    if (opened.value()) s.store = std::move(opened.value());
    return StepResult(*s.bytes, OwnedRef::NewRef(s.store ? Py_True : Py_None));
  });
}

// None, or what the file's hash index costs and whether lookups use it.
OwnedRef HashIndexInfo(const FedStore& r) {
  const ExtensionBlock* ext = r.extension();
  if (ext == nullptr || !ext->Find(kHashIndexSection, kHashIndexVersion)) {
    return OwnedRef::NewRef(Py_None);
  }
  return OwnedRef::Steal(Made(
      Py_BuildValue("{sKsO}", "bytes", static_cast<unsigned long long>(HashIndexFileBytes(*ext)),
                    "in_use", r.uses_hash_index() ? Py_True : Py_False)));
}

extern "C" PyObject* RangeReaderInfo(PyObject* self, PyObject*) {
  return Frame([&]() -> PyObject* {
    const FedStore* r = Opened(RangeReaderObject::StateOf(self));
    if (r == nullptr) return nullptr;
    OwnedRef d = OwnedRef::Steal(Made(PyDict_New()));
    const bool has_block = r->extension() != nullptr && r->num_objects() > 0;
    const bool ok =
        SetEntry(d.get(), "num_keys", [&] { return Unsigned(r->num_keys()); }) &&
        SetEntry(d.get(), "num_objects", [&] { return Unsigned(r->num_objects() - has_block); }) &&
        SetEntry(d.get(), "index_offset", [&] { return Unsigned(r->index_offset()); }) &&
        SetEntry(d.get(), "file_crc32", [&] { return NewStr(CrcText(r->file_crc32())); }) &&
        SetEntry(d.get(), "hash_index", [&] { return HashIndexInfo(*r); }) &&
        SetEntry(d.get(), "lookup_header",
                 [&] { return OwnedRef::NewRef(r->has_lookup_header() ? Py_True : Py_False); });
    return ok ? d.release() : nullptr;
  });
}

extern "C" PyObject* RangeReaderSection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  return Method<2>(
      kSectionParams, self, args, nargs, kwnames,
      [&](RangeReaderState& s, PyObject** a) -> PyObject* {
        if (!PyBytes_Check(a[0]) || PyBytes_GET_SIZE(a[0]) != 4) {
          PyErr_SetString(PyExc_TypeError, "a section type is 4 bytes");
          return nullptr;
        }
        const FedStore* r = Opened(s);
        if (r == nullptr) return nullptr;
        const uint32_t type = LoadBE32(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(a[0])));
        std::optional<ObjectView> view;
        OwnedRef result;
        if (r->Section(*s.bytes, type, static_cast<uint32_t>(ToU64(a[1])), &view)) {
          result = view ? NewBytes(view->data, view->size) : OwnedRef::NewRef(Py_False);
        }
        return StepResult(*s.bytes, std::move(result));
      });
}

extern "C" PyObject* RangeReaderLocate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return Method<3>(kLocateParams, self, args, nargs, kwnames,
                   [&](RangeReaderState& s, PyObject** a) -> PyObject* {
                     const FedStore* r = Opened(s);
                     if (r == nullptr) return nullptr;
                     const uint64_t window = ToU64(a[1]);
                     const int every = a[2] == nullptr ? 0 : PyObject_IsTrue(a[2]);
                     if (every < 0) return nullptr;
                     OwnedRef seq = OwnedRef::Steal(PySequence_Fast(a[0], "locate() takes keys"));
                     if (!seq) return nullptr;
                     const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
                     OwnedRef out = OwnedRef::Steal(Made(PyList_New(n)));
                     bool all = true;
                     for (Py_ssize_t i = 0; i < n; ++i) {
                       StoreKey key;
                       if (!key.Convert(PySequence_Fast_GET_ITEM(seq.get(), i))) return nullptr;
                       std::optional<uint64_t> offset;
                       if (key.view().size <= kMaxKeyLength) {
                         Result<bool> done =
                             r->Locate(*s.bytes, key.view(), window, every != 0, &offset);
                         if (!done.ok()) return Raise(self, *s.bytes, done.error());
                         all = all && done.value();
                       }
                       PyList_SET_ITEM(out.get(), i,
                                       offset ? Unsigned(*offset).release()
                                              : OwnedRef::NewRef(Py_None).release());
                     }
                     return StepResult(*s.bytes, all ? std::move(out) : OwnedRef());
                   });
}

extern "C" PyObject* RangeReaderRecords(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  return Method<2>(
      kRecordsParams, self, args, nargs, kwnames,
      [&](RangeReaderState& s, PyObject** a) -> PyObject* {
        const FedStore* r = Opened(s);
        if (r == nullptr) return nullptr;
        const uint64_t window = ToU64(a[1]);
        OwnedRef seq = OwnedRef::Steal(PySequence_Fast(a[0], "records() takes offsets"));
        if (!seq) return nullptr;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        OwnedRef out = OwnedRef::Steal(Made(PyList_New(n)));
        bool all = true;
        for (Py_ssize_t i = 0; i < n; ++i) {
          const uint64_t offset = ToU64(PySequence_Fast_GET_ITEM(seq.get(), i));
          Result<std::optional<ObjectView>> rec = r->Record(*s.bytes, offset, window);
          if (!rec.ok()) return Raise(self, *s.bytes, rec.error());
          all = all && rec.value().has_value();
          PyList_SET_ITEM(out.get(), i,
                          rec.value() ? NewBytes(rec.value()->data, rec.value()->size).release()
                                      : OwnedRef::NewRef(Py_None).release());
        }
        return StepResult(*s.bytes, all ? std::move(out) : OwnedRef());
      });
}

OwnedRef EntryTuple(const FedEntry& e) {
  // (An empty key's data() may be null, which "y#" would make None.)
  const char* key = e.key.empty() ? "" : reinterpret_cast<const char*>(e.key.data());
  return OwnedRef::Steal(Made(Py_BuildValue(
      "(KKy#K)", static_cast<unsigned long long>(e.index), static_cast<unsigned long long>(e.pos),
      key, static_cast<Py_ssize_t>(e.key.size()), static_cast<unsigned long long>(e.offset))));
}

extern "C" PyObject* RangeReaderLowerBound(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
  return Method<1>(kBoundParams, self, args, nargs, kwnames,
                   [&](RangeReaderState& s, PyObject** a) -> PyObject* {
                     const FedStore* r = Opened(s);
                     if (r == nullptr) return nullptr;
                     StoreKey prefix;
                     if (!prefix.Convert(a[0])) return nullptr;
                     Result<std::optional<FedEntry>> bound = r->LowerBound(*s.bytes, prefix.view());
                     if (!bound.ok()) return Raise(self, *s.bytes, bound.error());
                     return StepResult(*s.bytes,
                                       bound.value() ? EntryTuple(*bound.value()) : OwnedRef());
                   });
}

// block_start(index): (index, pos) of the first entry of the block of
// sampled entries that holds entry index.
extern "C" PyObject* RangeReaderBlockStart(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
  return Method<1>(kBlockParams, self, args, nargs, kwnames,
                   [&](RangeReaderState& s, PyObject** a) -> PyObject* {
                     const FedStore* r = Opened(s);
                     if (r == nullptr) return nullptr;
                     Result<std::optional<std::pair<uint64_t, uint64_t>>> start =
                         r->BlockStart(*s.bytes, ToU64(a[0]));
                     if (!start.ok()) return Raise(self, *s.bytes, start.error());
                     OwnedRef out;
                     if (start.value()) {
                       out = OwnedRef::Steal(Made(Py_BuildValue(
                           "(KK)", static_cast<unsigned long long>(start.value()->first),
                           static_cast<unsigned long long>(start.value()->second))));
                     }
                     return StepResult(*s.bytes, std::move(out));
                   });
}

// entries(index, pos, max, chunk): a list of (index, pos, key, offset)
// from the entry at (index, pos) on; chunk: the bytes to ask for at pos.
extern "C" PyObject* RangeReaderEntries(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  return Method<4>(
      kEntriesParams, self, args, nargs, kwnames,
      [&](RangeReaderState& s, PyObject** a) -> PyObject* {
        const FedStore* r = Opened(s);
        if (r == nullptr) return nullptr;
        Result<std::vector<FedEntry>> got = r->Entries(
            *s.bytes, ToU64(a[0]), ToU64(a[1]), static_cast<size_t>(ToU64(a[2])), ToU64(a[3]));
        if (!got.ok()) return Raise(self, *s.bytes, got.error());
        const std::vector<FedEntry>& entries = got.value();
        OwnedRef out = OwnedRef::Steal(Made(PyList_New(static_cast<Py_ssize_t>(entries.size()))));
        for (size_t i = 0; i < entries.size(); ++i) {
          PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), EntryTuple(entries[i]).release());
        }
        return StepResult(*s.bytes, std::move(out));
      });
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"feed", AsCFunction(RangeReaderFeed), kFastKw,
     "feed($self, offset, data)\n--\n\nHold data as the file's bytes from offset on."},
    {"forget", RangeReaderForget, METH_NOARGS,
     "forget($self)\n--\n\nDrop every fed byte (what the store keeps after open stays)."},
    {"open", RangeReaderOpen, METH_NOARGS,
     "open($self)\n--\n\n(needs, True once the store is open)."},
    {"info", RangeReaderInfo, METH_NOARGS, "info($self)\n--\n\nThe open store's figures."},
    {"section", AsCFunction(RangeReaderSection), kFastKw,
     "section($self, type, version)\n--\n\n(needs, the section's bytes, or False: none)."},
    {"locate", AsCFunction(RangeReaderLocate), kFastKw,
     "locate($self, keys, window, every=False)\n--\n\n(needs, each key's record offset or None); "
     "every: fetch the record of every candidate, not only the first."},
    {"records", AsCFunction(RangeReaderRecords), kFastKw,
     "records($self, offsets, window)\n--\n\n(needs, each record's payload, CRC checked)."},
    {"lower_bound", AsCFunction(RangeReaderLowerBound), kFastKw,
     "lower_bound($self, prefix)\n--\n\n(needs, (index, pos, key, offset) of the first key "
     "not less than prefix)."},
    {"block_start", AsCFunction(RangeReaderBlockStart), kFastKw,
     "block_start($self, index)\n--\n\n(needs, (index, pos) of the first entry of the block "
     "of sampled entries that holds entry index)."},
    {"entries", AsCFunction(RangeReaderEntries), kFastKw,
     "entries($self, index, pos, max, chunk)\n--\n\n(needs, [(index, pos, key, offset)])."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(RangeReaderNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(RangeReaderDealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("RangeReader(size)\n--\n\n"
                                  "The steps of a store file of size bytes read by ranges.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec kRangeReaderSpec = {"tarndb._store.RangeReader",
                                static_cast<int>(sizeof(RangeReaderObject)), 0,
                                Py_TPFLAGS_DEFAULT | RangeReaderObject::kTypeFlags, kSlots};

}  // namespace tarndb::py::store
