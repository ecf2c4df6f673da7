// FdWriter: buffered, complete writes to a file descriptor.
//
// Pieces that fit in the 8,192-byte buffer's free space are copied into it;
// otherwise the buffer is written out first, and a piece of 8,192 bytes or
// more then goes to the descriptor directly, without copying. Every transfer
// loops until all bytes are written: short writes continue, EINTR is retried,
// and a write that accepts zero bytes is an error.
#ifndef TARNDB_CORE_WRITER_FD_WRITER_H_
#define TARNDB_CORE_WRITER_FD_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/common/result.h"

namespace tarndb {

inline constexpr size_t kWriteBufferSize = 8192;

class FdWriter {
 public:
  // path names the file in error reports.
  FdWriter(int fd, std::string_view path);

  Status Write(const uint8_t* data, size_t n);
  // Write out what the buffer holds.
  Status Flush();

 private:
  int fd_;
  std::string path_;
  std::unique_ptr<uint8_t[]> buf_;
  size_t used_ = 0;
};

// Write all of data[0, n) to fd. zero_write_text is the message for a write
// that accepts no bytes; any other failure gives the system's error text.
// path names the file in the error.
Status WriteAll(int fd, const uint8_t* data, size_t n, const char* zero_write_text,
                std::string_view path);

// Write all of data[0, n) at file position pos, with the same rules.
Status WriteAllAt(int fd, const uint8_t* data, size_t n, uint64_t pos, std::string_view path);

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_FD_WRITER_H_
