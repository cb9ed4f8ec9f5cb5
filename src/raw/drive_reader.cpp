#include "raw/drive_reader.h"

#include <algorithm>
#include <cstring>

namespace wh {

OsResult<std::size_t> read_full(Handle& handle, std::span<std::uint8_t> buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    auto got = handle.read(buffer.subspan(filled));
    if (!got) {
      if (got.error().interrupted) continue;
      return Err(std::move(got).error());
    }
    if (*got == 0) break;
    filled += *got;
  }
  return filled;
}

Result<void, std::string> write_full(Handle& handle, std::span<const std::uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    auto put = handle.write(data.subspan(done));
    if (!put) {
      if (put.error().interrupted) continue;
      return Err(put.error().text());
    }
    if (*put == 0) return Err(std::string("failed to write whole buffer"));
    done += *put;
  }
  return {};
}

DriveReader::DriveReader(Handle& drive, std::uint64_t disk_length, std::uint32_t sector_bytes)
    : drive_(drive), sector_(sector_bytes), end_(disk_length / sector_ * sector_), bounce_(sector_bytes) {}

OsResult<std::size_t> DriveReader::read_sectors_at(std::uint64_t offset, std::span<std::uint8_t> buffer) {
  if (!positioned_ || device_position_ != offset) {
    if (auto sought = drive_.seek(offset); !sought) return Err(std::move(sought).error());
    positioned_ = true;
    device_position_ = offset;
  }
  auto got = read_full(drive_, buffer);
  if (got) device_position_ += *got;
  return got;
}

OsResult<std::size_t> DriveReader::read(std::span<std::uint8_t> buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size() && position_ < end_) {
    const std::uint64_t want = std::min<std::uint64_t>(buffer.size() - filled, end_ - position_);
    const std::uint64_t in_sector = position_ % sector_;
    const std::uint64_t whole = in_sector == 0 ? want / sector_ * sector_ : 0;
    std::size_t got = 0;
    if (whole > 0) {
      // Straight into the caller's buffer: the steady state of every pass.
      auto read = read_sectors_at(position_, buffer.subspan(filled, static_cast<std::size_t>(whole)));
      if (!read) return read;
      got = *read;
    } else {
      // A count that starts or ends inside a sector goes through the bounce
      // sector, so the device still sees one whole, aligned sector.
      const std::uint64_t sector_start = position_ - in_sector;
      auto read = read_sectors_at(sector_start, bounce_.span());
      if (!read) return read;
      if (*read <= in_sector) break;
      got = static_cast<std::size_t>(std::min<std::uint64_t>(want, *read - in_sector));
      std::memcpy(buffer.data() + filled, bounce_.data() + in_sector, got);
    }
    if (got == 0) break;
    filled += got;
    position_ += got;
  }
  return filled;
}

}  // namespace wh
