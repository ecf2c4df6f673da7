#include "bindings/common/create_type.h"

#include <cstring>

#include "bindings/common/py_ref.h"

namespace tarndb::py {

PyObject* CreateType(PyType_Spec* spec, PyObject* module) {
  OwnedRef type = OwnedRef::Steal(
      module != nullptr ? PyType_FromModuleAndSpec(module, spec, nullptr) : PyType_FromSpec(spec));
#if PY_VERSION_HEX < 0x030B0000
  if (!type) return nullptr;
  for (const PyType_Slot* slot = spec->slots; slot->slot != 0; ++slot) {
    if (slot->slot != Py_tp_doc || slot->pfunc == nullptr) continue;
    // __doc__ already holds the text without the signature; tp_doc is where
    // __text_signature__ is read from. The type owns tp_doc (PyObject_Free).
    const char* full = static_cast<const char*>(slot->pfunc);
    const size_t size = std::strlen(full) + 1;
    auto* copy = static_cast<char*>(PyObject_Malloc(size));
    if (copy == nullptr) return PyErr_NoMemory();
    std::memcpy(copy, full, size);
    auto* t = reinterpret_cast<PyTypeObject*>(type.get());
    PyObject_Free(const_cast<char*>(t->tp_doc));
    t->tp_doc = copy;
  }
#endif
  return type.release();
}

}  // namespace tarndb::py
