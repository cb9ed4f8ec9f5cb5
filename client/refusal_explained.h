// What a helper's refusal means for the person at the keyboard. The helper
// names what went wrong in its own words; flash-card adds which thing is to
// blame and what to do about it: the image file, the disk of the prepared
// image's cache, or the card.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace flash {

// The explanation of `command`'s refusal (`code`, `message`) of a request
// with `payload`; "" when the helper's message says it well enough. The
// payload tells which file the command reads: the downloaded image, or
// (write_image and classify_mismatch without decompress) the prepared image
// in the cache.
std::string explain_refusal(const std::string& command, const nlohmann::json& payload, const std::string& code,
                            const std::string& message);

}  // namespace flash
