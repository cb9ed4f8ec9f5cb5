#include "raw/image_stream.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "image/image_decode.h"
#include "raw/drive_reader.h"

namespace wh {

ChunkLease& ChunkLease::operator=(ChunkLease&& other) noexcept {
  if (this != &other) {
    give_back();
    owner_ = std::exchange(other.owner_, nullptr);
    slot_ = std::exchange(other.slot_, -1);
    room_ = std::exchange(other.room_, {});
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void ChunkLease::give_back() {
  if (owner_ != nullptr) owner_->recycle(slot_);
  owner_ = nullptr;
}

ImageStream::ImageStream(HandlePtr image, std::optional<ImageFormat> format, std::uint64_t limit,
                         ErrorCode read_failure)
    : image_(std::move(image)), format_(format), limit_(limit), read_failure_(read_failure) {
  for (int slot = kSlots - 1; slot >= 0; --slot) free_.push_back(slot);
  try {
    reader_ = std::thread([this] { produce(); });
  } catch (const std::system_error& error) {
    ready_.push_back({-1, 0, HelperError{read_failure_, std::string("The image could not be read: ") + error.what()}});
  }
}

ImageStream::~ImageStream() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (reader_.joinable()) reader_.join();
}

HelperResult<ChunkLease> ImageStream::next() {
  std::unique_lock lock(mutex_);
  if (finished_) {
    if (failure_) return Err(HelperError(*failure_));
    return ChunkLease{};
  }
  changed_.wait(lock, [this] { return !ready_.empty(); });
  Ready ready = std::move(ready_.front());
  ready_.pop_front();
  if (ready.slot < 0) {
    finished_ = true;
    failure_ = std::move(ready.error);
    if (failure_) return Err(HelperError(*failure_));
    return ChunkLease{};
  }
  return ChunkLease(this, ready.slot, buffers_[static_cast<std::size_t>(ready.slot)].span(), ready.size);
}

void ImageStream::produce() {
  HelperStatus produced = format_ ? decode() : copy_raw();
  publish(produced ? Ready{} : Ready{-1, 0, std::move(produced).error()});
}

HelperStatus ImageStream::copy_raw() {
  while (produced_ < limit_) {
    const std::optional<int> slot = acquire();
    if (!slot) return {};
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, limit_ - produced_));
    // Filled completely unless the image ends: one short read of the file
    // never moves later writes off the sector grid.
    auto got = read_full(*image_, buffers_[static_cast<std::size_t>(*slot)].span().first(want));
    if (!got || *got == 0) recycle(*slot);
    if (!got) return fail(read_failure_, "Reading the image failed: " + got.error().text());
    if (*got == 0) return {};
    produced_ += *got;
    publish({*slot, *got, std::nullopt});
    if (*got < want) return {};
  }
  return {};
}

HelperStatus ImageStream::decode() {
  std::optional<int> slot;
  std::size_t used = 0;
  bool enough = false;
  auto sink = [&](std::span<const std::uint8_t> piece) -> SinkStatus {
    while (!piece.empty()) {
      if (produced_ == limit_) {
        enough = true;
        return Err(std::string("the stream has all it needs"));
      }
      if (!slot) {
        slot = acquire();
        if (!slot) return Err(std::string("the stream was closed"));
        used = 0;
      }
      const auto count = static_cast<std::size_t>(
          std::min<std::uint64_t>({kChunkSize - used, limit_ - produced_, piece.size()}));
      std::memcpy(buffers_[static_cast<std::size_t>(*slot)].data() + used, piece.data(), count);
      used += count;
      produced_ += count;
      piece = piece.subspan(count);
      if (used == kChunkSize || produced_ == limit_) {
        publish({*slot, used, std::nullopt});
        slot.reset();
      }
    }
    return {};
  };
  HelperStatus decoded = limit_ == 0 ? HelperStatus{} : decode_image(*image_, *format_, /*source_digest=*/nullptr, sink);
  if (slot && used > 0) {
    publish({*slot, used, std::nullopt});
  } else if (slot) {
    recycle(*slot);
  }
  if (!decoded && !enough) return decoded;
  return {};
}

std::optional<int> ImageStream::acquire() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return stopping_ || !free_.empty(); });
  if (stopping_) return std::nullopt;
  const int slot = free_.back();
  free_.pop_back();
  return slot;
}

void ImageStream::publish(Ready ready) {
  {
    const std::lock_guard lock(mutex_);
    ready_.push_back(std::move(ready));
  }
  changed_.notify_all();
}

void ImageStream::recycle(int slot) {
  {
    const std::lock_guard lock(mutex_);
    free_.push_back(slot);
  }
  changed_.notify_all();
}

HelperResult<std::optional<ImageFormat>> stream_format(Handle& image, bool decode) {
  if (!decode) return std::optional<ImageFormat>{};
  auto probed = probe_format(image);
  if (!probed) return Err(std::move(probed).error());
  if (auto decodable = check_decodable(*probed); !decodable) return Err(std::move(decodable).error());
  // A raw image is its own bytes: read straight into the chunks.
  if (*probed == ImageFormat::kRaw) return std::optional<ImageFormat>{};
  return std::optional<ImageFormat>{*probed};
}

HelperResult<std::unique_ptr<ImageStream>> open_image_stream(Platform& platform, const std::string& image_path,
                                                             bool decode, std::uint64_t limit,
                                                             ErrorCode read_failure) {
  auto image = platform.open_file_read_as_user(image_path);
  if (!image) return fail(ErrorCode::kImageMissing, image.error());
  auto format = stream_format(**image, decode);
  if (!format) return Err(std::move(format).error());
  return std::make_unique<ImageStream>(std::move(*image), *format, limit, read_failure);
}

}  // namespace wh
