#include "image_look.h"

#include <algorithm>
#include <map>
#include <optional>

#include "boot/boot_reader.h"
#include "discovery/lower_case.h"
#include "host_file.h"
#include "image/disk_image_check.h"
#include "image/image_decode.h"
#include "platform/unicode.h"

namespace flash {
namespace {

constexpr std::uint64_t kMaxFatBytes = 64ull << 20;
constexpr std::uint32_t kEndOfChain = 0x0FFFFFF8;
constexpr int kMaxPasses = 4;  // a folder whose clusters lie before its parent's costs another pass

std::vector<std::string> split_path(const std::string& path) {
  std::vector<std::string> names;
  std::string name;
  for (const char c : path + "/") {
    if (c != '/' && c != '\\') {
      name += c;
    } else if (!name.empty()) {
      names.push_back(wh::unicode_lower(name));
      name.clear();
    }
  }
  return names;
}

// The entries of a directory: each name (the long one when there is one,
// else the short one), lower-cased, with whether it is a folder and its
// first cluster.
struct Entry {
  std::string name;
  bool folder = false;
  std::uint32_t cluster = 0;
};

std::vector<Entry> directory_entries(const std::vector<std::uint8_t>& bytes) {
  std::vector<Entry> entries;
  std::u16string long_name;
  for (std::size_t at = 0; at + 32 <= bytes.size(); at += 32) {
    const std::uint8_t* e = bytes.data() + at;
    if (e[0] == 0x00) break;
    if (e[0] == 0xE5) {
      long_name.clear();
      continue;
    }
    if (e[11] == 0x0F) {  // a long-name piece: 13 UTF-16 units, the last piece first
      std::u16string piece;
      for (const int o : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30}) {
        const auto unit = static_cast<char16_t>(e[o] | e[o + 1] << 8);
        if (unit == 0 || unit == 0xFFFF) break;
        piece += unit;
      }
      long_name = ((e[0] & 0x40) != 0 ? std::u16string() : long_name);
      long_name = piece + long_name;
      continue;
    }
    if ((e[11] & 0x08) != 0) {  // the volume label
      long_name.clear();
      continue;
    }
    std::string name;
    if (!long_name.empty()) {
      name = wh::utf16_to_utf8(long_name);
    } else {
      std::string base(reinterpret_cast<const char*>(e), 8), ext(reinterpret_cast<const char*>(e + 8), 3);
      base.erase(base.find_last_not_of(' ') + 1);
      ext.erase(ext.find_last_not_of(' ') + 1);
      name = ext.empty() ? base : base + "." + ext;
    }
    long_name.clear();
    const auto cluster = static_cast<std::uint32_t>(e[26] | e[27] << 8 | e[20] << 16 | e[21] << 24);
    entries.push_back({wh::unicode_lower(name), (e[11] & 0x10) != 0, cluster});
  }
  return entries;
}

// A run of the decoded image wanted whole, filled front to back as the
// decoded bytes stream past it.
struct Capture {
  std::uint64_t start = 0;
  std::vector<std::uint8_t> bytes;
  std::size_t filled = 0;
  bool full() const { return filled == bytes.size(); }
  // Takes what `piece`, at `offset`, holds of the part not yet filled.
  void take(std::uint64_t offset, std::span<const std::uint8_t> piece) {
    const std::uint64_t next = start + filled;
    if (full() || next < offset || next >= offset + piece.size()) return;
    const auto count =
        static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size() - filled, offset + piece.size() - next));
    std::copy_n(piece.begin() + static_cast<std::ptrdiff_t>(next - offset), count,
                bytes.begin() + static_cast<std::ptrdiff_t>(filled));
    filled += count;
  }
};

// The scan over the decoded image, pass after pass: the MBR, the boot
// partition's boot sector, its first FAT, then the folders asked about, each
// directory once its parent has named its first cluster.
class BootScan {
 public:
  explicit BootScan(const std::vector<std::string>& folders) {
    for (const std::string& folder : folders) wanted_.push_back(split_path(folder));
  }

  // One piece of the decoded image at `offset`; false once this pass has
  // nothing more to take.
  bool take(std::uint64_t offset, std::span<const std::uint8_t> piece) {
    position_ = offset + piece.size();
    if (offset < wh::kImageHeadBytes) head_.take(piece);
    if (!boot_ && head_.bytes().size() >= 512) find_boot_partition_start();
    if (stopped_) return false;
    if (!boot_) return true;
    boot_->take(offset, piece);
    if (!boot_->full()) return true;
    if (!fat_) set_up_partition();
    if (stopped_) return false;
    fat_->take(offset, piece);
    if (!fat_->full()) return true;
    if (!root_asked_) {
      root_asked_ = true;
      want_directory({}, root_cluster_);
    }
    for (std::size_t i = 0; i < pending_.size(); ++i) {
      for (Capture& cluster : pending_[i].clusters) cluster.take(offset, piece);
      if (std::all_of(pending_[i].clusters.begin(), pending_[i].clusters.end(),
                      [](const Capture& c) { return c.full(); })) {
        Directory done = std::move(pending_[i]);
        pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i--));
        read_directory(done);
      }
    }
    // Nothing more ahead in this pass: what is still wanted lies behind.
    return std::any_of(pending_.begin(), pending_.end(), [&](const Directory& d) {
      return std::any_of(d.clusters.begin(), d.clusters.end(),
                         [&](const Capture& c) { return !c.full() && c.start + c.filled >= position_; });
    });
  }

  // Before another pass: whether one would find more, with what was half
  // taken started again.
  bool another_pass() {
    // Only a cluster the last pass had already gone by is found by another;
    // one past the image's end never is.
    const bool behind = std::any_of(pending_.begin(), pending_.end(), [&](const Directory& d) {
      return std::any_of(d.clusters.begin(), d.clusters.end(),
                         [&](const Capture& c) { return !c.full() && c.start < position_; });
    });
    if (!behind || ++passes_ >= kMaxPasses) return false;
    for (Directory& d : pending_) {
      for (Capture& c : d.clusters) c.filled = c.full() ? c.filled : 0;
    }
    position_ = 0;
    return true;
  }

  ImageLook result(const std::vector<std::string>& folders) const {
    ImageLook look;
    look.layout = wh::read_disk_layout(head_.bytes());
    look.boot_partition = fat32_;
    for (const std::string& folder : folders) {
      const std::vector<std::string> names = split_path(folder);
      if (std::find(found_.begin(), found_.end(), names) == found_.end()) look.missing_folders.push_back(folder);
    }
    return look;
  }

 private:
  struct Directory {
    std::vector<std::string> path;
    std::vector<Capture> clusters;
  };

  void find_boot_partition_start() {
    const auto entry = wh::find_boot_partition(wh::parse_partition_table(head_.bytes().first(512)));
    if (!entry || wanted_.empty()) {
      stopped_ = true;
      return;
    }
    boot_.emplace(Capture{std::uint64_t{entry->start_lba} * 512, std::vector<std::uint8_t>(512)});
  }

  void set_up_partition() {
    const wh::Fat32BootSector sector = wh::parse_fat32_boot_sector(boot_->bytes);
    if (!wh::passes_inspection_rule(sector) || sector.fat_size16 != 0) {
      stopped_ = true;
      return;
    }
    fat32_ = true;
    const std::uint64_t bytes_per_sector = sector.bytes_per_sector;
    const std::uint64_t fat_start = boot_->start + sector.reserved_sectors * bytes_per_sector;
    const std::uint64_t fat_bytes = std::min<std::uint64_t>(sector.fat_size32 * bytes_per_sector, kMaxFatBytes);
    fat_.emplace(Capture{fat_start, std::vector<std::uint8_t>(static_cast<std::size_t>(fat_bytes))});
    data_start_ = fat_start + std::uint64_t{sector.number_of_fats} * sector.fat_size32 * bytes_per_sector;
    cluster_bytes_ = bytes_per_sector * sector.sectors_per_cluster;
    root_cluster_ = sector.root_cluster;
  }

  std::uint32_t fat_entry(std::uint32_t cluster) const {
    const std::size_t at = std::size_t{cluster} * 4;
    if (at + 4 > fat_->bytes.size()) return kEndOfChain;
    const std::uint8_t* e = fat_->bytes.data() + at;
    return static_cast<std::uint32_t>(e[0] | e[1] << 8 | e[2] << 16 | e[3] << 24) & 0x0FFFFFFF;
  }

  void want_directory(std::vector<std::string> path, std::uint32_t first) {
    Directory directory{std::move(path), {}};
    for (std::uint32_t cluster = first; cluster >= 2 && cluster < kEndOfChain && directory.clusters.size() < 4096;
         cluster = fat_entry(cluster)) {
      const std::uint64_t start = data_start_ + std::uint64_t{cluster - 2} * cluster_bytes_;
      const bool seen = std::any_of(directory.clusters.begin(), directory.clusters.end(),
                                    [start](const Capture& c) { return c.start == start; });
      if (seen) break;  // a chain that loops
      directory.clusters.push_back(Capture{start, std::vector<std::uint8_t>(static_cast<std::size_t>(cluster_bytes_))});
    }
    if (!directory.clusters.empty()) pending_.push_back(std::move(directory));
  }

  // A directory read whole: each wanted folder below it is found or missing.
  void read_directory(const Directory& directory) {
    std::vector<std::uint8_t> bytes;
    for (const Capture& cluster : directory.clusters)
      bytes.insert(bytes.end(), cluster.bytes.begin(), cluster.bytes.end());
    const std::vector<Entry> entries = directory_entries(bytes);
    const std::size_t depth = directory.path.size();
    std::vector<std::vector<std::string>> asked;  // each child folder once
    for (const std::vector<std::string>& folder : wanted_) {
      if (folder.size() <= depth || !std::equal(directory.path.begin(), directory.path.end(), folder.begin())) continue;
      std::vector<std::string> child(folder.begin(), folder.begin() + static_cast<std::ptrdiff_t>(depth + 1));
      if (std::find(asked.begin(), asked.end(), child) != asked.end()) continue;
      asked.push_back(child);
      const auto entry = std::find_if(entries.begin(), entries.end(),
                                      [&](const Entry& e) { return e.folder && e.name == child.back(); });
      if (entry == entries.end()) continue;
      found_.push_back(child);
      const bool deeper = std::any_of(wanted_.begin(), wanted_.end(), [&](const std::vector<std::string>& w) {
        return w.size() > child.size() && std::equal(child.begin(), child.end(), w.begin());
      });
      if (deeper) want_directory(child, entry->cluster);
    }
  }

  std::vector<std::vector<std::string>> wanted_;
  std::vector<std::vector<std::string>> found_;
  wh::ImageHead head_;
  std::optional<Capture> boot_, fat_;
  bool fat32_ = false, stopped_ = false, root_asked_ = false;
  std::uint64_t data_start_ = 0, cluster_bytes_ = 0, position_ = 0;
  std::uint32_t root_cluster_ = 0;
  std::vector<Directory> pending_;
  int passes_ = 0;
};

}  // namespace

wh::Result<ImageLook, std::string> look_into_image(const std::string& image_path,
                                                   const std::vector<std::string>& folders) {
  auto file = HostFile::open(image_path);
  if (!file) return wh::Err(std::move(file).error());
  auto format = wh::probe_format(**file);
  if (!format) return wh::Err(std::move(format).error().message);
  BootScan scan(folders);
  do {
    if (auto back = (*file)->seek(0); !back) return wh::Err(back.error().text());
    std::uint64_t offset = 0;
    bool more = true;
    auto decoded = wh::decode_image(**file, *format, /*source_digest=*/nullptr,
                                    [&](std::span<const std::uint8_t> piece) -> wh::SinkStatus {
                                      more = scan.take(offset, piece);
                                      offset += piece.size();
                                      if (!more) return wh::Err(std::string("enough was read"));
                                      return {};
                                    });
    if (!decoded && more) return wh::Err(std::move(decoded).error().message);
  } while (scan.another_pass());
  return scan.result(folders);
}

}  // namespace flash
