// Publishing: the one way a finished file gets its target's name, for every
// kind of file a writer or the package publishes (a store built in place, a
// streamed data file, a copy of one, a manifest).
//
// Builders of one target take turns on an exclusive flock of the temporary
// file beside it (see temp_file.h). A file without a name (made with
// O_TMPFILE in the target's directory) is written and synced while nobody
// can see it; only then does it take the lock on its own descriptor, get
// the temporary name (replacing a stale or another builder's finished
// temporary file, after waiting for that builder's lock), is renamed over
// the target, and the directory is synced. A builder that opened the
// temporary name meanwhile waits for the lock and then finds the name moved
// on, so it starts again and never writes into a published file. A file
// that cannot be linked (another file system) is first copied into a new
// unnamed file in the target's directory, so that no name ever shows an
// incomplete file; only where unnamed files cannot be made at all does the
// copy go to a temporary file named from its creation.
//
// The low-level module's build writes its temporary file under its name
// from the start (NamedTempFile): created exclusively, without following
// links, locked, and renamed over the target once complete.
//
// The rename is the point of no return. Before it, a target that is not a
// regular file is refused, an interruption stops the publish (a signal
// handler raised: the error has errno EINTR), and a failure takes the
// temporary name away again (NamedTempFile keeps its file). After it the
// publish completes: the directory sync is not interrupted. A file that
// was given a name stays as it is from then on: its publisher never
// changes it again, whatever happens to the name afterwards.
#ifndef TARNDB_CORE_WRITER_PUBLISH_H_
#define TARNDB_CORE_WRITER_PUBLISH_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/common/result.h"
#include "core/common/unique_fd.h"
#include "core/writer/spill_file.h"

namespace tarndb {

// Give the first size bytes of file (complete and synced) the name target,
// with the permission bits mode (when given). *named is set when file
// itself was given a name it still has (by the rename, or a temporary name
// that could not be taken away again): the caller must not change it any
// more. Fails with the I/O kind naming target ("link tmp: ...", "copy:
// ...", "rename: ...", "sync dir: ...").
Status PublishFile(const SpillFile& file, uint64_t size, std::string_view target,
                   std::optional<mode_t> mode, bool* named);

// Publish data[0, n) as the whole file path: a small file such as a
// manifest. The target is inspected first (InspectTarget, refusing a
// directory); the new file takes its permission bits.
Status PublishBytes(const uint8_t* data, size_t n, std::string_view path);

// The temporary file of a build that writes the whole store at once, named
// (TempPathFor) from its creation and locked until it is renamed.
class NamedTempFile {
 public:
  // Create it for target: "open tmp: {error}" (see CreateLockedTemp).
  static Result<NamedTempFile> Create(std::string_view target, std::optional<mode_t> mode);

  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }
  // Give up on a file whose contents cannot be trusted: keep its name (the
  // next build takes it over) but give its space back.
  void Empty() const;
  // Rename it over target and sync the directory: stops if interrupted
  // and refuses a target that became a device, FIFO or socket (a directory
  // is left to the rename, which refuses it), keeping the file in place.
  Status RenameOver(std::string_view target) const;

 private:
  NamedTempFile(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  UniqueFd fd_;  // held, and with it the lock, until the rename is durable
  std::string path_;
};

// fsync the directory that holds the new name: "sync dir: {error}". Used
// after the rename, so never stopped by an interruption.
Status SyncDir(const std::string& dir);

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_PUBLISH_H_
