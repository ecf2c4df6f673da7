// Layers._compact: the stack merged into one store (core/writer/compact.h),
// run without the interpreter lock; the progress callable, when given, is
// called with the lock taken back every 65,536 keys.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/common/call_frame.h"
#include "bindings/common/gil_released.h"
#include "bindings/store/core_writer.h"
#include "bindings/store/keys.h"
#include "bindings/store/layers_object.h"
#include "bindings/store/module_state.h"
#include "bindings/store/writer_options.h"
#include "core/format/coding.h"

namespace tarndb::py::store {
namespace {

constexpr const char* kCompactNames[] = {"path",   "memory_limit", "spill_dir", "hash_index",
                                         "filter", "sections",     "progress"};
constexpr Params kCompactParams{"_compact()", kCompactNames, 7, 1};

// sections: an iterable of (type, version, data), type 4 bytes.
bool ConvertSections(PyObject* obj, std::vector<SectionBytes>* out) {
  if (obj == nullptr || obj == Py_None) return true;
  OwnedRef seq = OwnedRef::Steal(PySequence_Tuple(obj));
  if (!seq) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq.get()); ++i) {
    const char* type = nullptr;
    Py_ssize_t type_len = 0, data_len = 0;
    unsigned int version = 0;
    const char* data = nullptr;
    if (!PyArg_ParseTuple(PyTuple_GET_ITEM(seq.get(), i), "y#Iy#;a section is (type, version, data)",
                          &type, &type_len, &version, &data, &data_len)) {
      return false;
    }
    if (type_len != 4) {
      PyErr_SetString(PyExc_TypeError, "a section type is 4 bytes");
      return false;
    }
    const auto* d = reinterpret_cast<const uint8_t*>(data);
    out->push_back(SectionBytes{LoadBE32(reinterpret_cast<const uint8_t*>(type)), version,
                                std::vector<uint8_t>(d, d + data_len)});
  }
  return true;
}

}  // namespace

PyObject* LayersCompact(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[7];
    if (!BindFastcall(kCompactParams, args, nargs, kwnames, a)) return nullptr;
    std::optional<std::string> path = PathText(a[0]);
    if (!path) return nullptr;
    // Writer()'s own checks of the settings: encode, memory_limit,
    // spill_dir, hash_index, target, unique_keys, hash_seed, filter.
    PyObject* w[8] = {nullptr, a[1], a[2], a[3], nullptr, nullptr, nullptr, a[4]};
    WriterSettings settings;
    if (!ParseWriterSettings(ModuleOf(self), w, &settings)) return nullptr;
    std::vector<SectionBytes> sections;
    if (!ConvertSections(a[5], &sections)) return nullptr;
    PyObject* progress = a[6] != nullptr && a[6] != Py_None ? a[6] : nullptr;
    const std::shared_ptr<const LayerStack> stack = OpenStack(self);
    if (!stack) return nullptr;
    const OwnedRef held = OwnedRef::NewRef(progress);
    bool failed = false;  // the progress callable raised: its exception is set
    std::function<bool(uint64_t)> report;
    if (progress != nullptr) {
      report = [&](uint64_t done) {
        GilHeld gil;
        OwnedRef r = OwnedRef::Steal(PyObject_CallFunction(progress, "K",
                                                           static_cast<unsigned long long>(done)));
        if (!r) failed = true;
        if (!failed && PyErr_CheckSignals() < 0) failed = true;
        return !failed;
      };
    }
    Result<BuildFigures> built = [&] {
      GilReleased released;
      return CompactStack(*stack, *path, std::move(settings), std::move(sections),
                          std::move(report));
    }();
    if (failed) return nullptr;
    if (!built.ok()) return ReaderRef(PyTuple_GET_ITEM(LayersObject::StateOf(self).readers.get(),
                                                       0)).Raise(built.error());
    const BuildFigures& f = built.value();
    return Py_BuildValue("(KKK)", static_cast<unsigned long long>(f.objects),
                         static_cast<unsigned long long>(f.keys),
                         static_cast<unsigned long long>(f.bytes));
  });
}

}  // namespace tarndb::py::store
