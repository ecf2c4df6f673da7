// The instance layout of tarndb._store.Reader, shared by the reader and its
// iterators.
//
// A reader owns its open store through a shared_ptr, dropped by close().
// A view (the package's `reader.raw`) is a second instance that owns no
// store: it holds a reference to the reader it views and reads that
// reader's store, so closing the reader closes its views too. Each
// instance has its own decode callable (none: values are the stored bytes).
//
// Every access to the store happens with the interpreter lock held. A call
// that runs Python code between two reads of the store (a decode callable,
// an iterator's consumer) keeps its own shared_ptr for the call, so that a
// close() from that code cannot unmap what the call is reading.
#ifndef TARNDB_BINDINGS_STORE_READER_OBJECT_H_
#define TARNDB_BINDINGS_STORE_READER_OBJECT_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "bindings/common/errors.h"
#include "bindings/common/py_ref.h"
#include "bindings/common/results.h"
#include "bindings/store/errors.h"
#include "core/reader/reader.h"

namespace tarndb::py::store {

struct ReaderObject {
  PyObject_HEAD
  std::shared_ptr<const Reader> store;  // null once closed, and in a view
  PyObject* owner;                      // a view's reader (a new reference), else nullptr
  PyObject* decode;                     // a new reference, or nullptr for the stored bytes

  // The instance whose store this one reads.
  ReaderObject* primary() { return owner ? reinterpret_cast<ReaderObject*>(owner) : this; }

  // The open store, or nullptr with ValueError set when it was closed.
  // Valid until Python code may run (see above).
  const Reader* Store() {
    const Reader* r = primary()->store.get();
    if (r == nullptr) RaiseClosed();
    return r;
  }
  // The same, as a reference that keeps the store open.
  std::shared_ptr<const Reader> SharedStore() {
    std::shared_ptr<const Reader> r = primary()->store;
    if (!r) RaiseClosed();
    return r;
  }

  // The key a value was read under, for the error when it cannot be
  // decoded: the caller's key object, or the entry's key bytes.
  struct KeyOf {
    PyObject* object = nullptr;
    KeyView entry;
    OwnedRef Make() const { return object ? OwnedRef::NewRef(object) : KeyText(entry); }
  };

  // The value of a record: the stored bytes, or what decode makes of them;
  // nullptr with an exception set when the file changed under the reader
  // (checked after the copy, so nothing read from a changed file is given
  // out) or decode failed (TarnValueError naming the key).
  OwnedRef Value(const Reader& r, ObjectView obj, const KeyOf& key) {
    OwnedRef bytes = NewBytes(obj.data, obj.size);
    if (!CheckIntact(r)) return OwnedRef();
    if (decode == nullptr) return bytes;
    OwnedRef value = OwnedRef::Steal(PyObject_CallOneArg(decode, bytes.get()));
    if (!value) {
      OwnedRef k = key.Make();
      RaiseUndecodable(k.get());
    }
    return value;
  }

  // False with TarnCorruptError set when the file was rewritten or cut
  // short in place since the reader opened it.
  static bool CheckIntact(const Reader& r) {
    if (r.Intact()) return true;
    SetCoreError(Error::Corrupt(
        "the file changed while this reader had it open (store files are replaced by "
        "rename, never rewritten in place): " +
        r.path()));
    return false;
  }

  static void RaiseClosed() {
    PyErr_SetString(PyExc_ValueError, "operation on a closed TarnReader");
  }
};

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_READER_OBJECT_H_
