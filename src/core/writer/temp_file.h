// Opening the temporary file of a build so that concurrent builders and
// files planted at the temporary path cannot corrupt what gets published.
#ifndef TARNDB_CORE_WRITER_TEMP_FILE_H_
#define TARNDB_CORE_WRITER_TEMP_FILE_H_

#include <string>

#include "core/common/result.h"
#include "core/common/unique_fd.h"

namespace tarndb {

// Open (creating if needed) the temporary file at tmp for writing, take an
// exclusive flock on it, make sure the path still names the locked file,
// refuse anything but a regular file with exactly one link, and truncate it
// (unless truncate is false: the caller only removes it).
//
// The descriptor must stay open, and so the lock held, until the file has
// been renamed into place and its directory synced. A builder waiting for
// the lock then finds the path gone or replaced and starts again on a fresh
// file, so builds of one target serialise and never mix their bytes.
// Symbolic links are not followed, and a FIFO cannot block the open. On file
// systems without flock the file is used unlocked.
//
// Fails with the I/O kind: "open tmp: {error}", or "open tmp: not a regular
// file with a single link".
Result<UniqueFd> OpenLockedTemp(const std::string& tmp, bool truncate = true);

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_TEMP_FILE_H_
