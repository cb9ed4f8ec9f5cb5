// SHA-256 through libcrypto's EVP interface, which uses the CPU's SHA
// instructions where it has them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

struct evp_md_ctx_st;

namespace wh {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(std::span<const std::uint8_t> data);
  // The digest of everything fed so far as 64 lowercase hex digits. Ends the
  // context: call once.
  std::string finish_hex();

 private:
  evp_md_ctx_st* context_;
};

// Bytes as lowercase hexadecimal, two digits a byte: digests, samples and
// raw sectors all go out this way.
std::string lower_hex(std::span<const std::uint8_t> bytes);

}  // namespace wh
