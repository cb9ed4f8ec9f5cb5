#include "list_disks_machine.h"

#include <gtest/gtest.h>

#include "discovery/list_disks.h"
#include "frame/entry.h"
#include "sim_dir.h"

namespace wh::testing {

using nlohmann::json;

json card(std::uint32_t number, const json& change) {
  json drive = {{"number", number},    {"backingFile", "drive.img"},
                {"sizeBytes", 31914983424},
                {"vendor", "Generic"}, {"product", "Card " + std::to_string(number)},
                {"busType", 7},        {"removableMedia", true}};
  drive.update(change);
  return drive;
}

json sata_disk() {
  return card(4, {{"vendor", "ATA"}, {"product", "WDC WD10EZEX"}, {"busType", 11}, {"removableMedia", false},
                  {"sizeBytes", 1000204886016}});
}

json answers(const std::string& text) { return {{"stdout", text}}; }

json machine(const std::vector<json>& drives, const std::vector<json>& faults, const json& protected_reply, const json& listing_reply) {
  json protected_answer = protected_reply;
  protected_answer["scriptContains"] = kProtectedDisksScript;
  json listing_answer = listing_reply;
  listing_answer["scriptContains"] = kDiskListingScript;
  return {{"elevated", true},
          {"drives", drives},
          {"faults", faults},
          {"powershell", {{"responses", {protected_answer, listing_answer}}}}};
}

Outcome list_disks_on(const json& description, const json& payload) {
  SimDir sim;
  sim.write_machine(description);
  sim.write_file("drive.img", "");
  sim.install_fake_powershell();
  auto platform = sim.platform();
  CapturedLines out;
  json request = {{"id", "l1"}, {"sessionId", "s"}, {"command", "list_disks"}};
  if (!payload.is_null()) request["payload"] = payload;
  run_helper({"--request", request.dump()}, platform, out);
  EXPECT_EQ(out.lines.size(), 1u);
  return {out.lines.empty() ? json() : json::parse(out.lines.back()), platform.state, sim.powershell_log()};
}

std::vector<std::string> ids(const json& response) {
  std::vector<std::string> out;
  for (const json& disk : response.at("payload").at("disks")) out.push_back(disk.at("id"));
  return out;
}

}  // namespace wh::testing
