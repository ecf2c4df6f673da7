#include "bindings/common/call_frame.h"

#include <cstring>
#include <string>

#include "bindings/common/py_ref.h"

namespace tarndb::py {
namespace {

// Index of the parameter called `name`, or -1.
int FindParam(const Params& params, PyObject* name) {
  Py_ssize_t len;
  const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &len) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return -1;
  }
  for (int i = 0; i < params.count; ++i) {
    const char* p = params.names[i];
    if (std::strlen(p) == static_cast<size_t>(len) && std::memcmp(p, utf8, len) == 0) return i;
  }
  return -1;
}

bool TooManyPositional(const Params& params, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (params.required == params.count) {
    PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", params.fn,
                 params.count, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given",
                 params.fn, params.required, params.count, given, verb);
  }
  return false;
}

// Place one keyword argument; false with TypeError set when it names no
// parameter or a parameter that is already filled.
bool PlaceKeyword(const Params& params, PyObject* name, PyObject* value, PyObject** out) {
  const int i = FindParam(params, name);
  if (i < 0) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", params.fn, name);
    return false;
  }
  if (out[i] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", params.fn,
                 params.names[i]);
    return false;
  }
  out[i] = value;
  return true;
}

// "missing 2 required positional arguments: 'key' and 'obj_id'"; three or
// more names take commas and ", and" before the last.
bool CheckRequired(const Params& params, PyObject** out) {
  int missing[8];
  int n = 0;
  for (int i = 0; i < params.required; ++i) {
    if (out[i] == nullptr) missing[n++] = i;
  }
  if (n == 0) return true;
  std::string names;
  for (int k = 0; k < n; ++k) {
    if (k > 0) names += n == 2 ? " and " : (k == n - 1 ? ", and " : ", ");
    names += "'";
    names += params.names[missing[k]];
    names += "'";
  }
  PyErr_Format(PyExc_TypeError, "%s missing %d required positional argument%s: %s", params.fn, n,
               n == 1 ? "" : "s", names.c_str());
  return false;
}

}  // namespace

bool BindFastcallSlow(const Params& params, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** out) {
  if (nargs > params.count) return TooManyPositional(params, nargs);
  for (int i = 0; i < params.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!PlaceKeyword(params, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return CheckRequired(params, out);
}

bool BindTuple(const Params& params, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > params.count) return TooManyPositional(params, nargs);
  for (int i = 0; i < params.count; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!PlaceKeyword(params, name, value, out)) return false;
    }
  }
  return CheckRequired(params, out);
}

bool CheckReceiverSlow(PyObject* self, PyTypeObject* cls, const char* cls_name) {
  if (cls != nullptr && PyObject_TypeCheck(self, cls)) return true;
  if (cls == nullptr) return false;  // the class could not be created; its error is set
  OwnedRef text = OwnedRef::Steal(TypeMismatchText(self, cls_name, nullptr));
  if (text) PyErr_SetObject(PyExc_TypeError, text.get());
  return false;
}

ScopedUse::ScopedUse(AccessCounter& counter, Mode mode) : counter_(counter), mode_(mode) {
  if (mode == kExclusive) {
    Py_ssize_t expected = 0;
    taken_ = counter_.compare_exchange_strong(expected, -1, std::memory_order_acquire);
    if (!taken_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return;
  }
  Py_ssize_t current = counter_.load(std::memory_order_relaxed);
  while (current != -1) {
    if (counter_.compare_exchange_weak(current, current + 1, std::memory_order_acquire)) {
      taken_ = true;
      return;
    }
  }
  PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
}

ScopedUse::~ScopedUse() {
  if (!taken_) return;
  if (mode_ == kExclusive) {
    counter_.store(0, std::memory_order_release);
  } else {
    counter_.fetch_sub(1, std::memory_order_release);
  }
}

}  // namespace tarndb::py
