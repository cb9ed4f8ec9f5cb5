// What an image file is, told by its first bytes, never by its name.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace wh {

enum class ImageFormat { kRaw, kXz, kGzip, kBzip2, kZstd, kZip, kSevenZip, kRar };

// How many leading bytes detect_format looks at.
inline constexpr std::size_t kFormatProbeBytes = 8;

// The format whose signature `head` (the file's first bytes, fewer for a
// shorter file) starts with; kRaw when it is none of them.
ImageFormat detect_format(std::span<const std::uint8_t> head);

// "raw", "xz", "gzip", "bzip2", "zstd", "zip", "7z", "rar".
std::string_view format_name(ImageFormat format);

}  // namespace wh
