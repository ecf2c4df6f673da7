#include "bindings/store/writer_delete.h"

namespace tarndb::py::store {

PyObject* DeleteBody(const WriterRef& w, PyObject* const* a) {
  StoreKey key;
  if (!w.StorableKey(a[0], &key) || !w.DeleteKey(key.view())) return nullptr;
  Py_RETURN_NONE;
}

PyObject* DeleteManyBody(const WriterRef& w, PyObject* const* a) {
  if (PyUnicode_Check(a[0]) || PyBytes_Check(a[0])) {
    PyErr_SetString(PyExc_TypeError, "delete_many() takes an iterable of keys, not one key");
    return nullptr;
  }
  OwnedRef it = OwnedRef::Steal(PyObject_GetIter(a[0]));
  if (!it) return nullptr;
  while (OwnedRef item = OwnedRef::Steal(PyIter_Next(it.get()))) {
    StoreKey key;
    if (!w.StorableKey(item.get(), &key) || !w.DeleteKey(key.view())) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace tarndb::py::store
