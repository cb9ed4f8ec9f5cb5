#include "image/zip_decode.h"

#include <unzip.h>

#include <memory>
#include <optional>
#include <vector>

namespace wh {
namespace {

Err<HelperError> invalid(std::string message) { return fail(ErrorCode::kXzInvalid, std::move(message)); }

// minizip reads the archive through these: the central directory at the end
// first, then the entry, seeking between them.
struct Archive {
  Handle& handle;
  std::uint64_t size = 0;
  std::uint64_t position = 0;
  std::optional<OsError> error;  // the first failed read or seek
};

Archive& of(voidpf opaque) { return *static_cast<Archive*>(opaque); }

voidpf ZCALLBACK open_archive(voidpf opaque, const void* /*filename*/, int /*mode*/) { return opaque; }

uLong ZCALLBACK read_archive(voidpf opaque, voidpf /*stream*/, void* buffer, uLong size) {
  Archive& archive = of(opaque);
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  uLong done = 0;
  while (done < size) {
    auto got = archive.handle.read(std::span(bytes + done, size - done));
    if (!got) {
      if (got.error().interrupted) continue;
      if (!archive.error) archive.error = got.error();
      break;
    }
    if (*got == 0) break;
    done += static_cast<uLong>(*got);
  }
  archive.position += done;
  return done;
}

uLong ZCALLBACK write_archive(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK tell_archive(voidpf opaque, voidpf /*stream*/) { return of(opaque).position; }

long ZCALLBACK seek_archive(voidpf opaque, voidpf /*stream*/, ZPOS64_T offset, int origin) {
  Archive& archive = of(opaque);
  std::uint64_t base = 0;
  if (origin == ZLIB_FILEFUNC_SEEK_CUR) base = archive.position;
  if (origin == ZLIB_FILEFUNC_SEEK_END) base = archive.size;
  if (offset > UINT64_MAX - base) return -1;
  if (auto sought = archive.handle.seek(base + offset); !sought) {
    if (!archive.error) archive.error = sought.error();
    return -1;
  }
  archive.position = base + offset;
  return 0;
}

int ZCALLBACK close_archive(voidpf, voidpf) { return 0; }
int ZCALLBACK archive_error(voidpf opaque, voidpf) { return of(opaque).error ? 1 : 0; }

// minizip's answer as the helper words it; an I/O failure keeps the system's text.
Err<HelperError> zip_error(const Archive& archive, int status) {
  if (archive.error) return invalid("io error: " + archive.error->text());
  switch (status) {
    case UNZ_CRCERROR: return invalid("zip error: the image's CRC-32 does not match");
    case Z_DATA_ERROR: return invalid("zip error: invalid compressed data");
    case UNZ_BADZIPFILE: return invalid("zip error: damaged entry header");
    default: return invalid("zip error: minizip error " + std::to_string(status));
  }
}

HelperStatus digest_whole(Handle& source, Sha256& digest) {
  std::vector<std::uint8_t> buffer(kDecodedPieceBytes);
  if (auto back = source.seek(0); !back) return invalid("io error: " + back.error().text());
  while (true) {
    auto got = source.read(buffer);
    if (!got) {
      if (got.error().interrupted) continue;
      return invalid("io error: " + got.error().text());
    }
    if (*got == 0) return {};
    digest.update(std::span(buffer).first(*got));
  }
}

// The position of the one regular file, or the refusal.
HelperResult<unz64_file_pos> single_file(unzFile zip, const Archive& archive) {
  std::optional<unz64_file_pos> found;
  int files = 0;
  int status = unzGoToFirstFile(zip);
  for (; status == UNZ_OK; status = unzGoToNextFile(zip)) {
    unz_file_info64 info{};
    std::vector<char> name(65536);
    status = unzGetCurrentFileInfo64(zip, &info, name.data(), static_cast<uLong>(name.size()), nullptr, 0, nullptr, 0);
    if (status != UNZ_OK) return zip_error(archive, status);
    const std::size_t length = info.size_filename;
    const bool directory = length > 0 && (name[length - 1] == '/' || name[length - 1] == '\\');
    if (directory) continue;
    if (++files == 1) {
      found.emplace();
      if (unzGetFilePos64(zip, &*found) != UNZ_OK) return zip_error(archive, UNZ_INTERNALERROR);
    }
  }
  if (status != UNZ_END_OF_LIST_OF_FILE) return zip_error(archive, status);
  if (files == 0) return invalid("zip error: the archive holds no file");
  if (files > 1) {
    return invalid("Unsupported image format: a zip archive of " + std::to_string(files) +
                   " files (an image archive holds exactly one)");
  }
  return *found;
}

using ZipPtr = std::unique_ptr<void, int (*)(unzFile)>;

// The archive opened over `archive`, its one image made the current entry
// and described by `info`; or the refusal: several files, encryption, a
// method other than stored or deflated.
HelperResult<ZipPtr> open_image_entry(Archive& archive, zlib_filefunc64_def& functions, unz_file_info64& info) {
  ZipPtr zip(unzOpen2_64("image", &functions), unzClose);
  if (!zip) {
    if (archive.error) return invalid("io error: " + archive.error->text());
    return invalid("zip error: no central directory (not a whole zip archive)");
  }
  auto position = single_file(zip.get(), archive);
  if (!position) return Err(std::move(position).error());
  if (unzGoToFilePos64(zip.get(), &*position) != UNZ_OK) return zip_error(archive, UNZ_INTERNALERROR);
  if (int status = unzGetCurrentFileInfo64(zip.get(), &info, nullptr, 0, nullptr, 0, nullptr, 0); status != UNZ_OK) {
    return zip_error(archive, status);
  }
  if ((info.flag & 1) != 0) return invalid("Unsupported image format: an encrypted zip archive");
  if (info.compression_method != 0 && info.compression_method != Z_DEFLATED) {
    return invalid("Unsupported image format: a zip archive compressed with method " +
                   std::to_string(info.compression_method) + " (only stored and deflated images)");
  }
  return zip;
}

zlib_filefunc64_def functions_over(Archive& archive) {
  return {open_archive, read_archive, write_archive, tell_archive, seek_archive, close_archive, archive_error, &archive};
}

}  // namespace

HelperResult<std::uint64_t> zip_image_size(Handle& source) {
  auto size = source.file_size();
  if (!size) return invalid("io error: " + size.error().text());
  Archive archive{source, *size, 0, std::nullopt};
  zlib_filefunc64_def functions = functions_over(archive);
  unz_file_info64 info{};
  auto zip = open_image_entry(archive, functions, info);
  if (!zip) return Err(std::move(zip).error());
  return std::uint64_t{info.uncompressed_size};
}

HelperStatus decode_zip(Handle& source, Sha256* source_digest, const PieceSink& sink) {
  if (source_digest != nullptr) {
    if (auto hashed = digest_whole(source, *source_digest); !hashed) return hashed;
  }
  auto size = source.file_size();
  if (!size) return invalid("io error: " + size.error().text());
  Archive archive{source, *size, 0, std::nullopt};
  zlib_filefunc64_def functions = functions_over(archive);
  unz_file_info64 info{};
  auto opened = open_image_entry(archive, functions, info);
  if (!opened) return Err(std::move(opened).error());
  const ZipPtr zip = std::move(*opened);
  if (int status = unzOpenCurrentFile(zip.get()); status != UNZ_OK) return zip_error(archive, status);
  // minizip checks the CRC-32 only when the entry yields its whole declared
  // size: a deflate stream that ends early would pass unchecked. The count
  // and the CRC-32 are checked here, always.
  std::uint64_t decoded = 0;
  uLong crc = crc32(0L, Z_NULL, 0);
  std::vector<std::uint8_t> piece(kDecodedPieceBytes);
  std::size_t used = 0;
  while (true) {
    const int got = unzReadCurrentFile(zip.get(), piece.data() + used, static_cast<unsigned>(piece.size() - used));
    if (got < 0) {
      (void)unzCloseCurrentFile(zip.get());
      return zip_error(archive, got);
    }
    crc = crc32(crc, piece.data() + used, static_cast<uInt>(got));
    decoded += static_cast<std::uint64_t>(got);
    used += static_cast<std::size_t>(got);
    if (got == 0 || used == piece.size()) {
      if (used > 0) {
        if (auto taken = sink(std::span(piece).first(used)); !taken) {
          (void)unzCloseCurrentFile(zip.get());
          return invalid("io error: " + taken.error());
        }
      }
      used = 0;
      if (got == 0) break;
    }
  }
  if (int status = unzCloseCurrentFile(zip.get()); status != UNZ_OK) return zip_error(archive, status);
  if (decoded != info.uncompressed_size) {
    return invalid("zip error: the image ends after " + std::to_string(decoded) + " of its " +
                   std::to_string(info.uncompressed_size) + " bytes");
  }
  if (crc != info.crc) return zip_error(archive, UNZ_CRCERROR);
  return {};
}

}  // namespace wh
