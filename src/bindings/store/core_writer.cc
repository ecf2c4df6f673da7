#include "bindings/store/core_writer.h"

#include <utility>

#include "core/writer/compact.h"
#include "core/writer/publish.h"
#include "core/writer/temp_file.h"
#include "core/writer/writer.h"

namespace tarndb::py::store {

Status CheckTarget(const std::string& target) {
  if (Result<TargetState> state = InspectTarget(target, /*refuse_directory=*/true); !state.ok()) {
    return std::move(state.error());
  }
  return OkStatus();
}

namespace {

WriterOptions OptionsFrom(WriterSettings settings) {
  WriterOptions o;
  if (settings.memory_limit) o.memory_limit = *settings.memory_limit;
  if (settings.spill_dir) o.spill_dir = std::move(*settings.spill_dir);
  if (settings.hash_index) o.extension = *settings.hash_index;
  if (settings.target) o.target = std::move(*settings.target);
  if (settings.unique_keys) o.unique_keys = *settings.unique_keys;
  o.seed = settings.seed;
  if (settings.filter) o.filter = *settings.filter;
  return o;
}

}  // namespace

CoreWriter NewCoreWriter(WriterSettings settings) {
  return CoreWriter(OptionsFrom(std::move(settings)));
}

Result<BuildFigures> CompactStack(const LayerStack& stack, const std::string& path,
                                  WriterSettings settings, std::vector<SectionBytes> sections,
                                  std::function<bool(uint64_t)> progress) {
  CompactOptions o;
  o.writer = OptionsFrom(std::move(settings));
  o.sections = std::move(sections);
  o.progress = std::move(progress);
  return Compact(stack, path, std::move(o));
}

Status CheckKeyLength(size_t size) { return Writer::CheckKeyLength(size); }

Status PublishSmallFile(const uint8_t* data, size_t size, const std::string& path) {
  return PublishBytes(data, size, path);
}

}  // namespace tarndb::py::store
