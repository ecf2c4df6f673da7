// Result<T> and Error: how every core operation reports failure.
//
// The core never raises and never touches Python objects. An operation
// returns either its value or one Error of four kinds; each binding alone
// turns an Error into a Python exception in one place.
#ifndef TARNDB_CORE_COMMON_RESULT_H_
#define TARNDB_CORE_COMMON_RESULT_H_

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tarndb {

class Error {
 public:
  // The first four match the kind tags 0..3 of the low-level module, which
  // never sees the others.
  enum class Kind : uint8_t {
    kCorrupt = 0,
    kVersion = 1,
    kIo = 2,
    kOther = 3,
    kDuplicateKey = 4,  // a unique-key writer was given one key twice
  };

  // A structural or checksum failure of a store file.
  static Error Corrupt(std::string message) { return Error(Kind::kCorrupt, std::move(message), 0); }
  // A store file of a format version this build does not read.
  static Error Version(uint8_t version) { return Error(Kind::kVersion, {}, version); }
  // An operating-system failure; see IoError in posix.h for the usual
  // message shape. sys_errno (0 when none applies) and path (the file the
  // failing call concerned, empty when none) are carried beside the text for
  // bindings that report them as fields.
  static Error Io(std::string message, int sys_errno = 0, std::string path = {}) {
    Error e(Kind::kIo, std::move(message), 0);
    e.sys_errno_ = sys_errno;
    e.path_ = std::move(path);
    return e;
  }
  // The same, for a message that already names path in its text ("cannot
  // open {path}: ..."), so that no binding names it a second time.
  static Error IoNamingPath(std::string message, int sys_errno, std::string path) {
    Error e = Io(std::move(message), sys_errno, std::move(path));
    e.path_in_message_ = true;
    return e;
  }
  // An invalid request by the caller.
  static Error Other(std::string message) { return Error(Kind::kOther, std::move(message), 0); }
  // A key put twice into a writer that takes each key once: the key and the
  // object IDs of its first put and of the put that repeated it.
  static Error DuplicateKey(std::vector<uint8_t> key, uint64_t first_id, uint64_t repeat_id) {
    Error e(Kind::kDuplicateKey, "duplicate key", 0);
    e.key_ = std::move(key);
    e.first_id_ = first_id;
    e.repeat_id_ = repeat_id;
    return e;
  }

  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  uint8_t version() const { return version_; }
  int sys_errno() const { return sys_errno_; }
  const std::string& path() const { return path_; }
  // Whether message() names path() already.
  bool path_in_message() const { return path_in_message_; }
  // The fields of a duplicate key.
  const std::vector<uint8_t>& key() const { return key_; }
  uint64_t first_id() const { return first_id_; }
  uint64_t repeat_id() const { return repeat_id_; }

 private:
  Error(Kind kind, std::string message, uint8_t version)
      : kind_(kind), message_(std::move(message)), version_(version) {}

  Kind kind_;
  std::string message_;
  uint8_t version_;
  int sys_errno_ = 0;
  std::string path_;
  bool path_in_message_ = false;
  std::vector<uint8_t> key_;
  uint64_t first_id_ = 0;
  uint64_t repeat_id_ = 0;
};

// Either a value of type T or an Error.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}      // NOLINT: implicit by design
  Result(Error error) : v_(std::move(error)) {}  // NOLINT: implicit by design

  bool ok() const { return v_.index() == 0; }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  Error& error() { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

// Result of an operation that yields nothing but may fail.
struct Unit {};
using Status = Result<Unit>;
inline Status OkStatus() { return Unit{}; }

}  // namespace tarndb

#endif  // TARNDB_CORE_COMMON_RESULT_H_
