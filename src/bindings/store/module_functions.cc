// The package module's functions beside its classes: publish_file (a small
// file through the core's one publishing path), the value codec section as
// the format layer writes and reads it, and the truncation guard's front.
#include <string>
#include <vector>

#include "bindings/common/call_frame.h"
#include "bindings/common/errors.h"
#include "bindings/common/gil_released.h"
#include "bindings/common/py_ref.h"
#include "bindings/store/core_writer.h"
#include "bindings/store/errors.h"
#include "bindings/store/keys.h"
#include "bindings/store/module_functions.h"
#include "bindings/store/module_state.h"
#include "core/format/value_codec.h"
#include "core/reader/truncation_guard.h"

namespace tarndb::py::store {
namespace {

constexpr const char* kNames[] = {"path", "data"};
constexpr Params kParams{"publish_file()", kNames, 2, 2};

extern "C" PyObject* PublishFile(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[2];
    if (!BindFastcall(kParams, args, nargs, kwnames, a)) return nullptr;
    const std::optional<std::string> path = PathText(a[0]);
    if (!path) return nullptr;
    RawValue data;
    if (!data.Convert(a[1], "data")) return nullptr;
    Status published = [&] {
      GilReleased released;
      return PublishSmallFile(data.data(), data.size(), *path);
    }();
    if (!published.ok()) return SetCoreError(StateOfModule(module), published.error());
    Py_RETURN_NONE;
  });
}

constexpr const char* kEncodeNames[] = {"name", "dictionary", "raw_bytes", "stored_bytes"};
constexpr Params kEncodeParams{"_encode_codec()", kEncodeNames, 4, 4};

extern "C" PyObject* EncodeCodec(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[4];
    if (!BindFastcall(kEncodeParams, args, nargs, kwnames, a)) return nullptr;
    Py_ssize_t name_len = 0;
    const char* name = PyUnicode_Check(a[0]) ? PyUnicode_AsUTF8AndSize(a[0], &name_len) : nullptr;
    if (name == nullptr || !PyUnicode_IS_ASCII(a[0]) || name_len > 255) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError, "a codec's name is at most 255 ASCII characters");
      return nullptr;
    }
    RawValue dictionary;
    if (!dictionary.Convert(a[1], "the dictionary")) return nullptr;
    const unsigned long long raw = PyLong_AsUnsignedLongLong(a[2]);
    if (PyErr_Occurred()) return nullptr;
    const unsigned long long stored = PyLong_AsUnsignedLongLong(a[3]);
    if (PyErr_Occurred()) return nullptr;
    ValueCodec codec{std::string(name, static_cast<size_t>(name_len)),
                     std::vector<uint8_t>(dictionary.data(), dictionary.data() + dictionary.size()),
                     raw, stored};
    const std::vector<uint8_t> bytes = codec.Encode();
    return Made(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                          static_cast<Py_ssize_t>(bytes.size())));
  });
}

extern "C" PyObject* DecodeCodec(PyObject* module, PyObject* data) {
  return Frame([&]() -> PyObject* {
    RawValue bytes;
    if (!bytes.Convert(data, "a codec section")) return nullptr;
    Result<ValueCodec> codec = ValueCodec::Decode(bytes.data(), bytes.size());
    if (!codec.ok()) return SetCoreError(StateOfModule(module), codec.error());
    const ValueCodec& c = codec.value();
    // (y# makes None of a null pointer, which an empty vector may give.)
    return Py_BuildValue("(s#y#KK)", c.name.data(), static_cast<Py_ssize_t>(c.name.size()),
                         c.dictionary.empty() ? ""
                                              : reinterpret_cast<const char*>(c.dictionary.data()),
                         static_cast<Py_ssize_t>(c.dictionary.size()),
                         static_cast<unsigned long long>(c.raw_bytes),
                         static_cast<unsigned long long>(c.stored_bytes));
  });
}

extern "C" PyObject* GuardTruncation(PyObject*, PyObject*) {
  truncation_guard::TakeFront();
  Py_RETURN_NONE;
}

PyMethodDef kFunctions[] = {
    {"publish_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(PublishFile)),
     METH_FASTCALL | METH_KEYWORDS,
     "publish_file(path, data)\n--\n\n"
     "Make *data* the whole content of the file *path*, atomically and durably: written\n"
     "to a file without a name beside it, synced, then renamed over it (in turn with\n"
     "other publishers of the same path). A target that is not a regular file is refused."},

    {"_encode_codec", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(EncodeCodec)),
     METH_FASTCALL | METH_KEYWORDS,
     "_encode_codec(name, dictionary, raw_bytes, stored_bytes)\n--\n\n"
     "The bytes of a value codec section."},
    {"_decode_codec", DecodeCodec, METH_O,
     "_decode_codec(data)\n--\n\n"
     "(name, dictionary, raw_bytes, stored_bytes) of a value codec section; TarnCorruptError\n"
     "when it is damaged."},
    {"_guard_truncation", GuardTruncation, METH_NOARGS,
     "_guard_truncation()\n--\n\n"
     "Put the handler that turns reads past the end of a store cut short into errors in\n"
     "front of any SIGBUS handler installed since."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int AddModuleFunctions(PyObject* module) { return PyModule_AddFunctions(module, kFunctions); }

}  // namespace tarndb::py::store
