// _TarnWriter: the Python class over the core Writer.
//
// build runs with the interpreter lock released: other threads go on while
// it writes, syncs and waits for another builder's lock. The writer is
// taken for shared use meanwhile, so calls that change it fail ("Already
// borrowed") instead of racing it.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bindings/common/create_type.h"
#include "bindings/common/gil_released.h"
#include "bindings/common/method_call.h"
#include "bindings/tarndb/convert.h"
#include "bindings/tarndb/core_error.h"
#include "bindings/tarndb/types.h"
#include "core/common/posix.h"
#include "core/writer/writer.h"

namespace tarndb::py {
namespace {

using WriterObject = Instance<Writer>;
constexpr ClassRef kWriter{WriterType, "_TarnWriter"};

constexpr Params kNewParams{"_TarnWriter.__new__()", nullptr, 0, 0};
constexpr const char* kAddObjectNames[] = {"raw_bytes"};
constexpr Params kAddObjectParams{"_TarnWriter.add_object_raw()", kAddObjectNames, 1, 1};
constexpr const char* kAddKeyNames[] = {"key", "obj_id"};
constexpr Params kAddKeyParams{"_TarnWriter.add_key()", kAddKeyNames, 2, 2};
constexpr const char* kBuildNames[] = {"path"};
constexpr Params kBuildParams{"_TarnWriter.build()", kBuildNames, 1, 1};

// "✅  {path}  —  {objects} objects · {keys} keys · {size} KB\n" straight
// to file descriptor 1, the size read back from the published file (0.0
// when it cannot be). The store is already in place, so a closed or broken
// standard output is ignored.
void PrintSummary(std::string_view path, const BuildFigures& figures) {
  struct stat st;
  const std::string target(path);
  const double kb =
      ::stat(target.c_str(), &st) == 0 ? static_cast<double>(st.st_size) / 1024.0 : 0.0;
  char size_text[64];
  std::snprintf(size_text, sizeof size_text, "%.1f", kb);
  std::string line = "\u2705  ";
  line += path;
  line += "  \u2014  " + std::to_string(figures.objects) + " objects \u00b7 " +
          std::to_string(figures.keys) + " keys \u00b7 " + size_text + " KB\n";
  (void)WriteAll(STDOUT_FILENO, reinterpret_cast<const uint8_t*>(line.data()), line.size(),
                 "failed to write whole buffer", "<stdout>");
}

extern "C" PyObject* WriterNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Frame([&]() -> PyObject* {
    if (!BindTuple(kNewParams, args, kwargs, nullptr)) return nullptr;
    // Everything in memory until the build writes the file whole, with
    // exactly the store format (no extension block).
    WriterOptions options;
    options.records = RecordPlace::kMemory;
    options.extension = false;
    return WriterObject::Create(type, Writer(std::move(options)));
  });
}

extern "C" PyObject* WriterAddObjectRaw(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  return CallMethod<Writer, 1>(kAddObjectParams, kWriter, ScopedUse::kExclusive, self, args, nargs,
                               kwnames, [](Writer& w, PyObject** a) -> PyObject* {
                                 const auto raw = ConvertBytes(a[0], "raw_bytes");
                                 if (!raw) return nullptr;
                                 Result<uint64_t> id = w.AddObject(
                                     reinterpret_cast<const uint8_t*>(raw->data()), raw->size());
                                 if (!id.ok()) return SetCoreError(id.error());
                                 return Made(PyLong_FromUnsignedLongLong(id.value()));
                               });
}

extern "C" PyObject* WriterAddKey(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return CallMethod<Writer, 2>(
      kAddKeyParams, kWriter, ScopedUse::kExclusive, self, args, nargs, kwnames,
      [](Writer& w, PyObject** a) -> PyObject* {
        // obj_id first: a bad obj_id is reported even when the key is bad
        // too.
        const auto obj_id = ConvertUnsigned(a[1], "obj_id");
        if (!obj_id) return nullptr;
        KeyArg key;
        if (!key.Convert(a[0])) return nullptr;
        if (key.too_long()) {
          const std::string size = key.reported_size() > 0 ? std::to_string(key.reported_size())
                                                           : std::string("more than 65535");
          return SetCoreError(
              Error::Other("key of " + size + " bytes exceeds the 65535-byte limit"));
        }
        if (Status s = w.AddKey(key.view(), *obj_id); !s.ok()) return SetCoreError(s.error());
        Py_RETURN_NONE;
      });
}

extern "C" PyObject* WriterBuild(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return CallMethod<Writer, 1>(kBuildParams, kWriter, ScopedUse::kShared, self, args, nargs,
                               kwnames, [](Writer& w, PyObject** a) -> PyObject* {
                                 const auto path = ConvertPath(a[0], "path");
                                 if (!path) return nullptr;
                                 // Apply queued keys now: the build then only
                                 // reads the writer, as a repr meanwhile does.
                                 (void)w.KeyCount();
                                 Result<BuildFigures> built = [&] {
                                   GilReleased released;
                                   return w.Build(*path);
                                 }();
                                 if (!built.ok()) return SetCoreError(built.error());
                                 PrintSummary(*path, built.value());
                                 Py_RETURN_NONE;
                               });
}

extern "C" PyObject* WriterRepr(PyObject* self) {
  return CallNoArgs<Writer>(kWriter, ScopedUse::kShared, self, [](Writer& w) -> PyObject* {
    const std::string text = "_TarnWriter(objects=" + std::to_string(w.object_count()) +
                             ", keys=" + std::to_string(w.KeyCount().value()) + ")";
    return Made(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  });
}

extern "C" void WriterDealloc(PyObject* self) { WriterObject::Dealloc(self); }

PyMethodDef kMethods[] = {
    {"add_object_raw", AsCFunction(WriterAddObjectRaw), METH_FASTCALL | METH_KEYWORDS,
     "add_object_raw($self, raw_bytes)\n--\n\n"
     "Store pre-encoded *raw_bytes* (msgpack). Returns the object ID."},
    {"add_key", AsCFunction(WriterAddKey), METH_FASTCALL | METH_KEYWORDS,
     "add_key($self, key, obj_id)\n--\n\nMap *key* (str or bytes) to *obj_id*."},
    {"build", AsCFunction(WriterBuild), METH_FASTCALL | METH_KEYWORDS,
     "build($self, path)\n--\n\nAtomically write the `.trnd` file: tmp \u2192 fsync \u2192 "
     "rename."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(WriterNew)},
    {Py_tp_repr, reinterpret_cast<void*>(WriterRepr)},
    {Py_tp_doc,
     const_cast<char*>("_TarnWriter()\n--\n\n"
                       "Low-level writer \u2014 accepts pre-serialised msgpack bytes per object.\n"
                       "**Use `tarndb.TarnWriter` (Python wrapper) instead of this directly.**")},
    {Py_tp_methods, kMethods},
    {Py_tp_dealloc, reinterpret_cast<void*>(WriterDealloc)},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins._TarnWriter", static_cast<int>(sizeof(WriterObject)), 0, 0, kSlots};

}  // namespace

PyTypeObject* WriterType() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = CreateType(&kSpec);
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace tarndb::py
