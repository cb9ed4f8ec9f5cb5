// The pure rules of the disk listing: bus labels, kinds, models, the Unicode
// lower-casing of the keyword search, and the reading of Get-Disk's JSON.
#include <gtest/gtest.h>

#include "discovery/disk_info.h"
#include "discovery/lower_case.h"

namespace wh {
namespace {

using nlohmann::json;
using Text = std::optional<std::string>;

DeviceDescription device(Text vendor, Text product, std::uint32_t bus) {
  DeviceDescription d;
  d.removable_media = true;
  d.bus_type = bus;
  d.vendor = std::move(vendor);
  d.product = std::move(product);
  return d;
}

TEST(BusLabel, NamesTheKnownBusesAndNothingElse) {
  const std::pair<std::uint32_t, const char*> cases[] = {
      {1, "SCSI"}, {3, "ATA"},     {7, "USB"},     {11, "SATA"},    {12, "SD"},         {13, "MMC"},
      {17, "NVMe"}, {0, "Unknown"}, {2, "Unknown"}, {8, "Unknown"}, {0xFFFFFFFF, "Unknown"},
  };
  for (const auto& [bus, label] : cases) EXPECT_EQ(bus_label(bus), label) << bus;
}

TEST(DiskKind, SdAndMmcBusesThenKeywordsThenUsb) {
  const struct {
    Text vendor, product;
    std::uint32_t bus;
    const char* kind;
  } cases[] = {
      {"Generic", "STORAGE DEVICE", 7, "usb-drive"},
      {"Generic", "Micro SD Reader", 7, "memory-card"},
      {std::nullopt, std::nullopt, 12, "memory-card"},  // no keyword needed
      {"Acme", "Stick", 13, "memory-card"},
      {std::nullopt, std::nullopt, 7, "usb-drive"},
      {"SanDisk", "Cruzer Blade", 7, "usb-drive"},
      {"Acme", "Stick", 1, "removable-drive"},
      {"Acme", "Stick", 17, "removable-drive"},
      {"Acme", "microSDXC UHS-I", 7, "memory-card"},
      {"Acme", "SDHC", 1, "memory-card"},
      {"sdxc", std::nullopt, 1, "memory-card"},
      {"Acme", "SD Card", 7, "memory-card"},
      {"Acme", "USB3.0 Card Reader", 7, "memory-card"},
      {"Realtek", "CardReader", 1, "memory-card"},
      {"Acme", "Memory Card", 7, "memory-card"},
      {"Acme", "eMMC", 7, "memory-card"},
      {"Acme", "TF CARD", 7, "memory-card"},
      // The space between vendor and product is always there.
      {"Micro", "SD Stick", 7, "memory-card"},
      {std::nullopt, "SD Card", 1, "memory-card"},
      {"Acme", "SD", 7, "usb-drive"},
      {"Acme", "Micro  SD", 7, "usb-drive"},
      {"Acme", "M\xC4\xB0" "CROSD", 7, "usb-drive"},  // İ lowers to i and a combining dot
  };
  for (const auto& c : cases) {
    EXPECT_EQ(disk_kind(device(c.vendor, c.product, c.bus)), c.kind)
        << c.vendor.value_or("-") << " / " << c.product.value_or("-") << " on " << c.bus;
  }
}

TEST(DiskModel, ProductAloneOnlyWhenItHoldsTheVendorExactly) {
  const struct {
    Text vendor, product;
    const char* model;
  } cases[] = {
      {"Acme", "Acme Ultra", "Acme Ultra"},
      {"acme", "Acme Ultra", "acme Acme Ultra"},
      {"Ultra", "Acme Ultra", "Acme Ultra"},
      {"Acme Ultra", "Acme", "Acme Ultra Acme"},
      {"Generic", "STORAGE DEVICE", "Generic STORAGE DEVICE"},
      {"Generic", std::nullopt, "Generic"},
      {std::nullopt, "STORAGE DEVICE", "STORAGE DEVICE"},
      {std::nullopt, std::nullopt, "Removable storage"},
  };
  for (const auto& c : cases) EXPECT_EQ(disk_model(c.vendor, c.product), c.model);
}

TEST(NativeDiskInfo, FillsEveryMemberAndFallsBackToTheBusLabel) {
  DeviceDescription card = device(std::nullopt, "Flash", 7);
  EXPECT_EQ(disk_info_json(native_disk_info(3, 31914983424, card)).dump(),
            R"({"bsdDisk":"PhysicalDrive3","id":"PhysicalDrive3","internal":false,"isBoot":false,)"
            R"("isSystem":false,"model":"Flash","mountPoints":[],"osDevicePath":"\\\\.\\PhysicalDrive3",)"
            R"("rawDisk":"\\\\.\\PhysicalDrive3","removable":true,"serial":null,"sizeBytes":31914983424,)"
            R"("targetType":"usb-drive","usbPath":"Bus:USB","vendor":"USB","writable":true})");
  card = device("Kingston", "SD Card", 12);
  card.serial = "0x1234";
  const json sd = disk_info_json(native_disk_info(12, 64, card));
  EXPECT_EQ(sd["vendor"], "Kingston");
  EXPECT_EQ(sd["usbPath"], "Bus:SD");
  EXPECT_EQ(sd["serial"], "0x1234");
  EXPECT_EQ(sd["id"], "PhysicalDrive12");
}

TEST(UnicodeLower, MapsEveryScriptNotJustAscii) {
  const std::pair<const char*, const char*> cases[] = {
      {"SD CARD Reader", "sd card reader"},
      {"@[`{", "@[`{"},
      {"\xC3\x84\xC3\x96\xC3\x9C\xC3\x9E", "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xBE"},          // ÄÖÜÞ
      {"\xC3\x97", "\xC3\x97"},                                                          // × has no lower case
      {"\xC4\x80\xC4\x81\xC4\x82", "\xC4\x81\xC4\x81\xC4\x83"},                          // Āā Ă
      {"\xC4\xB0", "i\xCC\x87"},                                                         // İ
      {"\xC7\x85", "\xC7\x86"},                                                          // ǅ titlecase
      {"\xCE\xA3\xCE\x94", "\xCF\x83\xCE\xB4"},                                          // ΣΔ
      {"\xD0\x94\xD0\x98\xD0\xA1\xD0\x9A", "\xD0\xB4\xD0\xB8\xD1\x81\xD0\xBA"},          // ДИСК
      {"\xE1\xBA\x9E", "\xC3\x9F"},                                                      // ẞ
      {"\xE2\x84\xAA\xE2\x84\xAB", "k\xC3\xA5"},                                         // Kelvin, Angstrom
      {"\xEF\xBC\xB3\xEF\xBC\xA4", "\xEF\xBD\x93\xEF\xBD\x84"},                          // fullwidth ＳＤ
      {"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"},                                          // Deseret
      {"\xF0\x9E\xA4\xA1", "\xF0\x9E\xA5\x83"},                                          // Adlam, last run
      {"A\xFF" "B", "a\xEF\xBF\xBD" "b"},
  };
  for (const auto& [text, lower] : cases) EXPECT_EQ(unicode_lower(text), lower) << text;
}

TEST(UnicodeLower, LoweringTwiceChangesNothingMore) {
  // A run with a wrong stride or offset lands on a letter that lowers again.
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    const char32_t lower = simple_lower(c);
    ASSERT_EQ(simple_lower(lower), lower) << std::hex << static_cast<std::uint32_t>(c);
  }
}

TEST(DiskObjects, ObjectIsOneDiskArrayIsEachAnythingElseNone) {
  const std::pair<const char*, std::size_t> cases[] = {
      {R"({"Number":1})", 1}, {R"([{"Number":1},{"Number":2}])", 2}, {"[]", 0}, {"null", 0},
      {"3", 0},               {R"("disk")", 0},                        {"true", 0}, {"{}", 1},
  };
  for (const auto& [text, count] : cases) EXPECT_EQ(disk_objects(json::parse(text)).size(), count) << text;
}

TEST(ExactCount, OnlyPlainNonNegativeIntegersWithinTheLimit) {
  constexpr std::uint64_t u32 = 0xFFFFFFFF;
  constexpr std::uint64_t u64 = UINT64_MAX;
  const struct {
    const char* text;
    std::uint64_t maximum;
    std::optional<std::uint64_t> count;
  } cases[] = {
      {"0", u32, 0},          {"7", u32, 7},           {"4294967295", u32, u32},
      {"4294967296", u32, {}}, {"4294967296", u64, 4294967296}, {"18446744073709551615", u64, u64},
      {"18446744073709551616", u64, {}}, {"-1", u64, {}}, {"-0", u64, 0},
      {"5.0", u64, {}},       {"5e0", u64, {}},        {"1E2", u64, {}},
      {"0.5", u64, {}},       {R"("5")", u64, {}},     {"true", u64, {}},
      {"null", u64, {}},      {"[5]", u64, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(exact_count(json::parse(c.text), c.maximum), c.count) << c.text;
}

}  // namespace
}  // namespace wh
