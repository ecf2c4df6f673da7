#include "bindings/common/results.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>

#include "bindings/common/errors.h"
#include "bindings/common/py_ref.h"
#include "core/reader/key_text.h"

namespace tarndb::py {
namespace {

bool IsAscii(const unsigned char* p, size_t n) {
  uint64_t any = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    any |= w;
  }
  for (; i < n; ++i) any |= p[i];
  return (any & 0x8080808080808080ull) == 0;
}

}  // namespace

OwnedRef KeyText(KeyView key) {
  if (IsAscii(key.data, key.size)) {
    PyObject* s = Made(PyUnicode_New(static_cast<Py_ssize_t>(key.size), 127));
    if (key.size) std::memcpy(PyUnicode_DATA(s), key.data, key.size);
    return OwnedRef::Steal(s);
  }
  // Decode into code points, then fill a str of the narrowest kind. Keys
  // are at most 65,535 bytes; most fit the buffer on the stack.
  char32_t small[256];
  std::unique_ptr<char32_t[]> large;
  char32_t* cps = small;
  if (key.size > std::size(small)) {
    large = std::make_unique_for_overwrite<char32_t[]>(key.size);
    cps = large.get();
  }
  char32_t top;
  const size_t count = DecodeKeyText(key.data, key.size, cps, &top);
  PyObject* s = Made(PyUnicode_New(static_cast<Py_ssize_t>(count), static_cast<Py_UCS4>(top)));
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
      std::copy(cps, cps + count, PyUnicode_1BYTE_DATA(s));
      break;
    case PyUnicode_2BYTE_KIND:
      std::copy(cps, cps + count, PyUnicode_2BYTE_DATA(s));
      break;
    default:
      std::copy(cps, cps + count, PyUnicode_4BYTE_DATA(s));
      break;
  }
  return OwnedRef::Steal(s);
}

OwnedRef NewBytes(const uint8_t* data, size_t n) {
  return OwnedRef::Steal(Made(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(n))));
}

OwnedRef NewStr(std::string_view text) {
  return OwnedRef::Steal(
      Made(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
}

OwnedRef NewPair(OwnedRef first, OwnedRef second) {
  PyObject* t = Made(PyTuple_New(2));
  PyTuple_SET_ITEM(t, 0, first.release());
  PyTuple_SET_ITEM(t, 1, second.release());
  // A pair of a str and a bytes can never be part of a reference cycle; the
  // collector would find that out itself at its next pass over young
  // objects, but listings make millions of pairs at once.
  PyObject_GC_UnTrack(t);
  return OwnedRef::Steal(t);
}

}  // namespace tarndb::py
