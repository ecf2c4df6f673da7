#include "core/common/result.h"

namespace tarndb {

std::string Error::FullText() const {
  switch (kind_) {
    case Kind::kCorrupt:
      return "TarnCorruptError: " + message_;
    case Kind::kVersion:
      return "TarnVersionError: unsupported version " + std::to_string(version_);
    case Kind::kIo:
      return "TarnIOError: " + message_;
    case Kind::kOther:
      break;
  }
  return "TarnError: " + message_;
}

}  // namespace tarndb
