// Streaming decode of a whole XZ file, with every integrity check liblzma
// offers.
//
// liblzma runs on a thread of its own (and, for files of many blocks, on one
// worker per hardware thread), so the caller's work on each piece (digest,
// zero test, file write) overlaps with decoding. Everything that touches the
// platform or the output, the source reads included, stays on the calling
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "frame/errors.h"
#include "image/sha256.h"
#include "platform/platform.h"

namespace wh {

// Source reads and the decoder's output both use buffers of this size.
inline constexpr std::size_t kImageBufferBytes = 16u << 20;

// The decoder hands out pieces of this size, the last one shorter. Small
// enough to stay in the caches between decoding and digesting, and to skip
// zero runs finely; large enough that handing them over costs nothing.
inline constexpr std::size_t kDecodedPieceBytes = 256u << 10;

// What a piece sink answers: nothing, or the message of its failure.
using SinkStatus = Result<void, std::string>;

// Called on the calling thread once per piece of decoded data, in order. The
// piece stays valid until the call returns. A failure ends the decode.
using PieceSink = std::function<SinkStatus(std::span<const std::uint8_t> piece)>;

// Decodes `source` to its end as `xz -dc` does: every stream in turn, with
// the stream padding (runs of four zero bytes) between and after them. Any
// other bytes after a stream, or a stream cut short, make the file invalid.
// With `source_digest`, every byte read from `source` goes through it; a
// decode that succeeds has read the whole file.
//
// Failures are XZ_INVALID: "xz error: ..." for the container and its checks,
// "lzma error: ..." for the decoder itself, "io error: ..." for a failed read
// or a failing sink.
HelperStatus decode_xz(Handle& source, Sha256* source_digest, const PieceSink& sink);

// liblzma's result `code` (an lzma_ret) in the words decode_xz reports it
// with ("xz error: compressed data is corrupt", ...).
std::string describe_xz_result(int code);

}  // namespace wh
