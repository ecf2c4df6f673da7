#include "bindings/tarndb/convert.h"

#include <algorithm>

#include "bindings/common/errors.h"
#include "bindings/common/py_ref.h"
#include "core/format/layout.h"

namespace tarndb::py {
namespace {

// A sequence's reported length only presizes the buffer; a length beyond
// any possible key must not make us allocate it.
constexpr Py_ssize_t kMaxPresize = 65536;

bool KeyTypeError() {
  // Whatever went wrong on the way is not reported, except what is not the
  // key's fault: an interruption (KeyboardInterrupt, SystemExit) or running
  // out of memory passes through unchanged.
  if (PyErr_Occurred() &&
      (PyErr_ExceptionMatches(PyExc_MemoryError) || !PyErr_ExceptionMatches(PyExc_Exception))) {
    return false;
  }
  PyErr_Clear();
  PyErr_SetString(PyExc_ValueError, "key must be str or bytes");
  return false;
}

inline KeyView ViewOf(const char* p, Py_ssize_t n) {
  return KeyView{reinterpret_cast<const unsigned char*>(p), static_cast<size_t>(n)};
}

// Interned attribute names, made once under the interpreter lock.
PyObject* InternedName(PyObject*& slot, const char* text) {
  if (slot == nullptr) slot = PyUnicode_InternFromString(text);
  return slot;
}

bool AttrEquals(PyObject* obj, PyObject* attr, const char* a, const char* b) {
  if (attr == nullptr) return false;
  OwnedRef value = OwnedRef::Steal(PyObject_GetAttr(obj, attr));
  if (!value || !PyUnicode_Check(value.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(value.get(), a) == 0 ||
         (b != nullptr && PyUnicode_CompareWithASCIIString(value.get(), b) == 0);
}

// numpy.bool_ (numpy.bool in NumPy 2) is recognised by its type's names,
// so NumPy need not be imported here.
bool IsNumpyBool(PyObject* obj) {
  static PyObject* module_attr = nullptr;
  static PyObject* name_attr = nullptr;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  return AttrEquals(type, InternedName(module_attr, "__module__"), "numpy", nullptr) &&
         AttrEquals(type, InternedName(name_attr, "__name__"), "bool_", "bool");
}

}  // namespace

bool KeyArg::Convert(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
    if (p == nullptr) return KeyTypeError();  // a lone surrogate
    view_ = ViewOf(p, n);
    return true;
  }
  if (PyBytes_Check(obj)) {
    view_ = ViewOf(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj));
    return true;
  }
  if (PyByteArray_Check(obj)) {
    owned_.assign(PyByteArray_AS_STRING(obj), static_cast<size_t>(PyByteArray_GET_SIZE(obj)));
    view_ = ViewOf(owned_.data(), static_cast<Py_ssize_t>(owned_.size()));
    return true;
  }
  if (PySequence_Check(obj)) return FromSequence(obj);
  return KeyTypeError();
}

bool KeyArg::FromSequence(PyObject* obj) {
  const Py_ssize_t hint = PyObject_Size(obj);
  if (hint < 0) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;  // interrupted
    PyErr_Clear();
  }
  owned_.clear();
  too_long_ = false;
  owned_.reserve(static_cast<size_t>(std::clamp<Py_ssize_t>(hint, 0, kMaxPresize)));
  OwnedRef it = OwnedRef::Steal(PyObject_GetIter(obj));
  if (!it) return KeyTypeError();
  while (OwnedRef item = OwnedRef::Steal(PyIter_Next(it.get()))) {
    const long v = PyLong_AsLong(item.get());
    if (v < 0 || v > 255) return KeyTypeError();  // also -1 with an error set
    owned_.push_back(static_cast<char>(v));
    // One byte past the longest key a store can hold is enough to know the
    // key fits none: stop, whatever the sequence still holds (it may be
    // endless). Lookups then find nothing; the writer refuses it.
    if (owned_.size() > kMaxKeyLength) {
      too_long_ = true;
      reported_size_ = hint > 0 ? static_cast<size_t>(hint) : 0;
      break;
    }
  }
  if (PyErr_Occurred()) return KeyTypeError();
  view_ = ViewOf(owned_.data(), static_cast<Py_ssize_t>(owned_.size()));
  return true;
}

std::optional<std::string_view> ConvertBytes(PyObject* obj, const char* name) {
  if (!PyBytes_Check(obj)) {
    RaiseArgumentTypeMismatch(name, obj, "bytes");
    return std::nullopt;
  }
  return std::string_view(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj)));
}

std::optional<std::string_view> ConvertPath(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) {
    RaiseArgumentTypeMismatch(name, obj, "str");
    return std::nullopt;
  }
  Py_ssize_t n;
  const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
  if (p == nullptr) return std::nullopt;  // UnicodeEncodeError, passed on as it is
  return std::string_view(p, static_cast<size_t>(n));
}

std::optional<bool> ConvertFlag(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_True) return true;
  if (obj == Py_False) return false;
  if (!IsNumpyBool(obj)) {
    RaiseArgumentTypeMismatch(name, obj, "bool");
    return std::nullopt;
  }
  PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
  if (nb == nullptr || nb->nb_bool == nullptr) {
    PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                 reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    PrefixArgumentError(name);
    return std::nullopt;
  }
  const int truth = nb->nb_bool(obj);
  if (truth < 0) {
    PrefixArgumentError(name);
    return std::nullopt;
  }
  return truth != 0;
}

std::optional<uint64_t> ConvertUnsigned(PyObject* obj, const char* name) {
  OwnedRef index;
  if (!PyLong_Check(obj)) {
    index = OwnedRef::Steal(PyNumber_Index(obj));
    if (!index) {
      PrefixArgumentError(name);
      return std::nullopt;
    }
    obj = index.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  return static_cast<uint64_t>(v);
}

}  // namespace tarndb::py
