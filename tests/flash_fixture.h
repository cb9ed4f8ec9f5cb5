// A simulated machine with one card in drive 2, and a way to run a command
// against it and keep every line the helper printed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim_dir.h"

namespace wh::testing {

inline constexpr std::uint64_t kMiB = 1024 * 1024;

// Bytes that differ from one 512-byte sector to the next and are never all
// zero, so a misplaced or missing write always shows; from 512 bytes on, the
// first sector holds an empty MBR (a disk image without partitions).
std::string pattern_bytes(std::uint64_t size, std::uint32_t seed = 1);

class FlashMachine {
 public:
  explicit FlashMachine(std::uint64_t card_size = 16 * kMiB);

  // The request's payload: the target and its expected identity, plus `more`.
  nlohmann::json target(nlohmann::json more = nlohmann::json::object()) const;
  // Writes machine.json (with `faults`), runs `command` in process, and
  // returns every printed line, the response last.
  std::vector<nlohmann::json> run(const std::string& command, const nlohmann::json& payload);
  nlohmann::json response(const std::string& command, const nlohmann::json& payload) {
    return run(command, payload).back();
  }

  SimDir sim;
  nlohmann::json machine;
  std::uint64_t card_size;
};

// The progress lines' "stage message" texts, in order.
std::vector<std::string> stages(const std::vector<nlohmann::json>& lines);

}  // namespace wh::testing
