// list_disks when the native probe cannot vouch for every drive: PowerShell's
// Get-Disk listing answers, or its failure is the command's.
#include <gtest/gtest.h>

#include "discovery/list_disks.h"
#include "frame/entry.h"
#include "list_disks_machine.h"
#include "sim_dir.h"

namespace wh {
namespace {

using nlohmann::json;
using namespace testing;

const std::vector<std::string> kBothScripts = {kProtectedDisksScript, kDiskListingScript};

TEST(ListDisksFallback, ListingIsUsedWhenTheProbeCannotAnswer) {
  const std::string short_descriptor(70, '0');  // 35 bytes
  const struct {
    const char* name;
    json machine;
  } cases[] = {
      {"every descriptor query fails", machine({card(1), card(2)}, {{{"operation", "descriptor"}}})},
      {"one descriptor query fails",
       machine({card(1), card(2)}, {{{"operation", "descriptor"}, {"path", "\\\\.\\PhysicalDrive2"}}})},
      {"a descriptor shorter than 36 bytes", machine({card(1), card(2, {{"descriptorHex", short_descriptor}})})},
      {"no drives", machine({})},
      {"the only drive has length 0", machine({card(1, {{"sizeBytes", 0}})})},
      {"the only drive's length query fails", machine({card(1)}, {{{"operation", "length"}}})},
      {"no drive opens", machine({card(1)}, {{{"operation", "open"}}})},
      {"every drive is protected", machine({card(1)}, {}, answers(R"({"Number":1,"IsSystem":true})"))},
      {"the protected-disk query fails",
       machine({card(1)}, {}, {{"exitCode", 1}, {"stderr", "Get-Disk : Access denied"}})},
      {"the protected-disk query prints no JSON", machine({card(1)}, {}, answers("Number IsSystem"))},
      {"the protected-disk query prints nothing", machine({card(1)}, {}, answers(""))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome run = list_disks_on(c.machine);
    EXPECT_EQ(ids(run.response), std::vector<std::string>{"PhysicalDrive5"});
    EXPECT_EQ(run.scripts, kBothScripts);
  }
}

TEST(ListDisksFallback, ListingShapesAndOrder) {
  const json one = {{"Number", 3}, {"FriendlyName", "One"}, {"Size", 10}, {"BusType", "USB"}};
  const struct {
    const char* name;
    json output;
    std::vector<std::string> ids;
  } cases[] = {
      {"a single object", one, {"PhysicalDrive3"}},
      {"an array keeps its order",
       {one, {{"Number", 1}, {"Size", 10}, {"BusType", "MMC"}}, {{"Number", 2}, {"Size", 10}, {"BusType", "sd"}}},
       {"PhysicalDrive3", "PhysicalDrive1", "PhysicalDrive2"}},
      {"null", nullptr, {}},
      {"an empty array", json::array(), {}},
      {"a number", 5, {}},
      {"a numeric BusType", {{"Number", 3}, {"Size", 10}, {"BusType", 7}}, {}},
      {"bad Numbers are skipped, never drive 0",
       {{{"Size", 10}, {"BusType", "USB"}},
        {{"Number", -1}, {"Size", 10}, {"BusType", "USB"}},
        {{"Number", 4294967296}, {"Size", 10}, {"BusType", "USB"}},
        {{"Number", 2.0}, {"Size", 10}, {"BusType", "USB"}},
        one},
       {"PhysicalDrive3"}},
      {"bad Sizes are skipped",
       {{{"Number", 1}, {"BusType", "USB"}},
        {{"Number", 1}, {"Size", -5}, {"BusType", "USB"}},
        {{"Number", 1}, {"Size", 10.5}, {"BusType", "USB"}},
        {{"Number", 1}, {"Size", 0}, {"BusType", "USB"}}},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome run = list_disks_on(machine({}, {}, answers("null"), answers(c.output.dump())));
    EXPECT_EQ(ids(run.response), c.ids) << run.response.dump();
  }
}

TEST(ListDisksFallback, LowerCaseBusTypeIsKeptAsWritten) {
  const Outcome run = list_disks_on(machine({}, {}, answers("null"),
                                            answers(R"({"Number":7,"Size":512,"BusType":"usb","SerialNumber":""})")));
  EXPECT_EQ(run.response.dump(),
            R"({"id":"l1","ok":true,"payload":{"disks":[{"bsdDisk":"PhysicalDrive7","id":"PhysicalDrive7",)"
            R"("internal":false,"isBoot":false,"isSystem":false,"model":"Unknown","mountPoints":[],)"
            R"("osDevicePath":"\\\\.\\PhysicalDrive7","rawDisk":"\\\\.\\PhysicalDrive7","removable":true,)"
            R"("serial":"","sizeBytes":512,"usbPath":"Bus:usb","vendor":"usb","writable":true}]}})");
}

TEST(ListDisksFallback, TheListingsFailureIsTheCommandsFailure) {
  const struct {
    const char* name;
    json listing_reply;
    const char* code;
    const char* message;
  } cases[] = {
      {"PowerShell fails", {{"exitCode", 1}, {"stderr", "Get-Disk : Access denied\r\n"}}, "UNKNOWN",
       "Get-Disk : Access denied"},
      {"the output is not JSON", answers("Number FriendlyName"), "UNKNOWN",
       "parse error at line 1, column 1: syntax error while parsing value - invalid literal; last read: 'N'"},
      {"the output is cut short", answers(R"([{"Number":1)"), "UNKNOWN", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome run = list_disks_on(machine({}, {}, answers("null"), c.listing_reply));
    EXPECT_EQ(run.response["ok"], false);
    EXPECT_EQ(run.response["errorCode"], c.code);
    const std::string message = run.response.value("errorMessage", "");
    if (c.message != nullptr) {
      EXPECT_EQ(message, c.message);
    } else {
      EXPECT_TRUE(message.starts_with("parse error at line 1, column ")) << message;
    }
  }
}

TEST(ListDisksFallback, WithoutPowerShellTheToolIsMissing) {
  SimDir sim;
  sim.write_machine(machine({card(1)}));
  sim.write_file("drive.img", "");
  auto platform = sim.platform();
  CapturedLines out;
  run_helper({"--request", R"({"id":"l1","sessionId":"s","command":"list_disks"})"}, platform, out);
  EXPECT_EQ(out.lines.at(0),
            R"j({"id":"l1","ok":false,"errorCode":"TOOL_MISSING","errorMessage":"The system cannot find the file specified. (os error 2)"})j");
}

}  // namespace
}  // namespace wh
