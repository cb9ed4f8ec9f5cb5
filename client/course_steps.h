// The steps every course of flash-card begins with, flashing or
// reformatting: the helper's health (and whether it runs as administrator),
// the candidate disks with their volumes and the cards that cannot be
// written now, and the user's choice among them.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "helper_steps.h"

namespace flash {

class CourseSteps : public HelperSteps {
 public:
  using HelperSteps::HelperSteps;

 protected:
  // health: whether the helper runs as administrator; nullopt after a failure.
  std::optional<bool> greet();
  // The refusal of a course that needs administrator rights without them:
  // what to do, and nothing was touched.
  int refuse_unelevated(const std::string& needing);
  // list_disks with the volumes and the cards that cannot be written now.
  std::optional<nlohmann::json> candidates();
  // The disks `wanted` names (--disk, in order), each once; shows the
  // candidates and refuses (kExitUsage) when one names none of them.
  int choose(const nlohmann::json& disks, const std::vector<std::string>& wanted, std::ostream& display,
             std::vector<nlohmann::json>& chosen);
};

}  // namespace flash
