// libFuzzer target for ps_quote against the PowerShell stand-in's reading of
// single-quoted literals: any bytes in, one literal out that the tokenizer
// reads back as exactly those bytes, ending at the literal's last byte, so
// nothing of the text can close it early and run as code. PowerShell gets the
// script as UTF-16, where ill-formed UTF-8 has become U+FFFD: read that way,
// the literal must denote the same replacement of the text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/unicode.h"
#include "ps_literal.h"
#include "target/ps_script.h"

namespace {

void check_reads_back(std::string_view quoted, std::string_view text) {
  const auto literal = wh::tools::read_single_quoted(quoted, 0);
  if (!literal || literal->value != text || literal->end != quoted.size()) std::abort();
  // The script goes on after the literal (") }", "; ..."): it still ends where
  // it did.
  const std::string followed = std::string(quoted) + ") }";
  const auto in_script = wh::tools::read_single_quoted(followed, 0);
  if (!in_script || in_script->value != text || in_script->end != quoted.size()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string quoted = wh::ps_quote(text);
  if (quoted.size() < 2 || quoted.front() != '\'' || quoted.back() != '\'') std::abort();
  check_reads_back(quoted, text);
  check_reads_back(wh::utf8_lossy(quoted), wh::utf8_lossy(text));
  return 0;
}
