// Compaction: the shared objects of each layer, then one merge that copies
// every live key's record into the new data file and writes its index
// entry to a spill file; then the extension block after the records, the
// index after the block, the header, and the publish.
#include "core/writer/compact.h"

#include <errno.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

#include "core/common/posix.h"
#include "core/format/crc32.h"
#include "core/format/hash_index.h"
#include "core/format/key_filter.h"
#include "core/format/layout.h"
#include "core/writer/extension_builder.h"
#include "core/writer/extension_external.h"
#include "core/writer/memory_budget.h"
#include "core/writer/publish.h"
#include "core/writer/record_copier.h"
#include "core/writer/record_store.h"
#include "core/writer/streamed_hash_index.h"
#include "core/writer/temp_file.h"

namespace tarndb {
namespace {

constexpr uint64_t kProgressEvery = 65536;
// Placing the hash index's slots: its write buffer, a read buffer for
// spilled items and the window of one bucket.
constexpr uint64_t kPlaceMemory = uint64_t{4} << 20;

// What the new file can hold at most: every entry of every layer, each
// with its record (a live key keeps the entry size it had in its layer).
StreamedHashBounds BoundsOf(const LayerStack& stack) {
  StreamedHashBounds b;
  b.data_end = kHeaderSize;
  for (size_t i = 0; i < stack.size(); ++i) {
    const Reader& r = stack.reader(i);
    b.keys += r.num_keys();
    b.index_size += r.file_size() - r.index_offset();
    b.data_end += r.index_offset() - kHeaderSize;
  }
  return b;
}

class Compaction {
 public:
  Compaction(const LayerStack& stack, const std::string& path, CompactOptions options)
      : stack_(stack),
        path_(path),
        opt_(std::move(options)),
        budget_(opt_.writer.memory_limit),
        spill_dir_(opt_.writer.spill_dir.empty() ? DefaultTempDir() : opt_.writer.spill_dir),
        seed_(opt_.writer.seed ? *opt_.writer.seed : HashKey::FromRandomSource()) {}

  Result<BuildFigures> Run();

 private:
  // The shared objects of every layer, the files and what the merge fills.
  Status Prepare();
  // Every live key: its record copied, its entry written, its hash kept.
  Status Merge();
  Status AppendEntry(KeyView key, uint64_t offset);
  // The extension block after the records, and the index after it.
  Status WriteTail();
  // The index from its spill file to at in the new file, written back.
  Status CopyIndex(uint64_t at) const;
  Result<BuildFigures> Publish(std::optional<mode_t> mode);

  const LayerStack& stack_;
  const std::string& path_;
  CompactOptions opt_;
  MemoryBudget budget_;
  std::string spill_dir_;
  HashKey seed_;
  std::unique_ptr<SpillFile> data_;
  std::unique_ptr<Appender> records_;
  SpillFile index_file_;
  std::unique_ptr<Appender> index_;
  std::unique_ptr<RecordCopier> copier_;
  std::optional<StreamedHashIndex> hash_;
  std::vector<uint64_t> samples_;
  std::optional<KeyFilterBuilder> filter_;
  uint64_t keys_ = 0;
  uint64_t data_end_ = 0;
  uint32_t data_crc_ = 0;
  uint64_t ext_bytes_ = 0;
  uint32_t ext_crc_ = 0;
};

Status Compaction::Prepare() {
  const uint64_t limit = budget_.limited() ? budget_.limit() : UINT64_MAX / 16;
  std::vector<SharedObjects> shared;
  uint64_t held = 0;
  for (size_t i = 0; i < stack_.size(); ++i) {
    Result<SharedObjects> found = SharedObjects::Find(stack_.reader(i), limit);
    if (!found.ok()) {
      return Error::Corrupt(stack_.reader(i).path() + ": " + found.error().message());
    }
    held += found.value().memory_bytes();
    shared.push_back(std::move(found.value()));
  }
  Result<std::unique_ptr<SpillFile>> made = CreateDataFile(path_, spill_dir_);
  if (!made.ok()) return std::move(made.error());
  data_ = std::move(made.value());
  // The data file starts each stretch's write-back once it is written: the
  // disk writes while the merge goes on, and the final fsync finds little left.
  records_ = std::make_unique<Appender>(data_.get(), kHeaderSize, budget_.io_buffer());
  Result<SpillFile> index = SpillFile::Create(spill_dir_, "spill file");
  if (!index.ok()) return std::move(index.error());
  index_file_ = std::move(index.value());
  index_ = std::make_unique<Appender>(&index_file_, 0, budget_.io_buffer());
  copier_ = std::make_unique<RecordCopier>(stack_, std::move(shared), records_.get());

  const StreamedHashBounds bounds = BoundsOf(stack_);
  if (opt_.writer.filter) filter_.emplace(bounds.keys);
  if (!opt_.writer.extension) return OkStatus();
  samples_.reserve(static_cast<size_t>(SamplesHeader::CountFor(bounds.keys)));
  // The items take what the rest leaves of the budget.
  const uint64_t taken = held + 2 * budget_.io_buffer() + kPlaceMemory +
                         samples_.capacity() * sizeof(uint64_t) +
                         (filter_ ? filter_->memory_bytes() : 0);
  const uint64_t pool = !budget_.limited()        ? UINT64_MAX / 4
                        : budget_.limit() > taken ? budget_.limit() - taken
                                                  : 0;
  hash_.emplace(bounds, pool, spill_dir_);
  return OkStatus();
}

Status Compaction::AppendEntry(KeyView key, uint64_t offset) {
  const size_t size = kEntryOverhead + key.size;
  if (uint8_t* room = index_->Room(size); room != nullptr) {
    EncodeIndexEntry(key, offset, room);
    index_->Commit(size);
    return OkStatus();
  }
  uint8_t entry[2 + kMaxKeyLength + 8];
  EncodeIndexEntry(key, offset, entry);
  return index_->Append(entry, size);
}

Status Compaction::Merge() {
  Result<LayerStack::Merge> begun = stack_.Begin(nullptr, /*fetch_records=*/true);
  if (!begun.ok()) return std::move(begun.error());
  LayerStack::Merge& m = begun.value();
  uint64_t n = 0;
  for (; !m.done(); ++n) {
    if (n % kProgressEvery == 0 && n != 0) {
      if (opt_.progress && !opt_.progress(n)) return IoError("", EINTR, path_);
      if (Status s = StopIfInterrupted(path_); !s.ok()) return s;
    }
    if (n >= kMaxCount) return Error::Other("too many keys (limit 4294967295)");
    Result<uint64_t> at = copier_->Copy(m.layer(), m.offset());
    if (!at.ok()) return std::move(at.error());
    const KeyView key = m.key();
    const uint64_t pos = index_->appended();
    if (Status s = AppendEntry(key, at.value()); !s.ok()) return s;
    if (hash_) {
      if ((n & ((uint64_t{1} << kSampleShift) - 1)) == 0) samples_.push_back(pos);
      if (Status s = hash_->Add(KeyHash(seed_, key), pos, at.value()); !s.ok()) return s;
    }
    if (filter_) filter_->Add(key);
    if (Status s = m.Next(); !s.ok()) return s;
  }
  keys_ = n;
  if (Status s = copier_->Finish(); !s.ok()) return s;
  if (Status s = records_->Flush(); !s.ok()) return s;
  data_end_ = records_->end();
  data_crc_ = records_->crc();
  return index_->Flush();
}

Status Compaction::CopyIndex(uint64_t at) const {
  const uint64_t n = index_->appended();
  Status s = CopyRange(index_file_.fd(), 0, data_->fd(), at, n, data_->name());
  if (s.ok()) data_->StartWriteback(at, n);
  return s;
}

Status Compaction::WriteTail() {
  std::vector<SectionBytes> sections = std::move(opt_.sections);
  if (filter_) sections.push_back(filter_->Finish());
  Result<WrittenRecord> block = WrittenRecord{};
  if (hash_) {
    HashIndexHeader header;
    header.codec = SlotCodec::For(index_->appended(), data_end_, /*wide_allowed=*/true);
    header.capacity = HashCapacityFor(keys_);
    header.num_entries = keys_;
    header.seed = seed_;
    header.index_size = index_->appended();
    // A table almost always has the fewest slots a writer stores: the
    // index goes after a block of that size first, so that the disk writes
    // it while the slots are placed, and moves only when runs passed the
    // last of them.
    const ExtensionLayout expected{
        true, kHashIndexHeaderSize + MinSlotCount(header.capacity) * header.codec.width,
        samples_.size(), &sections, header};
    const uint64_t index_at = data_end_ + kRecordHeadSize + expected.payload_size();
    if (Status s = CopyIndex(index_at); !s.ok()) return s;
    block = WriteHashRecord(
        header, samples_, &sections, kPlaceMemory,
        [this](HashIndexHeader* h, size_t, Appender* body) { return hash_->Place(h, body); },
        *data_, data_end_);
    if (!block.ok()) return std::move(block.error());
    ext_bytes_ = block.value().bytes;
    ext_crc_ = block.value().crc;
    hash_.reset();  // the items' memory
    return data_end_ + ext_bytes_ == index_at ? OkStatus() : CopyIndex(data_end_ + ext_bytes_);
  }
  if (!sections.empty()) {
    block = WriteSectionsRecord(&sections, *data_, data_end_, budget_.io_buffer());
    if (!block.ok()) return std::move(block.error());
    ext_bytes_ = block.value().bytes;
    ext_crc_ = block.value().crc;
  }
  return CopyIndex(data_end_ + ext_bytes_);
}

Result<BuildFigures> Compaction::Publish(std::optional<mode_t> mode) {
  const uint64_t index_size = index_->appended();
  const uint64_t objects = copier_->records() + (ext_bytes_ != 0 ? 1 : 0);
  if (objects > kMaxCount) return Error::Other("too many objects (limit 4294967294)");
  StoreHeader header;
  header.num_keys = static_cast<uint32_t>(keys_);
  header.num_objects = static_cast<uint32_t>(objects);
  header.index_offset = data_end_ + ext_bytes_;
  header.file_crc32 =
      crc32::Combine(crc32::Combine(data_crc_, ext_crc_, ext_bytes_), index_->crc(), index_size);
  uint8_t bytes[kHeaderSize];
  header.EncodeTo(bytes);
  if (Status s = data_->WriteAt(bytes, kHeaderSize, 0); !s.ok()) return std::move(s.error());
  if (Status s = StopIfInterrupted(path_); !s.ok()) return std::move(s.error());
  if (Status s = SyncFd(data_->fd(), "sync " + data_->role() + ": ", data_->name()); !s.ok()) {
    return std::move(s.error());
  }
  const uint64_t size = header.index_offset + index_size;
  bool named = false;
  if (Status s = PublishFile(*data_, size, path_, mode, &named); !s.ok()) {
    return std::move(s.error());
  }
  return BuildFigures{copier_->records(), keys_, size};
}

Result<BuildFigures> Compaction::Run() {
  // Before anything is written: what the compaction would replace.
  Result<TargetState> state = InspectTarget(path_, /*refuse_directory=*/true);
  if (!state.ok()) return std::move(state.error());
  if (Status s = Prepare(); !s.ok()) return std::move(s.error());
  if (Status s = Merge(); !s.ok()) return std::move(s.error());
  if (Status s = WriteTail(); !s.ok()) return std::move(s.error());
  index_file_.Close();
  return Publish(state.value().mode);
}

}  // namespace

Result<BuildFigures> Compact(const LayerStack& stack, const std::string& path,
                             CompactOptions options) {
  Compaction c(stack, path, std::move(options));
  return c.Run();
}

}  // namespace tarndb
