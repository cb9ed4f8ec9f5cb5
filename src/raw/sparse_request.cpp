#include "raw/sparse_request.h"

#include "frame/payload_fields.h"
#include "image/image_bytes.h"

namespace wh {

WriteMap scan_prepared_image(Handle& image, std::uint64_t size) {
  FileImageBytes bytes(image, size);
  WriteMap map = make_write_map(scan_image_usage(bytes), size, "");
  (void)image.seek(0);
  return map;
}

HelperResult<std::optional<WriteMap>> requested_write_map(const nlohmann::json& payload, Handle& image, bool decoded,
                                                          std::optional<std::uint64_t> known_bytes) {
  if (!optional_flag(payload, "sparse")) return std::optional<WriteMap>{};
  const nlohmann::json* given = payload_member(payload, "writeMap");
  if (given == nullptr) {
    if (decoded || !known_bytes) {
      return fail(ErrorCode::kUnknown,
                  "Missing writeMap payload field: a sparse write of a compressed image takes the map that "
                  "image_uncompressed_size made with sparse");
    }
    WriteMap map = scan_prepared_image(image, *known_bytes);
    return std::optional<WriteMap>(std::move(map));
  }
  auto map = read_write_map(*given);
  if (!map) return Err(std::move(map).error());
  if (known_bytes && map->image_bytes != *known_bytes) {
    return fail(ErrorCode::kUnknown, "Invalid writeMap: it was made for an image of " + std::to_string(map->image_bytes) +
                                         " bytes, and this one holds " + std::to_string(*known_bytes));
  }
  return std::optional<WriteMap>(std::move(*map));
}

}  // namespace wh
