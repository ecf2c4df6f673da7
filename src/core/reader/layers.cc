// LayerStack: lookups newest layer first, the merged listing, the count.
#include "core/reader/layers.h"

#include <cstring>
#include <utility>

namespace tarndb {
namespace {

// A key's filter hash, computed once for every layer whose filter has the
// same seed (writers share one by default).
class KeyHashCache {
 public:
  explicit KeyHashCache(KeyView key) : key_(key) {}
  uint64_t For(const KeyFilter& f) {
    const HashKey s = f.seed();
    if (!have_ || s.k0 != seed_.k0 || s.k1 != seed_.k1) {
      seed_ = s;
      h_ = tarndb::FilterHash(s, key_);
      have_ = true;
    }
    return h_;
  }

 private:
  KeyView key_;
  HashKey seed_;
  uint64_t h_ = 0;
  bool have_ = false;
};

Error SectionError(const Reader& r, const Error& e) {
  return Error::Corrupt(r.path() + ": " + e.message());
}

}  // namespace

Result<LayerStack> LayerStack::Make(std::vector<std::shared_ptr<const Reader>> readers) {
  LayerStack stack;
  stack.layers_.reserve(readers.size());
  for (std::shared_ptr<const Reader>& r : readers) {
    Layer layer;
    if (std::optional<ObjectView> t = r->ExtensionSectionBytes(kTombstoneSection,
                                                               kTombstoneVersion)) {
      Result<TombstoneList> parsed = TombstoneList::Parse(t->data, t->size);
      if (!parsed.ok()) return SectionError(*r, parsed.error());
      layer.tombs = parsed.value();
    }
    if (std::optional<ObjectView> f = r->ExtensionSectionBytes(kKeyFilterSection,
                                                               kKeyFilterVersion)) {
      Result<KeyFilter> parsed = KeyFilter::Parse(f->data, f->size);
      if (!parsed.ok()) return SectionError(*r, parsed.error());
      layer.filter = parsed.value();
    }
    layer.reader = std::move(r);
    stack.layers_.push_back(std::move(layer));
  }
  return stack;
}

Result<LayerHit> LayerStack::FindFrom(size_t from, KeyView key) const {
  KeyHashCache hash(key);
  // Each filter costs a cache miss once the lookups of a large layer have
  // evicted it: fetch every layer's block at once, so that the misses
  // overlap instead of following one another.
  for (size_t i = from; i < layers_.size(); ++i) {
    if (layers_[i].filter) layers_[i].filter->Prefetch(hash.For(*layers_[i].filter));
  }
  for (size_t i = from; i < layers_.size(); ++i) {
    const Layer& l = layers_[i];
    if (l.filter && !l.filter->MayContain(hash.For(*l.filter))) continue;
    Result<std::optional<uint64_t>> offset = l.reader->Find(key);
    if (!offset.ok()) return std::move(offset.error());
    if (offset.value()) return LayerHit{true, static_cast<uint32_t>(i), *offset.value()};
    if (l.tombs.Contains(key)) return LayerHit{};
  }
  return LayerHit{};
}

Status LayerStack::FindMany(const KeyView* keys, size_t n, LayerHit* hits) const {
  constexpr size_t kBatch = Reader::kMaxLookupBatch;
  if (n > kBatch) n = kBatch;
  // The keys not yet decided, by their position in keys.
  uint32_t open[kBatch];
  size_t open_count = n;
  for (size_t b = 0; b < n; ++b) {
    open[b] = static_cast<uint32_t>(b);
    hits[b] = LayerHit{};
  }
  uint64_t hashes[kBatch];
  HashKey seed{};
  bool hashed = false;
  for (size_t i = 0; i < layers_.size() && open_count != 0; ++i) {
    const Layer& l = layers_[i];
    KeyView batch[kBatch];
    uint32_t batch_of[kBatch];
    size_t m = 0, kept = 0;
    if (l.filter && (!hashed || l.filter->seed().k0 != seed.k0 ||
                     l.filter->seed().k1 != seed.k1)) {
      seed = l.filter->seed();
      hashed = true;
      for (size_t b = 0; b < n; ++b) hashes[b] = tarndb::FilterHash(seed, keys[b]);
    }
    for (size_t j = 0; j < open_count; ++j) {
      const uint32_t b = open[j];
      if (l.filter && !l.filter->MayContain(hashes[b])) {
        open[kept++] = b;  // not here: still open
        continue;
      }
      batch[m] = keys[b];
      batch_of[m++] = b;
    }
    uint64_t offsets[kBatch];
    bool found[kBatch];
    if (Status s = l.reader->FindMany(batch, m, offsets, found); !s.ok()) return s;
    for (size_t k = 0; k < m; ++k) {
      const uint32_t b = batch_of[k];
      if (found[k]) {
        hits[b] = LayerHit{true, static_cast<uint32_t>(i), offsets[k]};
      } else if (!l.tombs.Contains(batch[k])) {
        open[kept++] = b;
      }
    }
    open_count = kept;
  }
  return OkStatus();
}

Result<uint64_t> LayerStack::Count() const {
  const size_t n = layers_.size();
  uint64_t live = layers_[n - 1].reader->entry_count();
  for (size_t i = n - 1; i-- > 0;) {
    const Reader& r = *layers_[i].reader;
    Result<Reader::Cursor> c = r.At(0);
    if (!c.ok()) return std::move(c.error());
    for (Reader::Cursor& cur = c.value(); !cur.done();) {
      Result<LayerHit> below = FindFrom(i + 1, cur.key());
      if (!below.ok()) return std::move(below.error());
      live += below.value().found ? 0 : 1;
      if (Status s = cur.Next(); !s.ok()) return std::move(s.error());
    }
    for (TombstoneList::Cursor t = layers_[i].tombs.Begin(); !t.done(); t.Next()) {
      Result<LayerHit> below = FindFrom(i + 1, t.key());
      if (!below.ok()) return std::move(below.error());
      live -= below.value().found ? 1 : 0;
    }
  }
  return live;
}

Result<LayerStack::Merge> LayerStack::Begin(const KeyView* prefix, bool fetch_records) const {
  Merge m;
  if (prefix != nullptr) {
    m.prefix_.assign(reinterpret_cast<const char*>(prefix->data), prefix->size);
    m.by_prefix_ = true;
  }
  m.sources_.reserve(2 * layers_.size());
  for (size_t i = 0; i < layers_.size(); ++i) {
    const Layer& l = layers_[i];
    Result<Reader::Cursor> c = prefix != nullptr ? l.reader->LowerBound(*prefix) : l.reader->At(0);
    if (!c.ok()) return std::move(c.error());
    Merge::Source puts;
    puts.reader = fetch_records ? l.reader.get() : nullptr;
    puts.layer = static_cast<uint32_t>(i);
    puts.puts = c.value();
    m.Settle(&puts);
    m.sources_.push_back(puts);
    Merge::Source dels;
    dels.layer = static_cast<uint32_t>(i);
    dels.tomb = true;
    dels.dels = prefix != nullptr ? l.tombs.LowerBound(*prefix) : l.tombs.Begin();
    m.Settle(&dels);
    m.sources_.push_back(dels);
  }
  if (Status s = m.Next(); !s.ok()) return std::move(s.error());
  return m;
}

void LayerStack::Merge::Settle(Source* s) {
  const bool done = s->tomb ? s->dels.done() : s->puts.done();
  s->live = !done;
  if (done) return;
  s->key = s->tomb ? s->dels.key() : s->puts.key();
  if (s->reader != nullptr) s->reader->Prefetch(s->puts.offset());
  if (by_prefix_) {
    s->live = s->key.size >= prefix_.size() &&
              (prefix_.empty() || std::memcmp(s->key.data, prefix_.data(), prefix_.size()) == 0);
  }
}

Status LayerStack::Merge::Advance(Source* s) {
  if (s->tomb) {
    s->dels.Next();
  } else if (Status st = s->puts.Next(); !st.ok()) {
    return st;
  }
  Settle(s);
  return OkStatus();
}

Status LayerStack::Merge::Next() {
  // Most steps take the next entry of the source that gave the last one
  // (a base between the few keys of its deltas): while its key stays
  // below every other source's, one comparison decides.
  if (last_ >= 0) {
    Source& last = sources_[static_cast<size_t>(last_)];
    if (last.live && (runner_up_ < 0 || CompareKeys(last.key, Runner().key) < 0)) {
      return Emit(&last);
    }
  }
  for (;;) {
    // The smallest key; of equal keys, the first source (the newest layer,
    // and its puts before its tombstones) decides.
    Source* min = nullptr;
    Source* second = nullptr;
    for (Source& s : sources_) {
      if (!s.live) continue;
      if (min == nullptr || CompareKeys(s.key, min->key) < 0) {
        second = min;
        min = &s;
      } else if (second == nullptr || CompareKeys(s.key, second->key) < 0) {
        second = &s;
      }
    }
    if (min == nullptr) {
      done_ = true;
      return OkStatus();
    }
    if (!min->tomb && (second == nullptr || CompareKeys(min->key, second->key) < 0)) {
      runner_up_ = second == nullptr ? -1 : static_cast<int>(second - sources_.data());
      return Emit(min);  // no other source holds this key
    }
    const KeyView key = min->key;
    const bool deleted = min->tomb;
    const uint32_t layer = min->layer;
    const uint64_t offset = deleted ? 0 : min->puts.offset();
    for (Source& s : sources_) {
      if (!s.live || (&s != min && CompareKeys(s.key, key) != 0)) continue;
      if (Status st = Advance(&s); !st.ok()) return st;
    }
    last_ = -1;
    if (deleted) continue;
    key_ = key;
    layer_ = layer;
    offset_ = offset;
    return OkStatus();
  }
}

Status LayerStack::Merge::Emit(Source* s) {
  key_ = s->key;
  layer_ = s->layer;
  offset_ = s->puts.offset();
  last_ = static_cast<int>(s - sources_.data());
  return Advance(s);
}

}  // namespace tarndb
