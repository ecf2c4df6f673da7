// publish_file(path, data): the package's way to publish a small file (a
// sharded store's manifest) through the core's one publishing path, with
// its rules for temporary names, locking, syncing and the target.
#include "bindings/store/publish_function.h"

#include <optional>
#include <string>

#include "bindings/common/call_frame.h"
#include "bindings/common/errors.h"
#include "bindings/common/gil_released.h"
#include "bindings/store/core_writer.h"
#include "bindings/store/errors.h"
#include "bindings/store/keys.h"
#include "bindings/store/module_state.h"

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
