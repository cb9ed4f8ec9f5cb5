// The free blocks of an ext2, ext3 or ext4 file system, as libext2fs itself
// computes them from the block bitmaps (groups flagged BLOCK_UNINIT
// included: the library marks their metadata used and the rest free). The
// library reads the image through an I/O manager of this program's own over
// `ImageBytes`, so it sees a prepared image or the blocks captured from a
// stream alike, and never a file or device by its name.
//
// Written whole instead: a file system the library will not open (an
// unknown incompatible feature, a bad checksum, a damaged superblock), one
// with an unknown read-only feature, marked with errors, not cleanly
// unmounted or whose journal needs recovery, one larger than its partition,
// one whose group descriptors fail the library's check, and one whose
// bitmaps cannot be read.
#pragma once

#include "image/image_bytes.h"

namespace wh {

// The file system of the partition at `partition` of `image`.
FileSystemUsage ext_usage(ImageBytes& image, ByteRange partition);

}  // namespace wh
