// The extension module tarndb._tarndb: entry symbol, module definition and
// the execution step that fills the module.
#include "bindings/common/call_frame.h"
#include "bindings/common/errors.h"
#include "bindings/common/py_ref.h"
#include "bindings/tarndb/types.h"
#include "core/common/posix.h"

namespace tarndb::py {
namespace {

constexpr const char kModuleVersion[] = "0.2.0";

// Append name to the module's __all__ (created as a list when missing) and
// set the attribute. Returns 0, or -1 with an exception set.
int AddToModule(PyObject* module, const char* name, PyObject* value) {
  OwnedRef all = OwnedRef::Steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = OwnedRef::Steal(Made(PyList_New(0)));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  if (!PyList_Check(all.get())) {
    OwnedRef text = OwnedRef::Steal(TypeMismatchText(all.get(), "list", nullptr));
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
    return -1;
  }
  OwnedRef name_obj = OwnedRef::Steal(Made(PyUnicode_FromString(name)));
  if (PyList_Append(all.get(), name_obj.get()) < 0) {
    throw Panic("could not append to __all__");
  }
  return PyObject_SetAttr(module, name_obj.get(), value);
}

extern "C" int ModuleExec(PyObject* module) {
  return Frame(-1, [&]() -> int {
    SetInterruptCheck(CheckPythonSignals);
    if (module == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "module object is missing");
      return -1;
    }
    if (!PyModule_Check(module)) {
      OwnedRef text = OwnedRef::Steal(TypeMismatchText(module, "module", nullptr));
      if (text) PyErr_SetObject(PyExc_TypeError, text.get());
      return -1;
    }
    PyTypeObject* writer = WriterType();
    if (writer == nullptr ||
        AddToModule(module, "_TarnWriter", reinterpret_cast<PyObject*>(writer)) < 0) {
      return -1;
    }
    PyTypeObject* reader = ReaderType();
    if (reader == nullptr ||
        AddToModule(module, "_TarnReader", reinterpret_cast<PyObject*>(reader)) < 0) {
      return -1;
    }
    OwnedRef version = OwnedRef::Steal(Made(PyUnicode_FromString(kModuleVersion)));
    return AddToModule(module, "__version__", version.get());
  });
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(ModuleExec)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_tarndb",
    "tarndb._tarndb \u2014 native extension module entry-point",
    0,
    nullptr,
    kModuleSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tarndb::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__tarndb(void) {
  return PyModuleDef_Init(&tarndb::py::kModuleDef);
}
