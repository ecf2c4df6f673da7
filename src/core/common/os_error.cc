#include "core/common/os_error.h"

#include <string.h>

namespace tarndb {

std::string OsErrorText(int errnum) {
  char buf[256];
  // The GNU strerror_r returns a pointer that may or may not be into buf.
  const char* desc = strerror_r(errnum, buf, sizeof buf);
  return std::string(desc) + " (os error " + std::to_string(errnum) + ")";
}

}  // namespace tarndb
