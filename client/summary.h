// The closing report of a flash: what was written and verified at which
// speed, the digests, how a readback difference was judged, the boot
// report's rows and the files put on the card.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "progress_view.h"

namespace flash {

struct FlashRecord {
  std::string image;
  std::string prepared_image;  // "" for a streamed write
  std::string target;  // describe_disk of the card
  std::uint64_t image_bytes = 0;
  // image_extract_xz's digest of the prepared image; for a streamed write,
  // the digest of the decoded bytes write_image wrote.
  std::string image_sha256;
  bool sparse = false;                   // only what the image's file systems use is written
  nlohmann::json write_map;              // for a streamed sparse write: image_uncompressed_size's map
  nlohmann::json write;                  // write_image's payload
  std::optional<nlohmann::json> mismatch_class;  // classify_mismatch's payload, when asked
  nlohmann::json boot_report;            // verify_boot's report
  std::vector<std::string> card_files;   // apply_customization's files
  std::string boot_volume;               // and the volume they went to
  std::vector<std::string> warnings;     // detach_target's
};

// The bytes each card's readback reads, as far as they are known before the
// write: a streamed sparse write's extents; otherwise the whole image (a
// prepared image's map is made by the write itself).
std::uint64_t bytes_read_back(const FlashRecord& record);

// A string or unsigned member of a helper payload; "" or 0 when it is absent
// or of another type.
std::string text(const nlohmann::json& object, const char* name);
std::uint64_t count(const nlohmann::json& object, const char* name);

void print_summary(std::ostream& out, const FlashRecord& record, const ProgressView& view);

// One row of a boot report: "passed    Master boot record: MBR signature is present."
std::string boot_row(const nlohmann::json& check);

}  // namespace flash
