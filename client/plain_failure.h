// A helper's refusal told as one plain sentence for the person at the
// keyboard: what failed, in words a user knows (the image file, the disk of
// the prepared image's cache, the card), and what to do next. The helper's
// command, code and words are for --verbose and the transcript.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace flash {

// The sentence, without "flash-card: " before it; never empty. The request's
// `payload` tells which file an image failure is about (refusal_explained.h).
std::string plain_failure(const std::string& command, const nlohmann::json& payload, const std::string& code,
                          const std::string& message);

// `message` without Windows' " (os error N)" and a full stop at its end.
std::string without_error_code(std::string message);

// Whether a refusal of an image command is the image's own fault (missing,
// not a disk image, damaged), which the command line's input is to blame
// for, rather than a failure of the machine.
bool refuses_the_image(const std::string& code);

}  // namespace flash
