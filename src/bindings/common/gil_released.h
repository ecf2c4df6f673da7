// GilReleased: the interpreter lock released for a scope, around core calls
// that touch no Python object (a sort, a write, an fsync, a lock wait).
#ifndef TARNDB_BINDINGS_COMMON_GIL_RELEASED_H_
#define TARNDB_BINDINGS_COMMON_GIL_RELEASED_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarndb::py {

// Releases the interpreter lock for its lifetime; the lock is taken back on
// every way out.
class GilReleased {
 public:
  GilReleased() : saved_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(saved_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* saved_;
};

}  // namespace tarndb::py

#endif  // TARNDB_BINDINGS_COMMON_GIL_RELEASED_H_
