// Files a writer keeps outside memory: the data file it streams records
// into, and the spill files for sorted key runs and other build material.
//
// Each is an unnamed file (O_TMPFILE) in a chosen directory, so that a
// crash or kill frees it with no trace; the data file may later be given a
// name to become the published store. Where the file system cannot make
// unnamed files, a file is created under a random name and unlinked at
// once. Every file closes (and so frees its space) when its owner goes away.
#ifndef TARNDB_CORE_WRITER_SPILL_FILE_H_
#define TARNDB_CORE_WRITER_SPILL_FILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "core/common/result.h"
#include "core/common/unique_fd.h"

namespace tarndb {

// Where an Appender's bytes go.
class AppendTarget {
 public:
  virtual ~AppendTarget() = default;
  // Write data[0, n) at pos, completely (short writes and EINTR retried):
  // the buffered bytes (flush true) or a large piece passed straight on.
  virtual Status Put(const uint8_t* data, size_t n, uint64_t pos, bool flush) const = 0;
};

class SpillFile : public AppendTarget {
 public:
  SpillFile() = default;
  SpillFile(SpillFile&&) = default;
  SpillFile& operator=(SpillFile&&) = default;

  // A new empty file in dir, readable and writable, with permission bits
  // 0666 less the umask. role names the file in error messages ("spill
  // file", "data file"). Fails with the I/O kind: "create {role}: {error}",
  // naming dir.
  static Result<SpillFile> Create(const std::string& dir, std::string_view role);

  int fd() const { return fd_.get(); }
  bool valid() const { return fd_.valid(); }
  const std::string& dir() const { return dir_; }
  const std::string& role() const { return role_; }
  // The path its errors name: dir, unless set to what the file is to
  // become (the store a data file in the target's directory turns into).
  const std::string& name() const { return name_.empty() ? dir_ : name_; }
  void set_name(std::string name) { name_ = std::move(name); }
  // Whether the file was made unnamed by O_TMPFILE and so can be linked
  // into its directory.
  bool linkable() const { return linkable_; }
  // Close the file now, freeing its space.
  void Close() { fd_.reset(); }
  // Start writing each completed stretch of the file to disk as it is
  // written (for a file that will be synced: its sync then waits for
  // little more than the last stretch).
  void WriteBehind() { write_behind_ = true; }

  // Complete positioned transfers; EINTR and short counts are retried.
  // Failures name the operation ("write {role}") and name().
  Status WriteAt(const uint8_t* data, size_t n, uint64_t pos) const;
  Status Put(const uint8_t* data, size_t n, uint64_t pos, bool) const override {
    return WriteAt(data, n, pos);
  }
  Status ReadAt(uint8_t* data, size_t n, uint64_t pos) const;
  Status Truncate(uint64_t size) const;
  // Give the space of [pos, pos + n) back to the file system (best effort).
  void Release(uint64_t pos, uint64_t n) const;
  // Start writing [pos, pos + n) to the disk without waiting for it (best
  // effort: a later fsync reports any failure), so that the fsync that
  // makes the file durable finds less left to write.
  void StartWriteback(uint64_t pos, uint64_t n) const;

  // An I/O error about this file: "{op} {role}: {system text}".
  Error Fail(std::string_view op, int errnum) const;

 private:
  UniqueFd fd_;
  std::string dir_;
  std::string role_;
  std::string name_;
  bool linkable_ = false;
  bool write_behind_ = false;
};

// Reads a range of a SpillFile front to back through a buffer, for a
// caller that parses it record by record.
class SpillReader {
 public:
  SpillReader(const SpillFile* file, uint64_t begin, uint64_t bytes, size_t buffer)
      : file_(file),
        pos_(begin),
        end_(begin + bytes),
        buf_(std::make_unique_for_overwrite<uint8_t[]>(buffer)),
        size_(buffer) {}

  // At least n bytes at the cursor (n at most the buffer's size; fewer
  // only at the end of the range).
  Status Need(size_t n);
  size_t avail() const { return filled_ - cur_; }
  const uint8_t* at() const { return buf_.get() + cur_; }
  void Skip(size_t n) { cur_ += n; }
  const SpillFile& file() const { return *file_; }

 private:
  const SpillFile* file_;
  uint64_t pos_;  // next byte of the range to read
  uint64_t end_;
  std::unique_ptr<uint8_t[]> buf_;
  size_t size_;
  size_t filled_ = 0;
  size_t cur_ = 0;
};

// Buffered appends to a file from a position on, with the CRC-32 of
// everything appended kept on the way. A failed flush keeps the buffer, so
// a later flush can try again; nothing past the last good flush counts.
class Appender {
 public:
  // crc: the CRC-32 of what precedes start, for a CRC kept over more than
  // this appender writes.
  Appender(const AppendTarget* file, uint64_t start, size_t buffer_size, uint32_t crc = 0);

  // Append data[0, n). Large pieces bypass the buffer.
  Status Append(const uint8_t* data, size_t n);
  // Append a[0, na) and b[0, nb) as one piece: on failure neither counts.
  // crc_b, when known, is the CRC-32 of b, which a large b then is not read
  // again for.
  Status AppendPair(const uint8_t* a, size_t na, const uint8_t* b, size_t nb,
                    const uint32_t* crc_b = nullptr);
  // Write out the buffered bytes.
  Status Flush();
  // Whether n more bytes fit the buffer without a flush.
  bool Fits(size_t n) const { return n <= size_ - used_; }
  // Append into the buffer; only when Fits(n).
  void AppendBuffered(const uint8_t* data, size_t n);
  // Where n more bytes go in the buffer, to be written there directly and
  // then counted by Commit(n); null when they do not fit.
  uint8_t* Room(size_t n) { return Fits(n) ? buf_.get() + used_ : nullptr; }
  void Commit(size_t n) { used_ += n; }

  // Position after the last byte appended (buffered or not).
  uint64_t end() const { return flushed_ + used_; }
  // CRC-32 of everything appended so far (after the crc given at the start).
  uint32_t crc() const;
  uint64_t appended() const { return end() - start_; }

 private:
  const AppendTarget* file_;
  uint64_t start_;
  uint64_t flushed_;
  uint32_t flushed_crc_;  // of what precedes start_, then of [start_, flushed_)
  std::unique_ptr<uint8_t[]> buf_;
  size_t size_;
  size_t used_ = 0;
};

// Copy [from_pos, from_pos + n) of file from_fd to to_fd at to_pos: by
// copy_file_range (a kernel copy, or shared blocks where the file system
// can), or by reading and writing where the kernel refuses it. A failure is
// "copy: {system text}" naming path.
Status CopyRange(int from_fd, uint64_t from_pos, int to_fd, uint64_t to_pos, uint64_t n,
                 std::string_view path);

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_SPILL_FILE_H_
