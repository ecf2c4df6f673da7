#include "core/writer/key_runs.h"

#include <vector>

namespace tarndb {

Status KeyRuns::Spill(const KeyMap& keys, const KeyOrder& order, size_t buffer_size) {
  const size_t n = order.size();
  if (n == 0) return OkStatus();
  Result<ExternalSorter<KeyRecordFormat>::RunWriter> made = sorter_.NewRun(buffer_size);
  if (!made.ok()) return std::move(made.error());
  auto& out = made.value();
  for (size_t i = 0; i < n; ++i) {
    if (i + 16 < n) keys.PrefetchEntry(order[i + 16]);
    if (i + 8 < n) keys.PrefetchKey(order[i + 8]);
    const uint32_t e = order[i];
    const uint8_t* stored = keys.StoredKey(e);  // key_len and key, as a run holds them
    uint8_t id[4];
    StoreBE32(id, keys.ObjectId(e));
    if (Status s = out.AppendPair(stored, 2 + size_t{LoadBE16(stored)}, id, 4); !s.ok()) return s;
  }
  return out.Finish();
}

Status KeyRuns::Merge(size_t memory, bool keep_first, const RepeatSink& repeat,
                      const std::function<Status(KeyView key, uint32_t obj_id)>& emit) {
  // The records of one key arrive together, earliest run first: hold the
  // key until the next one shows that its group is complete.
  std::vector<uint8_t> held;
  bool holding = false, repeated = false;
  uint32_t first_id = 0, winner = 0;
  const auto release = [&]() -> Status {
    if (!holding) return OkStatus();
    return emit(KeyView{held.data(), held.size()}, winner);
  };
  Status s = sorter_.Merge(memory, [&](const uint8_t* r, size_t) -> Status {
    const KeyView key = KeyRecordFormat::Key(r);
    const uint32_t id = KeyRecordFormat::ObjectId(r);
    if (holding && KeysEqual(key, KeyView{held.data(), held.size()})) {
      if (!repeated && repeat) repeat(key, first_id, id);
      repeated = true;
      if (!keep_first) winner = id;
      return OkStatus();
    }
    if (Status r2 = release(); !r2.ok()) return r2;
    held.assign(key.data, key.data + key.size);
    holding = true;
    repeated = false;
    first_id = winner = id;
    return OkStatus();
  });
  if (!s.ok()) return s;
  return release();
}

}  // namespace tarndb
