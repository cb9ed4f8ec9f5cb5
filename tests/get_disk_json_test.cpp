// Reading Get-Disk's JSON: the protected drive numbers and the entries of the
// PowerShell listing.
#include <gtest/gtest.h>

#include "discovery/disk_info.h"

namespace wh {
namespace {

using nlohmann::json;

TEST(ProtectedDriveNumbers, SystemOrBootDisksWithA32BitNumber) {
  const std::pair<const char*, std::set<std::uint32_t>> cases[] = {
      {R"([{"Number":0,"IsSystem":true,"IsBoot":true},{"Number":1,"IsSystem":false,"IsBoot":false}])", {0}},
      {R"({"Number":2,"IsSystem":false,"IsBoot":true})", {2}},
      {R"([{"Number":3,"IsSystem":true},{"Number":5,"IsBoot":true}])", {3, 5}},
      {R"([{"Number":1,"IsSystem":"True"},{"Number":2,"IsBoot":1},{"Number":3}])", {}},
      {R"([{"Number":4294967295,"IsSystem":true}])", {4294967295}},
      // Not a plain 32-bit integer: ignored, never taken as drive 0.
      {R"([{"Number":4294967296,"IsSystem":true},{"Number":-1,"IsSystem":true}])", {}},
      {R"([{"Number":1.0,"IsSystem":true},{"Number":"1","IsSystem":true},{"IsSystem":true}])", {}},
      {R"([{"Number":null,"IsBoot":true},7,null,[{"Number":1,"IsBoot":true}]])", {}},
      {"null", {}},
      {"[]", {}},
      {"0", {}},
  };
  for (const auto& [text, numbers] : cases) EXPECT_EQ(protected_drive_numbers(json::parse(text)), numbers) << text;
}

// A listable USB disk with `change` merged in; null members are removed.
json disk_with(const json& change) {
  json disk = {{"Number", 1},         {"FriendlyName", "Generic STORAGE DEVICE"},
               {"SerialNumber", " 000000123 "}, {"Size", 31914983424},
               {"IsReadOnly", false}, {"BusType", "USB"},
               {"IsSystem", false},   {"IsBoot", false}};
  for (const auto& [name, value] : change.items()) {
    if (value.is_null()) disk.erase(name);
    else disk[name] = value;
  }
  return disk;
}

TEST(ListedDisk, TakesGetDiskMembersUnchanged) {
  const auto disk = listed_disk(disk_with(json::object()));
  ASSERT_TRUE(disk);
  EXPECT_EQ(disk_info_json(*disk).dump(),
            R"({"bsdDisk":"PhysicalDrive1","id":"PhysicalDrive1","internal":false,"isBoot":false,)"
            R"("isSystem":false,"model":"Generic STORAGE DEVICE","mountPoints":[],"osDevicePath":"\\\\.\\PhysicalDrive1",)"
            R"("rawDisk":"\\\\.\\PhysicalDrive1","removable":true,"serial":" 000000123 ","sizeBytes":31914983424,)"
            R"("usbPath":"Bus:USB","vendor":"USB","writable":true})");
}

TEST(ListedDisk, MemberRules) {
  // Each change to the listable disk, and the members it gives: model,
  // serial, usbPath and vendor, sizeBytes and id.
  const struct {
    const char* change;
    const char* model;
    json serial;
    const char* bus;
    std::uint64_t size;
    const char* id;
  } cases[] = {
      {R"({"SerialNumber":""})", "Generic STORAGE DEVICE", "", "USB", 31914983424, "PhysicalDrive1"},
      {R"({"SerialNumber":null})", "Generic STORAGE DEVICE", nullptr, "USB", 31914983424, "PhysicalDrive1"},
      {R"({"SerialNumber":123})", "Generic STORAGE DEVICE", nullptr, "USB", 31914983424, "PhysicalDrive1"},
      {R"({"FriendlyName":null})", "Unknown", " 000000123 ", "USB", 31914983424, "PhysicalDrive1"},
      {R"({"FriendlyName":7})", "Unknown", " 000000123 ", "USB", 31914983424, "PhysicalDrive1"},
      {R"({"BusType":"usb"})", "Generic STORAGE DEVICE", " 000000123 ", "usb", 31914983424, "PhysicalDrive1"},
      {R"({"BusType":"Sd"})", "Generic STORAGE DEVICE", " 000000123 ", "Sd", 31914983424, "PhysicalDrive1"},
      {R"({"BusType":"MMC"})", "Generic STORAGE DEVICE", " 000000123 ", "MMC", 31914983424, "PhysicalDrive1"},
      {R"({"IsReadOnly":"True"})", "Generic STORAGE DEVICE", " 000000123 ", "USB", 31914983424, "PhysicalDrive1"},
      {R"({"IsReadOnly":null,"IsSystem":1})", "Generic STORAGE DEVICE", " 000000123 ", "USB", 31914983424,
       "PhysicalDrive1"},
      {R"({"Size":18446744073709551615})", "Generic STORAGE DEVICE", " 000000123 ", "USB", UINT64_MAX,
       "PhysicalDrive1"},
      {R"({"Number":0})", "Generic STORAGE DEVICE", " 000000123 ", "USB", 31914983424, "PhysicalDrive0"},
      {R"({"Number":4294967295})", "Generic STORAGE DEVICE", " 000000123 ", "USB", 31914983424,
       "PhysicalDrive4294967295"},
  };
  for (const auto& c : cases) {
    const auto disk = listed_disk(disk_with(json::parse(c.change)));
    ASSERT_TRUE(disk) << c.change;
    const json out = disk_info_json(*disk);
    EXPECT_EQ(out["model"], c.model) << c.change;
    EXPECT_EQ(out["serial"], c.serial) << c.change;
    EXPECT_EQ(out["usbPath"], std::string("Bus:") + c.bus) << c.change;
    EXPECT_EQ(out["vendor"], c.bus) << c.change;
    EXPECT_EQ(out["sizeBytes"], c.size) << c.change;
    EXPECT_EQ(out["id"], c.id) << c.change;
    EXPECT_FALSE(out.contains("targetType")) << c.change;
  }
}

TEST(ListedDisk, SkipsWhatMayNotBeWrittenOrCannotBeNamed) {
  const char* changes[] = {
      R"({"IsSystem":true})", R"({"IsBoot":true})", R"({"IsReadOnly":true})",
      R"({"BusType":"SATA"})", R"({"BusType":"NVMe"})", R"({"BusType":"USB "})", R"({"BusType":"USB3"})",
      R"({"BusType":7})", R"({"BusType":null})",
      R"({"Size":0})", R"({"Size":null})", R"({"Size":-1})", R"({"Size":1.5})", R"({"Size":1e9})",
      R"({"Size":"1000"})", R"({"Size":18446744073709551616})",
      R"({"Number":null})", R"({"Number":-1})", R"({"Number":4294967296})", R"({"Number":1.0})",
      R"({"Number":"3"})", R"({"Number":true})",
  };
  for (const char* change : changes) EXPECT_FALSE(listed_disk(disk_with(json::parse(change)))) << change;
  for (const char* other : {"null", "[]", "3", R"("disk")"}) EXPECT_FALSE(listed_disk(json::parse(other))) << other;
}

}  // namespace
}  // namespace wh
