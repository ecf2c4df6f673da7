// Argument converters: Python objects to the native values the core takes.
//
// Each converter returns its value or reports failure with a Python
// exception set. Conversions of parameters other than keys wrap a TypeError
// as "argument '{name}': ...".
#ifndef TARNDB_BINDINGS_TARNDB_CONVERT_H_
#define TARNDB_BINDINGS_TARNDB_CONVERT_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/format/key_order.h"

namespace tarndb::py {

// Key bytes from a `key` or `prefix` argument: the strict UTF-8 of a str,
// the bytes of a bytes or bytearray, or the items 0..255 of another
// sequence. Anything else fails with ValueError "key must be str or bytes".
// A str or bytes is viewed in place (both are immutable and outlive the
// call); a bytearray or sequence is copied, because Python code that runs
// while results are built could change or free it.
class KeyArg {
 public:
  bool Convert(PyObject* obj);
  KeyView view() const { return view_; }
  // A sequence longer than any key: only its first 65,536 items were read.
  bool too_long() const { return too_long_; }
  // Its length as it reports it (len()), or 0 when it reports none.
  size_t reported_size() const { return reported_size_; }

 private:
  bool FromSequence(PyObject* obj);

  KeyView view_;
  std::string owned_;
  bool too_long_ = false;
  size_t reported_size_ = 0;
};

// The contents of a bytes (or subclass) argument, viewed in place.
std::optional<std::string_view> ConvertBytes(PyObject* obj, const char* name);

// The strict UTF-8 text of a str (or subclass) argument, viewed in place.
// A str with a lone surrogate raises the interpreter's UnicodeEncodeError.
std::optional<std::string_view> ConvertPath(PyObject* obj, const char* name);

// True or False, or a NumPy boolean scalar by its truth value. nullptr
// (an omitted argument) means true.
std::optional<bool> ConvertFlag(PyObject* obj, const char* name);

// An int, or an object with __index__, in 0..2**64-1. A negative or too
// large value raises the interpreter's OverflowError unchanged.
std::optional<uint64_t> ConvertUnsigned(PyObject* obj, const char* name);

}  // namespace tarndb::py

#endif  // TARNDB_BINDINGS_TARNDB_CONVERT_H_
