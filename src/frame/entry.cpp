#include "frame/entry.h"

#include <algorithm>
#include <cstdint>
#include <span>

#include "frame/dispatch.h"
#include "frame/request.h"
#include "frame/response.h"

namespace wh {
namespace {

// Far more than any request needs (first-boot files travel inline), and a
// bound on what a mistaken path can make the helper read into memory.
constexpr std::size_t kMaxRequestText = 16 * 1024 * 1024;

// Reads `source` to its end: the request text, a UTF-8 byte order mark
// (which Windows editors write) left out. `what` names the source in the
// frame's messages; `too_large` is the message for text beyond the limit.
Result<std::string, std::string> read_request(Handle& source, const std::string& what, const std::string& too_large) {
  std::string text;
  char buffer[65536];
  for (;;) {
    auto got = source.read(std::span(reinterpret_cast<std::uint8_t*>(buffer), sizeof buffer));
    if (!got && got.error().interrupted) continue;
    if (!got) return Err("Cannot read " + what + ": " + got.error().text());
    if (*got == 0) break;
    if (text.size() + *got > kMaxRequestText) return Err(too_large);
    text.append(buffer, *got);
  }
  if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  return text;
}

// "--request-file <path>": read through the one handle that was checked,
// which no other program can write, delete or rename while it is open. A
// file that a program of the user's could have changed before the helper
// opened it, without elevation, is refused: its contents are not the
// application's.
Result<std::string, std::string> read_request_file(Platform& platform, const std::string& path) {
  auto file = platform.open_file_read_locked(path);
  if (!file) return Err("Cannot read request file " + path + ": " + file.error().text());
  auto status = (*file)->status();
  if (!status) return Err("Cannot read request file " + path + ": " + status.error().text());
  if (status->kind != FileKind::kRegular) return Err("Request file " + path + " is not a regular file");
  auto changeable = (*file)->user_may_change();
  if (!changeable) return Err("Cannot tell who may change request file " + path + ": " + changeable.error().text());
  if (*changeable) {
    return Err("Request file " + path +
               " can be changed without elevation; only Administrators and SYSTEM may be allowed to write it");
  }
  return read_request(**file, "request file " + path, "Request file " + path + " is larger than 16 MiB");
}

Result<std::string, std::string> read_standard_input(Platform& platform) {
  auto input = platform.standard_input();
  if (!input) return Err("Cannot read the request from standard input: " + input.error().text());
  return read_request(**input, "the request from standard input", "The request on standard input is larger than 16 MiB");
}

// The request text from the command line: "--request <json>" wins; then
// "--request-stdin", the request on standard input up to its end; then
// "--request-file <path>" (Windows limits a command line to 32,767
// characters). The error is the frame's message.
Result<std::string, std::string> request_text(const std::vector<std::string>& arguments, Platform& platform) {
  // Only the whole argument counts: "--request=..." is not the option.
  const auto inline_option = std::find(arguments.begin(), arguments.end(), "--request");
  if (inline_option != arguments.end()) {
    if (inline_option + 1 == arguments.end()) return Err(std::string("Missing JSON payload after --request"));
    return *(inline_option + 1);
  }
  if (std::find(arguments.begin(), arguments.end(), "--request-stdin") != arguments.end()) {
    return read_standard_input(platform);
  }
  const auto file_option = std::find(arguments.begin(), arguments.end(), "--request-file");
  if (file_option == arguments.end()) return Err(std::string("Expected --request <json> argument"));
  if (file_option + 1 == arguments.end()) return Err(std::string("Missing path after --request-file"));
  return read_request_file(platform, *(file_option + 1));
}

}  // namespace

int run_request(const std::vector<std::string>& arguments, Platform& platform, LineWriter& out,
                std::span<const CommandEntry> handlers) {
  auto text = request_text(arguments, platform);
  if (!text) {
    out.write_line(frame_failure_line(text.error()));
    return 0;
  }
  auto request = parse_request(*text);
  if (!request) {
    out.write_line(frame_failure_line(request.error()));
    return 0;
  }
  CommandContext context{*request, platform, out};
  out.write_line(response_line(request->id, dispatch(context, handlers)));
  return 0;
}

}  // namespace wh
