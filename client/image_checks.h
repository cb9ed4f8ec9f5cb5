// What flash-card checks of the image before it asks for a card, from the
// helper's measure of it and from the image itself: it decodes to something,
// it is a disk image, it is whole (its partitions end inside it), and its
// boot partition has every folder a --file goes into.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "flash_options.h"

namespace flash {

// Why the image cannot be flashed, for the person at the keyboard, naming
// the image file; "" when it can. `measured` is image_uncompressed_size's
// answer.
std::string image_refusal(const FlashOptions& options, const nlohmann::json& measured);

}  // namespace flash
