#include "bindings/store/module_state.h"

#include "bindings/common/create_type.h"
#include "bindings/common/errors.h"
#include "bindings/store/types.h"

namespace tarndb::py::store {
namespace {

// A class of this module object, or a null reference with an exception set.
// A class without a constructor (an iterator) gets none from its base.
OwnedRef NewClass(PyObject* module, PyType_Spec* spec, bool constructible) {
  OwnedRef type = OwnedRef::Steal(CreateType(spec, module));
  if (type && !constructible) reinterpret_cast<PyTypeObject*>(type.get())->tp_new = nullptr;
  return type;
}

OwnedRef ErrorClass(PyObject* errors, const char* name) {
  return OwnedRef::Steal(PyObject_GetAttrString(errors, name));
}

}  // namespace

bool StoreModule::Init(PyObject* module) {
  reader_type = NewClass(module, &kReaderSpec, true);
  reader_iterator_type = NewClass(module, &kReaderIteratorSpec, false);
  merge_iterator_type = NewClass(module, &kMergeIteratorSpec, false);
  writer_type = NewClass(module, &kWriterSpec, true);
  shards_type = NewClass(module, &kShardsSpec, true);
  layers_type = NewClass(module, &kLayersSpec, true);
  layer_iterator_type = NewClass(module, &kLayerIteratorSpec, false);
  range_reader_type = NewClass(module, &kRangeReaderSpec, true);
  if (!reader_type || !reader_iterator_type || !merge_iterator_type || !writer_type ||
      !shards_type || !layers_type || !layer_iterator_type || !range_reader_type) {
    return false;
  }
  OwnedRef errors = OwnedRef::Steal(PyImport_ImportModule("tarndb._errors"));
  if (!errors) return false;
  corrupt_error = ErrorClass(errors.get(), "TarnCorruptError");
  version_error = ErrorClass(errors.get(), "TarnVersionError");
  io_error = ErrorClass(errors.get(), "TarnIOError");
  value_error = ErrorClass(errors.get(), "TarnValueError");
  duplicate_key_error = ErrorClass(errors.get(), "TarnDuplicateKeyError");
  return corrupt_error && version_error && io_error && value_error && duplicate_key_error;
}

int StoreModule::Traverse(visitproc visit, void* arg) const {
  for (const OwnedRef* ref :
       {&reader_type, &reader_iterator_type, &merge_iterator_type, &writer_type, &shards_type,
        &layers_type, &layer_iterator_type,
        &range_reader_type,
        &corrupt_error, &version_error, &io_error, &value_error, &duplicate_key_error}) {
    Py_VISIT(ref->get());
  }
  return 0;
}

void StoreModule::Clear() {
  for (OwnedRef* ref :
       {&reader_type, &reader_iterator_type, &merge_iterator_type, &writer_type, &shards_type,
        &layers_type, &layer_iterator_type,
        &range_reader_type,
        &corrupt_error, &version_error, &io_error, &value_error, &duplicate_key_error}) {
    ref->reset();
  }
}

StoreModule& StateOfModule(PyObject* module) {
  return *static_cast<StoreModule*>(PyModule_GetState(module));
}

StoreModule& ModuleOfType(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
  PyObject* module = PyType_GetModuleByDef(type, &kStoreModuleDef);
#else
  // The first class along the method resolution order that this module made.
  PyObject* module = nullptr;
  PyObject* mro = type->tp_mro;
  for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro) && !module; ++i) {
    auto* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if (!PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE)) continue;
    PyObject* m = reinterpret_cast<PyHeapTypeObject*>(t)->ht_module;
    if (m != nullptr && PyModule_GetDef(m) == &kStoreModuleDef) module = m;
  }
  if (module == nullptr) PyErr_SetString(PyExc_TypeError, "not an object of tarndb._store");
#endif
  if (module == nullptr) throw PythonErrorSet{};
  return StateOfModule(module);
}

}  // namespace tarndb::py::store
