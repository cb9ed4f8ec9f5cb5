// Decoding an image of any supported format into the same pieces the XZ
// decoder hands out: raw images as they are, gzip with zlib, bzip2 with
// libbz2, zstd with libzstd, XZ with liblzma (xz_decode.h), the one file of
// a zip archive with minizip (zip_decode.h). The format comes
// from the file's first bytes.
#pragma once

#include "frame/errors.h"
#include "image/image_format.h"
#include "image/sha256.h"
#include "image/xz_decode.h"
#include "platform/platform.h"

namespace wh {

// The format of the file `source` holds, from its first bytes; `source` is
// back at its start afterwards. XZ_INVALID "io error: …" when it cannot be read.
HelperResult<ImageFormat> probe_format(Handle& source);

// Decodes `source`, from its start, as its tool does with -dc: a raw image
// is its own bytes; gzip every member (`gzip -dc`), bzip2 every stream
// (`bzip2 -dc`), zstd every frame, skippable ones skipped (`zstd -dc`), XZ
// as decode_xz, zip as decode_zip (`unzip -p`). Bytes after the last gzip member or bzip2
// stream that do not start another are ignored, as those tools ignore them.
// With `source_digest`, every byte of `source` goes through it.
//
// Failures are XZ_INVALID naming the format ("gzip error: …", "bzip2
// error: …", "zstd error: …", "io error: …"); a format this build does not
// decode is refused by name: "Unsupported image format: 7z archive".
HelperStatus decode_image(Handle& source, ImageFormat format, Sha256* source_digest, const PieceSink& sink);

// The refusal decode_image gives a format this build does not decode
// ("Unsupported image format: 7z archive"), or nothing: callers ask before
// they start anything a refusal would leave half done.
HelperStatus check_decodable(ImageFormat format);

}  // namespace wh
