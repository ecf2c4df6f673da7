// How _tarndb reports a core error: a built-in exception whose message
// starts with the kind's prefix. Corrupt and version -> RuntimeError, I/O
// -> OSError (one argument, so errno stays None), other -> ValueError.
#include "bindings/tarndb/core_error.h"

#include <string>

namespace tarndb::py {
namespace {

// The text a caller sees: the kind's prefix followed by the message.
std::string FullText(const Error& error) {
  switch (error.kind()) {
    case Error::Kind::kCorrupt:
      return "TarnCorruptError: " + error.message();
    case Error::Kind::kVersion:
      return "TarnVersionError: unsupported version " + std::to_string(error.version());
    case Error::Kind::kIo:
      return "TarnIOError: " + error.message();
    case Error::Kind::kOther:
    case Error::Kind::kDuplicateKey:  // (this module's writer takes repeats)
      break;
  }
  return "TarnError: " + error.message();
}

}  // namespace

extern const char kPanicClassName[] = "tarndb._tarndb.PanicException";

PyObject* SetCoreError(const Error& error) {
  if (InterruptedByPython(error)) return nullptr;  // KeyboardInterrupt, say
  PyObject* cls = PyExc_ValueError;
  switch (error.kind()) {
    case Error::Kind::kCorrupt:
    case Error::Kind::kVersion:
      cls = PyExc_RuntimeError;
      break;
    case Error::Kind::kIo:
      cls = PyExc_OSError;
      break;
    case Error::Kind::kOther:
    case Error::Kind::kDuplicateKey:
      break;
  }
  return RaiseWithText(cls, FullText(error));
}

}  // namespace tarndb::py
