#include "image/ext_usage.h"

#include <ext2fs/ext2fs.h>

#include <cstring>
#include <memory>

namespace wh {

namespace {

// What one open file system reads from: set for the duration of one scan on
// the thread that runs it, since the library's open callback takes a name
// and nothing else.
struct Source {
  ImageBytes* image = nullptr;
  ByteRange partition;
  bool waiting = false;  // a read met bytes a stream has not reached yet
};
thread_local Source* current_source = nullptr;

errcode_t channel_read(io_channel channel, unsigned long long block, int count, void* data) {
  auto* source = static_cast<Source*>(channel->private_data);
  // A negative count is a byte count (the superblock is read that way).
  const std::uint64_t bytes = count < 0 ? static_cast<std::uint64_t>(-static_cast<long long>(count))
                                        : static_cast<std::uint64_t>(count) * static_cast<unsigned>(channel->block_size);
  const std::uint64_t offset = block * static_cast<unsigned>(channel->block_size);
  const std::uint64_t length = source->partition.length();
  if (offset > length || bytes > length - offset) return EXT2_ET_SHORT_READ;
  switch (source->image->read(source->partition.start + offset,
                              std::span(static_cast<std::uint8_t*>(data), static_cast<std::size_t>(bytes)))) {
    case Availability::kRead: return 0;
    case Availability::kLater: source->waiting = true; return EXT2_ET_SHORT_READ;
    case Availability::kNever: return EXT2_ET_SHORT_READ;
  }
  return EXT2_ET_SHORT_READ;
}

errcode_t channel_read32(io_channel channel, unsigned long block, int count, void* data) {
  return channel_read(channel, block, count, data);
}

errcode_t channel_write(io_channel, unsigned long, int, const void*) { return EXT2_ET_RO_FILSYS; }
errcode_t channel_write64(io_channel, unsigned long long, int, const void*) { return EXT2_ET_RO_FILSYS; }
errcode_t channel_flush(io_channel) { return 0; }

errcode_t channel_set_blksize(io_channel channel, int size) {
  channel->block_size = size;
  return 0;
}

errcode_t channel_close(io_channel channel) {
  if (--channel->refcount > 0) return 0;
  ext2fs_free_mem(&channel->name);
  ext2fs_free_mem(&channel);
  return 0;
}

errcode_t channel_open(const char* name, int flags, io_channel* channel);

struct_io_manager image_manager = [] {
  struct_io_manager manager{};
  manager.magic = EXT2_ET_MAGIC_IO_MANAGER;
  manager.name = "windows_helper image";
  manager.open = channel_open;
  manager.close = channel_close;
  manager.set_blksize = channel_set_blksize;
  manager.read_blk = channel_read32;
  manager.write_blk = channel_write;
  manager.flush = channel_flush;
  manager.read_blk64 = channel_read;
  manager.write_blk64 = channel_write64;
  return manager;
}();

errcode_t channel_open(const char* name, int flags, io_channel* channel) {
  if (current_source == nullptr || (flags & IO_FLAG_RW) != 0) return EXT2_ET_BAD_DEVICE_NAME;
  io_channel opened = nullptr;
  if (errcode_t failed = ext2fs_get_memzero(sizeof(struct_io_channel), &opened)) return failed;
  // libext2fs counts in unsigned long, 32 bits on Windows; a path is far shorter.
  if (errcode_t failed = ext2fs_get_mem(static_cast<unsigned long>(std::strlen(name) + 1), &opened->name)) {
    ext2fs_free_mem(&opened);
    return failed;
  }
  std::strcpy(opened->name, name);
  opened->magic = EXT2_ET_MAGIC_IO_CHANNEL;
  opened->manager = &image_manager;
  opened->block_size = 1024;
  opened->refcount = 1;
  opened->private_data = current_source;
  *channel = opened;
  return 0;
}

struct CloseFs {
  void operator()(ext2_filsys fs) const { ext2fs_close_free(&fs); }
};
using FsPtr = std::unique_ptr<struct_ext2_filsys, CloseFs>;

std::string name_of(ext2_super_block* super) {
  if (ext2fs_has_feature_extents(super) || ext2fs_has_feature_flex_bg(super) || ext2fs_has_feature_64bit(super)) {
    return "ext4";
  }
  return ext2fs_has_feature_journal(super) ? "ext3" : "ext2";
}

std::string library_said(const char* what, errcode_t code) {
  return std::string(what) + " (libext2fs error " + std::to_string(code) + ")";
}

// Why the free blocks of `fs` must not be trusted, or "".
std::string distrust(ext2_filsys fs, ByteRange partition) {
  ext2_super_block* super = fs->super;
  if ((super->s_state & EXT2_ERROR_FS) != 0) return "its file system is marked as having errors";
  if ((super->s_state & EXT2_VALID_FS) == 0) return "it was not cleanly unmounted";
  if (ext2fs_has_feature_journal_needs_recovery(super)) return "its journal needs recovery";
  if ((super->s_feature_ro_compat & ~EXT2_LIB_FEATURE_RO_COMPAT_SUPP) != 0) return "it has an unknown read-only feature";
  if (ext2fs_blocks_count(fs->super) > partition.length() / fs->blocksize) {
    return "the file system is larger than its partition";
  }
  if (errcode_t failed = ext2fs_check_desc(fs)) return library_said("its group descriptors are unsound", failed);
  return "";
}

FileSystemUsage scan(Source& source) {
  FileSystemUsage usage;
  ext2_filsys opened = nullptr;
  const errcode_t failed = ext2fs_open2("image", /*io_options=*/nullptr, EXT2_FLAG_64BITS, /*superblock=*/0,
                                        /*block_size=*/0, &image_manager, &opened);
  FsPtr fs(opened);
  if (failed) {
    usage.waiting = source.waiting;
    if (failed == EXT2_ET_UNSUPP_FEATURE) usage.whole_reason = "it has an unknown incompatible feature";
    if (usage.whole_reason.empty()) usage.whole_reason = library_said("it holds no ext2/3/4 file system libext2fs opens", failed);
    return usage;
  }
  usage.file_system = name_of(fs->super);
  usage.whole_reason = distrust(fs.get(), source.partition);
  if (!usage.whole_reason.empty()) return usage;

  // Every bitmap is asked for before the library reads them one by one, so
  // that a stream captures them all on one pass.
  std::vector<std::uint8_t> block(fs->blocksize);
  for (dgrp_t group = 0; group < fs->group_desc_count; ++group) {
    const blk64_t at = ext2fs_block_bitmap_loc(fs.get(), group);
    if (at != 0 && at < ext2fs_blocks_count(fs->super)) (void)channel_read(fs->io, at, 1, block.data());
  }
  if (source.waiting) {
    usage.waiting = true;
    return usage;
  }
  if (errcode_t unread = ext2fs_read_block_bitmap(fs.get())) {
    usage.whole_reason = library_said("its block bitmaps could not be read", unread);
    return usage;
  }
  const blk64_t last = ext2fs_blocks_count(fs->super) - 1;
  const std::uint64_t block_bytes = fs->blocksize;
  for (blk64_t from = fs->super->s_first_data_block; from <= last;) {
    blk64_t free_start = 0, free_end = 0;
    if (ext2fs_find_first_zero_block_bitmap2(fs->block_map, from, last, &free_start) != 0) break;
    if (ext2fs_find_first_set_block_bitmap2(fs->block_map, free_start, last, &free_end) != 0) free_end = last + 1;
    usage.free.push_back({source.partition.start + free_start * block_bytes,
                          source.partition.start + free_end * block_bytes});
    from = free_end;
  }
  return usage;
}

}  // namespace

FileSystemUsage ext_usage(ImageBytes& image, ByteRange partition) {
  Source source{&image, partition, false};
  current_source = &source;
  FileSystemUsage usage = scan(source);
  current_source = nullptr;
  if (usage.waiting) usage.whole_reason.clear();
  return usage;
}

}  // namespace wh
