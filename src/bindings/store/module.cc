// The extension module tarndb._store: the package's own interface to the
// core, with typed errors and batch calls. The package's classes subclass
// its Reader and Writer.
#include "bindings/common/call_frame.h"
#include "bindings/common/errors.h"
#include "bindings/common/py_ref.h"
#include "bindings/store/errors.h"
#include "bindings/store/module_functions.h"
#include "bindings/store/shard_function.h"
#include "bindings/store/types.h"
#include "core/common/posix.h"
#include "core/writer/memory_budget.h"

namespace tarndb::py::store {
namespace {

int AddType(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return -1;
  Py_INCREF(type);
  if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(type)) < 0) {
    Py_DECREF(type);
    return -1;
  }
  return 0;
}

extern "C" int ModuleExec(PyObject* module) {
  return Frame(-1, [&]() -> int {
    SetInterruptCheck(CheckPythonSignals);
    if (!LoadErrorClasses()) return -1;
    if (AddType(module, "Reader", ReaderType()) < 0 ||
        AddType(module, "ReaderIterator", ReaderIteratorType()) < 0 ||
        AddType(module, "Writer", WriterType()) < 0 ||
        AddType(module, "Shards", ShardsType()) < 0 || AddShardFunctions(module) < 0 ||
        AddModuleFunctions(module) < 0) {
      return -1;
    }
    if (PyModule_AddIntConstant(module, "DEFAULT_MEMORY_LIMIT",
                                static_cast<long>(kDefaultMemoryLimit)) < 0) {
      return -1;
    }
    return PyModule_AddStringConstant(module, "__version__", TARNDB_PACKAGE_VERSION);
  });
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(ModuleExec)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_store",
    "tarndb._store: the native reader and writer under the tarndb package.",
    0,
    nullptr,
    kModuleSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tarndb::py::store

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__store(void) {
  return PyModuleDef_Init(&tarndb::py::store::kModuleDef);
}
