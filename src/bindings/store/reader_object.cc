#include "bindings/store/reader_object.h"

#include "bindings/store/errors.h"
#include "bindings/store/module_state.h"

namespace tarndb::py::store {

PyObject* ReaderRef::Raise(const Error& error) const { return Raise(self_, error); }

PyObject* ReaderRef::Raise(PyObject* self, const Error& error) {
  return SetCoreError(ModuleOf(self), error);
}

bool ReaderRef::RaiseChanged(PyObject* self, const Reader& r) {
  SetCoreError(
      ModuleOf(self),
      Error::Corrupt("the file changed while this reader had it open (store files are replaced by "
                     "rename, never rewritten in place): " +
                     r.path()));
  return false;
}

void ReaderRef::RaiseUndecodable(PyObject* self, PyObject* key) {
  store::RaiseUndecodable(ModuleOf(self), key);
}

}  // namespace tarndb::py::store
