// Writer::Build: turns the writer's state into a store file and publishes
// it. The index section is generated from the sorted keys in pieces as it
// is written, so a build needs little memory beyond the writer's own; both
// sections are checksummed on their way to the file, and the header, which
// holds the checksum, is written last into the 40 bytes left for it.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "core/common/posix.h"
#include "core/format/crc32.h"
#include "core/format/layout.h"
#include "core/writer/build_tail.h"
#include "core/writer/publish.h"
#include "core/writer/temp_file.h"
#include "core/writer/writer.h"

namespace tarndb {
namespace {

// A build's temporary file, written front to back with write(2) (its
// position is where the next bytes go); the header goes to offset 0 last.
class DescriptorOut : public AppendTarget {
 public:
  static constexpr size_t kBuffer = 8192;

  DescriptorOut(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

  Status Put(const uint8_t* data, size_t n, uint64_t, bool flush) const override {
    return WriteAll(fd_, data, n,
                    flush ? "failed to write the buffered data" : "failed to write whole buffer",
                    path_);
  }
  // Leave room for the header: the records start at 40.
  Status SkipHeader() const {
    if (::lseek(fd_, kHeaderSize, SEEK_SET) < 0) return IoError("", errno, path_);
    return OkStatus();
  }
  Status WriteHeader(const uint8_t* header) const {
    for (size_t done = 0; done < kHeaderSize;) {
      const ssize_t w = ::pwrite(fd_, header + done, kHeaderSize - done, static_cast<off_t>(done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return IoError("", errno, path_);
      if (w == 0) return Error::Io("failed to write whole buffer", 0, path_);
      done += static_cast<size_t>(w);
    }
    return OkStatus();
  }

 private:
  int fd_;
  std::string path_;
};

}  // namespace

LayerSections Writer::NewLayerSections() const {
  const bool filter = opt_.filter || has_tombstones_;
  return LayerSections(has_tombstones_, filter, filter ? spilled_entries_ + keys_.size() : 0);
}

HashKey Writer::Seed() const { return opt_.seed ? *opt_.seed : HashKey::FromRandomSource(); }

Status Writer::CheckBuildLimits() const {
  // The extension record counts against the object limit like any other.
  if (has_extension() && object_count() >= kMaxCount) {
    return Error::Other(opt_.extension ? "too many objects for a hash index (limit 4294967294)"
                                       : "too many objects (limit 4294967294)");
  }
  return OkStatus();
}

std::vector<uint8_t> Writer::Header(uint64_t data_end, uint32_t data_crc,
                                    const TailFigures& tail) const {
  StoreHeader header;
  header.num_keys = static_cast<uint32_t>(tail.num_keys);
  header.num_objects = static_cast<uint32_t>(object_count() + (tail.ext_bytes != 0 ? 1 : 0));
  header.index_offset = data_end + tail.ext_bytes;
  header.file_crc32 = crc32::Combine(data_crc, tail.crc, tail.bytes);
  std::vector<uint8_t> bytes(kHeaderSize);
  header.EncodeTo(bytes.data());
  return bytes;
}

Result<BuildFigures> Writer::Build(std::string_view path) {
  if (Status s = CheckOpen(); !s.ok()) return std::move(s.error());
  const std::string target(path);
  const bool in_memory = opt_.records == RecordPlace::kMemory;
  // Before anything is written: what the build would replace.
  Result<TargetState> state = InspectTarget(target, /*refuse_directory=*/!in_memory);
  if (!state.ok()) return std::move(state.error());
  if (keys_.pending() != 0) keys_.Flush();
  if (Status s = CheckBuildLimits(); !s.ok()) return std::move(s.error());
  if (in_memory) return BuildFromMemory(target, state.value().mode);
  return BuildDataFile(target, state.value().mode);
}

Result<BuildFigures> Writer::BuildFromMemory(const std::string& target,
                                             std::optional<mode_t> mode) {
  Result<NamedTempFile> made = NamedTempFile::Create(target, mode);
  if (!made.ok()) return std::move(made.error());
  const NamedTempFile& tmp = made.value();
  const DescriptorOut file(tmp.fd(), tmp.path());
  LayerSections layer = NewLayerSections();
  TailInput in{&records_, opt_.extension, &sections_, Seed(), DescriptorOut::kBuffer};
  in.layer = &layer;
  uint32_t data_crc = 0;
  TailFigures tail;
  Status s = file.SkipHeader();
  if (s.ok()) {
    Appender data(&file, kHeaderSize, DescriptorOut::kBuffer);
    records_.ForEachChunk([&](const uint8_t* p, size_t n) {
      if (s.ok()) s = data.Append(p, n);
    });
    if (s.ok()) s = data.Flush();
    data_crc = data.crc();
  }
  if (s.ok()) {
    Appender out(&file, records_.data_end(), DescriptorOut::kBuffer);
    s = AppendTail(keys_, in, &out, &tail);
  }
  if (s.ok()) s = file.WriteHeader(Header(records_.data_end(), data_crc, tail).data());
  if (s.ok()) s = SyncFd(tmp.fd(), "", tmp.path());
  if (!s.ok()) {
    // What the file holds is incomplete, or after a failed fsync cannot be
    // trusted: keep the name (the next build reuses it) but not the space.
    tmp.Empty();
    return std::move(s.error());
  }
  if (Status r = tmp.RenameOver(target); !r.ok()) return std::move(r.error());
  return BuildFigures{object_count(), tail.num_keys, records_.data_end() + tail.bytes};
}

Result<BuildFigures> Writer::BuildDataFile(const std::string& target, std::optional<mode_t> mode) {
  if (Status s = records_.FlushDataFile(); !s.ok()) return DataFailure(std::move(s.error()));
  // The data file becomes the store when it lies in the target's directory.
  records_.NameDataFileFor(target);
  const SpillFile& data = records_.data_file();
  const uint64_t data_end = records_.data_end();
  // Whatever goes wrong from here, the data file is cut back to its data,
  // unless it was given a name: then it is no longer ours to change.
  struct CutBack {
    const SpillFile& file;
    uint64_t end;
    bool armed = true;
    ~CutBack() {
      if (armed) (void)file.Truncate(end);
    }
  } cut{data, data_end};

  LayerSections layer = NewLayerSections();
  TailInput in{&records_, opt_.extension, &sections_, Seed(), budget_.io_buffer()};
  in.layer = &layer;
  TailFigures tail;
  if (runs_.empty()) {
    Appender out(&data, data_end, budget_.io_buffer());
    if (Status s = AppendTail(keys_, in, &out, &tail); !s.ok()) return std::move(s.error());
  } else {
    if (Status s = SpillKeys(); !s.ok()) return std::move(s.error());
    MergeInput merge{&runs_, opt_.unique_keys,
                     [this](KeyView key, uint32_t first, uint32_t again) {
                       NoteRepeat(key, first, again);
                     },
                     budget_.merge(), opt_.spill_dir,
                     [this] { return opt_.unique_keys && repeat_.has_value(); }};
    if (Status s = WriteTailFromRuns(merge, in, data, &tail); !s.ok()) return std::move(s.error());
  }
  if (opt_.unique_keys) {
    TakeMapRepeat();
    if (repeat_) return Error::DuplicateKey(repeat_->key, repeat_->first_id, repeat_->repeat_id);
  }
  if (tail.num_keys > kMaxCount) return Error::Other("too many keys (limit 4294967295)");
  if (Status s = data.WriteAt(Header(data_end, records_.data_crc(), tail).data(), kHeaderSize, 0);
      !s.ok()) {
    return std::move(s.error());
  }
  if (Status s = StopIfInterrupted(target); !s.ok()) return std::move(s.error());
  if (Status s = SyncFd(data.fd(), "sync " + data.role() + ": ", data.name()); !s.ok()) {
    if (s.error().sys_errno() == EINTR) return std::move(s.error());  // stopped, not failed
    // After a failed fsync the file's pages may be lost: nothing in it can
    // be trusted any more.
    cut.armed = false;
    return CloseWith(std::move(s.error()));
  }
  const uint64_t file_size = data_end + tail.bytes;
  bool named = false;
  Status published = PublishFile(data, file_size, target, mode, &named);
  if (named) {
    records_.DataFilePublished();
    cut.armed = false;
  }
  if (!published.ok()) return std::move(published.error());
  return BuildFigures{object_count(), tail.num_keys, file_size};
}

}  // namespace tarndb
