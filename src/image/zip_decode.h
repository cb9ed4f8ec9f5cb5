// The one image inside a zip archive, decoded with minizip (zlib's own zip
// reader): stored and deflated entries, Zip64 included, the CRC-32 checked.
#pragma once

#include "frame/errors.h"
#include "image/sha256.h"
#include "image/xz_decode.h"
#include "platform/platform.h"

namespace wh {

// Decodes the archive's single regular file into `sink` as `unzip -p` does.
// Directory entries are passed over. Refused with XZ_INVALID "Unsupported
// image format: …": an archive of several files, an encrypted image, a
// compression method other than stored or deflated. Damage is XZ_INVALID
// "zip error: …". With `source_digest`, the whole archive goes through it
// first: the reader seeks, so the digest takes a pass of its own.
HelperStatus decode_zip(Handle& source, Sha256* source_digest, const PieceSink& sink);

// The image's size as the archive's central directory declares it, known
// before a byte is decoded, with the refusals of decode_zip that need no
// decoding (several files, encryption, an unsupported method). `source`'s
// position is left wherever the reading left it.
HelperResult<std::uint64_t> zip_image_size(Handle& source);

}  // namespace wh
