// The extension module tarndb._store: the package's own interface to the
// core, with typed errors and batch calls. The package's classes subclass
// its Reader and Writer.
//
// Initialised in phases: each module object gets a StoreModule state
// (module_state.h) that its execution step fills with the module's classes
// and the package's exception classes, and that the collector traverses
// and clears with the module.
#include <new>

#include "bindings/common/call_frame.h"
#include "bindings/common/errors.h"
#include "bindings/common/py_ref.h"
#include "bindings/store/core_writer.h"
#include "bindings/store/module_functions.h"
#include "bindings/store/module_state.h"
#include "bindings/store/shard_function.h"
#include "core/common/posix.h"

namespace tarndb::py::store {
namespace {

int AddType(PyObject* module, const char* name, const OwnedRef& type) {
  OwnedRef ref = OwnedRef::NewRef(type.get());
  if (PyModule_AddObject(module, name, ref.get()) < 0) return -1;
  ref.release();  // the module took it
  return 0;
}

extern "C" int ModuleExec(PyObject* module) {
  // The state's memory comes zero-filled, which is an empty state (every
  // reference null): traversing or clearing it before this point is safe.
  StoreModule& state = *new (PyModule_GetState(module)) StoreModule();
  return Frame(-1, [&]() -> int {
    SetInterruptCheck(CheckPythonSignals);
    if (!state.Init(module)) return -1;
    if (AddType(module, "Reader", state.reader_type) < 0 ||
        AddType(module, "ReaderIterator", state.reader_iterator_type) < 0 ||
        AddType(module, "Writer", state.writer_type) < 0 ||
        AddType(module, "Shards", state.shards_type) < 0 ||
        AddType(module, "Layers", state.layers_type) < 0 ||
        AddType(module, "RangeReader", state.range_reader_type) < 0 || AddShardFunctions(module) < 0 ||
        AddModuleFunctions(module) < 0) {
      return -1;
    }
    if (PyModule_AddIntConstant(module, "DEFAULT_MEMORY_LIMIT",
                                static_cast<long>(kWriterDefaultMemory)) < 0) {
      return -1;
    }
    return PyModule_AddStringConstant(module, "__version__", TARNDB_PACKAGE_VERSION);
  });
}

extern "C" int ModuleTraverse(PyObject* module, visitproc visit, void* arg) {
  return StateOfModule(module).Traverse(visit, arg);
}

extern "C" int ModuleClear(PyObject* module) {
  StateOfModule(module).Clear();
  return 0;
}

extern "C" void ModuleFree(void* module) {
  StateOfModule(static_cast<PyObject*>(module)).~StoreModule();
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(ModuleExec)},
    {0, nullptr},
};

}  // namespace

PyModuleDef kStoreModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_store",
    "tarndb._store: the native reader and writer under the tarndb package.",
    sizeof(StoreModule),
    nullptr,
    kModuleSlots,
    ModuleTraverse,
    ModuleClear,
    ModuleFree,
};

}  // namespace tarndb::py::store

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__store(void) {
  return PyModuleDef_Init(&tarndb::py::store::kStoreModuleDef);
}
