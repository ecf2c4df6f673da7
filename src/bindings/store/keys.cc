#include "bindings/store/keys.h"

#include "bindings/common/py_ref.h"

namespace tarndb::py {
namespace {

KeyView ViewOf(const void* p, size_t n) { return KeyView{static_cast<const unsigned char*>(p), n}; }

bool NotAKey(PyObject* obj) {
  PyErr_Format(PyExc_TypeError, "a key must be str or bytes, not %s", Py_TYPE(obj)->tp_name);
  return false;
}

}  // namespace

bool StoreKey::Convert(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
    if (p == nullptr) return false;  // a lone surrogate: UnicodeEncodeError
    view_ = ViewOf(p, static_cast<size_t>(n));
    return true;
  }
  if (PyBytes_Check(obj)) {
    view_ = ViewOf(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj)));
    return true;
  }
  if (!PyByteArray_Check(obj) && !PyMemoryView_Check(obj)) return NotAKey(obj);
  Py_buffer buffer;
  if (PyObject_GetBuffer(obj, &buffer, PyBUF_SIMPLE) < 0) {
    PyErr_Clear();
    return NotAKey(obj);
  }
  owned_.assign(static_cast<const char*>(buffer.buf), static_cast<size_t>(buffer.len));
  PyBuffer_Release(&buffer);
  view_ = ViewOf(owned_.data(), owned_.size());
  return true;
}

void TouchKeys(PyObject* const* keys, size_t n) {
  uintptr_t sink = 0;
  for (size_t i = 0; i < n; ++i) sink += reinterpret_cast<uintptr_t>(Py_TYPE(keys[i]));
  for (size_t i = 0; i < n; ++i) sink += KeyLengthWord(keys[i]);
  asm volatile("" : : "r"(sink));  // keep the loads
}

bool RawValue::ConvertBuffer(PyObject* obj, const char* what) {
  if (PyUnicode_Check(obj) || PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s must be bytes-like, not %s", what, Py_TYPE(obj)->tp_name);
    return false;
  }
  held_ = true;
  data_ = static_cast<const uint8_t*>(view_.buf);
  size_ = static_cast<size_t>(view_.len);
  return true;
}

bool ConvertObjectId(PyObject* obj, std::optional<uint64_t>* id) {
  OwnedRef index = OwnedRef::Steal(PyNumber_Index(obj));
  if (!index) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Format(PyExc_TypeError, "an object ID must be an int, not %s", Py_TYPE(obj)->tp_name);
    }
    return false;
  }
  int overflow = 0;
  const long long signed_value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (overflow == 0) {
    if (signed_value == -1 && PyErr_Occurred()) return false;
    if (signed_value >= 0) *id = static_cast<uint64_t>(signed_value);
    return true;
  }
  if (overflow > 0) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
      PyErr_Clear();  // beyond 64 bits: out of range
      return true;
    }
    *id = static_cast<uint64_t>(v);
  }
  return true;
}

std::optional<std::string> PathText(PyObject* obj) {
  PyObject* converted = nullptr;
  if (!PyUnicode_FSConverter(obj, &converted)) return std::nullopt;
  OwnedRef bytes = OwnedRef::Steal(converted);
  return std::string(PyBytes_AS_STRING(bytes.get()),
                     static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

std::string IntText(PyObject* obj) {
  OwnedRef index = OwnedRef::Steal(PyNumber_Index(obj));
  OwnedRef text = index ? OwnedRef::Steal(PyObject_Str(index.get())) : OwnedRef();
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return utf8;
}

}  // namespace tarndb::py
