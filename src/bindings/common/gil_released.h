// GilReleased: the interpreter lock released for a scope, around core calls
// that touch no Python object (a sort, a write, an fsync, a lock wait); and
// GilHeld, its inverse for callbacks made meanwhile.
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

// The interpreter lock taken back for a scope by a thread that gave it up
// (a core callback reporting progress), and given up again on every way out.
class GilHeld {
 public:
  GilHeld() : state_(PyGILState_Ensure()) {}
  ~GilHeld() { PyGILState_Release(state_); }
  GilHeld(const GilHeld&) = delete;
  GilHeld& operator=(const GilHeld&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace tarndb::py

#endif  // TARNDB_BINDINGS_COMMON_GIL_RELEASED_H_
