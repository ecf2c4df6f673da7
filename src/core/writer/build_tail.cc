#include "core/writer/build_tail.h"

#include <memory>
#include <optional>

#include "core/format/crc32.h"
#include "core/format/layout.h"
#include "core/writer/extension_builder.h"
#include "core/writer/extension_external.h"
#include "core/writer/key_sort.h"

namespace tarndb {
namespace {

Error ExtensionTooLarge(bool hash_index) {
  return Error::Other(hash_index ? "too many keys for a hash index in one object"
                                 : "extension sections too large for one object");
}

// The entries of keys in order that the index gets: all of them, or, for a
// layer, those that are not tombstones (which go to its sections).
class IndexOrder {
 public:
  IndexOrder(const KeyMap& keys, const KeyOrder& order, LayerSections* layer) : order_(order) {
    if (layer == nullptr || !layer->active()) return;
    filtered_ = true;
    puts_.reserve(order.size());
    for (size_t i = 0; i < order.size(); ++i) {
      const uint32_t e = order[i];
      if (!layer->Take(keys.Key(e), keys.ObjectId(e))) puts_.push_back(e);
    }
  }
  size_t size() const { return filtered_ ? puts_.size() : order_.size(); }
  uint32_t operator[](size_t i) const { return filtered_ ? puts_[i] : order_[i]; }

 private:
  const KeyOrder& order_;
  bool filtered_ = false;
  std::vector<uint32_t> puts_;
};

// The extension block for keys in order, built in memory.
std::optional<ExtensionBuilder> BuildExtension(const KeyMap& keys, const IndexOrder& order,
                                               const TailInput& in, uint64_t data_end) {
  if (!in.hash_index) return ExtensionBuilder(in.sections);
  const size_t n = order.size();
  uint64_t index_size = 0;
  for (size_t i = 0; i < n; ++i) index_size += kEntryOverhead + keys.Key(order[i]).size;
  std::optional<ExtensionBuilder> ext(std::in_place, n, index_size, data_end, in.seed, in.sections);
  uint64_t pos = 0;
  for (size_t i = 0; i < n; ++i) {
    if (i + 8 < n) keys.PrefetchKey(order[i + 8]);
    const uint32_t e = order[i];
    const KeyView key = keys.Key(e);
    ext->Add(key, pos, in.records->position(keys.ObjectId(e)));
    pos += kEntryOverhead + key.size;
  }
  ext->Finish();
  return ext;
}

// The index section for keys in order.
Status AppendIndex(const KeyMap& keys, const IndexOrder& order, const RecordStore& records,
                   Appender* out) {
  const size_t n = order.size();
  for (size_t i = 0; i < n; ++i) {
    // Sorted order visits the entries at random: fetch ahead, the entry
    // first, then its key and its object's position.
    if (i + 16 < n) keys.PrefetchEntry(order[i + 16]);
    if (i + 8 < n) {
      keys.PrefetchKey(order[i + 8]);
      records.Prefetch(keys.ObjectId(order[i + 8]));
    }
    const uint32_t e = order[i];
    uint8_t entry[2 + kMaxKeyLength + 8];
    const uint8_t* end = EncodeIndexEntry(keys.Key(e), records.position(keys.ObjectId(e)), entry);
    if (Status s = out->Append(entry, static_cast<size_t>(end - entry)); !s.ok()) return s;
  }
  return OkStatus();
}

// A block of the sections alone (no hash index), appended to data at the
// end of the data section.
Result<WrittenRecord> AppendSectionsBlock(const TailInput& in, const SpillFile& data) {
  return WriteSectionsRecord(in.sections, data, in.records->data_end(), in.buffer);
}

// A layer without a hash index: its block, then the index from its spill
// file.
Status AppendSpilledIndex(const TailInput& in, const SpillFile& index_file, const Appender& index,
                          uint64_t count, const SpillFile& data, TailFigures* figures) {
  Result<WrittenRecord> block = AppendSectionsBlock(in, data);
  if (!block.ok()) return std::move(block.error());
  const uint64_t ext_bytes = block.value().bytes;
  Status s = CopyRange(index_file.fd(), 0, data.fd(), in.records->data_end() + ext_bytes,
                       index.appended(), data.name());
  if (!s.ok()) return s;
  *figures = TailFigures{count, ext_bytes, ext_bytes + index.appended(),
                         crc32::Combine(block.value().crc, index.crc(), index.appended())};
  return OkStatus();
}

}  // namespace

Status AppendTail(const KeyMap& keys, const TailInput& given, Appender* out,
                  TailFigures* figures) {
  const KeyOrder sorted(keys);
  const IndexOrder order(keys, sorted, given.layer);
  // A layer's sections are complete once every key has been taken.
  std::vector<SectionBytes> sections;
  TailInput in = given;
  if (given.layered()) {
    sections = given.layer->With(*given.sections);
    in.sections = &sections;
  }
  const uint64_t data_end = out->end();
  uint64_t ext_bytes = 0;
  if (in.has_extension()) {
    const std::optional<ExtensionBuilder> ext = BuildExtension(keys, order, in, data_end);
    if (ext->payload_size() > kMaxObjectLength) return ExtensionTooLarge(in.hash_index);
    Status s = ext->EmitRecord([out](const uint8_t* p, size_t n) { return out->Append(p, n); });
    if (!s.ok()) return s;
    ext_bytes = kRecordHeadSize + ext->payload_size();
  }
  if (Status s = AppendIndex(keys, order, *in.records, out); !s.ok()) return s;
  if (Status s = out->Flush(); !s.ok()) return s;
  *figures = TailFigures{order.size(), ext_bytes, out->appended(), out->crc()};
  return OkStatus();
}

Status WriteTailFromRuns(const MergeInput& merge, const TailInput& given, const SpillFile& data,
                         TailFigures* figures) {
  TailInput in = given;
  const uint64_t data_end = in.records->data_end();
  // Without a hash index the extension block (if any) does not depend on
  // the keys: it goes first and the index straight after it. With one, or
  // with a layer's sections (known once every key is merged), the index
  // goes to a spill file first, since the block comes before it.
  const bool index_first = in.hash_index || in.layered();
  uint64_t index_start = data_end;
  uint32_t small_crc = 0;
  if (!index_first && !in.sections->empty()) {
    Result<WrittenRecord> block = AppendSectionsBlock(in, data);
    if (!block.ok()) return std::move(block.error());
    small_crc = block.value().crc;
    index_start += block.value().bytes;
  }
  std::unique_ptr<SpillFile> index_file;
  if (index_first) {
    Result<SpillFile> made = SpillFile::Create(merge.spill_dir, "spill file");
    if (!made.ok()) return std::move(made.error());
    index_file = std::make_unique<SpillFile>(std::move(made.value()));
  }
  Appender index(index_first ? index_file.get() : &data, index_first ? 0 : index_start,
                 in.buffer);
  uint64_t count = 0;
  LayerSections* layer = in.layered() ? in.layer : nullptr;
  Status s = merge.runs->Merge(
      merge.memory, merge.keep_first, merge.repeat, [&](KeyView key, uint32_t obj_id) -> Status {
        if (layer != nullptr && layer->Take(key, obj_id)) return OkStatus();
        uint8_t entry[2 + kMaxKeyLength + 8];
        const uint8_t* end = EncodeIndexEntry(key, in.records->position(obj_id), entry);
        ++count;
        return index.Append(entry, static_cast<size_t>(end - entry));
      });
  if (s.ok()) s = index.Flush();
  if (!s.ok()) return s;
  if (index_first && merge.fails_anyway && merge.fails_anyway()) return OkStatus();
  if (!index_first) {
    const uint64_t ext_bytes = index_start - data_end;
    *figures = TailFigures{count, ext_bytes, ext_bytes + index.appended(),
                           crc32::Combine(small_crc, index.crc(), index.appended())};
    return OkStatus();
  }
  std::vector<SectionBytes> sections;
  if (layer != nullptr) {
    sections = layer->With(*in.sections);
    in.sections = &sections;
  }
  if (!in.hash_index) return AppendSpilledIndex(in, *index_file, index, count, data, figures);
  ExternalExtensionInput ext;
  ext.index = index_file.get();
  ext.index_size = index.appended();
  ext.num_entries = count;
  ext.data_end = data_end;
  ext.seed = in.seed;
  ext.spill_dir = merge.spill_dir;
  ext.memory = merge.memory;
  ext.sections = in.sections;
  Result<WrittenRecord> record = WriteExtensionExternally(ext, data, data_end);
  if (!record.ok()) return std::move(record.error());
  const uint64_t index_at = data_end + record.value().bytes;
  if (Status c = CopyRange(index_file->fd(), 0, data.fd(), index_at, ext.index_size, data.name());
      !c.ok()) {
    return c;
  }
  *figures = TailFigures{count, record.value().bytes, record.value().bytes + ext.index_size,
                         crc32::Combine(record.value().crc, index.crc(), ext.index_size)};
  return OkStatus();
}

}  // namespace tarndb
