// Arguments of the package's module: keys, raw values and object IDs.
//
// The package takes a key as str (its strict UTF-8) or as a bytes-like
// object (bytes, bytearray, memoryview), the same in every call that takes
// one; anything else is a TypeError naming the type. Raw values are any
// bytes-like object. Failures set a Python exception and return false.
#ifndef TARNDB_BINDINGS_STORE_KEYS_H_
#define TARNDB_BINDINGS_STORE_KEYS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "core/format/key_order.h"

namespace tarndb::py {

// Key bytes of one argument. A str or bytes is viewed in place (both are
// immutable and the caller holds them for the call); other bytes-like
// objects are copied, because Python code run later in the call could
// change them. A str holding a lone surrogate raises the interpreter's
// UnicodeEncodeError.
class StoreKey {
 public:
  bool Convert(PyObject* obj);
  KeyView view() const { return view_; }

 private:
  KeyView view_;
  std::string owned_;
};

// Load what converting keys[0, n) will read, for all of them at once: each
// key's header, then its length and first bytes. Keys made at different
// times lie anywhere in memory; converted one after the other, each would
// be a cache and TLB miss of its own, while loads that do not depend on
// each other overlap. (Software prefetches are not enough: they are
// dropped on a TLB miss.) The length is on the line after the type for
// pymalloc's 64-byte blocks (a bytes key of up to 16 bytes, a str of up to
// 15), which start 48 bytes into a line.
void TouchKeys(PyObject* const* keys, size_t n);

// The word of a bytes or str key that holds its length (0 for others): a
// load for passes that fetch many keys' lines at once.
inline uintptr_t KeyLengthWord(PyObject* key) {
  if (PyBytes_CheckExact(key)) return static_cast<uintptr_t>(PyBytes_GET_SIZE(key));
  if (PyUnicode_CheckExact(key)) return static_cast<uintptr_t>(PyUnicode_GET_LENGTH(key));
  return 0;
}

// A raw value: the bytes of a bytes-like object, held for the call.
class RawValue {
 public:
  RawValue() = default;
  RawValue(const RawValue&) = delete;
  RawValue& operator=(const RawValue&) = delete;
  ~RawValue() {
    if (held_) PyBuffer_Release(&view_);
  }
  // what names the value in the TypeError for anything not bytes-like.
  bool Convert(PyObject* obj, const char* what) {
    if (PyBytes_Check(obj)) {  // the common case, without the buffer protocol
      data_ = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj));
      size_ = static_cast<size_t>(PyBytes_GET_SIZE(obj));
      return true;
    }
    return ConvertBuffer(obj, what);
  }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  bool ConvertBuffer(PyObject* obj, const char* what);

  Py_buffer view_{};
  bool held_ = false;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// An object ID: an int (or an object with __index__). A value outside
// 0..2**64-1 is reported by the caller as out of range, so it comes back
// as nothing with no exception set; a non-integer raises TypeError.
bool ConvertObjectId(PyObject* obj, std::optional<uint64_t>* id);

// A path argument (str, bytes or os.PathLike) as the bytes the system
// takes; nullopt with an exception set on failure.
std::optional<std::string> PathText(PyObject* obj);

// The text form of an integer argument, for messages ("-1", "2**64").
std::string IntText(PyObject* obj);

}  // namespace tarndb::py

#endif  // TARNDB_BINDINGS_STORE_KEYS_H_
