// libFuzzer target for the request parser and the response writer: any text
// after --request must give exactly one JSON line, never a crash.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "frame/entry.h"
#include "frame/output.h"
#include "frame/request.h"
#include "platform/sim/sim_platform.h"
#include "platform/unicode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  auto request = wh::parse_request(text);
  if (request.ok()) {
    // The parser only accepts UTF-8, so every member is writable as is.
    if (!wh::is_valid_utf8(request->id) || !wh::is_valid_utf8(request->command)) std::abort();
  }

  // cancel_task and unknown commands need no machine; keep the fuzzer away from
  // commands that would start processes.
  if (request.ok() && request->command == "health") return 0;
  wh::sim::SimPlatform platform{wh::sim::SimMachine{}};
  wh::CapturedLines out;
  if (wh::run_helper({"--request", text}, platform, out) != 0) std::abort();
  if (out.lines.size() != 1 || !nlohmann::json::accept(out.lines[0])) std::abort();
  if (out.lines[0].find('\n') != std::string::npos) std::abort();
  return 0;
}
