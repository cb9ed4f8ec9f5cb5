// One run of the reference client's whole flash on a fresh simulated laptop
// (an NVMe system disk and a card reader), through fault-helper, and what it
// left behind: the transcript, the event log and the card's bytes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace wh::matrix {

inline const char* const kCardPath = "\\\\.\\PhysicalDrive1";
inline const char* const kSystemPath = "\\\\.\\PhysicalDrive0";

struct Tools {
  std::string build_dir;  // holds windows_helper, flash-card, tools/, cards/
  std::string helper() const { return build_dir + "/windows_helper"; }
  std::string flash_card() const { return build_dir + "/flash-card"; }
  std::string fault_helper() const { return build_dir + "/tools/fault-helper"; }
  std::string powershell() const { return build_dir + "/tools/fake-powershell"; }
  std::string image() const { return build_dir + "/cards/card.img"; }
};

// The fault to inject while one command's helper runs.
struct Injection {
  std::string command;
  nlohmann::json patch = nlohmann::json::object();  // FAULT_HELPER_PATCH
  bool hide_powershell = false;
  std::optional<std::uint64_t> kill_at;
};

// What one helper process did, from the event log.
struct HelperActivity {
  std::string command;
  bool injected = false;
  bool killed = false;
  int card_opens = 0;
  std::uint64_t card_read_bytes = 0;
  std::uint64_t write_bytes = 0;  // through any handle
  int flushes = 0;
  int failed_locks = 0;   // FSCTL_LOCK_VOLUME refused
  int processes = 0;      // PowerShell runs
  std::map<std::string, int> open_handles;  // opens less closes, by path
  int held_locks = 0;                        // successful locks less unlocks
};

struct FlashRun {
  int status = -1;
  std::string stderr_text;
  std::vector<nlohmann::json> transcript;  // {"request", "lines"} per helper process
  nlohmann::json clean_up;                 // the finalize_disk that ended a failed flash, or null
  std::vector<nlohmann::json> events;
  std::vector<HelperActivity> helpers;     // in the order they ran

  // The last helper response, or null when the last helper left none.
  nlohmann::json last_response() const;
  std::string last_command() const;
};

class Laptop {
 public:
  // `faults`: the machine's own, for every process of every run until
  // put_back_good_card.
  Laptop(const Tools& tools, const std::string& compressed_image, std::uint64_t card_bytes,
         const nlohmann::json& faults = nlohmann::json::array());
  ~Laptop();
  Laptop(const Laptop&) = delete;
  Laptop& operator=(const Laptop&) = delete;

  // flash-card --yes on the card, with a first-boot file and a command-line
  // option so every disk command runs; through fault-helper when `injection`.
  FlashRun flash(const std::optional<Injection>& injection);
  // The good card back in the reader, as the fault left its bytes and its
  // online state, with every fault gone.
  void put_back_good_card();

  const std::string& dir() const { return dir_; }

 private:
  const Tools& tools_;
  std::string dir_;
  nlohmann::json good_card_;
};

std::string shell_quoted(const std::string& text);
std::string read_file(const std::string& path);

}  // namespace wh::matrix
