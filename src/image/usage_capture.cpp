#include "image/usage_capture.h"

#include <algorithm>
#include <cstring>

namespace wh {

UsageCapture::UsageCapture(std::uint64_t memory_cap) : memory_cap_(memory_cap) {}

bool UsageCapture::complete(std::uint64_t index, const Page& page) const {
  const std::uint64_t start = index * kPage;
  // The stream's last page ends with the stream.
  const std::uint64_t length = finished_ ? std::min(kPage, position_ > start ? position_ - start : 0) : kPage;
  return page.filled >= length;
}

bool UsageCapture::fill(std::uint64_t index, Page& page) {
  const std::uint64_t look_back_start = position_ - look_back_.size();
  const auto copy_from = [&](std::span<const std::uint8_t> bytes, std::uint64_t bytes_start) {
    const std::uint64_t want = index * kPage + page.filled;
    const std::uint64_t page_end = (index + 1) * kPage;
    if (want < bytes_start || want >= bytes_start + bytes.size()) return;
    const std::uint64_t count = std::min(page_end, bytes_start + bytes.size()) - want;
    std::memcpy(page.bytes.get() + page.filled, bytes.data() + (want - bytes_start), static_cast<std::size_t>(count));
    page.filled += count;
  };
  copy_from(look_back_, look_back_start);
  copy_from(piece_, position_);
  return complete(index, page);
}

Availability UsageCapture::Captured::read(std::uint64_t offset, std::span<std::uint8_t> buffer) {
  UsageCapture& owner = owner_;
  if (buffer.empty()) return Availability::kRead;
  if (offset > UINT64_MAX - buffer.size()) return Availability::kNever;
  const std::uint64_t end = offset + buffer.size();
  const std::uint64_t reachable = owner.position_ - owner.look_back_.size();
  bool later = false;
  for (std::uint64_t index = offset / kPage; index <= (end - 1) / kPage; ++index) {
    auto found = owner.pages_.find(index);
    if (found == owner.pages_.end()) {
      // A page that began before the bytes still at hand is gone for good.
      const bool too_big = (owner.pages_.size() + 1) * kPage > owner.memory_cap_;
      if (owner.finished_ || index * kPage < reachable || too_big) return Availability::kNever;
      found = owner.pages_.emplace(index, Page{}).first;
      owner.fill(index, found->second);
    }
    if (!owner.complete(index, found->second)) {
      if (owner.finished_) return Availability::kNever;
      later = true;
    }
  }
  if (later) return Availability::kLater;
  for (std::uint64_t at = offset; at < end;) {
    const std::uint64_t index = at / kPage;
    const std::uint64_t in_page = at - index * kPage;
    const std::uint64_t count = std::min(end - at, kPage - in_page);
    std::memcpy(buffer.data() + (at - offset), owner.pages_.at(index).bytes.get() + in_page, static_cast<std::size_t>(count));
    at += count;
  }
  return Availability::kRead;
}

std::optional<std::uint64_t> UsageCapture::Captured::size() const {
  if (!owner_.finished_) return std::nullopt;
  return owner_.position_;
}

void UsageCapture::scan() {
  last_ = scan_image_usage(reader_);
  scan_due_ = false;
}

void UsageCapture::add(std::span<const std::uint8_t> piece) {
  if (piece.empty()) return;
  piece_ = piece;
  const std::uint64_t piece_end = position_ + piece.size();
  for (auto it = pages_.lower_bound(position_ / kPage); it != pages_.end() && it->first * kPage < piece_end; ++it) {
    if (!complete(it->first, it->second) && fill(it->first, it->second)) scan_due_ = true;
  }
  // Only a scan that still waits for bytes can learn more from new ones.
  if (scan_due_ && (position_ == 0 || last_.waiting)) scan();
  scan_due_ = false;

  if (piece.size() >= kLookBack) {
    look_back_.assign(piece.end() - static_cast<std::ptrdiff_t>(kLookBack), piece.end());
  } else {
    look_back_.insert(look_back_.end(), piece.begin(), piece.end());
    if (look_back_.size() > kLookBack) {
      look_back_.erase(look_back_.begin(), look_back_.end() - static_cast<std::ptrdiff_t>(kLookBack));
    }
  }
  position_ = piece_end;
  piece_ = {};
}

ImageUsage UsageCapture::finish() {
  finished_ = true;
  look_back_.clear();
  scan();
  return last_;
}

}  // namespace wh
