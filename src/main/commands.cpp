// The composition root: every command handler of this build, by name.
#include "customize/customization.h"
#include "boot/boot_report.h"
#include "discovery/list_disks.h"
#include "frame/entry.h"
#include "frame/simple_commands.h"
#include "image/image_commands.h"
#include "raw/mismatch.h"
#include "raw/readback_commands.h"
#include "raw/write_image.h"
#include "target/disk_commands.h"

namespace wh {

namespace {

constexpr CommandEntry kHandlers[] = {
    {"health", handle_health},
    {"cancel_task", handle_cancel_task},
    {"list_disks", handle_list_disks},
    {"image_validate_xz", handle_image_validate_xz},
    {"image_uncompressed_size", handle_image_uncompressed_size},
    {"image_extract_xz", handle_image_extract_xz},
    {"image_validate", handle_image_validate},
    {"image_extract", handle_image_extract},
    {"prepare_disk", handle_prepare_disk},
    {"detach_target", handle_detach_target},
    {"finalize_disk", handle_finalize_disk},
    {"reformat_disk", handle_reformat_disk},
    {"write_image", handle_write_image},
    {"verify_hash", handle_verify_hash},
    {"read_sectors", handle_read_sectors},
    {"classify_mismatch", handle_classify_mismatch},
    {"apply_customization", handle_apply_customization},
    {"verify_boot", handle_verify_boot},
};

}  // namespace

int run_helper(const std::vector<std::string>& arguments, Platform& platform, LineWriter& out) {
  return run_request(arguments, platform, out, kHandlers);
}

}  // namespace wh
