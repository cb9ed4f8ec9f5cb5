#include "course_steps.h"

#include "disk_choice.h"
#include "flash_options.h"
#include "summary.h"

namespace flash {

using nlohmann::json;

std::optional<bool> CourseSteps::greet() {
  const auto health = call("health", json::object());
  if (!health) return std::nullopt;
  const bool elevated = health->value("isElevated", false);
  view_.note("Helper " + text(*health, "helperVersion") + " on " + text(*health, "platform") +
             (elevated ? ", running as administrator" : ", NOT running as administrator"));
  return elevated;
}

int CourseSteps::refuse_unelevated(const std::string& needing) {
  return fail("the helper is not running as administrator, and Windows allows " + needing +
              " to administrators only: run flash-card from an administrator console (right-click the terminal, "
              "Run as administrator); nothing was written");
}

std::optional<json> CourseSteps::candidates() {
  const auto listed = call("list_disks", {{"includeVolumes", true}, {"includeUnavailable", true}});
  if (!listed) return std::nullopt;
  return listed->value("disks", json::array());
}

int CourseSteps::choose(const json& disks, const std::vector<std::string>& wanted, std::ostream& display,
                        std::vector<json>& chosen) {
  for (const std::string& name : wanted) {
    auto disk = select_disk(disks, name);
    if (!disk) {
      print_candidates(display, disks);
      return fail(disk.error(), kExitUsage);
    }
    for (const json& earlier : chosen) {
      if (text(earlier, "osDevicePath") == text(*disk, "osDevicePath")) {
        return fail("--disk " + name + " names " + describe_disk(*disk) + " a second time; nothing was written",
                    kExitUsage);
      }
    }
    chosen.push_back(*disk);
  }
  return kExitSuccess;
}

}  // namespace flash
