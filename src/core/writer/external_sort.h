// ExternalSorter: sorted runs of records in one spill file, and the merge
// that joins them in bounded memory. It serves both external sorts of a
// writer: its keys beyond the memory budget (key_runs.h) and the slots of
// a hash index too large to build in memory (extension_external.h).
//
// A record is a byte string whose size its first Format::kHead bytes tell.
// Format provides
//   static constexpr size_t kHead, kMaxRecord;
//   size_t SizeAt(const uint8_t* record) const;  // from the first kHead bytes
//   bool Less(const uint8_t* a, const uint8_t* b) const;
// A caller writes each run in Less order; Merge hands every record of every
// run to its sink in Less order, records that compare equal in the order
// of their runs (the order the runs were written in).
#ifndef TARNDB_CORE_WRITER_EXTERNAL_SORT_H_
#define TARNDB_CORE_WRITER_EXTERNAL_SORT_H_

#include <errno.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <queue>
#include <string>
#include <utility>
#include <vector>

#include "core/common/result.h"
#include "core/writer/spill_file.h"

namespace tarndb {

// The smallest read or write buffer of a run.
inline constexpr size_t kMinRunBuffer = size_t{128} << 10;
// The largest read buffer of a run in a merge: more does not read faster.
inline constexpr size_t kMaxRunBuffer = size_t{4} << 20;

template <typename Format>
class ExternalSorter {
 public:
  static_assert(Format::kMaxRecord <= kMinRunBuffer, "a buffer must hold any record");

  ExternalSorter(std::string spill_dir, Format format)
      : spill_dir_(std::move(spill_dir)), format_(std::move(format)) {}

  bool empty() const { return runs_.empty(); }
  size_t runs() const { return runs_.size(); }

  // Writes one run; Finish adds it to the sorter. A writer dropped without
  // Finish gives its bytes back.
  class RunWriter {
   public:
    RunWriter(RunWriter&&) = default;
    ~RunWriter() {
      if (sorter_ != nullptr) sorter_->file_.Release(start_, out_.end() - start_);
    }
    Status Append(const uint8_t* record, size_t n) {
      ++count_;
      return out_.Append(record, n);
    }
    // Append the record made of two pieces.
    Status AppendPair(const uint8_t* a, size_t na, const uint8_t* b, size_t nb) {
      ++count_;
      return out_.AppendPair(a, na, b, nb);
    }
    Status Finish() {
      if (Status s = out_.Flush(); !s.ok()) return s;
      sorter_->runs_.push_back(Run{start_, out_.end() - start_, count_});
      sorter_->end_ = out_.end();
      sorter_ = nullptr;
      return OkStatus();
    }

   private:
    friend class ExternalSorter;
    RunWriter(ExternalSorter* sorter, size_t buffer)
        : sorter_(sorter), start_(sorter->end_), out_(&sorter->file_, start_, buffer) {}
    ExternalSorter* sorter_;
    uint64_t start_;
    uint64_t count_ = 0;
    Appender out_;
  };

  // A writer for the next run, with a write buffer of at least
  // kMinRunBuffer bytes.
  Result<RunWriter> NewRun(size_t buffer) {
    if (!file_.valid()) {
      Result<SpillFile> made = SpillFile::Create(spill_dir_, "spill file");
      if (!made.ok()) return std::move(made.error());
      file_ = std::move(made.value());
    }
    return RunWriter(this, std::max(buffer, kMinRunBuffer));
  }

  // Call sink(record, size) -> Status for every record, in order; stops at
  // the first failure. At most memory bytes go to read buffers: when the
  // runs need more than that, groups of the oldest are first merged into
  // new runs, which keep their place in the order.
  template <typename Sink>
  Status Merge(size_t memory, Sink&& sink) {
    const size_t fan_in = std::max<size_t>(2, memory / kMinRunBuffer);
    while (runs_.size() > fan_in) {
      if (Status s = MergeOnePass(fan_in); !s.ok()) return s;
    }
    if (runs_.empty()) return OkStatus();
    const size_t buffer = std::clamp<size_t>(memory / runs_.size(), kMinRunBuffer, kMaxRunBuffer);
    return MergeRuns(0, runs_.size(), buffer, sink);
  }

 private:
  struct Run {
    uint64_t begin = 0;
    uint64_t bytes = 0;
    uint64_t count = 0;
  };

  // Reads one run's records front to back.
  class RunReader {
   public:
    RunReader(const SpillFile* file, const Run& run, size_t buffer, const Format* format)
        : in_(file, run.begin, run.bytes, buffer), format_(format) {}
    // Move to the next record; *more is false at the end of the run.
    Status Next(bool* more) {
      in_.Skip(size_);
      size_ = 0;
      if (Status s = in_.Need(Format::kHead); !s.ok()) return s;
      *more = in_.avail() > 0;
      if (!*more) return OkStatus();
      if (in_.avail() < Format::kHead) return in_.file().Fail("read", EIO);  // a cut run
      const size_t n = format_->SizeAt(in_.at());
      if (Status s = in_.Need(n); !s.ok()) return s;
      if (in_.avail() < n) return in_.file().Fail("read", EIO);
      size_ = n;
      return OkStatus();
    }
    const uint8_t* record() const { return in_.at(); }
    size_t size() const { return size_; }

   private:
    SpillReader in_;
    const Format* format_;
    size_t size_ = 0;
  };

  template <typename Sink>
  Status MergeRuns(size_t first, size_t last, size_t buffer, Sink& sink) {
    std::vector<RunReader> readers;
    readers.reserve(last - first);
    for (size_t i = first; i < last; ++i) readers.emplace_back(&file_, runs_[i], buffer, &format_);
    // A min-heap of readers by (record, run).
    const auto later = [&](size_t a, size_t b) {
      if (format_.Less(readers[b].record(), readers[a].record())) return true;
      if (format_.Less(readers[a].record(), readers[b].record())) return false;
      return a > b;
    };
    std::priority_queue<size_t, std::vector<size_t>, decltype(later)> heap(later);
    for (size_t i = 0; i < readers.size(); ++i) {
      bool more = false;
      if (Status s = readers[i].Next(&more); !s.ok()) return s;
      if (more) heap.push(i);
    }
    while (!heap.empty()) {
      const size_t top = heap.top();
      heap.pop();
      if (Status s = sink(readers[top].record(), readers[top].size()); !s.ok()) return s;
      bool more = false;
      if (Status s = readers[top].Next(&more); !s.ok()) return s;
      if (more) heap.push(top);
    }
    return OkStatus();
  }

  // Merge consecutive groups of fan_in runs into one run each.
  Status MergeOnePass(size_t fan_in) {
    std::vector<Run> merged;
    for (size_t first = 0; first < runs_.size(); first += fan_in) {
      const size_t last = std::min(runs_.size(), first + fan_in);
      if (last - first == 1) {
        merged.push_back(runs_[first]);
        continue;
      }
      RunWriter out(this, kMinRunBuffer);
      const auto copy = [&out](const uint8_t* record, size_t n) { return out.Append(record, n); };
      if (Status s = MergeRuns(first, last, kMinRunBuffer, copy); !s.ok()) return s;
      if (Status s = out.out_.Flush(); !s.ok()) return s;
      merged.push_back(Run{out.start_, out.out_.end() - out.start_, out.count_});
      end_ = out.out_.end();
      out.sorter_ = nullptr;  // kept: it is one of the new runs
    }
    // Only now are the merged runs no longer needed.
    for (size_t first = 0; first + 1 < runs_.size(); first += fan_in) {
      const size_t last = std::min(runs_.size(), first + fan_in);
      for (size_t i = first; i < last && last - first > 1; ++i) {
        file_.Release(runs_[i].begin, runs_[i].bytes);
      }
    }
    runs_ = std::move(merged);
    return OkStatus();
  }

  std::string spill_dir_;
  Format format_;
  SpillFile file_;
  uint64_t end_ = 0;  // of the last run
  std::vector<Run> runs_;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_EXTERNAL_SORT_H_
