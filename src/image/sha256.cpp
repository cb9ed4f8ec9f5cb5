#include "image/sha256.h"

#include <cstdlib>

#include <openssl/evp.h>

namespace wh {

// libcrypto fails these only when it cannot allocate a few hundred bytes;
// there is no sensible way on from there.
Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  if (context_ == nullptr || EVP_DigestInit_ex(context_, EVP_sha256(), /*impl=*/nullptr) != 1) {
    std::abort();
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(context_); }

void Sha256::update(std::span<const std::uint8_t> data) {
  if (!data.empty() && EVP_DigestUpdate(context_, data.data(), data.size()) != 1) std::abort();
}

std::string Sha256::finish_hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_, digest, &length) != 1) std::abort();
  return lower_hex(std::span<const std::uint8_t>(digest, length));
}

std::string lower_hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text(bytes.size() * 2, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    text[2 * i] = kHex[bytes[i] >> 4];
    text[2 * i + 1] = kHex[bytes[i] & 0x0F];
  }
  return text;
}

}  // namespace wh
