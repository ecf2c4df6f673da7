// LayerStack: a newest-first stack of open stores read as one mapping.
//
// Each layer is an ordinary store file; a delta also holds tombstones (keys
// it deletes from the layers below it) and a key filter. The newest layer
// that holds a key, as a put or as a tombstone, decides it: a put gives the
// value, a tombstone makes the key absent. A lookup asks each layer in
// turn, newest first: its filter (one cache line; a layer without one is
// simply probed), then its index, then its tombstones.
//
// Listings merge the layers' sorted indexes and tombstone lists (a k-way
// merge over 2 x layers sources), giving each live key once, in key order,
// with the entry of the layer that decides it.
//
// The stack holds its readers by shared_ptr: what it hands out (views of
// keys and payloads) stays valid while the stack does. Its state never
// changes after Make, so it may be shared by threads.
#ifndef TARNDB_CORE_READER_LAYERS_H_
#define TARNDB_CORE_READER_LAYERS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/common/result.h"
#include "core/format/key_filter.h"
#include "core/format/key_order.h"
#include "core/format/tombstones.h"
#include "core/reader/reader.h"

namespace tarndb {

// Where a key's value is: found, in layer `layer` at record `offset`.
struct LayerHit {
  bool found = false;
  uint32_t layer = 0;
  uint64_t offset = 0;
};

class LayerStack {
 public:
  // The layers of one reader each, newest first (at least one). Fails
  // (corrupt kind, naming the file) when a layer's tombstone or filter
  // section does not hold together.
  static Result<LayerStack> Make(std::vector<std::shared_ptr<const Reader>> readers);

  size_t size() const { return layers_.size(); }
  const Reader& reader(size_t i) const { return *layers_[i].reader; }
  uint64_t tombstones(size_t i) const { return layers_[i].tombs.size(); }
  bool has_filter(size_t i) const { return layers_[i].filter.has_value(); }

  // The layer that decides key, and its record; not found when no layer
  // holds it or the deciding layer deletes it.
  Result<LayerHit> Find(KeyView key) const { return FindFrom(0, key); }
  // Find for keys[0, n), n at most Reader::kMaxLookupBatch: each layer's
  // undecided keys in one batched lookup, so that cache misses overlap.
  Status FindMany(const KeyView* keys, size_t n, LayerHit* hits) const;

  // The live keys: the oldest layer's entries, then, layer by layer
  // towards the newest, its puts of keys not live below it added and its
  // tombstones of keys live below it taken away. Costs a lookup per key
  // of every layer but the oldest.
  Result<uint64_t> Count() const;

  // The live entries in key order (with a prefix: those whose keys begin
  // with it).
  class Merge {
   public:
    bool done() const { return done_; }
    KeyView key() const { return key_; }
    uint32_t layer() const { return layer_; }
    uint64_t offset() const { return offset_; }
    // Move to the next live entry. Fails when an index entry does not fit.
    Status Next();

   private:
    friend class LayerStack;
    struct Source {
      const Reader* reader = nullptr;  // with fetch_records
      uint32_t layer = 0;
      bool tomb = false;
      bool live = false;
      Reader::Cursor puts;
      TombstoneList::Cursor dels;
      KeyView key;
    };
    Status Advance(Source* s);
    void Settle(Source* s);
    // Make s's entry the current one and move s on.
    Status Emit(Source* s);

    std::vector<Source> sources_;
    std::string prefix_;
    bool by_prefix_ = false;
    bool done_ = false;
    const Source& Runner() const { return sources_[static_cast<size_t>(runner_up_)]; }
    // The source of the current entry, when no other source held its key,
    // and the source with the next smallest key then (by index; -1: none).
    int last_ = -1;
    int runner_up_ = -1;
    KeyView key_;
    uint32_t layer_ = 0;
    uint64_t offset_ = 0;
  };
  // A merge at the first live entry (whose key begins with *prefix, when
  // given). With fetch_records, the record of every source's next entry is
  // fetched into the cache as the entry comes up, ahead of its turn (for a
  // caller that reads every record: a delta's records lie in the order
  // its keys were put, and would each cost a miss).
  Result<Merge> Begin(const KeyView* prefix, bool fetch_records = false) const;

 private:
  struct Layer {
    std::shared_ptr<const Reader> reader;
    std::optional<KeyFilter> filter;
    TombstoneList tombs;
  };
  // Find over the layers [from, size()).
  Result<LayerHit> FindFrom(size_t from, KeyView key) const;

  std::vector<Layer> layers_;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_READER_LAYERS_H_
