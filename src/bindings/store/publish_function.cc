// publish_file(path, data): the package's way to publish a small file (a
// sharded store's manifest) through the core's one publishing path, with
// its rules for temporary names, locking, syncing and the target.
#include <optional>
#include <string>

#include "bindings/common/call_frame.h"
#include "bindings/common/errors.h"
#include "bindings/common/gil_released.h"
#include "bindings/common/py_ref.h"
#include "bindings/store/keys.h"
#include "bindings/store/publish_function.h"
#include "core/writer/publish.h"

namespace tarndb::py::store {
namespace {

constexpr const char* kNames[] = {"path", "data"};
constexpr Params kParams{"publish_file()", kNames, 2, 2};

extern "C" PyObject* PublishFile(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return Frame([&]() -> PyObject* {
    PyObject* a[2];
    if (!BindFastcall(kParams, args, nargs, kwnames, a)) return nullptr;
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(a[0], &converted)) return nullptr;
    const OwnedRef path_bytes = OwnedRef::Steal(converted);
    const std::string path(PyBytes_AS_STRING(path_bytes.get()),
                           static_cast<size_t>(PyBytes_GET_SIZE(path_bytes.get())));
    RawValue data;
    if (!data.Convert(a[1], "data")) return nullptr;
    Status published = [&] {
      GilReleased released;
      return PublishBytes(data.data(), data.size(), path);
    }();
    if (!published.ok()) return SetCoreError(published.error());
    Py_RETURN_NONE;
  });
}

PyMethodDef kFunctions[] = {
    {"publish_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(PublishFile)),
     METH_FASTCALL | METH_KEYWORDS,
     "publish_file(path, data)\n--\n\n"
     "Make *data* the whole content of the file *path*, atomically and durably: written\n"
     "to a file without a name beside it, synced, then renamed over it (in turn with\n"
     "other publishers of the same path). A target that is not a regular file is refused."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int AddPublishFunctions(PyObject* module) { return PyModule_AddFunctions(module, kFunctions); }

}  // namespace tarndb::py::store
