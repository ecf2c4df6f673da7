#include "core/writer/stream_writer.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "core/common/posix.h"
#include "core/format/coding.h"
#include "core/format/crc32.h"
#include "core/format/layout.h"
#include "core/writer/extension_builder.h"
#include "core/writer/extension_external.h"
#include "core/writer/key_sort.h"
#include "core/writer/publish.h"
#include "core/writer/temp_file.h"
#include "core/writer/temp_path.h"

namespace tarndb {
namespace {

Error ExtensionTooLarge(const ExtensionBuilder& ext) {
  return Error::Other(ext.hash_index() ? "too many keys for a hash index in one object"
                                       : "extension sections too large for one object");
}

// Bytes per key that sorting a run (KeyOrder's records) and an in-memory
// hash table (up to 16-byte slots at load 0.8) take beside the key map.
constexpr uint64_t kSortBytesPerKey = sizeof(KeyOrder::Digit);
constexpr uint64_t kTableBytesPerKey = 20;

bool DiskFull(int errnum) { return errnum == ENOSPC || errnum == EDQUOT || errnum == EFBIG; }

}  // namespace

namespace {

StreamOptions WithDefaults(StreamOptions options) {
  if (options.spill_dir.empty()) options.spill_dir = DefaultTempDir();
  return options;
}

}  // namespace

StreamWriter::StreamWriter(StreamOptions options)
    : opt_(WithDefaults(std::move(options))),
      buffer_size_(
          std::clamp<uint64_t>(opt_.memory_limit / 16, uint64_t{64} << 10, uint64_t{1} << 20)),
      positions_(opt_.spill_dir, buffer_size_ / sizeof(uint64_t)),
      keys_(NewKeyMap()),
      runs_(opt_.spill_dir) {
  // What the data buffer, the position chunk and a run's write buffer
  // leave of the budget goes to the keys.
  const uint64_t fixed = 2 * buffer_size_ + std::max<uint64_t>(buffer_size_, kMinRunBuffer);
  key_budget_ = opt_.memory_limit > fixed ? opt_.memory_limit - fixed : opt_.memory_limit / 2;
}

KeyMap StreamWriter::NewKeyMap() const {
  KeyMap m;
  if (opt_.unique_keys) m.KeepFirst();
  return m;
}

Status StreamWriter::CheckOpen() const {
  if (closed_.empty()) return OkStatus();
  return Error::Other("this writer was closed by an earlier failure (" + closed_ +
                      "); start a new one");
}

Error StreamWriter::DataFailure(Error e) {
  if (e.kind() != Error::Kind::kIo || DiskFull(e.sys_errno())) return e;
  return CloseWith(std::move(e));
}

Error StreamWriter::CloseWith(Error e) {
  // The data file cannot be trusted: free everything.
  closed_ = e.message();
  out_.reset();
  data_.reset();
  positions_ = PositionTable(opt_.spill_dir, buffer_size_ / sizeof(uint64_t));
  runs_ = KeyRuns(opt_.spill_dir);
  keys_ = NewKeyMap();
  return Error::Io(e.message() + "; the writer is closed", e.sys_errno(), e.path());
}

Status StreamWriter::EnsureDataFile() {
  if (data_ != nullptr && !published_) return OkStatus();
  Result<SpillFile> made = Error::Other("");
  bool in_target_dir = false;
  if (!opt_.data_dir.empty()) {
    made = SpillFile::Create(opt_.data_dir, "data file");
    in_target_dir = made.ok();
    // Interrupted (a signal handler raised): stop, do not try elsewhere.
    if (!made.ok() && made.error().sys_errno() == EINTR) return std::move(made.error());
  }
  // Where the target's directory takes no file, spill there instead: the
  // build reports what is wrong with the target.
  if (opt_.data_dir.empty() || !made.ok()) made = SpillFile::Create(opt_.spill_dir, "data file");
  if (!made.ok()) return std::move(made.error());
  auto file = std::make_unique<SpillFile>(std::move(made.value()));
  if (in_target_dir && !opt_.target.empty()) file->set_name(opt_.target);
  uint64_t end = kHeaderSize;
  uint32_t crc = 0;
  if (data_ != nullptr) {
    // The last build published the data file: go on in a copy, and never
    // write to the published one again.
    end = out_->end();
    crc = out_->crc();
    if (Status s = CopyRange(data_->fd(), 0, file->fd(), 0, end, file->name()); !s.ok()) return s;
  }
  out_ = std::make_unique<Appender>(file.get(), end, buffer_size_, crc);
  data_ = std::move(file);
  published_ = false;
  return OkStatus();
}

Result<uint64_t> StreamWriter::AddObject(const uint8_t* payload, size_t n) {
  if (Status s = CheckOpen(); !s.ok()) return std::move(s.error());
  if (n > kMaxObjectLength) {
    return Error::Other("object of " + std::to_string(n) +
                        " bytes exceeds the 4294967295-byte limit");
  }
  if (positions_.size() >= kMaxCount) return Error::Other("too many objects (limit 4294967295)");
  if (Status s = EnsureDataFile(); !s.ok()) return std::move(s.error());
  if (Status s = positions_.Reserve(); !s.ok()) return std::move(s.error());
  uint8_t head[kRecordHeadSize];
  const uint32_t crc = crc32::Value(payload, n);
  RecordHead{static_cast<uint32_t>(n), crc}.EncodeTo(head);
  const uint64_t pos = out_->end();
  if (Status s = out_->AppendPair(head, sizeof head, payload, n, &crc); !s.ok()) {
    return DataFailure(std::move(s.error()));
  }
  const uint64_t id = positions_.size();
  positions_.Append(pos);
  return id;
}

bool StreamWriter::KeysOverBudget() const {
  const uint64_t n = keys_.size() + keys_.pending() + 1;
  const uint64_t at_build = n * (kSortBytesPerKey + (opt_.extension ? kTableBytesPerKey : 0));
  return keys_.memory_bytes() + std::max(keys_.growth_bytes(), at_build) > key_budget_;
}

void StreamWriter::NoteRepeat(KeyView key, uint64_t first_id, uint64_t repeat_id) {
  if (repeat_ && repeat_->repeat_id <= repeat_id) return;
  repeat_ = Repeat{std::vector<uint8_t>(key.data, key.data + key.size), first_id, repeat_id};
}

void StreamWriter::TakeMapRepeat() {
  KeyMap::Repeat r;
  std::vector<uint8_t> key;
  if (keys_.EarliestRepeat(&r, &key)) {
    NoteRepeat(KeyView{key.data(), key.size()}, r.first_id, r.repeat_id);
  }
}

Status StreamWriter::SpillKeys() {
  keys_.Flush();
  if (keys_.size() == 0) return OkStatus();
  {
    const KeyOrder order(keys_);
    if (Status s = runs_.Spill(keys_, order, buffer_size_); !s.ok()) return s;
  }
  TakeMapRepeat();
  keys_ = NewKeyMap();
  return OkStatus();
}

Status StreamWriter::AddKey(KeyView key, uint64_t obj_id, bool* spill_first) {
  if (Status s = CheckOpen(); !s.ok()) return s;
  if (Status s = Writer::CheckKeyLength(key.size); !s.ok()) return s;
  if (obj_id >= object_count()) {
    return Error::Other("obj_id " + std::to_string(obj_id) + " out of range (have " +
                        std::to_string(object_count()) + " objects)");
  }
  if (KeysOverBudget()) {
    if (spill_first != nullptr) {
      *spill_first = true;
      return OkStatus();
    }
    if (Status s = SpillKeys(); !s.ok()) return s;
  }
  keys_.Put(key, static_cast<uint32_t>(obj_id));
  counted_keys_.reset();
  return OkStatus();
}

Result<uint64_t> StreamWriter::KeyCount() {
  if (Status s = CheckOpen(); !s.ok()) return std::move(s.error());
  keys_.Flush();
  if (runs_.empty()) return uint64_t{keys_.size()};
  if (counted_keys_) return *counted_keys_;
  if (Status s = SpillKeys(); !s.ok()) return std::move(s.error());
  uint64_t n = 0;
  Status s = runs_.Merge(opt_.memory_limit / 2, opt_.unique_keys, nullptr, [&n](KeyView, uint32_t) {
    ++n;
    return OkStatus();
  });
  if (!s.ok()) return std::move(s.error());
  counted_keys_ = n;
  return n;
}

void StreamWriter::SetSection(SectionBytes section) {
  for (SectionBytes& s : sections_) {
    if (s.type == section.type && s.version == section.version) {
      s = std::move(section);
      return;
    }
  }
  sections_.push_back(std::move(section));
}

Status StreamWriter::WriteTailInMemory(uint64_t data_end, uint64_t* num_keys, uint64_t* ext_bytes,
                                       uint32_t* tail_crc, uint64_t* tail_bytes) {
  const KeyOrder order(keys_);
  const size_t n = order.size();
  Appender tail(data_.get(), data_end, buffer_size_);
  *ext_bytes = 0;
  if (has_extension()) {
    std::optional<ExtensionBuilder> ext;
    if (opt_.extension) {
      uint64_t index_size = 0;
      for (size_t i = 0; i < n; ++i) index_size += kEntryOverhead + keys_.Key(i).size;
      ext.emplace(n, index_size, data_end, opt_.seed ? *opt_.seed : HashKey::FromRandomSource(),
                  &sections_);
      uint64_t pos = 0;
      for (size_t i = 0; i < n; ++i) {
        if (i + 8 < n) keys_.PrefetchKey(order[i + 8]);
        const uint32_t e = order[i];
        const KeyView key = keys_.Key(e);
        ext->Add(key, pos, positions_[keys_.ObjectId(e)]);
        pos += kEntryOverhead + key.size;
      }
      ext->Finish();
    } else {
      ext.emplace(&sections_);
    }
    if (ext->payload_size() > kMaxObjectLength) return ExtensionTooLarge(*ext);
    if (Status s =
            ext->EmitRecord([&](const uint8_t* p, size_t len) { return tail.Append(p, len); });
        !s.ok()) {
      return s;
    }
    *ext_bytes = kRecordHeadSize + ext->payload_size();
  }
  for (size_t i = 0; i < n; ++i) {
    if (i + 16 < n) keys_.PrefetchEntry(order[i + 16]);
    if (i + 8 < n) {
      keys_.PrefetchKey(order[i + 8]);
      positions_.Prefetch(keys_.ObjectId(order[i + 8]));
    }
    const uint32_t e = order[i];
    const uint8_t* stored = keys_.StoredKey(e);
    const size_t len = 2 + size_t{LoadBE16(stored)};
    uint8_t offset[8];
    StoreBE64(offset, positions_[keys_.ObjectId(e)]);
    if (Status s = tail.AppendPair(stored, len, offset, 8); !s.ok()) return s;
  }
  if (Status s = tail.Flush(); !s.ok()) return s;
  *num_keys = n;
  *tail_crc = tail.crc();
  *tail_bytes = tail.appended();
  return OkStatus();
}

Status StreamWriter::WriteTailMerged(uint64_t data_end, uint64_t* num_keys, uint64_t* ext_bytes,
                                     uint32_t* tail_crc, uint64_t* tail_bytes) {
  if (Status s = SpillKeys(); !s.ok()) return s;
  // Without an extension block the index goes straight after the data;
  // with one, to a spill file first, since the block comes before it and
  // depends on every entry's position.
  std::unique_ptr<SpillFile> index_file;
  uint64_t index_start = data_end;
  uint32_t small_crc = 0;  // of an extension record without a hash index
  if (!opt_.extension && !sections_.empty()) {
    // Its size does not depend on the keys: it goes first.
    const ExtensionBuilder ext(&sections_);
    if (ext.payload_size() > kMaxObjectLength) return ExtensionTooLarge(ext);
    Appender small(data_.get(), data_end, buffer_size_);
    Status s =
        ext.EmitRecord([&small](const uint8_t* p, size_t len) { return small.Append(p, len); });
    if (s.ok()) s = small.Flush();
    if (!s.ok()) return s;
    small_crc = small.crc();
    index_start += small.appended();
  }
  if (opt_.extension) {
    Result<SpillFile> made = SpillFile::Create(opt_.spill_dir, "spill file");
    if (!made.ok()) return std::move(made.error());
    index_file = std::make_unique<SpillFile>(std::move(made.value()));
  }
  Appender index(opt_.extension ? index_file.get() : data_.get(), opt_.extension ? 0 : index_start,
                 buffer_size_);
  uint64_t count = 0;
  const size_t merge_memory = static_cast<size_t>(key_budget_);
  Status s = runs_.Merge(
      merge_memory, opt_.unique_keys,
      [this](KeyView key, uint32_t first, uint32_t again) { NoteRepeat(key, first, again); },
      [&](KeyView key, uint32_t obj_id) -> Status {
        uint8_t entry[2 + kMaxKeyLength + 8];
        StoreBE16(entry, static_cast<uint16_t>(key.size));
        if (key.size) std::memcpy(entry + 2, key.data, key.size);
        StoreBE64(entry + 2 + key.size, positions_[obj_id]);
        ++count;
        return index.Append(entry, kEntryOverhead + key.size);
      });
  if (s.ok()) s = index.Flush();
  if (!s.ok()) return s;
  *num_keys = count;
  if (!opt_.extension) {
    *ext_bytes = index_start - data_end;
    *tail_crc = crc32::Combine(small_crc, index.crc(), index.appended());
    *tail_bytes = *ext_bytes + index.appended();
    return OkStatus();
  }
  if (opt_.unique_keys && repeat_) return OkStatus();  // the build fails anyway
  ExternalExtensionInput in;
  in.index = index_file.get();
  in.index_size = index.appended();
  in.num_entries = count;
  in.data_end = data_end;
  in.seed = opt_.seed ? *opt_.seed : HashKey::FromRandomSource();
  in.spill_dir = opt_.spill_dir;
  in.memory = merge_memory;
  in.sections = &sections_;
  Result<WrittenRecord> record = WriteExtensionExternally(in, *data_, data_end);
  if (!record.ok()) return std::move(record.error());
  const uint64_t index_at = data_end + record.value().bytes;
  if (Status c =
          CopyRange(index_file->fd(), 0, data_->fd(), index_at, in.index_size, data_->name());
      !c.ok()) {
    return c;
  }
  *ext_bytes = record.value().bytes;
  *tail_crc = crc32::Combine(record.value().crc, index.crc(), in.index_size);
  *tail_bytes = record.value().bytes + in.index_size;
  return OkStatus();
}

Status StreamWriter::WriteTail(uint64_t data_end, uint64_t* num_keys, uint64_t* ext_bytes,
                               uint32_t* tail_crc, uint64_t* tail_bytes) {
  if (runs_.empty()) return WriteTailInMemory(data_end, num_keys, ext_bytes, tail_crc, tail_bytes);
  return WriteTailMerged(data_end, num_keys, ext_bytes, tail_crc, tail_bytes);
}

Result<BuildFigures> StreamWriter::Build(std::string_view path) {
  if (Status s = CheckOpen(); !s.ok()) return std::move(s.error());
  const std::string target(path);
  // Before anything is written: what the build would replace.
  Result<TargetState> state = InspectTarget(target, /*refuse_directory=*/true);
  if (!state.ok()) return std::move(state.error());
  if (Status s = EnsureDataFile(); !s.ok()) return std::move(s.error());
  // The data file becomes the store when it lies in the target's directory.
  data_->set_name(data_->dir() == ContainingDir(target) ? target : std::string());
  keys_.Flush();
  if (Status s = out_->Flush(); !s.ok()) return DataFailure(std::move(s.error()));
  if (has_extension() && object_count() >= kMaxCount) {
    return Error::Other(opt_.extension ? "too many objects for a hash index (limit 4294967294)"
                                       : "too many objects (limit 4294967294)");
  }
  const uint64_t data_end = out_->end();
  uint64_t num_keys = 0, ext_bytes = 0, tail_bytes = 0;
  uint32_t tail_crc = 0;
  // Whatever goes wrong from here, the data file is cut back to its data.
  struct CutBack {
    const SpillFile* file;
    uint64_t end;
    bool armed = true;
    ~CutBack() {
      if (armed) (void)file->Truncate(end);
    }
  } cut{data_.get(), data_end};

  if (Status s = WriteTail(data_end, &num_keys, &ext_bytes, &tail_crc, &tail_bytes); !s.ok()) {
    return std::move(s.error());
  }
  if (opt_.unique_keys) {
    TakeMapRepeat();
    if (repeat_) return Error::DuplicateKey(repeat_->key, repeat_->first_id, repeat_->repeat_id);
  }
  if (num_keys > kMaxCount) return Error::Other("too many keys (limit 4294967295)");
  StoreHeader header;
  header.num_keys = static_cast<uint32_t>(num_keys);
  header.num_objects = static_cast<uint32_t>(object_count() + (has_extension() ? 1 : 0));
  header.index_offset = data_end + ext_bytes;
  header.file_crc32 = crc32::Combine(out_->crc(), tail_crc, tail_bytes);
  uint8_t bytes[kHeaderSize];
  header.EncodeTo(bytes);
  if (Status s = data_->WriteAt(bytes, kHeaderSize, 0); !s.ok()) return std::move(s.error());
  if (Status s = StopIfInterrupted(target); !s.ok()) return std::move(s.error());
  if (Status s = SyncFd(data_->fd(), "sync " + data_->role() + ": ", data_->name()); !s.ok()) {
    if (s.error().sys_errno() == EINTR) return std::move(s.error());  // stopped, not failed
    // After a failed fsync the file's pages may be lost: nothing in it can
    // be trusted any more.
    cut.armed = false;
    return CloseWith(std::move(s.error()));
  }
  const uint64_t file_size = data_end + tail_bytes;
  bool cannot_link = true;
  Status published = OkStatus();
  if (data_->linkable())
    published = PublishByLink(*data_, target, state.value().mode, &cannot_link);
  if (cannot_link) {
    published = PublishByCopy(data_->fd(), file_size, target, state.value().mode);
  } else {
    // Still linked: renamed into place (even when only the directory sync
    // failed), or a failed step could not remove its temporary name. That
    // file is no longer ours to change.
    struct stat st;
    if (::fstat(data_->fd(), &st) != 0 || st.st_nlink > 0) {
      published_ = true;
      cut.armed = false;
    }
  }
  if (!published.ok()) return std::move(published.error());
  return BuildFigures{object_count(), num_keys, file_size};
}

}  // namespace tarndb
