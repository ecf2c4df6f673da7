// What a build adds to a file that is a layer of a stack: the tombstone
// section (the keys its writer deleted) and the key filter (over its puts
// and its tombstones). Keys reach it in index order, each with its object
// ID; a deleted key carries kTombstoneId and goes to the tombstones
// instead of the index.
//
// Both sections are built in memory: the filter takes 1.5 bytes per key
// (bound: the keys the writer held, repeats included), the tombstones
// their keys and 2 bytes each, plus 8 bytes per 16 tombstones.
#ifndef TARNDB_CORE_WRITER_LAYER_SECTIONS_H_
#define TARNDB_CORE_WRITER_LAYER_SECTIONS_H_

#include <cstdint>
#include <optional>
#include <vector>

#include "core/format/extension.h"
#include "core/format/key_filter.h"
#include "core/format/key_order.h"
#include "core/format/tombstones.h"
#include "core/writer/key_map.h"

namespace tarndb {

class LayerSections {
 public:
  LayerSections() = default;
  // tombstones: the writer was given deletes; filter: the file gets a key
  // filter, for at most key_bound keys.
  LayerSections(bool tombstones, bool filter, uint64_t key_bound)
      : active_(tombstones || filter) {
    if (filter) filter_.emplace(key_bound);
  }

  // Whether the build adds a section (and so has an extension block).
  bool active() const { return active_; }

  // The next key in index order: true when it is a tombstone, which the
  // index does not get.
  bool Take(KeyView key, uint32_t obj_id) {
    if (filter_) filter_->Add(key);
    if (obj_id != kTombstoneId) return false;
    tomb_.Add(key);
    return true;
  }

  // caller's sections, then the tombstones (when any) and the filter.
  std::vector<SectionBytes> With(const std::vector<SectionBytes>& caller) {
    std::vector<SectionBytes> all = caller;
    if (tomb_.count() != 0) all.push_back(tomb_.Finish());
    if (filter_) all.push_back(filter_->Finish());
    return all;
  }

 private:
  bool active_ = false;
  TombstoneSectionBuilder tomb_;
  std::optional<KeyFilterBuilder> filter_;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_LAYER_SECTIONS_H_
