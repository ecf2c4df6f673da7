// The package's exception classes come from tarndb._errors, held by the
// module's state (module_state.h).
#include <string>

#include "bindings/common/errors.h"
#include "bindings/common/py_ref.h"
#include "bindings/store/errors.h"

namespace tarndb::py {

extern const char kPanicClassName[] = "tarndb._store.PanicException";

namespace store {
namespace {

// Raise cls(*args) (args a new reference, consumed). The classes are gone
// only once the module's state was cleared, at its end.
PyObject* RaiseCalled(const OwnedRef& cls, PyObject* args) {
  OwnedRef owned_args = OwnedRef::Steal(args);
  if (!owned_args) return nullptr;
  if (!cls) return RaisePanic("tarndb._store's error classes are gone");
  OwnedRef exc = OwnedRef::Steal(PyObject_CallObject(cls.get(), owned_args.get()));
  if (exc) PyErr_SetObject(cls.get(), exc.get());
  return nullptr;
}

OwnedRef DecodedPath(const std::string& path) {
  if (path.empty()) return OwnedRef::NewRef(Py_None);
  return OwnedRef::Steal(
      PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

PyObject* RaiseIo(const StoreModule& module, const Error& error) {
  // The file an I/O error concerns leads its text, unless the core's text
  // names it already ("cannot open {path}: ...").
  const std::string& path = error.path();
  const std::string text =
      path.empty() || error.path_in_message() ? error.message() : path + ": " + error.message();
  OwnedRef message = OwnedRef::Steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
  // No error number (0) is a refusal with no system error behind it.
  OwnedRef errnum = error.sys_errno() != 0 ? OwnedRef::Steal(PyLong_FromLong(error.sys_errno()))
                                           : OwnedRef::NewRef(Py_None);
  OwnedRef filename = DecodedPath(path);
  if (!message || !errnum || !filename) return nullptr;
  return RaiseCalled(module.io_error, PyTuple_Pack(3, message.get(), errnum.get(), filename.get()));
}

}  // namespace

PyObject* SetCoreError(const StoreModule& module, const Error& error) {
  if (InterruptedByPython(error)) return nullptr;  // KeyboardInterrupt, say
  switch (error.kind()) {
    case Error::Kind::kOther:
      return RaiseWithText(PyExc_ValueError, error.message());
    case Error::Kind::kDuplicateKey:
      return RaiseCalled(module.duplicate_key_error,
                         Py_BuildValue("(y#KK)", reinterpret_cast<const char*>(error.key().data()),
                                       static_cast<Py_ssize_t>(error.key().size()),
                                       static_cast<unsigned long long>(error.first_id()),
                                       static_cast<unsigned long long>(error.repeat_id())));
    case Error::Kind::kVersion:
      return RaiseCalled(module.version_error, Py_BuildValue("(i)", int{error.version()}));
    case Error::Kind::kIo:
      return RaiseIo(module, error);
    case Error::Kind::kCorrupt:
      break;
  }
  const std::string& text = error.message();
  OwnedRef message = OwnedRef::Steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
  if (!message) return nullptr;
  return RaiseCalled(module.corrupt_error, PyTuple_Pack(1, message.get()));
}

PyObject* RaiseUndecodable(const StoreModule& module, PyObject* key) {
  if (PyErr_ExceptionMatches(PyExc_MemoryError) || !PyErr_ExceptionMatches(PyExc_Exception)) {
    return nullptr;
  }
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  OwnedRef cause = OwnedRef::Steal(value);
  OwnedRef cause_type = OwnedRef::Steal(type);
  OwnedRef traceback = OwnedRef::Steal(tb);
  if (traceback) PyException_SetTraceback(cause.get(), traceback.get());
  if (!module.value_error) return RaisePanic("tarndb._store's error classes are gone");
  OwnedRef message = OwnedRef::Steal(
      PyUnicode_FromFormat("the value of key %R cannot be decoded: %S", key, cause.get()));
  if (!message) return nullptr;
  OwnedRef exc = OwnedRef::Steal(
      PyObject_CallFunctionObjArgs(module.value_error.get(), message.get(), key, nullptr));
  if (!exc) return nullptr;
  PyException_SetCause(exc.get(), cause.release());  // steals the reference
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

}  // namespace store
}  // namespace tarndb::py
