#include "image/write_map.h"

#include <algorithm>

#include "frame/payload_fields.h"

namespace wh {

using nlohmann::json;

namespace {

HelperResult<WriteMap> invalid(const std::string& why) { return fail(ErrorCode::kUnknown, "Invalid writeMap: " + why); }

void add_extent(std::vector<ByteRange>& extents, ByteRange range) {
  if (!extents.empty() && extents.back().end == range.start) {
    extents.back().end = range.end;
  } else {
    extents.push_back(range);
  }
}

json found_json(const ImageUsage& usage) {
  json partitions = json::array();
  for (const PartitionUsage& part : usage.partitions) {
    partitions.push_back({{"number", part.number},
                          {"offset", part.bytes.start},
                          {"bytes", part.bytes.length()},
                          {"fileSystem", part.file_system},
                          {"freeBytes", part.free_bytes},
                          {"writtenWhole", part.written_whole}});
  }
  return json{{"table", usage.table}, {"partitions", std::move(partitions)}};
}

}  // namespace

std::uint64_t WriteMap::bytes_written() const {
  std::uint64_t total = 0;
  for (const ByteRange& extent : extents) total += extent.length();
  return total;
}

WriteMap make_write_map(const ImageUsage& usage, std::uint64_t image_bytes, std::string sha256) {
  WriteMap map{image_bytes, std::move(sha256), {}, found_json(usage)};
  // Walks the units and the free ranges together: a unit is skipped when
  // the free ranges cover it from its first byte to its last.
  std::size_t next = 0;
  for (std::uint64_t unit = 0; unit < image_bytes; unit += kWriteUnit) {
    const std::uint64_t end = std::min(unit + kWriteUnit, image_bytes);
    while (next < usage.free.size() && usage.free[next].end <= unit) ++next;
    std::uint64_t covered = unit;
    for (std::size_t i = next; i < usage.free.size() && usage.free[i].start <= covered && covered < end; ++i) {
      covered = std::max(covered, usage.free[i].end);
    }
    if (covered < end) add_extent(map.extents, {unit, end});
  }
  return map;
}

WriteMap whole_write_map(std::uint64_t image_bytes, std::string sha256) {
  WriteMap map{image_bytes, std::move(sha256), {}, json::object()};
  if (image_bytes > 0) map.extents.push_back({0, image_bytes});
  return map;
}

json write_map_json(const WriteMap& map) {
  json extents = json::array();
  for (const ByteRange& extent : map.extents) extents.push_back({extent.start, extent.length()});
  json result = map.found;
  result["imageBytes"] = map.image_bytes;
  result["sha256"] = map.sha256;
  result["unitBytes"] = kWriteUnit;
  result["extents"] = std::move(extents);
  result["bytesWritten"] = map.bytes_written();
  result["bytesSkipped"] = map.bytes_skipped();
  return result;
}

HelperResult<WriteMap> read_write_map(const json& value) {
  if (!value.is_object()) return invalid("not an object");
  const auto image_bytes = optional_count(value, "imageBytes");
  if (!image_bytes || !value["imageBytes"].is_number_unsigned()) return invalid("no imageBytes");
  WriteMap map{*image_bytes, text_or(value, "sha256", ""), {}, json::object()};
  // What the scan found is passed on as given, for the caller to read.
  for (const char* member : {"table", "partitions"}) {
    if (value.contains(member)) map.found[member] = value[member];
  }
  const json* extents = payload_member(value, "extents");
  if (extents == nullptr || !extents->is_array()) return invalid("no extents");
  for (const json& extent : *extents) {
    if (!extent.is_array() || extent.size() != 2 || !extent[0].is_number_unsigned() || !extent[1].is_number_unsigned()) {
      return invalid("an extent is not [offset, length]");
    }
    const auto offset = extent[0].get<std::uint64_t>(), length = extent[1].get<std::uint64_t>();
    if (length == 0 || offset > map.image_bytes || length > map.image_bytes - offset) {
      return invalid("an extent lies outside the image");
    }
    const std::uint64_t end = offset + length;
    if (offset % kWriteUnit != 0 || (end % kWriteUnit != 0 && end != map.image_bytes)) {
      return invalid("an extent is off the " + std::to_string(kWriteUnit) + "-byte grid");
    }
    if (!map.extents.empty() && offset < map.extents.back().end) return invalid("the extents overlap or are out of order");
    add_extent(map.extents, {offset, end});
  }
  return map;
}

bool ExtentWalk::written(std::uint64_t offset) {
  while (next_ < extents_.size() && extents_[next_].end <= offset) ++next_;
  return next_ < extents_.size() && extents_[next_].start <= offset;
}

}  // namespace wh
