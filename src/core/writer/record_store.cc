#include "core/writer/record_store.h"

#include <errno.h>

#include <string>
#include <utility>

#include "core/format/crc32.h"
#include "core/format/layout.h"
#include "core/writer/temp_path.h"

namespace tarndb {

RecordStore::RecordStore(RecordPlace place, const MemoryBudget& budget, std::string spill_dir,
                         std::string target)
    : place_(place),
      budget_(budget),
      spill_dir_(std::move(spill_dir)),
      target_(std::move(target)),
      positions_(spill_dir_, budget.position_chunk()) {}

uint64_t RecordStore::data_end() const {
  if (place_ == RecordPlace::kMemory) return kHeaderSize + arena_.size();
  return out_ != nullptr ? out_->end() : kHeaderSize;
}

uint32_t RecordStore::data_crc() const { return out_ != nullptr ? out_->crc() : 0; }

Result<std::unique_ptr<SpillFile>> CreateDataFile(const std::string& target,
                                                  const std::string& spill_dir) {
  const std::string data_dir = target.empty() ? std::string() : ContainingDir(target);
  Result<SpillFile> made = Error::Other("");
  bool in_target_dir = false;
  if (!data_dir.empty()) {
    made = SpillFile::Create(data_dir, "data file");
    in_target_dir = made.ok();
    // Interrupted (a signal handler raised): stop, do not try elsewhere.
    if (!made.ok() && made.error().sys_errno() == EINTR) return std::move(made.error());
  }
  // Where the target's directory takes no file, spill there instead: the
  // build reports what is wrong with the target.
  if (data_dir.empty() || !made.ok()) made = SpillFile::Create(spill_dir, "data file");
  if (!made.ok()) return std::move(made.error());
  auto file = std::make_unique<SpillFile>(std::move(made.value()));
  file->WriteBehind();  // a build syncs it
  if (in_target_dir) file->set_name(target);
  return file;
}

Status RecordStore::EnsureDataFile() {
  if (data_ != nullptr && !published_) return OkStatus();
  Result<std::unique_ptr<SpillFile>> made = CreateDataFile(target_, spill_dir_);
  if (!made.ok()) return std::move(made.error());
  std::unique_ptr<SpillFile> file = std::move(made.value());
  uint64_t end = kHeaderSize;
  uint32_t crc = 0;
  if (data_ != nullptr) {
    // The last build published the data file: go on in a copy, and never
    // write to the published one again.
    end = out_->end();
    crc = out_->crc();
    if (Status s = CopyRange(data_->fd(), 0, file->fd(), 0, end, file->name()); !s.ok()) return s;
  }
  out_ = std::make_unique<Appender>(file.get(), end, budget_.io_buffer(), crc);
  data_ = std::move(file);
  published_ = false;
  return OkStatus();
}

Result<uint64_t> RecordStore::Add(const uint8_t* payload, size_t n, const uint32_t* known_crc) {
  if (n > kMaxObjectLength) {
    return Error::Other("object of " + std::to_string(n) +
                        " bytes exceeds the 4294967295-byte limit");
  }
  if (positions_.size() >= kMaxCount) return Error::Other("too many objects (limit 4294967295)");
  if (place_ == RecordPlace::kDataFile) {
    if (Status s = EnsureDataFile(); !s.ok()) return std::move(s.error());
  }
  // Make room before changing anything, so that a failure leaves the store
  // as it was.
  if (Status s = positions_.Reserve(); !s.ok()) return std::move(s.error());
  uint8_t head[kRecordHeadSize];
  const uint32_t crc = known_crc != nullptr ? *known_crc : crc32::Value(payload, n);
  RecordHead{static_cast<uint32_t>(n), crc}.EncodeTo(head);
  const uint64_t pos = data_end();
  if (place_ == RecordPlace::kMemory) {
    arena_.Reserve(sizeof head + n);
    arena_.Append(head, sizeof head);
    arena_.Append(payload, n);
  } else if (Status s = out_->AppendPair(head, sizeof head, payload, n, &crc); !s.ok()) {
    return std::move(s.error());
  }
  const uint64_t id = positions_.size();
  positions_.Append(pos);
  return id;
}

Status RecordStore::FlushDataFile() {
  if (Status s = EnsureDataFile(); !s.ok()) return s;
  return out_->Flush();
}

void RecordStore::NameDataFileFor(const std::string& target) {
  data_->set_name(data_->dir() == ContainingDir(target) ? target : std::string());
}

void RecordStore::Clear() {
  out_.reset();
  data_.reset();
  arena_ = ChunkedArena();
  positions_ = PositionTable(spill_dir_, budget_.position_chunk());
  published_ = false;
}

}  // namespace tarndb
