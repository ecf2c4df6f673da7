#include "core/writer/key_runs.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <queue>

#include "core/format/coding.h"

namespace tarndb {
namespace {

// Reads one run's entries (key length, key, object ID) front to back.
class RunReader {
 public:
  RunReader(const SpillFile* file, const KeyRuns::Run& run, size_t buffer)
      : in_(file, run.begin, run.bytes, buffer) {}

  // Move to the next entry; *more is false at the end of the run.
  Status Next(bool* more) {
    in_.Skip(cur_len_);
    cur_len_ = 0;
    if (Status s = in_.Need(2); !s.ok()) return s;
    if (in_.avail() == 0) {
      *more = false;
      return OkStatus();
    }
    if (in_.avail() >= 2) {
      if (Status s = in_.Need(EntrySize()); !s.ok()) return s;
    }
    if (in_.avail() < 2 || in_.avail() < EntrySize()) {
      return in_.file().Fail("read", EIO);  // a cut run
    }
    cur_len_ = EntrySize();
    *more = true;
    return OkStatus();
  }

  KeyView key() const { return KeyView{in_.at() + 2, LoadBE16(in_.at())}; }
  uint32_t obj_id() const { return LoadBE32(in_.at() + cur_len_ - 4); }

 private:
  size_t EntrySize() const { return 2 + size_t{LoadBE16(in_.at())} + 4; }

  SpillReader in_;
  size_t cur_len_ = 0;  // of the current entry, at in_.at()
};

}  // namespace

uint64_t KeyRuns::entries() const {
  uint64_t n = 0;
  for (const Run& r : runs_) n += r.count;
  return n;
}

Status KeyRuns::EnsureFile() {
  if (file_.valid()) return OkStatus();
  Result<SpillFile> made = SpillFile::Create(spill_dir_, "spill file");
  if (!made.ok()) return std::move(made.error());
  file_ = std::move(made.value());
  return OkStatus();
}

Status KeyRuns::Spill(const KeyMap& keys, const KeyOrder& order, size_t buffer_size) {
  if (order.size() == 0) return OkStatus();
  if (Status s = EnsureFile(); !s.ok()) return s;
  Appender out(&file_, end_, std::max(buffer_size, kMinRunBuffer));
  Status s = OkStatus();
  const size_t n = order.size();
  for (size_t i = 0; i < n && s.ok(); ++i) {
    if (i + 16 < n) keys.PrefetchEntry(order[i + 16]);
    if (i + 8 < n) keys.PrefetchKey(order[i + 8]);
    const uint32_t e = order[i];
    const uint8_t* stored = keys.StoredKey(e);
    const size_t len = 2 + size_t{LoadBE16(stored)};
    if (!out.Fits(len + 4)) s = out.Flush();
    if (!s.ok()) break;
    out.AppendBuffered(stored, len);
    uint8_t id[4];
    StoreBE32(id, keys.ObjectId(e));
    out.AppendBuffered(id, 4);
  }
  if (s.ok()) s = out.Flush();
  if (!s.ok()) {
    file_.Release(end_, out.end() - end_);
    return s;
  }
  runs_.push_back(Run{end_, out.end() - end_, n});
  end_ = out.end();
  return OkStatus();
}

Status KeyRuns::MergeGroup(size_t first, size_t last, size_t buffer, bool keep_first,
                           const RepeatSink& repeat,
                           const std::function<Status(KeyView, uint32_t)>& emit) {
  std::vector<RunReader> readers;
  readers.reserve(last - first);
  for (size_t i = first; i < last; ++i) readers.emplace_back(&file_, runs_[i], buffer);
  // A min-heap of readers by (key, run): ties come out earliest run first.
  const auto later = [&readers](size_t a, size_t b) {
    const int c = CompareKeys(readers[a].key(), readers[b].key());
    return c != 0 ? c > 0 : a > b;
  };
  std::priority_queue<size_t, std::vector<size_t>, decltype(later)> heap(later);
  for (size_t i = 0; i < readers.size(); ++i) {
    bool more = false;
    if (Status s = readers[i].Next(&more); !s.ok()) return s;
    if (more) heap.push(i);
  }
  std::vector<uint8_t> key;
  while (!heap.empty()) {
    const size_t top = heap.top();
    heap.pop();
    const KeyView k = readers[top].key();
    key.assign(k.data, k.data + k.size);
    const KeyView held{key.data(), key.size()};
    const uint32_t first_id = readers[top].obj_id();
    uint32_t winner = first_id;
    bool repeated = false;
    // Every other run holding the same key; the heap gives them in run order.
    std::vector<size_t> advance{top};
    while (!heap.empty() && KeysEqual(readers[heap.top()].key(), held)) {
      const size_t r = heap.top();
      heap.pop();
      if (!repeated && repeat) repeat(held, first_id, readers[r].obj_id());
      repeated = true;
      if (!keep_first) winner = readers[r].obj_id();
      advance.push_back(r);
    }
    if (Status s = emit(held, winner); !s.ok()) return s;
    for (const size_t r : advance) {
      bool more = false;
      if (Status s = readers[r].Next(&more); !s.ok()) return s;
      if (more) heap.push(r);
    }
  }
  return OkStatus();
}

Status KeyRuns::Merge(size_t memory, bool keep_first, const RepeatSink& repeat,
                      const std::function<Status(KeyView, uint32_t)>& emit) {
  const size_t fan_in = std::max<size_t>(2, memory / kMinRunBuffer);
  // Merge groups of the oldest runs into new runs until all fit one pass.
  // Groups are consecutive, so the new runs keep the runs' time order.
  while (runs_.size() > fan_in) {
    std::vector<Run> merged;
    for (size_t first = 0; first < runs_.size(); first += fan_in) {
      const size_t last = std::min(runs_.size(), first + fan_in);
      if (last - first == 1) {
        merged.push_back(runs_[first]);
        continue;
      }
      Appender out(&file_, end_, kMinRunBuffer);
      uint64_t count = 0;
      Status s = MergeGroup(first, last, kMinRunBuffer, keep_first, repeat,
                            [&](KeyView key, uint32_t obj_id) -> Status {
                              uint8_t head[2], id[4];
                              StoreBE16(head, static_cast<uint16_t>(key.size));
                              StoreBE32(id, obj_id);
                              ++count;
                              Status w = out.Append(head, 2);
                              if (w.ok()) w = out.Append(key.data, key.size);
                              if (w.ok()) w = out.Append(id, 4);
                              return w;
                            });
      if (s.ok()) s = out.Flush();
      if (!s.ok()) {
        file_.Release(end_, out.end() - end_);
        return s;
      }
      merged.push_back(Run{end_, out.end() - end_, count});
      end_ = out.end();
    }
    // The merged groups are no longer needed.
    for (size_t first = 0; first + 1 < runs_.size(); first += fan_in) {
      const size_t last = std::min(runs_.size(), first + fan_in);
      if (last - first > 1) {
        for (size_t i = first; i < last; ++i) file_.Release(runs_[i].begin, runs_[i].bytes);
      }
    }
    runs_ = std::move(merged);
  }
  if (runs_.empty()) return OkStatus();
  const size_t buffer = std::clamp<size_t>(memory / runs_.size(), kMinRunBuffer, size_t{4} << 20);
  return MergeGroup(0, runs_.size(), buffer, keep_first, repeat, emit);
}

}  // namespace tarndb
