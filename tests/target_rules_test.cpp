// The pure rules of target identity: drive numbers in paths, serial
// normalization, identity comparison, and the PowerShell text built from
// them. They run on Linux and, as Windows code, under Wine.
#include <gtest/gtest.h>

#include "target/ps_script.h"
#include "target/target_identity.h"

namespace wh {
namespace {

TEST(ParseDriveNumber, TakesTheDigitsAfterTheLastMarker) {
  const struct {
    const char* text;
    std::optional<std::uint32_t> number;
  } cases[] = {
      {"\\\\.\\PhysicalDrive3", 3u},
      {"PHYSICALDRIVE12 (USB)", 12u},
      {"PhysicalDrive1/PhysicalDrive7", 7u},
      {"\\\\.\\physicaldrive007", 7u},
      {"\\\\.\\PhysicalDrive4294967295", 4294967295u},
      {"\\\\.\\PhysicalDrive4294967296", std::nullopt},  // one past 32 bits
      {"\\\\.\\PhysicalDrive42949672950", std::nullopt},  // wraps to a small number if unchecked
      {"\\\\.\\PhysicalDrive99999999999999999999", std::nullopt},
      {"\\\\.\\PhysicalDrive", std::nullopt},
      {"\\\\.\\PhysicalDrive x1", std::nullopt},
      {"usb-disk-1", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_drive_number(c.text), c.number) << c.text;
}

TEST(NormalizeSerial, KeepsRealSerialsAndDropsPlaceholders) {
  const struct {
    std::optional<std::string> serial;
    std::optional<std::string> normalized;
  } cases[] = {
      {"  AA11 ", "aa11"},
      {"AA-11", "aa-11"},  // punctuation stays
      {"\xE2\x80\x83" "SN 12\t", "sn 12"},  // Unicode white space trimmed
      {"0000 0000", std::nullopt},
      {"No-Serial", std::nullopt},
      {"N/A", std::nullopt},
      {"undefined", std::nullopt},
      {"---", std::nullopt},
      {"   ", std::nullopt},
      {std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(normalize_serial(c.serial), c.normalized) << c.serial.value_or("<absent>");
}

TEST(CompareIdentity, RefusesAnotherDiskWithTheStepInTheMessage) {
  const TargetIdentity expected{"aa11", 1000, 2};
  const struct {
    TargetIdentity live;
    const char* message;  // empty: the same disk
  } cases[] = {
      {{"aa11", 1000, 2}, ""},
      {{"  AA11", 1000, 2}, ""},
      {{"aa11", 1001, 2}, "Target identity changed after preparation; raw write was not started."},
      {{"aa11", 1000, 3}, "Target identity changed after preparation; raw write was not started."},
      {{"AA-11", 1000, 2}, "Target serial changed after preparation; raw write was not started."},
      {{std::nullopt, 1000, 2}, "Target serial changed after preparation; raw write was not started."},
  };
  for (const auto& c : cases) {
    auto same = compare_identity(expected, c.live, "raw write");
    EXPECT_EQ(same.ok() ? std::string() : same.error().message, c.message);
    if (!same.ok()) EXPECT_EQ(same.error().code, ErrorCode::kDeviceNotRemovable);
  }
  EXPECT_TRUE(compare_identity({std::nullopt, 1000, 2}, {"anything", 1000, 2}, "x").ok());
}

TEST(MapOpenError, AccessDeniedMeansElevation) {
  for (std::uint32_t code : {5u, 10013u}) {
    const HelperError error = map_open_error({code, "Access is denied.\r\n"});
    EXPECT_EQ(error.code, ErrorCode::kElevationDenied);
    EXPECT_EQ(error.message,
              "Windows denied exclusive raw disk access. Run Tovrin Zarerud as administrator, close File Explorer "
              "windows for this target, unplug and reconnect it, then try again.");
  }
  const HelperError gone = map_open_error({2, "The system cannot find the file specified.\r\n"});
  EXPECT_EQ(gone.code, ErrorCode::kDeviceDisconnected);
  EXPECT_EQ(gone.message, "The system cannot find the file specified. (os error 2)");
}

TEST(PsQuote, DoublesEveryQuoteThatEndsASingleQuotedString) {
  const struct {
    const char* text;
    const char* quoted;
  } cases[] = {
      {"o'brien", "'o''brien'"},
      {"", "''"},
      {"Bob\xE2\x80\x99s card", "'Bob\xE2\x80\x99\xE2\x80\x99s card'"},   // U+2019
      {"\xE2\x80\x98x\xE2\x80\x9Ay\xE2\x80\x9B", "'\xE2\x80\x98\xE2\x80\x98x\xE2\x80\x9A\xE2\x80\x9Ay\xE2\x80\x9B\xE2\x80\x9B'"},
      {"\"double\" $(Remove-Item C:\\x); `n", "'\"double\" $(Remove-Item C:\\x); `n'"},  // inert inside '…'
      {"\xE2\x80\x9C" "curly double\xE2\x80\x9D", "'\xE2\x80\x9C" "curly double\xE2\x80\x9D'"},  // not a single quote
      {"cut \xE2\x80", "'cut \xE2\x80'"},  // a truncated sequence is copied as it is
  };
  for (const auto& c : cases) EXPECT_EQ(ps_quote(c.text), c.quoted) << c.text;
}

TEST(RevalidationScript, BindsTheDiskAndNamesTheStep) {
  const std::string with_serial = build_revalidation_script({"o'brien", 31914983424, 2}, "reformat");
  EXPECT_TRUE(with_serial.starts_with("$disk = Get-Disk -Number 2 -ErrorAction Stop; if ([uint64]$disk.Size -ne "
                                      "31914983424) { throw ('Target capacity changed before ' + 'reformat') }; "
                                      "$expectedSerial = 'o''brien'; if ($expectedSerial) {"))
      << with_serial;
  EXPECT_TRUE(with_serial.ends_with("{ throw ('Target serial changed before ' + 'reformat') } }")) << with_serial;
  const std::string without = build_revalidation_script({std::nullopt, 512, 7}, "detachment");
  EXPECT_NE(without.find("$expectedSerial = $null; if ($expectedSerial)"), std::string::npos) << without;
}

}  // namespace
}  // namespace wh
