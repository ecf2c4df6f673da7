// The search of a hash index's slots, written once for every place the
// bytes may come from: a table in a mapped file or in the reader's memory
// (every slot and entry at hand), or a file read by ranges (slots and
// entries arrive as the package fetches them).
//
// A search walks the run of occupied slots from the key's home. Each slot
// whose tag matches names an entry, which is decoded and compared with the
// key; its record offset, where the slot holds one, must be the entry's.
// Access supplies the bytes:
//   bool Slot(uint64_t i, uint64_t* word)        false: the slot is not at hand
//   std::optional<uint64_t> SlotOffset(uint64_t i, uint64_t word)
//   void Candidate(std::optional<uint64_t> offset) a slot's tag matched:
//                                                 its record may be fetched now
//   EntryRead Entry(uint64_t pos, KeyView key, IndexEntry* e)
// An entry that is not at hand does not end the search: the slots after it
// are still read, so that one round of fetching brings every entry the run
// may name, but nothing found after it is answered until it has come.
#ifndef TARNDB_CORE_READER_SLOT_PROBE_H_
#define TARNDB_CORE_READER_SLOT_PROBE_H_

#include <cstdint>
#include <optional>

#include "core/format/hash_index.h"
#include "core/format/key_order.h"
#include "core/format/layout.h"

namespace tarndb {

// A key found: its entry's position and its object's record offset.
struct Hit {
  uint64_t pos = 0;
  uint64_t offset = 0;
};

enum class EntryRead {
  kInside,   // decoded; *e is the entry (its key may be any other key of another length)
  kOutside,  // the entry does not fit in the file
  kMissing,  // its bytes are not at hand yet
};

enum class ProbeEnd {
  kFound,
  kAbsent,        // an empty slot (or the end of the table) ended the run
  kContradicted,  // a slot named an entry outside the file or another record,
                  // or the run is longer than the table says any is
  kNeedBytes,     // a slot or an entry is not at hand
};

// The slots of one table: codec, how many, the longest run a search may
// meet.
struct SlotRun {
  SlotCodec codec;
  uint64_t slot_count = 0;
  uint64_t run_limit = UINT64_MAX;
};

// Search the run from home for key (hash h). *collided is set when a tag
// matched an entry of another key (an absent result may then be worth
// confirming: a damaged slot may have been pointed away from the key).
template <typename Access>
inline ProbeEnd ProbeSlots(const SlotRun& t, uint64_t home, uint64_t h, KeyView key, Access& a,
                           Hit* hit, bool* collided) {
  const SlotCodec& codec = t.codec;
  const uint64_t tag = codec.tag_of(h);
  // Past the limit, the slot after a run of its length must be empty.
  const uint64_t stop = t.slot_count - home > t.run_limit ? home + t.run_limit + 1 : t.slot_count;
  bool missing = false;  // an entry earlier in the run is still to come
  for (uint64_t i = home; i < t.slot_count; ++i) {
    if (i == stop) return missing ? ProbeEnd::kNeedBytes : ProbeEnd::kContradicted;
    uint64_t word;
    if (!a.Slot(i, &word)) return ProbeEnd::kNeedBytes;
    if (word == 0) break;
    if (codec.TagOf(word) != tag) continue;
    const uint64_t pos = codec.PosOf(word) - 1;
    const std::optional<uint64_t> slot_offset = a.SlotOffset(i, word);
    a.Candidate(slot_offset);
    IndexEntry e;
    const EntryRead read = a.Entry(pos, key, &e);
    if (read == EntryRead::kMissing) missing = true;
    if (missing) continue;
    if (read == EntryRead::kOutside) return ProbeEnd::kContradicted;
    if (!KeysEqual(e.key, key)) {
      *collided = true;
      continue;
    }
    if (slot_offset && *slot_offset != e.offset) return ProbeEnd::kContradicted;
    *hit = Hit{pos, e.offset};
    return ProbeEnd::kFound;
  }
  return missing ? ProbeEnd::kNeedBytes : ProbeEnd::kAbsent;
}

}  // namespace tarndb

#endif  // TARNDB_CORE_READER_SLOT_PROBE_H_
