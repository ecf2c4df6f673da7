// libFuzzer target: any byte string, opened as a store file, must either be
// rejected with an error or answer every query without reading outside the
// file, crashing or leaking; read by ranges (FedStore), every range a step
// asks for must lie inside the file and every query must end in a bounded
// number of steps. Run by fuzz/run.sh.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/reader/fed_store.h"
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
  size_t sink = 0;
  // Every entry's key through the hash index (the file's own or the
  // reader's), its object, and a prefix scan from its first bytes.
  auto groups = tarndb::OffsetGroups::Of(r);
  std::vector<uint32_t> first_entry;
  if (groups.ok()) first_entry = groups.value().FirstEntries();
  auto c = r.At(0);
  for (size_t steps = 0; c.ok() && !c.value().done() && steps < 4096; ++steps) {
    const auto& cur = c.value();
    const KeyView k = cur.key();
    auto found = r.Find(k);
    if (found.ok() && found.value()) {
      auto obj = r.ReadObject(*found.value());
      if (obj.ok() && obj.value().size) sink += obj.value().data[obj.value().size - 1];
    }
    auto range = r.PrefixRange(KeyView{k.data, k.size / 2});
    if (range.ok()) sink += range.value().second - range.value().first;
    if (cur.index() < first_entry.size() && first_entry[cur.index()] == cur.index()) {
      auto obj = r.ReadObject(cur.offset());
      sink += obj.ok() ? obj.value().size : 1;
    }
    if (!c.value().Next().ok()) break;
  }
  // Keys that are probably absent: slices of the input itself, one by one
  // and as a batch.
  KeyView batch[5];
  size_t n = 0;
  for (size_t len = 0; len <= 16 && len <= size; len += 4) {
    batch[n++] = KeyView{data + size - len, len};
    auto found = r.Find(batch[n - 1]);
    sink += found.ok() && found.value().has_value();
    auto range = r.PrefixRange(KeyView{data, len});
    if (range.ok()) sink += range.value().second - range.value().first;
  }
  uint64_t offsets[5];
  bool present[5];
  sink += r.FindMany(batch, n, offsets, present).ok();
  sink += r.Verify().ok();
  if (sink == 0xFFFFFFFFFFFFull) abort();  // keep the work observable
}

// Run step() until it answers, feeding what it asks for from the input;
// abort on a range outside the file or a query that never ends.
template <typename Step>
auto Fed(tarndb::FedBytes& bytes, const uint8_t* data, size_t size, Step step) {
  for (int round = 0;; ++round) {
    auto r = step();
    if (bytes.needed().empty() || round > 200) {
      if (!bytes.needed().empty()) abort();
      return r;
    }
    for (const tarndb::NeededRange& n : bytes.needed()) {
      if (n.begin >= n.end || n.end > size) abort();
      bytes.Feed(n.begin, data + n.begin, static_cast<size_t>(n.end - n.begin));
    }
    bytes.ClearNeeded();
  }
}

void ExerciseFed(const uint8_t* data, size_t size) {
  using tarndb::KeyView;
  tarndb::FedBytes bytes(size);
  auto opened = Fed(bytes, data, size, [&] { return tarndb::FedStore::Open(bytes); });
  if (!opened.ok() || !opened.value()) return;
  const tarndb::FedStore& s = *opened.value();
  for (size_t len = 0; len <= 16 && len <= size; len += 4) {
    const KeyView key{data + size - len, len};
    std::optional<uint64_t> offset;
    auto found =
        Fed(bytes, data, size, [&] { return s.Locate(bytes, key, 64, (len & 4) != 0, &offset); });
    if (found.ok() && offset) {
      (void)Fed(bytes, data, size, [&] { return s.Record(bytes, *offset, 64); });
    }
    (void)Fed(bytes, data, size, [&] { return s.LowerBound(bytes, KeyView{data, len}); });
    bytes.Clear();
  }
  auto entries = Fed(bytes, data, size, [&] { return s.Entries(bytes, 0, 0, 64, 4096); });
  if (entries.ok()) {
    for (const tarndb::FedEntry& e : entries.value()) {
      std::optional<uint64_t> offset;
      (void)Fed(bytes, data, size, [&] {
        return s.Locate(bytes, KeyView{e.key.data(), e.key.size()}, 64, true, &offset);
      });
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ExerciseFed(data, size);
  MemFile file(data, size);
  for (const bool verify : {false, true}) {
    for (const bool use_extension : {false, true}) {
      tarndb::Result<tarndb::Reader> r =
          tarndb::Reader::Open(file.path(), tarndb::Reader::Options{verify, use_extension, false});
      if (r.ok()) Exercise(r.value(), data, size);
    }
  }
  return 0;
}
