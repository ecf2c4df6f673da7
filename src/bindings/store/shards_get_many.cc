// A chunk of keys at a time, so that its tables stay in the cache: each key
// is converted and routed, its bytes copied, grouped by shard, into one
// block, and each shard's group looked up in one batched pass over compact
// memory. The values are then made in the keys' own order, so that they lie
// in memory in the order of the list that holds them (made shard by shard,
// freeing the list later walks the heap at random).
#include "bindings/store/shards_get_many.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "bindings/common/errors.h"
#include "bindings/common/py_ref.h"
#include "bindings/store/keys.h"
#include "bindings/store/reader_lookup.h"
#include "bindings/store/reader_object.h"
#include "core/common/shard_hash.h"

namespace tarndb::py::store {
namespace {

// Keys whose lines are fetched together before they are converted.
constexpr size_t kTouchBatch = 32;

// The tables of one chunk, sized once for the largest chunk.
class ShardChunk {
 public:
  ShardChunk(size_t cap, uint32_t shards)
      : shards_(shards),
        converted_(cap),
        shard_of_(cap),
        slot_(cap),
        views_(cap),
        offsets_(cap),
        found_(new bool[cap]),
        start_(shards + 1),
        bytes_start_(shards + 1),
        fill_(shards),
        byte_fill_(shards) {}

  // Convert and route keys[0, m), their bytes grouped by shard. False with
  // an exception set.
  bool Group(PyObject* const* keys, size_t m) {
    std::fill(start_.begin(), start_.end(), 0);
    std::fill(bytes_start_.begin(), bytes_start_.end(), 0);
    for (size_t i = 0; i < m; ++i) {
      if (i % kTouchBatch == 0) TouchKeys(keys + i, std::min(kTouchBatch, m - i));
      if (!converted_[i].Convert(keys[i])) return false;
      const KeyView v = converted_[i].view();
      shard_of_[i] = ShardOf(v.data, v.size, shards_);
      ++start_[shard_of_[i] + 1];
      bytes_start_[shard_of_[i] + 1] += v.size;
    }
    for (uint32_t s = 0; s < shards_; ++s) {
      start_[s + 1] += start_[s];
      bytes_start_[s + 1] += bytes_start_[s];
    }
    key_bytes_.resize(bytes_start_[shards_]);
    std::copy(start_.begin(), start_.end() - 1, fill_.begin());
    std::copy(bytes_start_.begin(), bytes_start_.end() - 1, byte_fill_.begin());
    for (size_t i = 0; i < m; ++i) {
      const uint32_t s = shard_of_[i];
      slot_[i] = fill_[s]++;
      const KeyView v = converted_[i].view();
      unsigned char* copy = key_bytes_.data() + byte_fill_[s];
      if (v.size) std::memcpy(copy, v.data, v.size);
      byte_fill_[s] += v.size;
      views_[slot_[i]] = KeyView{copy, v.size};
    }
    return true;
  }

  // Look each shard's group up in its store.
  bool Find(const std::vector<PyObject*>& shard,
            const std::vector<std::shared_ptr<const Reader>>& stores) {
    for (uint32_t s = 0; s < shards_; ++s) {
      const size_t first = start_[s];
      if (!FindViews(ReaderRef(shard[s]), *stores[s], views_.data() + first, start_[s + 1] - first,
                     offsets_.data() + first, found_.get() + first)) {
        return false;
      }
    }
    return true;
  }

  uint32_t shard_of(size_t i) const { return shard_of_[i]; }
  bool found(size_t i) const { return found_[slot_[i]]; }
  uint64_t offset(size_t i) const { return offsets_[slot_[i]]; }

 private:
  uint32_t shards_;
  std::vector<StoreKey> converted_;
  std::vector<uint32_t> shard_of_;
  std::vector<size_t> slot_;
  std::vector<KeyView> views_;
  std::vector<uint64_t> offsets_;
  std::unique_ptr<bool[]> found_;
  std::vector<size_t> start_, bytes_start_, fill_, byte_fill_;
  std::vector<unsigned char> key_bytes_;
};

}  // namespace

PyObject* ShardedGetMany(PyObject* readers, PyObject* keys, PyObject* fallback) {
  const Py_ssize_t n = PyTuple_GET_SIZE(keys);
  const uint32_t shards = static_cast<uint32_t>(PyTuple_GET_SIZE(readers));
  OwnedRef out = OwnedRef::Steal(Made(PyList_New(n)));
  std::vector<PyObject*> shard(shards);
  std::vector<std::shared_ptr<const Reader>> stores(shards);
  for (uint32_t s = 0; s < shards; ++s) {
    shard[s] = PyTuple_GET_ITEM(readers, s);
    stores[s] = ReaderRef(shard[s]).SharedStore();
    if (!stores[s]) return nullptr;
  }
  const size_t chunk = std::max<size_t>(2048, size_t{64} * shards);
  ShardChunk tables(std::min(chunk, static_cast<size_t>(n)), shards);
  for (Py_ssize_t base = 0; base < n; base += static_cast<Py_ssize_t>(chunk)) {
    const size_t m = std::min(chunk, static_cast<size_t>(n - base));
    PyObject* const* keys_in = &PyTuple_GET_ITEM(keys, base);
    if (!tables.Group(keys_in, m) || !tables.Find(shard, stores)) return nullptr;
    for (size_t i = 0; i < m; ++i) {
      const uint32_t s = tables.shard_of(i);
      PyObject* value = ValueAt(ReaderRef(shard[s]), *stores[s], tables.found(i), tables.offset(i),
                                keys_in[i], fallback);
      if (value == nullptr) return nullptr;
      PyList_SET_ITEM(out.get(), base + static_cast<Py_ssize_t>(i), value);
    }
    for (uint32_t s = 0; s < shards; ++s) {
      // defaults given for keys of a changed file
      if (!ReaderRef(shard[s]).CheckIntact(*stores[s])) return nullptr;
    }
  }
  return out.release();
}

}  // namespace tarndb::py::store
