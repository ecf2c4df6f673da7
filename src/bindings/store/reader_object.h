// The instance state of tarndb._store.Reader, shared by the reader and its
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
#include "bindings/common/instance.h"
#include "bindings/common/py_ref.h"
#include "bindings/common/results.h"
#include "core/reader/reader.h"

namespace tarndb::py::store {

struct ReaderState {
  std::shared_ptr<const Reader> store;  // null once closed, and in a view
  OwnedRef owner;                       // a view's reader, else null
  OwnedRef decode;                      // null for the stored bytes
  bool keys_as_bytes = false;           // scans give keys as bytes, not text

  int Traverse(visitproc visit, void* arg) const {
    Py_VISIT(owner.get());
    Py_VISIT(decode.get());
    return 0;
  }
  void Clear() {
    owner.reset();
    decode.reset();
  }
};

using ReaderObject = Instance<ReaderState>;

// The key a value was read under, for the error when it cannot be decoded:
// the caller's key object, or the entry's key bytes.
struct KeyOf {
  PyObject* object = nullptr;
  KeyView entry;
  OwnedRef Make() const { return object ? OwnedRef::NewRef(object) : KeyText(entry); }
};

// A Reader instance (or view) for the length of a call: its state, its
// store, and its errors, raised as the classes of the reader's module.
class ReaderRef {
 public:
  explicit ReaderRef(PyObject* self) : self_(self) {}

  // (At a fixed offset from self: a ReaderRef is one pointer, passed in a
  // register.)
  ReaderState& state() const { return ReaderObject::StateOf(self_); }

  // The open store, or nullptr with ValueError set when it was closed.
  // Valid until Python code may run (see above).
  const Reader* Store() const {
    const Reader* r = primary().store.get();
    if (r == nullptr) RaiseClosed();
    return r;
  }
  // The same, as a reference that keeps the store open.
  std::shared_ptr<const Reader> SharedStore() const {
    std::shared_ptr<const Reader> r = primary().store;
    if (!r) RaiseClosed();
    return r;
  }

  // The value of a record: the stored bytes, or what decode makes of them;
  // nullptr with an exception set when the file changed under the reader
  // (checked after the copy, so nothing read from a changed file is given
  // out) or decode failed (TarnValueError naming the key).
  OwnedRef Value(const Reader& r, ObjectView obj, const KeyOf& key) const {
    OwnedRef bytes = NewBytes(obj.data, obj.size);
    if (!CheckIntact(r)) return OwnedRef();
    PyObject* decode = state().decode.get();
    if (decode == nullptr) return bytes;
    OwnedRef value = OwnedRef::Steal(PyObject_CallOneArg(decode, bytes.get()));
    if (!value) RaiseUndecodable(self_, key.Make().get());
    return value;
  }

  // A key as scans give it: text (bytes that are not UTF-8 replaced), or,
  // for a reader that asked for them, the key's bytes.
  OwnedRef KeyOut(KeyView key) const {
    return state().keys_as_bytes ? NewBytes(key.data, key.size) : KeyText(key);
  }

  // False with TarnCorruptError set when the file was rewritten or cut
  // short in place since the reader opened it.
  bool CheckIntact(const Reader& r) const { return r.Intact() || RaiseChanged(self_, r); }

  // Drop the store (a view's: its reader's). Calls running Python code keep
  // their own reference; the mapping goes when the last of them is done.
  void Close() const { primary().store.reset(); }
  bool closed() const { return primary().store == nullptr; }
  // The reader instance whose store this one reads.
  PyObject* primary_object() const { return state().owner ? state().owner.get() : self_; }

  // Raise the core error as this reader's module does; returns nullptr.
  PyObject* Raise(const Error& error) const;
  // The same where the handle must stay in a register (a loop's cold path).
  static PyObject* Raise(PyObject* self, const Error& error);
  PyObject* object() const { return self_; }

  static void RaiseClosed() {
    PyErr_SetString(PyExc_ValueError, "operation on a closed TarnReader");
  }

 private:
  // The instance whose store this one reads.
  ReaderState& primary() const { return ReaderObject::StateOf(primary_object()); }
  // The error paths of a value, out of line and static: a handle whose
  // address is never taken stays in a register on the paths that do not fail.
  static bool RaiseChanged(PyObject* self, const Reader& r);
  static void RaiseUndecodable(PyObject* self, PyObject* key);

  PyObject* self_;
};

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_READER_OBJECT_H_
