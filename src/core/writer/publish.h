// Publishing a complete store file under its target path, in turn with
// every other builder of the same target.
//
// Builders take turns on an exclusive flock of the temporary file beside
// the target (FittingTempPathFor; see temp_file.h). A streaming writer
// holds no lock while it writes: its file has no name until it is complete
// and synced. Only then does it take the lock on its own file, give it the
// temporary name (replacing a stale or another builder's finished
// temporary file, after waiting for that builder's lock), rename it over
// the target and sync the directory. A builder that opened the temporary
// name meanwhile waits for the lock and then finds the name moved on, so it
// starts again and never writes into a published file.
//
// The rename is the point of no return. Before it, a target that is not a
// regular file is refused, an interruption stops the build (a signal
// handler raised: the error has errno EINTR), and any failure removes the
// temporary name again, leaving nothing behind. After it, the build
// completes: the directory sync is not interrupted.
#ifndef TARNDB_CORE_WRITER_PUBLISH_H_
#define TARNDB_CORE_WRITER_PUBLISH_H_

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/common/result.h"
#include "core/writer/spill_file.h"

namespace tarndb {

// Give file (complete, synced, made unnamed in the target's directory) the
// name path as described above, with the permission bits mode (when
// given). When the file cannot be linked there (another file system, or
// linking unnamed files is not possible), *cannot_link is set and nothing
// has changed.
Status PublishByLink(const SpillFile& file, std::string_view path, std::optional<mode_t> mode,
                     bool* cannot_link);

// Copy the first size bytes of from_fd into a fresh, locked temporary file
// for path (with the permission bits mode, when given), sync it, rename it
// over path and sync the directory.
Status PublishByCopy(int from_fd, uint64_t size, std::string_view path, std::optional<mode_t> mode);

// Publish data[0, n) as the whole file path, as PublishByLink does (or by
// copy where linking is not possible): a small file such as a manifest. The
// target is inspected first (InspectTarget, refusing a directory); the new
// file takes its permission bits. Errors name path.
Status PublishBytes(const uint8_t* data, size_t n, std::string_view path);

// fsync the directory that holds the new name: "sync dir: {error}". Used
// after the rename, so never stopped by an interruption.
Status SyncDir(const std::string& dir);

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_PUBLISH_H_
