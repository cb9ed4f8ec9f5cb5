// The fault matrix: the reference client's whole flash on the simulated
// Windows, with one fault injected at every guarded step of every command
// that acts on the chosen card. Each run must end in a failure the app can
// show (or succeed, for a fault the helper is built to ride out), leave no
// handle or lock open, write not one byte after another card came into the
// reader, and leave a machine on which the next flash of a good card works.
//
//   fault_matrix BUILD_DIR [--verbose]
// prints the table (commands × faults, variants passed of those run) and
// every failed check, and exits 1 if there was one.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fault_matrix_run.h"

namespace wh::matrix {
namespace {

using nlohmann::json;

// The rows: each command of the course, and write_image once more on a card
// whose root directory reads back changed, where it locates and judges the
// difference itself (and flash-card asks classify_mismatch only when that
// judgement failed).
struct Row {
  std::string name;
  std::string command;
  bool differing = false;
};
const std::vector<Row> kRows{{"prepare_disk", "prepare_disk"},   {"write_image", "write_image"},
                             {"write, differing", "write_image", true}, {"verify_boot", "verify_boot"},
                             {"apply_customization", "apply_customization"}, {"detach_target", "detach_target"}};
// The columns, with the error codes the app may be given for each. A failed
// boot report counts as "report".
const std::vector<std::pair<std::string, std::set<std::string>>> kFaults{
    {"pulled", {"DEVICE_NOT_REMOVABLE", "DEVICE_DISCONNECTED", "UNMOUNT_FAILED", "report"}},
    {"swap-serial", {"DEVICE_NOT_REMOVABLE", "UNMOUNT_FAILED", "report"}},
    {"swap-size", {"DEVICE_NOT_REMOVABLE", "UNMOUNT_FAILED", "report"}},
    {"read-error", {"DEVICE_DISCONNECTED", "report"}},
    {"write-error", {"WRITE_FAILED"}},
    {"flush-error", {"WRITE_FAILED"}},
    {"lock-storm", {"UNMOUNT_FAILED"}},
    {"no-PS", {"TOOL_MISSING"}},
    {"PS-fails", {"UNKNOWN"}},
    {"SIGKILL", {}},
};

// What the app must see.
enum class Expect {
  kFailure,  // the injected step fails (or leaves no response), the flash stops there
  kSuccess,  // the helper retries through the fault: the run ends as without it
  kWarning,  // the step succeeds with a warning (detach_target's PowerShell step)
};

struct Variant {
  std::string fault;  // the column
  std::string label;
  Injection injection;
  Expect expect = Expect::kFailure;
  nlohmann::json machine_faults = nlohmann::json::array();  // the laptop's own, for the whole run
  int clean_status = 0;                                      // how the run ends without the fault
  std::string clean_outcome;
  std::string row;         // of the table
  bool differing = false;  // on the card whose readback differs
};

// The member at `pointer` ("-1" the last of an array), or null.
json member(const json& value, const std::string& pointer) {
  const json* here = &value;
  for (std::size_t at = 1; at <= pointer.size();) {
    const std::size_t end = std::min(pointer.find('/', at), pointer.size());
    const std::string key = pointer.substr(at, end - at);
    if (here->is_array() && key == "-1" && !here->empty()) {
      here = &here->back();
    } else if (here->is_object() && here->contains(key)) {
      here = &(*here)[key];
    } else {
      return nullptr;
    }
    at = end + 1;
  }
  return *here;
}

json fault(json members) { return json{{"faults", json::array({std::move(members)})}}; }

std::uint64_t half_sectors(std::uint64_t bytes) { return bytes / 2 / 512 * 512; }

// The card back online with its volume mounted, as after Windows noticed it
// again; only then has a command volumes to lock.
json online_card_with(json machine_faults, const json& machine) {
  json patch{{"drives", machine["drives"]}, {"volumes", machine["volumes"]}, {"faults", std::move(machine_faults)}};
  for (json& drive : patch["drives"]) drive["offline"] = false;
  for (json& volume : patch["volumes"]) volume["mounted"] = true;
  return patch;
}

std::vector<Variant> variants_for(const std::string& command, const HelperActivity& clean, const json& machine) {
  std::vector<Variant> out;
  auto add = [&](std::string column, std::string label, json patch, Expect expect = Expect::kFailure) {
    out.push_back(
        Variant{std::move(column), std::move(label), Injection{command, std::move(patch), false, std::nullopt}, expect});
  };
  for (int k = 0; k < clean.card_opens; ++k) {
    const std::string at = " at open " + std::to_string(k + 1);
    add("pulled", "pulled" + at, fault({{"operation", "disappear"}, {"path", kCardPath}, {"afterOpens", k}}));
    add("swap-serial", "other serial" + at,
        fault({{"operation", "swap"}, {"path", kCardPath}, {"afterOpens", k}, {"serial", "OTHER-CARD"}}));
    add("swap-size", "other size" + at,
        fault({{"operation", "swap"}, {"path", kCardPath}, {"afterOpens", k}, {"sizeBytes", 128ull << 20}}));
  }
  if (clean.card_read_bytes > 0) {
    for (std::uint64_t after : std::set<std::uint64_t>{0, half_sectors(clean.card_read_bytes)}) {
      add("read-error", "read error after " + std::to_string(after),
          fault({{"operation", "read"}, {"path", kCardPath}, {"afterBytes", after}, {"error", 23}}));
    }
  }
  if (clean.write_bytes > 0) {
    for (std::uint64_t after : std::set<std::uint64_t>{0, half_sectors(clean.write_bytes)}) {
      add("write-error", "write error after " + std::to_string(after),
          fault({{"operation", "write"}, {"afterBytes", after}, {"error", 1117}}));
    }
  }
  for (int k = 0; k < clean.flushes; ++k) {
    add("flush-error", "flush error at flush " + std::to_string(k + 1),
        fault({{"operation", "flush"}, {"skip", k}, {"error", 1117}}));
  }
  add("lock-storm", "lock refused every time",
      online_card_with({{{"operation", "lock"}, {"error", 32}}}, machine));
  add("lock-storm", "lock refused three times",
      online_card_with({{{"operation", "lock"}, {"error", 32}, {"count", 3}}}, machine), Expect::kSuccess);
  if (clean.processes > 0) {
    // Detaching is the last step: a card already written is not failed for it.
    const Expect expect = command == "detach_target" ? Expect::kWarning : Expect::kFailure;
    out.push_back(Variant{"no-PS", "powershell.exe missing", Injection{command, json::object(), true, std::nullopt},
                          expect});
    add("PS-fails", "PowerShell exits 1",
        {{"powershell", {{"fail", {{"exitCode", 1}, {"stderr", "Get-Disk : The WS-Management service is not running."}}}}}},
        expect);
  }
  return out;
}

// The error code the app was given: the helper's, "report" for a boot
// report that failed, "" for none.
std::string error_code(const FlashRun& run) {
  const json response = run.last_response();
  if (response.is_null()) return "";
  if (!response.value("ok", false)) return response.value("errorCode", "");
  const json report = member(response, "/payload/report");
  return report.is_object() && !report.value("success", true) ? "report" : "";
}

HelperActivity injected_helper(const FlashRun& run) {
  for (const HelperActivity& helper : run.helpers) {
    if (helper.injected) return helper;
  }
  return {};
}

std::string outcome_text(const FlashRun& run) {
  const json response = run.last_response();
  if (run.status == 0) {
    for (const json& record : run.transcript) {
      const json warnings = member(record, "/lines/-1/payload/warnings");
      if (warnings.is_array() && !warnings.empty()) {
        return record["request"]["command"].get<std::string>() + " warns: " + warnings[0].dump();
      }
    }
    return "flashed";
  }
  if (response.is_null()) return run.last_command() + ": no response line";
  if (response.value("ok", false)) {
    for (const json& row : member(response, "/payload/report/checks")) {
      if (row.value("status", "") == "failed") return run.last_command() + ": report failed: " + row.value("message", "");
    }
    // The helper answered; flash-card judged what it said.
    return run.last_command() + ": " + run.stderr_text.substr(0, run.stderr_text.find('\n'));
  }
  return run.last_command() + ": " + response.value("errorCode", "") + " " + response.value("errorMessage", "");
}

// The checks every run must pass, as messages for those it failed.
std::vector<std::string> check(const Variant& variant, const FlashRun& run) {
  std::vector<std::string> problems;
  const bool killed = variant.injection.kill_at.has_value();
  if (variant.expect == Expect::kSuccess) {
    if (run.status != variant.clean_status || outcome_text(run) != variant.clean_outcome) {
      problems.push_back("the run ended otherwise than without the fault: " + outcome_text(run));
    }
  } else if (variant.expect == Expect::kWarning) {
    if (run.status != 0) problems.push_back("the flash failed: " + run.stderr_text);
    for (const json& record : run.transcript) {
      if (record["request"]["command"] != variant.injection.command) continue;
      const json warnings = member(record, "/lines/-1/payload/warnings");
      const bool warned = warnings.is_array() && !warnings.empty();
      if (!warned) problems.push_back("no warning");
    }
  } else {
    if (run.status != 1) problems.push_back("flash-card exited " + std::to_string(run.status) + ", not 1");
    // A fault while the write judges its difference leaves it without a
    // verdict; flash-card then asks classify_mismatch, on a card the fault
    // may have left alone, which finds the difference and stops the flash.
    const bool judged_again = variant.differing && run.last_command() == "classify_mismatch";
    if (run.last_command() != variant.injection.command && !judged_again) {
      problems.push_back("the flash stopped at " + run.last_command() + ", not at the injected step");
    }
    // A prepare_disk refused before it began ("… was not started.") changed
    // nothing, and flash-card leaves a card it could not prove alone.
    const bool prepared = std::any_of(run.transcript.begin(), run.transcript.end(), [](const json& record) {
      if (record["request"]["command"] != "prepare_disk") return false;
      const json last = member(record, "/lines/-1");
      if (!last.is_object() || last.value("ok", true)) return true;
      return !last.value("errorMessage", "").ends_with("was not started.");
    });
    if (prepared && run.clean_up.is_null()) problems.push_back("the card was not brought back online afterwards");
    const json response = run.last_response();
    if (killed != response.is_null()) problems.push_back("the last helper's response: " + response.dump());
    const std::string code = error_code(run);
    const auto& allowed = std::find_if(kFaults.begin(), kFaults.end(), [&](const auto& column) {
                            return column.first == variant.fault;
                          })->second;
    const bool not_the_image = variant.differing && run.stderr_text.find("does not hold the image") != std::string::npos;
    if (!killed && !allowed.count(code) && !not_the_image) problems.push_back("the app was told " + outcome_text(run));
  }
  bool other_card = false;
  for (const json& event : run.events) {
    const std::string op = event.value("op", "");
    const std::string path = event.value("path", "");
    if (op == "swap") other_card = true;
    if (op != "write" || event.contains("error") || event.value("bytes", 0) == 0) continue;
    if (path == kSystemPath) problems.push_back("wrote to the system disk");
    if (other_card && (path.rfind("\\\\.\\", 0) == 0 || path.rfind("\\\\?\\", 0) == 0)) {
      problems.push_back("wrote " + std::to_string(event.value("bytes", 0)) + " bytes to " + path +
                         " after another card came into the reader");
    }
  }
  for (const HelperActivity& helper : run.helpers) {
    if (helper.killed) continue;  // its handles die with it; the next run shows they did
    for (const auto& [path, open] : helper.open_handles) {
      if (open != 0) problems.push_back(helper.command + " left " + path + " open");
    }
    if (helper.held_locks != 0) problems.push_back(helper.command + " left a volume locked");
  }
  return problems;
}

struct Verdict {
  bool reached = true;  // false: the command never came to the faulty operation
  std::string outcome;  // what the app was told
  std::vector<std::string> problems;
};

Verdict judge(const Tools& tools, const std::string& compressed, std::uint64_t card_bytes, const Variant& variant) {
  Laptop laptop(tools, compressed, card_bytes, variant.machine_faults);
  const FlashRun run = laptop.flash(variant.injection);
  // A lock fault reaches only commands that lock volumes.
  if (variant.fault == "lock-storm" && injected_helper(run).failed_locks == 0 && run.status == 0) return {false, "", {}};
  Verdict verdict{true, outcome_text(run), check(variant, run)};
  // Whatever the fault left, a good card must flash again.
  laptop.put_back_good_card();
  const FlashRun next = laptop.flash(std::nullopt);
  if (next.status != 0) verdict.problems.push_back("the next flash of a good card failed: " + next.stderr_text);
  return verdict;
}

int run_matrix(const Tools& tools, bool verbose) {
  const std::string scratch = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
  const std::string compressed = scratch + "/fault-matrix-" + std::to_string(::getpid()) + ".img.xz";
  const struct RemovedAtEnd {
    const std::string& path;
    ~RemovedAtEnd() { std::remove(path.c_str()); }
  } removed{compressed};
  const std::string compress = "xz -T1 -c " + shell_quoted(tools.image()) + " > " + shell_quoted(compressed);
  if (std::system(compress.c_str()) != 0) return 2;
  const std::uint64_t image_bytes = std::filesystem::file_size(tools.image());
  constexpr std::uint64_t kCardBytes = 64ull << 20;

  // A clean flash shows what each command does, and so where its steps are.
  Laptop clean(tools, compressed, kCardBytes);
  const json machine = json::parse(read_file(clean.dir() + "/machine.json"));
  const FlashRun baseline = clean.flash(std::nullopt);
  if (baseline.status != 0) {
    std::cerr << "fault_matrix: the clean flash failed: " << baseline.stderr_text;
    return 1;
  }

  std::map<std::string, std::map<std::string, std::pair<int, int>>> cells;  // passed, run
  std::map<std::string, std::set<std::string>> outcomes;                     // by column
  std::vector<std::string> failures;
  const json cards = json::parse(read_file(tools.build_dir + "/cards/cards.json"));
  const json changed_root = json::array({{{"operation", "corrupt"},
                                          {"path", kCardPath},
                                          {"offset", cards["card"]["offsets"]["rootDirectory"]},
                                          {"bytesHex", "58"}}});
  Laptop mismatching(tools, compressed, kCardBytes, changed_root);
  const FlashRun mismatch_baseline = mismatching.flash(std::nullopt);
  if (mismatch_baseline.last_command() != "write_image" || mismatch_baseline.status != 1) {
    std::cerr << "fault_matrix: a changed root directory did not stop the flash at write_image\n";
    return 1;
  }

  std::vector<Variant> variants;
  for (const Row& row : kRows) {
    const std::string& command = row.command;
    const bool mismatch = row.differing;
    HelperActivity activity;
    for (const HelperActivity& helper : (mismatch ? mismatch_baseline : baseline).helpers) {
      if (helper.command == command) activity = helper;
    }
    for (Variant& variant : variants_for(command, activity, machine)) {
      if (mismatch) variant.machine_faults = changed_root;
      variant.clean_status = (mismatch ? mismatch_baseline : baseline).status;
      variant.clean_outcome = outcome_text(mismatch ? mismatch_baseline : baseline);
      variant.row = row.name;
      variant.differing = mismatch;
      variants.push_back(std::move(variant));
    }
    if (command == "write_image" && !mismatch) {
      for (std::uint64_t at : {std::uint64_t{0}, half_sectors(image_bytes)}) {
        Variant killed{"SIGKILL", "SIGKILL at " + std::to_string(at) + " bytes written",
                       Injection{command, json::object(), false, at}};
        killed.row = row.name;
        variants.push_back(killed);
      }
    }
  }

  // Each variant on a laptop of its own, as many at once as there are cores.
  std::vector<Verdict> verdicts(variants.size());
  std::atomic<std::size_t> next_variant{0};
  std::vector<std::thread> workers;
  for (unsigned i = 0; i < std::max(1u, std::thread::hardware_concurrency()); ++i) {
    workers.emplace_back([&] {
      for (std::size_t at; (at = next_variant++) < variants.size();) {
        verdicts[at] = judge(tools, compressed, kCardBytes, variants[at]);
      }
    });
  }
  for (std::thread& worker : workers) worker.join();

  int runs = 2;
  for (std::size_t i = 0; i < variants.size(); ++i) {
    const Variant& variant = variants[i];
    const Verdict& verdict = verdicts[i];
    const std::string& command = variant.row;
    if (!verdict.reached) continue;
    runs += 2;
    auto& [passed, ran] = cells[command][variant.fault];
    ++ran;
    passed += verdict.problems.empty();
    outcomes[variant.fault].insert(verdict.outcome);
    if (verbose) std::cout << command << " / " << variant.label << ": " << verdict.outcome << '\n';
    for (const std::string& problem : verdict.problems) failures.push_back(command + " / " + variant.label + ": " + problem);
  }

  std::printf("\n%-20s", "");
  for (const auto& column : kFaults) std::printf(" %-11s", column.first.c_str());
  std::printf("\n");
  for (const Row& row : kRows) {
    const std::string& command = row.name;
    std::printf("%-20s", command.c_str());
    for (const auto& [column, codes] : kFaults) {
      const auto found = cells[command].find(column);
      const std::string cell = found == cells[command].end()
                                   ? "-"
                                   : std::to_string(found->second.first) + "/" + std::to_string(found->second.second);
      std::printf(" %-11s", cell.c_str());
    }
    std::printf("\n");
  }
  std::printf("\n(passed/run variants; - : the command never reaches that operation. %d flashes.)\n", runs);
  std::printf("\nWhat the app was told, by fault:\n");
  for (const auto& [column, codes] : kFaults) {
    for (const std::string& text : outcomes[column]) std::printf("  %-12s %s\n", column.c_str(), text.c_str());
  }
  for (const std::string& failure : failures) std::printf("FAILED %s\n", failure.c_str());
  std::printf("\n%zu failed checks\n", failures.size());
  return failures.empty() ? 0 : 1;
}

}  // namespace
}  // namespace wh::matrix

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: fault_matrix BUILD_DIR [--verbose]\n";
    return 2;
  }
  const wh::matrix::Tools tools{argv[1]};
  return wh::matrix::run_matrix(tools, argc > 2 && std::string(argv[2]) == "--verbose");
}
