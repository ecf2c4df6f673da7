// Result<T> and Error: how every core operation reports failure.
//
// The core never raises and never touches Python objects. An operation
// returns either its value or one Error of four kinds; the binding layer
// alone turns an Error into a Python exception and adds the kind's prefix.
#ifndef TARNDB_CORE_COMMON_RESULT_H_
#define TARNDB_CORE_COMMON_RESULT_H_

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace tarndb {

class Error {
 public:
  // The order matches the kind tags 0..3.
  enum class Kind : uint8_t { kCorrupt = 0, kVersion = 1, kIo = 2, kOther = 3 };

  // A structural or checksum failure of a store file.
  static Error Corrupt(std::string message) {
    return Error(Kind::kCorrupt, std::move(message), 0);
  }
  // A store file of a format version this build does not read.
  static Error Version(uint8_t version) { return Error(Kind::kVersion, {}, version); }
  // An operating-system failure; see OsErrorText for the usual message shape.
  static Error Io(std::string message) {
    return Error(Kind::kIo, std::move(message), 0);
  }
  // An invalid request by the caller.
  static Error Other(std::string message) {
    return Error(Kind::kOther, std::move(message), 0);
  }

  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  uint8_t version() const { return version_; }

  // The text a caller sees: the kind's prefix followed by the message.
  std::string FullText() const;

 private:
  Error(Kind kind, std::string message, uint8_t version)
      : kind_(kind), message_(std::move(message)), version_(version) {}

  Kind kind_;
  std::string message_;
  uint8_t version_;
};

// Either a value of type T or an Error.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}   // NOLINT: implicit by design
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
