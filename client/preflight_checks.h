// What flash-card checks before it asks for a card, so that nothing fails
// only after the card was written: that the image is a file at all; of the
// image, from the helper's measure of
// it and from the image itself, that it decodes to something, is a disk image,
// is whole (its partitions end inside it) and that its boot partition has
// every folder a --file goes into; of the first-boot files, that they fit the
// one request that carries them.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "flash_options.h"

namespace flash {

// Why the path given as the image names no image file: not found, or a
// folder; "" when a file is there.
std::string image_path_refusal(const std::string& image);

// Why the image cannot be flashed, for the person at the keyboard, naming
// the image file; "" when it can. `measured` is image_uncompressed_size's
// answer.
std::string image_refusal(const FlashOptions& options, const nlohmann::json& measured);

// Why apply_customization's `payload` cannot reach the helper: the request
// that carries it would pass the 16 MiB the helper reads of one; "" when it
// fits.
std::string request_refusal(const nlohmann::json& payload, const std::string& session_id);

}  // namespace flash
