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
constexpr std::size_t kMaxRequestFile = 16 * 1024 * 1024;

// The request text of "--request-file <path>": the file's bytes, a UTF-8
// byte order mark (which Windows editors write) left out.
Result<std::string, std::string> read_request_file(Platform& platform, const std::string& path) {
  auto file = platform.open_file_read(path);
  if (!file) return Err("Cannot read request file " + path + ": " + file.error().text());
  std::string text;
  char buffer[65536];
  for (;;) {
    auto got = (*file)->read(std::span(reinterpret_cast<std::uint8_t*>(buffer), sizeof buffer));
    if (!got && got.error().interrupted) continue;
    if (!got) return Err("Cannot read request file " + path + ": " + got.error().text());
    if (*got == 0) break;
    if (text.size() + *got > kMaxRequestFile) return Err("Request file " + path + " is larger than 16 MiB");
    text.append(buffer, *got);
  }
  if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  return text;
}

// The request text from the command line: "--request <json>" wins; without
// it, "--request-file <path>" (Windows limits a command line to 32,767
// characters). The error is the frame's message.
Result<std::string, std::string> request_text(const std::vector<std::string>& arguments, Platform& platform) {
  // Only the whole argument counts: "--request=..." is not the option.
  const auto inline_option = std::find(arguments.begin(), arguments.end(), "--request");
  if (inline_option != arguments.end()) {
    if (inline_option + 1 == arguments.end()) return Err(std::string("Missing JSON payload after --request"));
    return *(inline_option + 1);
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
