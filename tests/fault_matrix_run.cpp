#include "fault_matrix_run.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace wh::matrix {

using nlohmann::json;

std::string shell_quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

namespace {

std::vector<json> json_lines(const std::string& path) {
  std::vector<json> records;
  std::istringstream lines(read_file(path));
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) records.push_back(json::parse(line));
  }
  return records;
}

void write_json(const std::string& path, const json& value) { std::ofstream(path) << value.dump(2) << '\n'; }

// Each helper process's part of the event log, in the order matrix.log
// recorded them.
std::vector<HelperActivity> activities(const std::vector<json>& events, const std::vector<json>& started) {
  std::vector<HelperActivity> helpers;
  std::map<long long, std::size_t> by_pid;
  for (const json& record : started) {
    HelperActivity activity;
    activity.command = record.value("command", "");
    activity.injected = record.value("injected", false);
    activity.killed = record.value("killed", false);
    by_pid[record["helper"].get<long long>()] = helpers.size();
    helpers.push_back(activity);
  }
  for (const json& event : events) {
    const auto found = by_pid.find(event.value("process", -1LL));
    if (found == by_pid.end()) continue;
    HelperActivity& helper = helpers[found->second];
    const std::string op = event.value("op", "");
    const std::string path = event.value("path", "");
    const bool failed = event.contains("error");
    if (op == "open") {
      ++helper.open_handles[path];
      helper.card_opens += path == kCardPath;
    } else if (op == "close") {
      --helper.open_handles[path];
    } else if (op == "read" && path == kCardPath && !failed) {
      helper.card_read_bytes += event.value("bytes", std::uint64_t{0});
    } else if (op == "write" && !failed) {
      helper.write_bytes += event.value("bytes", std::uint64_t{0});
    } else if (op == "flush") {
      ++helper.flushes;
    } else if (op == "lock") {
      ++(failed ? helper.failed_locks : helper.held_locks);
    } else if (op == "unlock") {
      --helper.held_locks;
    } else if (op == "process") {
      ++helper.processes;
    }
  }
  return helpers;
}

}  // namespace

json FlashRun::last_response() const {
  if (transcript.empty()) return nullptr;
  const json& lines = transcript.back()["lines"];
  if (lines.empty() || lines.back().contains("event")) return nullptr;
  return lines.back();
}

std::string FlashRun::last_command() const {
  return transcript.empty() ? "" : transcript.back()["request"]["command"].get<std::string>();
}

Laptop::Laptop(const Tools& tools, const std::string& compressed_image, std::uint64_t card_bytes, const json& faults)
    : tools_(tools) {
  char pattern[] = "/tmp/fault-matrix-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  namespace fs = std::filesystem;
  fs::copy_file(compressed_image, dir_ + "/pi.img.xz");
  std::ofstream(dir_ + "/card.img").close();
  fs::resize_file(dir_ + "/card.img", card_bytes);
  std::ofstream(dir_ + "/system.img").close();
  std::ofstream(dir_ + "/firstrun.sh") << "echo first boot\n";
  fs::create_symlink(tools_.powershell(), dir_ + "/powershell");
  good_card_ = {{"number", 1},        {"backingFile", "card.img"}, {"vendor", "Generic"},
                {"product", "STORAGE DEVICE"}, {"serial", "000000123"}, {"busType", 7},
                {"removableMedia", true}, {"partitionStyle", "RAW"}};
  json machine = {
      {"elevated", true},
      {"sleepScale", 0},
      {"msPerMiB", 40},  // progress lines all the way through a transfer
      {"drives",
       {{{"number", 0}, {"backingFile", "system.img"}, {"sizeBytes", 512110190592ull}, {"vendor", "NVMe"},
         {"product", "Samsung SSD 980"}, {"serial", "S6B0NL0T"}, {"busType", 17}, {"removableMedia", false},
         {"isSystem", true}, {"isBoot", true}, {"partitionStyle", "GPT"}},
        good_card_}},
      {"volumes",
       {{{"name", "\\\\?\\Volume{3c9e2f1a-5b7d-4e60-9a1c-0d2b4f6e8a10}\\"},
         {"mounted", false},
         {"extents", {{{"disk", 1}, {"startingOffset", 4194304}, {"length", 41943040}}}}}}}};
  if (!faults.empty()) machine["faults"] = faults;
  write_json(dir_ + "/machine.json", machine);
}

Laptop::~Laptop() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

FlashRun Laptop::flash(const std::optional<Injection>& injection) {
  std::filesystem::remove(dir_ + "/events.log");
  std::filesystem::remove(dir_ + "/matrix.log");
  std::string command = "cd " + shell_quoted(dir_) + " && WINDOWS_HELPER_SIM_DIR=" + shell_quoted(dir_);
  command += " FAULT_HELPER_REAL=" + shell_quoted(tools_.helper());
  if (injection) {
    command += " FAULT_HELPER_COMMAND=" + shell_quoted(injection->command);
    command += " FAULT_HELPER_PATCH=" + shell_quoted(injection->patch.dump());
    if (injection->hide_powershell) command += " FAULT_HELPER_HIDE_POWERSHELL=1";
    if (injection->kill_at) command += " FAULT_HELPER_KILL_AT=" + std::to_string(*injection->kill_at);
  }
  command += " " + shell_quoted(tools_.flash_card()) + " --helper " + shell_quoted(tools_.fault_helper()) +
             " --disk 1 --yes --json --transcript transcript.jsonl --file firstrun.sh=firstrun.sh"
             " --cmdline-append quiet pi.img.xz </dev/null >out.txt 2>err.txt";
  const int raw = std::system(command.c_str());

  FlashRun run;
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.stderr_text = read_file(dir_ + "/err.txt");
  run.transcript = json_lines(dir_ + "/transcript.jsonl");
  // A flash that failed once the card was prepared ends with flash-card's
  // own finalize_disk; the step that failed is the one before it.
  if (run.status != 0 && !run.transcript.empty() && run.transcript.back()["request"]["command"] == "finalize_disk") {
    run.clean_up = run.transcript.back();
    run.transcript.pop_back();
  }
  run.events = json_lines(dir_ + "/events.log");
  run.helpers = activities(run.events, json_lines(dir_ + "/matrix.log"));
  return run;
}

void Laptop::put_back_good_card() {
  std::ifstream in(dir_ + "/machine.json");
  json machine = json::parse(in);
  for (json& drive : machine["drives"]) {
    if (drive["number"] != 1) continue;
    const bool offline = drive.value("offline", false);
    drive = good_card_;
    drive["offline"] = offline;
  }
  machine.erase("faults");
  machine.erase("powershell");
  write_json(dir_ + "/machine.json", machine);
  if (!std::filesystem::exists(std::filesystem::symlink_status(dir_ + "/powershell"))) {
    std::filesystem::create_symlink(tools_.powershell(), dir_ + "/powershell");
  }
}

}  // namespace wh::matrix
