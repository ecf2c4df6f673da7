// The instance state of tarndb._store.Writer and the steps its calls share:
// a key checked against the length limit, the bytes of a value (its buffer,
// or what the writer's encode callable makes of it), and storing an object
// and a key. Each step returns failure with an exception set.
//
// Mutating calls take the writer for exclusive use (writer_type.cc), so an
// encode callable that calls back into the same writer gets an error
// instead of changing it halfway.
#ifndef TARNDB_BINDINGS_STORE_WRITER_OBJECT_H_
#define TARNDB_BINDINGS_STORE_WRITER_OBJECT_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>

#include "bindings/common/gil_released.h"
#include "bindings/common/instance.h"
#include "bindings/common/py_ref.h"
#include "bindings/store/core_writer.h"
#include "bindings/store/errors.h"
#include "bindings/store/keys.h"
#include "bindings/store/module_state.h"

namespace tarndb::py::store {

struct WriterState {
  CoreWriter core;
  OwnedRef encode;  // null when only the raw calls work
  // Builds that renamed a file into place; changed only with the
  // interpreter lock held, read without taking the writer (see _published).
  uint64_t published = 0;

  int Traverse(visitproc visit, void* arg) const {
    Py_VISIT(encode.get());
    return 0;
  }
  void Clear() { encode.reset(); }
};

using WriterObject = Instance<WriterState>;

// A Writer instance for the length of a call: its state, and its errors,
// raised as the classes of the writer's module.
class WriterRef {
 public:
  explicit WriterRef(PyObject* self) : self_(self) {}

  WriterState& state() const { return WriterObject::StateOf(self_); }

  // Raise the core error as this writer's module does; returns nullptr.
  PyObject* Raise(const Error& error) const { return SetCoreError(ModuleOf(self_), error); }

  // The steps below run once per pair of a batch call: they are defined
  // here, where the batch loops can inline them.

  // Convert obj to a key and check it against the 65,535-byte limit.
  bool StorableKey(PyObject* obj, StoreKey* key) const {
    if (!key->Convert(obj)) return false;
    if (Status s = CheckKeyLength(key->view().size); !s.ok()) return Raise(s.error()), false;
    return true;
  }

  // The bytes to store for value: its buffer for a raw call, else what the
  // writer's encode callable makes of it. holder keeps the encoded object.
  bool ValueBytes(PyObject* value, bool raw, OwnedRef* holder, RawValue* bytes) const {
    if (raw) return bytes->Convert(value, "a raw value");
    if (!state().encode) {
      PyErr_SetString(PyExc_TypeError, "this writer has no encoder: use the *_raw calls");
      return false;
    }
    *holder = OwnedRef::Steal(PyObject_CallOneArg(state().encode.get(), value));
    if (!*holder) return false;
    return bytes->Convert(holder->get(), "the encoder's result");
  }

  // Store data as a new object; its ID, or nullopt with an exception set.
  std::optional<uint64_t> AddObject(const uint8_t* data, size_t size) const {
    Result<uint64_t> id = state().core.AddObject(data, size);
    if (!id.ok()) return Raise(id.error()), std::nullopt;
    return id.value();
  }
  std::optional<uint64_t> AddObject(const RawValue& data) const {
    return AddObject(data.data(), data.size());
  }

  // Map key to obj_id. Spilling the keys held (a sort and a write) runs
  // without the interpreter lock: a key is a view of an immutable str or
  // bytes, or a copy.
  bool AddKey(KeyView key, uint64_t obj_id) const {
    bool spill_first = false;
    Status added = state().core.AddKey(key, obj_id, &spill_first);
    if (added.ok() && spill_first) {
      GilReleased released;
      added = state().core.AddKey(key, obj_id);
    }
    if (!added.ok()) return Raise(added.error()), false;
    return true;
  }

  // Record a tombstone for key, spilling as AddKey does.
  bool DeleteKey(KeyView key) const {
    bool spill_first = false;
    Status done = state().core.DeleteKey(key, &spill_first);
    if (done.ok() && spill_first) {
      GilReleased released;
      done = state().core.DeleteKey(key);
    }
    if (!done.ok()) return Raise(done.error()), false;
    return true;
  }

 private:
  PyObject* self_;
};

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_WRITER_OBJECT_H_
