// Publishing a complete store file under its target path, in turn with
// every other builder of the same target.
//
// Builders take turns on an exclusive flock of the temporary file
// "<stem>.trnd.tmp" beside the target (see temp_file.h). A streaming writer
// holds no lock while it writes: its file has no name until it is complete
// and synced. Only then does it take the lock on its own file, give it the
// temporary name (replacing a stale or another builder's finished
// temporary file, after waiting for that builder's lock), rename it over
// the target and sync the directory. A builder that opened the temporary
// name meanwhile waits for the lock and then finds the name moved on, so it
// starts again and never writes into a published file.
#ifndef TARNDB_CORE_WRITER_PUBLISH_H_
#define TARNDB_CORE_WRITER_PUBLISH_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "core/common/result.h"
#include "core/writer/spill_file.h"

namespace tarndb {

// Give file (complete, synced, made unnamed in the target's directory) the
// name path as described above. When the file cannot be linked there
// (another file system, or linking unnamed files is not possible),
// *cannot_link is set and nothing has changed.
Status PublishByLink(const SpillFile& file, std::string_view path, bool* cannot_link);

// Copy the first size bytes of from_fd into the locked temporary file of
// path, sync it, rename it over path and sync the directory.
Status PublishByCopy(int from_fd, uint64_t size, std::string_view path);

// fsync the directory that holds the new name: "sync dir: {error}".
Status SyncDir(const std::string& dir);

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_PUBLISH_H_
