// Writer: adding objects and keys, spilling keys by the budget, counting.
// The build is in writer_build.cc.
#include "core/writer/writer.h"

#include <errno.h>

#include <string>
#include <utility>

#include "core/common/posix.h"
#include "core/format/layout.h"
#include "core/writer/key_sort.h"

namespace tarndb {
namespace {

WriterOptions WithDefaults(WriterOptions options) {
  if (options.spill_dir.empty()) options.spill_dir = DefaultTempDir();
  if (options.records == RecordPlace::kMemory) options.memory_limit = 0;
  return options;
}

bool DiskFull(int errnum) { return errnum == ENOSPC || errnum == EDQUOT || errnum == EFBIG; }

}  // namespace

Writer::Writer(WriterOptions options)
    : opt_(WithDefaults(std::move(options))),
      budget_(opt_.memory_limit),
      records_(opt_.records, budget_, opt_.spill_dir, opt_.target),
      keys_(NewKeyMap()),
      runs_(opt_.spill_dir) {}

KeyMap Writer::NewKeyMap() const {
  KeyMap m;
  if (opt_.unique_keys) m.KeepFirst();
  return m;
}

Status Writer::CheckOpen() const {
  if (closed_.empty()) return OkStatus();
  return Error::Other("this writer was closed by an earlier failure (" + closed_ +
                      "); start a new one");
}

Error Writer::DataFailure(Error e) {
  if (e.kind() != Error::Kind::kIo || DiskFull(e.sys_errno())) return e;
  return CloseWith(std::move(e));
}

Error Writer::CloseWith(Error e) {
  // The data file cannot be trusted: free everything.
  closed_ = e.message();
  records_.Clear();
  runs_ = KeyRuns(opt_.spill_dir);
  keys_ = NewKeyMap();
  return Error::Io(e.message() + "; the writer is closed", e.sys_errno(), e.path());
}

Result<uint64_t> Writer::AddObject(const uint8_t* payload, size_t n, const uint32_t* known_crc) {
  if (Status s = CheckOpen(); !s.ok()) return std::move(s.error());
  Result<uint64_t> id = records_.Add(payload, n, known_crc);
  if (!id.ok()) return DataFailure(std::move(id.error()));
  return id;
}

Status Writer::CheckKeyLength(size_t key_size) {
  if (key_size <= kMaxKeyLength) return OkStatus();
  return Error::Other("key of " + std::to_string(key_size) + " bytes exceeds the 65535-byte limit");
}

void Writer::NoteRepeat(KeyView key, uint64_t first_id, uint64_t repeat_id) {
  if (repeat_ && repeat_->repeat_id <= repeat_id) return;
  repeat_ = Repeat{std::vector<uint8_t>(key.data, key.data + key.size), first_id, repeat_id};
}

void Writer::TakeMapRepeat() {
  KeyMap::Repeat r;
  std::vector<uint8_t> key;
  if (keys_.EarliestRepeat(&r, &key)) {
    NoteRepeat(KeyView{key.data(), key.size()}, r.first_id, r.repeat_id);
  }
}

Status Writer::SpillKeys() {
  keys_.Flush();
  if (keys_.size() == 0) return OkStatus();
  {
    const KeyOrder order(keys_);
    if (Status s = runs_.Spill(keys_, order, budget_.run_buffer()); !s.ok()) return s;
  }
  spilled_entries_ += keys_.size();
  TakeMapRepeat();
  keys_ = NewKeyMap();
  return OkStatus();
}

Status Writer::AddKey(KeyView key, uint64_t obj_id, bool* spill_first) {
  if (Status s = CheckOpen(); !s.ok()) return s;
  if (Status s = CheckKeyLength(key.size); !s.ok()) return s;
  if (obj_id >= object_count()) {
    return Error::Other("obj_id " + std::to_string(obj_id) + " out of range (have " +
                        std::to_string(object_count()) + " objects)");
  }
  return PutKey(key, static_cast<uint32_t>(obj_id), spill_first);
}

Status Writer::DeleteKey(KeyView key, bool* spill_first) {
  if (Status s = CheckOpen(); !s.ok()) return s;
  if (Status s = CheckKeyLength(key.size); !s.ok()) return s;
  Status s = PutKey(key, kTombstoneId, spill_first);
  if (s.ok()) has_tombstones_ = true;
  return s;
}

Status Writer::PutKey(KeyView key, uint32_t obj_id, bool* spill_first) {
  if (budget_.KeysOver(keys_, opt_.extension)) {
    if (spill_first != nullptr) {
      *spill_first = true;
      return OkStatus();
    }
    if (Status s = SpillKeys(); !s.ok()) return s;
  }
  // Held in memory, the key count is known: only close to the limit does
  // it need the queued puts applied. (Across runs it is checked by Build.)
  if (runs_.empty() && keys_.size() + keys_.pending() >= kMaxCount) {
    keys_.Flush();
    if (keys_.size() >= kMaxCount && !keys_.Contains(key)) {
      return Error::Other("too many keys (limit 4294967295)");
    }
  }
  keys_.Put(key, obj_id);
  counted_keys_.reset();
  return OkStatus();
}

Result<uint64_t> Writer::KeyCount() {
  if (Status s = CheckOpen(); !s.ok()) return std::move(s.error());
  if (keys_.pending() != 0) keys_.Flush();
  if (runs_.empty() && !has_tombstones_) return uint64_t{keys_.size()};
  if (counted_keys_) return *counted_keys_;
  uint64_t n = 0;
  if (runs_.empty()) {
    for (size_t i = 0; i < keys_.size(); ++i) n += keys_.ObjectId(i) != kTombstoneId;
    counted_keys_ = n;
    return n;
  }
  if (Status s = SpillKeys(); !s.ok()) return std::move(s.error());
  Status s = runs_.Merge(budget_.merge(), opt_.unique_keys, nullptr,
                         [&n](KeyView, uint32_t obj_id) {
                           n += obj_id != kTombstoneId;
                           return OkStatus();
                         });
  if (!s.ok()) return std::move(s.error());
  counted_keys_ = n;
  return n;
}

void Writer::SetSection(SectionBytes section) {
  for (SectionBytes& s : sections_) {
    if (s.type == section.type && s.version == section.version) {
      s = std::move(section);
      return;
    }
  }
  sections_.push_back(std::move(section));
}

}  // namespace tarndb
