#include "image/xz_decode.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include <lzma.h>

namespace wh {
namespace {

// The decoder's output is a ring of pieces that together make up the 16 MiB
// output buffer: the decoding thread fills one while the caller works through
// the ones before it.
constexpr std::size_t kPieceCount = kImageBufferBytes / kDecodedPieceBytes;
constexpr std::size_t kPieceBytes = kDecodedPieceBytes;

// Above this much memory liblzma decodes on fewer threads instead of failing.
constexpr std::uint64_t kThreadingMemoryLimit = 512ull << 20;
// Above this much even one thread may not go: real images use dictionaries
// of 64 MiB or less (xz -9), while a block header may ask for 4 GiB, and
// would get it, three times in every flash.
constexpr std::uint64_t kMemoryLimit = 1ull << 30;

// liblzma's outcome in words, as the xz tool says it.
std::string describe(lzma_ret code) {
  switch (code) {
    case LZMA_FORMAT_ERROR: return "xz error: file format not recognized";
    case LZMA_OPTIONS_ERROR: return "xz error: unsupported options in the stream";
    case LZMA_DATA_ERROR: return "xz error: compressed data is corrupt";
    case LZMA_BUF_ERROR: return "xz error: unexpected end of input";
    case LZMA_UNSUPPORTED_CHECK: return "xz error: unsupported type of integrity check";
    case LZMA_MEM_ERROR: return "lzma error: cannot allocate memory";
    case LZMA_MEMLIMIT_ERROR:
      return "xz error: decoding would need more than " + std::to_string(kMemoryLimit >> 20) +
             " MiB of memory, far more than any disk image needs; the file is damaged or not a disk image";
    case LZMA_PROG_ERROR: return "lzma error: internal error (bug)";
    default: return "lzma error: unexpected result " + std::to_string(static_cast<int>(code));
  }
}

Err<HelperError> xz_invalid(std::string message) {
  return fail(ErrorCode::kXzInvalid, std::move(message));
}

// One decode: liblzma's state, the buffers, and what the two threads hand
// each other. The decoding thread only ever touches liblzma and the buffers it
// has been given; the calling thread does all reading and delivering.
class Pipeline {
 public:
  // Not zero-filled: pages a small file never reaches stay untouched.
  Pipeline()
      : input_(std::make_unique_for_overwrite<std::uint8_t[]>(kImageBufferBytes)),
        output_(std::make_unique_for_overwrite<std::uint8_t[]>(kImageBufferBytes)) {}
  ~Pipeline() {
    stop();
    lzma_end(&stream_);
  }

  HelperStatus run(Handle& source, Sha256* source_digest, const PieceSink& sink) {
    lzma_mt options{};
    // A file may hold several streams (`cat a.xz b.xz`); stopping after the
    // first would hand back a silently truncated image.
    options.flags = LZMA_TELL_UNSUPPORTED_CHECK | LZMA_CONCATENATED;
    options.threads = std::max(1u, std::thread::hardware_concurrency());
    options.timeout = 0;
    options.memlimit_threading = kThreadingMemoryLimit;
    options.memlimit_stop = kMemoryLimit;
    if (lzma_ret started = lzma_stream_decoder_mt(&stream_, &options); started != LZMA_OK) {
      return xz_invalid(describe(started));
    }
    try {
      worker_ = std::thread([this] { decode(); });
    } catch (const std::system_error&) {
      return xz_invalid("lzma error: cannot start the decoding thread");
    }

    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return input_wanted_ || !ready_.empty() || finished_; });
      if (input_wanted_) {
        lock.unlock();
        auto got = read_some(source, {input_.get(), kImageBufferBytes});
        if (!got) return fail_with("io error: " + got.error().text());
        if (source_digest) source_digest->update({input_.get(), *got});
        lock.lock();
        input_wanted_ = false;
        input_length_ = *got;
        changed_.notify_all();
      } else if (!ready_.empty()) {
        const std::span<const std::uint8_t> piece = ready_.front();
        lock.unlock();
        auto accepted = sink(piece);
        if (!accepted) return fail_with("io error: " + accepted.error());
        lock.lock();
        ready_.pop_front();
        ++free_pieces_;
        changed_.notify_all();
      } else {
        break;
      }
    }
    lock.unlock();
    stop();
    if (outcome_ != LZMA_STREAM_END) return xz_invalid(describe(outcome_));
    return {};
  }

 private:
  static OsResult<std::size_t> read_some(Handle& source, std::span<std::uint8_t> buffer) {
    for (;;) {
      auto got = source.read(buffer);
      if (got || !got.error().interrupted) return got;
    }
  }

  // The decoding thread: fills one piece at a time, asking for input when
  // liblzma has used up what it had. Once the source is exhausted it calls
  // with LZMA_FINISH: only then can liblzma, which would otherwise wait for
  // another stream, report the end (or a truncated stream or bad padding).
  // So LZMA_STREAM_END always means the whole file was read and decoded.
  void decode() {
    std::size_t slot = 0;
    bool end_of_input = false;
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return free_pieces_ > 0 || stopping_; });
        if (stopping_) return;
        --free_pieces_;
      }
      std::uint8_t* piece = output_.get() + slot * kPieceBytes;
      stream_.next_out = piece;
      stream_.avail_out = kPieceBytes;
      lzma_ret code = LZMA_OK;
      while (code == LZMA_OK && stream_.avail_out > 0) {
        if (stream_.avail_in == 0 && !end_of_input) {
          std::unique_lock lock(mutex_);
          input_wanted_ = true;
          changed_.notify_all();
          changed_.wait(lock, [this] { return !input_wanted_ || stopping_; });
          if (stopping_) return;
          stream_.next_in = input_.get();
          stream_.avail_in = input_length_;
          end_of_input = input_length_ == 0;
        }
        code = lzma_code(&stream_, end_of_input ? LZMA_FINISH : LZMA_RUN);
      }
      const std::size_t produced = kPieceBytes - stream_.avail_out;
      std::lock_guard lock(mutex_);
      if (produced > 0) {
        ready_.emplace_back(piece, produced);
      } else {
        ++free_pieces_;
      }
      if (code != LZMA_OK) {
        outcome_ = code;
        finished_ = true;
        changed_.notify_all();
        return;
      }
      changed_.notify_all();
      slot = (slot + 1) % kPieceCount;
    }
  }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
  }

  HelperStatus fail_with(std::string message) {
    stop();
    return xz_invalid(std::move(message));
  }

  lzma_stream stream_ = LZMA_STREAM_INIT;
  std::unique_ptr<std::uint8_t[]> input_;
  std::unique_ptr<std::uint8_t[]> output_;
  std::thread worker_;

  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_.
  bool input_wanted_ = false;
  std::size_t input_length_ = 0;
  std::deque<std::span<const std::uint8_t>> ready_;
  std::size_t free_pieces_ = kPieceCount;
  bool finished_ = false;
  bool stopping_ = false;
  lzma_ret outcome_ = LZMA_OK;  // written before finished_ is set
};

}  // namespace

HelperStatus decode_xz(Handle& source, Sha256* source_digest, const PieceSink& sink) {
  Pipeline pipeline;
  return pipeline.run(source, source_digest, sink);
}

std::string describe_xz_result(int code) { return describe(static_cast<lzma_ret>(code)); }

}  // namespace wh
