// How the package's module reports a core error: as the package's own
// exception classes, with their fields set (TarnIOError's errno, strerror
// and filename; TarnVersionError's version). The classes live in
// tarndb._errors, which the module imports once when it is loaded.
#include <string>

#include "bindings/common/errors.h"
#include "bindings/common/py_ref.h"
#include "bindings/store/errors.h"

namespace tarndb::py {
namespace {

struct ErrorClasses {
  PyObject* corrupt = nullptr;
  PyObject* version = nullptr;
  PyObject* io = nullptr;
  PyObject* value = nullptr;
  PyObject* duplicate = nullptr;
};

ErrorClasses& Classes() {
  static ErrorClasses classes;
  return classes;
}

// Call cls(*args) and raise the result.
PyObject* RaiseCalled(PyObject* cls, PyObject* args) {
  if (args == nullptr) return nullptr;
  OwnedRef owned_args = OwnedRef::Steal(args);
  OwnedRef exc = OwnedRef::Steal(PyObject_CallObject(cls, owned_args.get()));
  if (exc) PyErr_SetObject(cls, exc.get());
  return nullptr;
}

}  // namespace

extern const char kPanicClassName[] = "tarndb._store.PanicException";

bool LoadErrorClasses() {
  ErrorClasses& c = Classes();
  if (c.corrupt != nullptr) return true;
  OwnedRef module = OwnedRef::Steal(PyImport_ImportModule("tarndb._errors"));
  if (!module) return false;
  OwnedRef corrupt = OwnedRef::Steal(PyObject_GetAttrString(module.get(), "TarnCorruptError"));
  OwnedRef version = OwnedRef::Steal(PyObject_GetAttrString(module.get(), "TarnVersionError"));
  OwnedRef io = OwnedRef::Steal(PyObject_GetAttrString(module.get(), "TarnIOError"));
  OwnedRef value = OwnedRef::Steal(PyObject_GetAttrString(module.get(), "TarnValueError"));
  OwnedRef duplicate =
      OwnedRef::Steal(PyObject_GetAttrString(module.get(), "TarnDuplicateKeyError"));
  if (!corrupt || !version || !io || !value || !duplicate) return false;
  // Kept for the life of the process, like the classes of the module.
  c.corrupt = corrupt.release();
  c.version = version.release();
  c.io = io.release();
  c.value = value.release();
  c.duplicate = duplicate.release();
  return true;
}

PyObject* RaiseUndecodable(PyObject* key) {
  if (PyErr_ExceptionMatches(PyExc_MemoryError) || !PyErr_ExceptionMatches(PyExc_Exception)) {
    return nullptr;
  }
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  OwnedRef cause = OwnedRef::Steal(value);
  Py_XDECREF(type);
  if (tb != nullptr) {
    PyException_SetTraceback(cause.get(), tb);
    Py_DECREF(tb);
  }
  OwnedRef message = OwnedRef::Steal(
      PyUnicode_FromFormat("the value of key %R cannot be decoded: %S", key, cause.get()));
  if (!message) return nullptr;
  OwnedRef exc =
      OwnedRef::Steal(PyObject_CallFunctionObjArgs(Classes().value, message.get(), key, nullptr));
  if (!exc) return nullptr;
  PyException_SetCause(exc.get(), cause.release());  // steals the reference
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

PyObject* SetCoreError(const Error& error) {
  if (InterruptedByPython(error)) return nullptr;  // KeyboardInterrupt, say
  const ErrorClasses& c = Classes();
  const std::string& text = error.message();
  if (error.kind() == Error::Kind::kOther) return RaiseWithText(PyExc_ValueError, text);
  if (error.kind() == Error::Kind::kDuplicateKey) {
    return RaiseCalled(c.duplicate,
                       Py_BuildValue("(y#KK)", reinterpret_cast<const char*>(error.key().data()),
                                     static_cast<Py_ssize_t>(error.key().size()),
                                     static_cast<unsigned long long>(error.first_id()),
                                     static_cast<unsigned long long>(error.repeat_id())));
  }
  if (error.kind() == Error::Kind::kVersion) {
    return RaiseCalled(c.version, Py_BuildValue("(i)", int{error.version()}));
  }
  // The file an I/O error concerns leads its text, unless the core's text
  // names it already ("cannot open {path}: ...").
  const std::string& path = error.path();
  const std::string named = path.empty() || error.path_in_message() ? text : path + ": " + text;
  OwnedRef message = OwnedRef::Steal(
      PyUnicode_DecodeUTF8(named.data(), static_cast<Py_ssize_t>(named.size()), "surrogateescape"));
  if (!message) return nullptr;
  switch (error.kind()) {
    case Error::Kind::kIo: {
      OwnedRef errnum = error.sys_errno() != 0 ? OwnedRef::Steal(PyLong_FromLong(error.sys_errno()))
                                               : OwnedRef::NewRef(Py_None);
      OwnedRef filename =
          error.path().empty()
              ? OwnedRef::NewRef(Py_None)
              : OwnedRef::Steal(PyUnicode_DecodeFSDefaultAndSize(
                    error.path().data(), static_cast<Py_ssize_t>(error.path().size())));
      if (!errnum || !filename) return nullptr;
      return RaiseCalled(c.io, PyTuple_Pack(3, message.get(), errnum.get(), filename.get()));
    }
    default:
      return RaiseCalled(c.corrupt, PyTuple_Pack(1, message.get()));
  }
}

}  // namespace tarndb::py
