// Writer::Build: turns the writer's state into a store file and publishes it
// atomically.
//
// The data section already exists byte for byte in the writer's record
// arena. The index section is generated from the sorted keys in pieces as
// it is written, so a build needs little memory beyond the writer's own.
// Both sections are checksummed on their way to the file, and the header,
// which holds the checksum, is written last into the 40 bytes left for it.
// Publishing: write a fresh, locked temporary file beside the target, fsync
// it, rename it over the target, then fsync the directory so that the
// rename itself survives a crash; the lock is held throughout. A target
// that is not a regular file (or a symbolic link) is refused before
// anything is written, and the new file takes the target's permission
// bits. The rename is the point of no return: an interruption (a signal
// handler that raised) stops the build before it, never after.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/common/posix.h"
#include "core/common/unique_fd.h"
#include "core/format/coding.h"
#include "core/format/crc32.h"
#include "core/format/layout.h"
#include "core/writer/extension_builder.h"
#include "core/writer/fd_writer.h"
#include "core/writer/key_sort.h"
#include "core/writer/publish.h"
#include "core/writer/temp_file.h"
#include "core/writer/temp_path.h"
#include "core/writer/writer.h"

namespace tarndb {
namespace {

// Holds the largest entry (2 + 65,535 + 8 bytes) with room to batch many.
constexpr size_t kIndexScratchSize = size_t{128} << 10;

// Generate the index section in order and hand it to sink in pieces of up
// to kIndexScratchSize bytes. Stops at the first failing sink call.
template <typename Sink>
Status EmitIndex(const KeyMap& keys, const KeyOrder& order, const std::vector<uint64_t>& record_pos,
                 Sink&& sink) {
  std::vector<uint8_t> scratch(kIndexScratchSize);
  size_t used = 0;
  const size_t n = order.size();
  for (size_t i = 0; i < n; ++i) {
    // Sorted order visits the entries at random: fetch ahead, the entry
    // first, then its key and its object's position.
    if (i + 16 < n) keys.PrefetchEntry(order[i + 16]);
    if (i + 8 < n) {
      keys.PrefetchKey(order[i + 8]);
      __builtin_prefetch(&record_pos[keys.ObjectId(order[i + 8])]);
    }
    const uint32_t e = order[i];
    const uint8_t* stored = keys.StoredKey(e);
    const size_t stored_len = 2 + size_t{LoadBE16(stored)};
    if (kIndexScratchSize - used < stored_len + 8) {
      if (Status s = sink(scratch.data(), used); !s.ok()) return s;
      used = 0;
    }
    std::copy(stored, stored + stored_len, scratch.data() + used);
    StoreBE64(scratch.data() + used + stored_len, kDataOffset + record_pos[keys.ObjectId(e)]);
    used += stored_len + 8;
  }
  return used ? sink(scratch.data(), used) : OkStatus();
}

}  // namespace

std::unique_ptr<ExtensionBuilder> Writer::MakeExtension(const KeyOrder& order) const {
  uint64_t index_size = 0;
  for (size_t i = 0; i < order.size(); ++i) index_size += kEntryOverhead + keys_.Key(i).size;
  auto ext = std::make_unique<ExtensionBuilder>(
      order.size(), index_size, kDataOffset + records_.size(), HashKey::FromRandomSource());
  uint64_t pos = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    if (i + 8 < order.size()) keys_.PrefetchKey(order[i + 8]);
    const uint32_t e = order[i];
    const KeyView key = keys_.Key(e);
    ext->Add(key, pos, kDataOffset + record_pos_[keys_.ObjectId(e)]);
    pos += kEntryOverhead + key.size;
  }
  ext->Finish();
  return ext;
}

Result<uint64_t> Writer::WriteAndPublish(const std::string& tmp, std::string_view path,
                                         const KeyOrder& order, const ExtensionBuilder* ext,
                                         std::optional<mode_t> mode) const {
  Result<UniqueFd> opened = CreateLockedTemp(tmp, mode);
  if (!opened.ok()) return std::move(opened.error());
  // Held, and with it the lock, until the rename is durable; it closes on
  // return. A failing close is ignored: the data is already synced.
  const UniqueFd fd = std::move(opened.value());

  uint32_t crc = 0;
  uint64_t body_size = 0;
  FdWriter out(fd.get(), tmp);
  const uint8_t placeholder[kHeaderSize] = {};
  Status s = out.Write(placeholder, kHeaderSize);
  const auto write_body = [&](const uint8_t* p, size_t n) {
    crc = crc32::Extend(crc, p, n);
    body_size += n;
    return out.Write(p, n);
  };
  records_.ForEachChunk([&](const uint8_t* p, size_t n) {
    if (s.ok()) s = write_body(p, n);
  });
  uint64_t ext_size = 0;
  if (ext != nullptr && s.ok()) {
    // One more record, named by no key: its payload's CRC first, then the bytes.
    ext_size = kRecordHeadSize + ext->payload_size();
    uint32_t payload_crc = 0;
    (void)ext->Emit([&](const uint8_t* p, size_t n) {
      payload_crc = crc32::Extend(payload_crc, p, n);
      return OkStatus();
    });
    uint8_t head[kRecordHeadSize];
    RecordHead{static_cast<uint32_t>(ext->payload_size()), payload_crc}.EncodeTo(head);
    s = write_body(head, sizeof head);
    if (s.ok()) s = ext->Emit(write_body);
  }
  if (s.ok()) s = EmitIndex(keys_, order, record_pos_, write_body);
  if (s.ok()) s = out.Flush();
  if (s.ok()) {
    StoreHeader header;
    header.num_keys = static_cast<uint32_t>(keys_.size());
    header.num_objects = static_cast<uint32_t>(record_pos_.size() + (ext != nullptr ? 1 : 0));
    header.index_offset = kHeaderSize + records_.size() + ext_size;
    header.file_crc32 = crc;
    uint8_t bytes[kHeaderSize];
    header.EncodeTo(bytes);
    s = WriteAllAt(fd.get(), bytes, kHeaderSize, 0, tmp);
  }
  if (s.ok()) s = SyncFd(fd.get(), "", tmp);
  if (!s.ok()) {
    // What the file holds is incomplete, or after a failed fsync cannot be
    // trusted: keep the name (the next build reuses it) but not the space.
    while (::ftruncate(fd.get(), 0) != 0 && errno == EINTR) {
    }
    return std::move(s.error());
  }
  // The file is complete; it stays under its temporary name if the build
  // stops here.
  if (Status stop = StopIfInterrupted(tmp); !stop.ok()) return std::move(stop.error());
  const std::string target(path);
  if (Result<TargetState> now = InspectTarget(target, /*refuse_directory=*/false); !now.ok()) {
    return std::move(now.error());
  }
  if (::rename(tmp.c_str(), target.c_str()) != 0) return IoError("rename: ", errno, target);
  if (Status synced = SyncDir(ContainingDir(tmp)); !synced.ok()) return std::move(synced.error());
  return kHeaderSize + body_size;
}

Result<BuildFigures> Writer::Build(std::string_view path, const BuildOptions& options) {
  if (keys_.pending() != 0) keys_.Flush();
  const std::string tmp = TempPathFor(path);
  // Refused before anything is written; a directory is left to the rename,
  // which refuses it (and leaves the finished temporary file).
  Result<TargetState> target = InspectTarget(std::string(path), /*refuse_directory=*/false);
  if (!target.ok()) return std::move(target.error());
  const KeyOrder order(keys_);
  // The extension record counts against the object limit like any other.
  if (options.extension && record_pos_.size() >= kMaxCount) {
    return Error::Other("too many objects for a hash index (limit 4294967294)");
  }
  const std::unique_ptr<ExtensionBuilder> ext = options.extension ? MakeExtension(order) : nullptr;
  if (ext != nullptr && ext->payload_size() > kMaxObjectLength) {
    return Error::Other("too many keys for a hash index in one object");
  }
  Result<uint64_t> written = WriteAndPublish(tmp, path, order, ext.get(), target.value().mode);
  if (!written.ok()) return std::move(written.error());
  return BuildFigures{record_pos_.size(), keys_.size(), written.value()};
}

}  // namespace tarndb
