// _encode_codec and _decode_codec: the value codec section of the extension
// block, as the core's format layer writes and reads it, for the package's
// compression.
#include <string>

#include "bindings/common/call_frame.h"
#include "bindings/common/errors.h"
#include "bindings/common/py_ref.h"
#include "bindings/store/codec_functions.h"
#include "bindings/store/keys.h"
#include "core/format/value_codec.h"

namespace tarndb::py::store {
namespace {

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

extern "C" PyObject* DecodeCodec(PyObject*, PyObject* data) {
  return Frame([&]() -> PyObject* {
    RawValue bytes;
    if (!bytes.Convert(data, "a codec section")) return nullptr;
    Result<ValueCodec> codec = ValueCodec::Decode(bytes.data(), bytes.size());
    if (!codec.ok()) return SetCoreError(codec.error());
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

PyMethodDef kFunctions[] = {
    {"_encode_codec", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(EncodeCodec)),
     METH_FASTCALL | METH_KEYWORDS,
     "_encode_codec(name, dictionary, raw_bytes, stored_bytes)\n--\n\n"
     "The bytes of a value codec section."},
    {"_decode_codec", DecodeCodec, METH_O,
     "_decode_codec(data)\n--\n\n"
     "(name, dictionary, raw_bytes, stored_bytes) of a value codec section; TarnCorruptError\n"
     "when it is damaged."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int AddCodecFunctions(PyObject* module) { return PyModule_AddFunctions(module, kFunctions); }

}  // namespace tarndb::py::store
