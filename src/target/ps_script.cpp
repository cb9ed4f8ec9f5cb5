#include "target/ps_script.h"

namespace wh {
namespace {

// U+2018, U+2019, U+201A, U+201B in UTF-8: E2 80 98 to E2 80 9B.
bool is_typographic_single_quote(std::string_view text, std::size_t at) {
  return at + 2 < text.size() && static_cast<unsigned char>(text[at]) == 0xE2 &&
         static_cast<unsigned char>(text[at + 1]) == 0x80 && static_cast<unsigned char>(text[at + 2]) >= 0x98 &&
         static_cast<unsigned char>(text[at + 2]) <= 0x9B;
}

}  // namespace

std::string ps_quote(std::string_view text) {
  std::string out = "'";
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\'') {
      out += "''";
    } else if (is_typographic_single_quote(text, i)) {
      out.append(text.substr(i, 3)).append(text.substr(i, 3));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out + "'";
}

std::string build_revalidation_script(const TargetIdentity& identity, std::string_view step) {
  const std::string quoted_step = ps_quote(step);
  return "$disk = Get-Disk -Number " + std::to_string(identity.physical_drive_number) +
         " -ErrorAction Stop; if ([uint64]$disk.Size -ne " + std::to_string(identity.size_bytes) +
         ") { throw ('Target capacity changed before ' + " + quoted_step + ") }; $expectedSerial = " +
         (identity.serial ? ps_quote(*identity.serial) : std::string("$null")) +
         "; if ($expectedSerial) { $actualSerial = ([string]$disk.SerialNumber -replace '[^a-zA-Z0-9]', "
         "'').ToLowerInvariant(); $normalizedExpectedSerial = ([string]$expectedSerial -replace "
         "'[^a-zA-Z0-9]', '').ToLowerInvariant(); if ($actualSerial -ne $normalizedExpectedSerial) { throw "
         "('Target serial changed before ' + " +
         quoted_step + ") } }";
}

}  // namespace wh
