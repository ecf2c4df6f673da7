#include "bindings/store/reader_object.h"

#include "bindings/store/errors.h"
#include "bindings/store/module_state.h"

namespace tarndb::py::store {

PyObject* ReaderRef::Raise(const Error& error) const {
  return SetCoreError(ModuleOf(self_), error);
}

bool ReaderRef::RaiseChanged(const Reader& r) const {
  Raise(
      Error::Corrupt("the file changed while this reader had it open (store files are replaced by "
                     "rename, never rewritten in place): " +
                     r.path()));
  return false;
}

void ReaderRef::RaiseUndecodable(const KeyOf& key) const {
  OwnedRef k = key.Make();
  store::RaiseUndecodable(ModuleOf(self_), k.get());
}

}  // namespace tarndb::py::store
