#include "boot/boot_report.h"

#include <string>
#include <string_view>
#include <vector>

#include "boot/boot_checks.h"
#include "frame/payload_fields.h"
#include "target/volume_locks.h"

namespace wh {

using nlohmann::json;

namespace {

constexpr std::string_view kStep = "boot verification";
constexpr const char* kLimitation =
    "Host-side boot-readiness verifies the written target structure and Raspberry Pi boot files; a desktop app "
    "cannot physically boot a Raspberry Pi without a connected Pi hardware harness.";

// A string member, or null when absent or of another type.
json text_or_null(const json& payload, std::string_view name) {
  const json* value = payload_member(payload, name);
  return value != nullptr && value->is_string() ? *value : json(nullptr);
}

// Only a non-negative whole number is an ordinal; other numbers are dropped.
json ordinal_or_null(const json& payload) {
  const json* value = payload_member(payload, "targetOrdinal");
  return value != nullptr && value->is_number_unsigned() ? *value : json(nullptr);
}

ImageEvidence read_evidence(const json& payload) {
  ImageEvidence evidence;
  evidence.expected_sha256 = text_or(payload, "expectedSha256", "");
  evidence.observed_sha256 = text_or(payload, "observedSha256", "");
  evidence.verified_bytes = optional_count(payload, "verifiedBytes").value_or(0);
  evidence.image_bytes = optional_count(payload, "imageBytes").value_or(evidence.verified_bytes);
  evidence.skip_checksum = optional_flag(payload, "skipChecksum");
  evidence.mount_side_effects_only = optional_flag(payload, "mountSideEffectsOnly");
  return evidence;
}

// Opens the proven drive alone and read-only, proves it once more through
// that handle and reads the card. Every failure becomes a row; the handle
// is closed on return.
void inspect_card(Platform& platform, const TargetIdentity& identity, std::vector<BootCheck>& checks) {
  auto drive = platform.open_drive_exclusive_read(raw_target_path(identity));
  if (!drive) return checks.push_back(media_read_failure(drive.error().text()));
  if (auto proven = revalidate_raw_handle(**drive, identity, kStep); !proven) {
    return checks.push_back(media_read_failure(std::move(proven).error().message));
  }
  auto sector = (*drive)->logical_sector_bytes();
  if (!sector) return checks.push_back(media_read_failure(sector.error().text()));
  inspect_boot_media(**drive, *sector, checks);
}

}  // namespace

HelperResult<json> handle_verify_boot(CommandContext& context) {
  const json& payload = context.request.payload;
  auto path = resolve_target_path(payload);
  if (!path) return Err(std::move(path).error());
  auto target = prepare_target(context.platform, payload, *path, kStep);
  if (!target) return Err(std::move(target).error());

  const ImageEvidence evidence = read_evidence(payload);
  std::vector<BootCheck> checks{image_check(evidence)};
  if (checks.front().status != CheckStatus::kFailed) inspect_card(context.platform, target->identity, checks);
  const bool success = checks_succeeded(checks);

  json rows = json::array();
  for (const BootCheck& check : checks) rows.push_back(check.to_json());
  json report{{"deviceId", text_or(payload, "deviceId", *path)},
              {"targetLabel", text_or_null(payload, "targetLabel")},
              {"targetOrdinal", ordinal_or_null(payload)},
              {"devicePath", text_or(payload, "devicePath", *path)},
              {"model", text_or_null(payload, "model")},
              {"expectedSha256", evidence.expected_sha256},
              {"observedSha256", evidence.observed_sha256},
              {"verifiedBytes", evidence.verified_bytes},
              {"imageBytes", evidence.image_bytes},
              {"outcome", success ? "working" : "failed"},
              {"success", success},
              {"checks", std::move(rows)},
              {"limitations", json::array({kLimitation})}};
  // The volumes stay locked until the report is made.
  target->locks.release();
  return json{{"report", std::move(report)}};
}

}  // namespace wh
