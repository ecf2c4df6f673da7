// TruncationGuard: reads from a mapped file that was cut short while it was
// mapped raise an error instead of killing the process.
//
// Replacing a store file in place (truncating or rewriting it) while a
// reader has it mapped makes the reader's next access past the new end a
// SIGBUS, which ends the process. For the mappings registered here, a
// process-wide SIGBUS handler instead maps a page of zeros over the page
// that faulted, marks the mapping damaged and lets the access go on; the
// reader checks the mark after each call and reports the damage instead of
// what it read. Any other SIGBUS (a fault elsewhere, or one sent by kill or
// raise) goes to the handler that was installed before (faulthandler's,
// say), or takes the default action, as it would without the guard.
//
// A handler installed after the guard's would see the faults first; the
// guard takes the front again whenever a mapping is registered and when
// TakeFront is called (the package does after faulthandler.enable()).
// However many mappings are registered, each is watched.
#ifndef TARNDB_CORE_READER_TRUNCATION_GUARD_H_
#define TARNDB_CORE_READER_TRUNCATION_GUARD_H_

#include <cstddef>

namespace tarndb::truncation_guard {

// Install the SIGBUS handler in front of whatever handles SIGBUS now.
void TakeFront();
// Watch [base, base + length) (and take the front). Returns a handle for
// Damaged and Unregister, or -1 when no memory was left for the registry
// (the mapping then goes unwatched).
int Register(const void* base, size_t length);
// Stop watching; call before unmapping.
void Unregister(int handle);
// Whether a read in the mapping faulted since it was registered.
bool Damaged(int handle);

}  // namespace tarndb::truncation_guard

#endif  // TARNDB_CORE_READER_TRUNCATION_GUARD_H_
