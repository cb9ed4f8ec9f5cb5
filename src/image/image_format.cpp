#include "image/image_format.h"

#include <algorithm>
#include <array>

namespace wh {
namespace {

struct Signature {
  ImageFormat format;
  std::array<std::uint8_t, 6> bytes;
  std::size_t length;
};

// The formats' own magic numbers: the xz file format's header magic, RFC
// 1952's ID1 ID2, bzip2's "BZh", RFC 8878's frame magic (and its skippable
// frames, 0x184D2A50 to 0x184D2A5F, checked below), a zip local file header,
// 7-Zip's and RAR's signatures.
constexpr std::array<Signature, 7> kSignatures{{
    {ImageFormat::kXz, {0xFD, '7', 'z', 'X', 'Z', 0x00}, 6},
    {ImageFormat::kGzip, {0x1F, 0x8B}, 2},
    {ImageFormat::kBzip2, {'B', 'Z', 'h'}, 3},
    {ImageFormat::kZstd, {0x28, 0xB5, 0x2F, 0xFD}, 4},
    {ImageFormat::kZip, {'P', 'K', 0x03, 0x04}, 4},
    {ImageFormat::kSevenZip, {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C}, 6},
    {ImageFormat::kRar, {'R', 'a', 'r', '!', 0x1A, 0x07}, 6},
}};

}  // namespace

ImageFormat detect_format(std::span<const std::uint8_t> head) {
  for (const Signature& signature : kSignatures) {
    if (head.size() >= signature.length &&
        std::equal(signature.bytes.begin(), signature.bytes.begin() + signature.length, head.begin())) {
      // bzip2's block size digit follows its magic.
      if (signature.format == ImageFormat::kBzip2 && (head.size() < 4 || head[3] < '1' || head[3] > '9')) continue;
      return signature.format;
    }
  }
  if (head.size() >= 4 && (head[0] & 0xF0) == 0x50 && head[1] == 0x2A && head[2] == 0x4D && head[3] == 0x18) {
    return ImageFormat::kZstd;  // a skippable frame first
  }
  return ImageFormat::kRaw;
}

std::string_view format_name(ImageFormat format) {
  switch (format) {
    case ImageFormat::kRaw: return "raw";
    case ImageFormat::kXz: return "xz";
    case ImageFormat::kGzip: return "gzip";
    case ImageFormat::kBzip2: return "bzip2";
    case ImageFormat::kZstd: return "zstd";
    case ImageFormat::kZip: return "zip";
    case ImageFormat::kSevenZip: return "7z";
    case ImageFormat::kRar: return "rar";
  }
  return "raw";
}

}  // namespace wh
