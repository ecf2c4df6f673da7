#include "bindings/common/errors.h"

#include <errno.h>

#include "bindings/common/py_ref.h"

namespace tarndb::py {
namespace {

constexpr const char kPanicDoc[] =
    "An internal fault inside tarndb's native code. It derives from "
    "BaseException so that `except Exception` does not hide it; please report it.";
constexpr const char kGenericPanicText[] = "internal fault in the tarndb extension";

// Created on first use and kept for the life of the process.
PyObject* PanicType() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(kPanicClassName, kPanicDoc, PyExc_BaseException, nullptr);
  }
  return type;
}

// __qualname__ of obj's type, or the fallback text when it cannot be read.
OwnedRef TypeQualName(PyObject* obj) {
  OwnedRef name = OwnedRef::Steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) return name;
  PyErr_Clear();
  return OwnedRef::Steal(PyUnicode_FromString("<failed to extract type name>"));
}

}  // namespace

PyObject* RaisePanic(const char* message) {
  PyObject* cls = PanicType();
  if (cls == nullptr) return nullptr;  // creating the class failed; that error stands
  return RaiseWithText(cls, message ? message : kGenericPanicText);
}

bool CheckPythonSignals() {
  const PyGILState_STATE state = PyGILState_Ensure();
  const bool raised = PyErr_CheckSignals() != 0;
  PyGILState_Release(state);
  return raised;
}

bool InterruptedByPython(const Error& error) {
  return error.kind() == Error::Kind::kIo && error.sys_errno() == EINTR && PyErr_Occurred();
}

PyObject* RaiseWithText(PyObject* cls, std::string_view text) {
  OwnedRef msg = OwnedRef::Steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (msg) PyErr_SetObject(cls, msg.get());
  return nullptr;
}

PyObject* Made(PyObject* p) {
  if (p == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw PythonErrorSet{};
    PyErr_WriteUnraisable(nullptr);
    throw Panic("PyObject pointer is null");
  }
  return p;
}

PyObject* TypeMismatchText(PyObject* obj, const char* expected, const char* prefix) {
  if (obj == Py_None) {
    return PyUnicode_FromFormat("%s'None' is not an instance of '%s'", prefix ? prefix : "",
                                expected);
  }
  OwnedRef type_name = TypeQualName(obj);
  if (!type_name) return nullptr;
  return PyUnicode_FromFormat("%s'%U' object is not an instance of '%s'", prefix ? prefix : "",
                              type_name.get(), expected);
}

PyObject* RaiseArgumentTypeMismatch(const char* name, PyObject* obj, const char* expected) {
  OwnedRef prefix = OwnedRef::Steal(PyUnicode_FromFormat("argument '%s': ", name));
  if (!prefix) return nullptr;
  OwnedRef text = OwnedRef::Steal(TypeMismatchText(obj, expected, PyUnicode_AsUTF8(prefix.get())));
  if (text) PyErr_SetObject(PyExc_TypeError, text.get());
  return nullptr;
}

void PrefixArgumentError(const char* name) {
  if (!PyErr_Occurred()) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, tb);
    return;
  }
  PyErr_NormalizeException(&type, &value, &tb);
  OwnedRef old_type = OwnedRef::Steal(type);
  OwnedRef old_value = OwnedRef::Steal(value);
  OwnedRef old_tb = OwnedRef::Steal(tb);
  OwnedRef text = OwnedRef::Steal(PyUnicode_FromFormat("argument '%s': %S", name, old_value.get()));
  if (!text) return;
  OwnedRef replacement = OwnedRef::Steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  if (!replacement) return;
  if (PyObject* cause = PyException_GetCause(old_value.get())) {
    PyException_SetCause(replacement.get(), cause);  // steals the new reference
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

}  // namespace tarndb::py
