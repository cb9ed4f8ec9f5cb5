// Simulated machines for the list_disks tests: card readers and disks as
// drives, Get-Disk's answers as canned PowerShell replies.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/sim/sim_platform.h"

namespace wh::testing {

// A removable USB card reader as drive `number`, with `change` merged in
// (a null member removes the default).
nlohmann::json card(std::uint32_t number, const nlohmann::json& change = nlohmann::json::object());

// A fixed SATA disk as drive 4.
nlohmann::json sata_disk();

// What the fallback listing answers unless a test says otherwise: one SD
// card as drive 5.
inline constexpr const char* kListing =
    R"([{"Number":5,"FriendlyName":"Listed Card","SerialNumber":"S5","Size":1000,"IsReadOnly":false,)"
    R"("BusType":"SD","IsSystem":false,"IsBoot":false}])";

// A PowerShell reply printing `text`.
nlohmann::json answers(const std::string& text);

// An elevated machine. The protected-disk query gets `protected_reply`
// (by default: drive 0 is the system and boot disk), the listing
// `listing_reply`.
nlohmann::json machine(const std::vector<nlohmann::json>& drives, const std::vector<nlohmann::json>& faults = {},
                       const nlohmann::json& protected_reply = answers(R"([{"Number":0,"IsSystem":true,"IsBoot":true}])"),
                       const nlohmann::json& listing_reply = answers(kListing));

struct Outcome {
  nlohmann::json response;
  sim::SimState state;
  std::vector<std::string> scripts;  // as PowerShell received them
};

// One list_disks request on a fresh machine `description`, with the project's
// PowerShell stand-in.
Outcome list_disks_on(const nlohmann::json& description, const nlohmann::json& payload = nullptr);

// The ids of the listed disks.
std::vector<std::string> ids(const nlohmann::json& response);

}  // namespace wh::testing
