// libFuzzer target: any byte string, opened as a store file, must either be
// rejected with an error or answer every query without reading outside the
// file, crashing or leaking. Run by fuzz/run.sh.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/reader/offset_groups.h"
#include "core/reader/reader.h"

namespace {

// A memory file, so each input is opened through the real open path.
class MemFile {
 public:
  MemFile(const uint8_t* data, size_t size) : fd_(memfd_create("store", MFD_CLOEXEC)) {
    size_t done = 0;
    while (done < size) {
      const ssize_t w = write(fd_, data + done, size - done);
      if (w <= 0) break;
      done += static_cast<size_t>(w);
    }
  }
  ~MemFile() { close(fd_); }
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};

void Exercise(const tarndb::Reader& r, const uint8_t* data, size_t size) {
  using tarndb::KeyView;
  const size_t n = r.entry_count();
  size_t sink = 0;
  // Every entry's key through the hash index, its object, and a prefix scan
  // from its first bytes.
  const std::vector<uint32_t> first_entry = tarndb::OffsetGroups(r).FirstEntries();
  for (size_t i = 0; i < n && i < 4096; ++i) {
    const KeyView k = r.EntryKey(i);
    if (auto offset = r.Lookup(k)) {
      auto obj = r.ReadObject(*offset);
      if (obj.ok() && obj.value().size) sink += obj.value().data[obj.value().size - 1];
    }
    const auto [first, last] = r.PrefixRange(KeyView{k.data, k.size / 2});
    sink += last - first;
    if (first_entry[i] == i) {
      auto obj = r.ReadObject(r.EntryOffset(i));
      sink += obj.ok() ? obj.value().size : 1;
    }
  }
  // Keys that are probably absent: slices of the input itself.
  for (size_t len = 0; len <= 16 && len <= size; len += 4) {
    sink += r.Lookup(KeyView{data + size - len, len}).has_value();
    const auto [first, last] = r.PrefixRange(KeyView{data, len});
    sink += last - first;
  }
  sink += r.Verify().ok();
  if (sink == 0xFFFFFFFFFFFFull) abort();  // keep the work observable
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemFile file(data, size);
  for (const bool verify : {false, true}) {
    tarndb::Result<tarndb::Reader> r = tarndb::Reader::Open(file.path(), verify);
    if (r.ok()) Exercise(r.value(), data, size);
  }
  return 0;
}
