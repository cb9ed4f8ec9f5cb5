// The pure rules of customization: merging the kernel command line, which
// relative paths may name a first-boot file, and what the boot-volume
// script's answer must say.
#include <gtest/gtest.h>

#include "customize/boot_files.h"
#include "customize/boot_volume.h"
#include "customize/cmdline.h"

namespace wh {
namespace {

const std::string kVolume = "\\\\?\\Volume{6f1c2a3b-4d5e-11ef-9a0b-0c1d2e3f4a5b}\\";

TEST(MergeCmdline, KeepsOtherTokensOnOneLineAndAppendsTheAddition) {
  const struct {
    std::string existing;
    std::string addition;
    std::string merged;
  } cases[] = {
      {"console=tty1 rootwait systemd.run=/boot/old.sh systemd.run_success_action=reboot "
       "systemd.unit=kernel-command-line.target\n",
       "systemd.run=/boot/firstrun.sh systemd.unit=kernel-command-line.target",
       "console=tty1 rootwait systemd.run=/boot/firstrun.sh systemd.unit=kernel-command-line.target\n"},
      {"systemd.unit=rescue.target systemd.runner=x systemd.run xsystemd.run=1", "a",
       "systemd.unit=rescue.target xsystemd.run=1 a\n"},
      {"systemd.unit=kernel-command-line.target2 SYSTEMD.RUN=1", "a",
       "systemd.unit=kernel-command-line.target2 SYSTEMD.RUN=1 a\n"},
      {"a\r\nb\r\n\r\n c\t\v\fd", "e", "a b c d e\n"},
      // U+00A0, U+3000, U+2028 and U+0085 separate; U+200B does not.
      {"a\xC2\xA0" "b\xE3\x80\x80" "c\xE2\x80\xA8" "d\xC2\x85" "e f\xE2\x80\x8Bg", "h", "a b c d e f\xE2\x80\x8Bg h\n"},
      {"", "x", "x\n"},
      {" \r\n\xE3\x80\x80", " x ", "x\n"},
      {"systemd.run=/boot/firstrun.sh", "x", "x\n"},
      {"a b", "  ", "a b \n"},
      {"", "", "\n"},
      // Line breaks inside the addition separate like any white space: the
      // firmware reads the first line only.
      {"a", "\xE3\x80\x80 x\ny \xC2\xA0\n", "a x y\n"},
      {"a", "x\r\ny\rz\xE2\x80\xA8w\xC2\x85v", "a x  y z w v\n"},
      {"é=ü", "ß", "é=ü ß\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(merge_cmdline(c.existing, c.addition), c.merged) << c.existing;
  }
}

TEST(MergeCmdline, RepeatingACustomizationDoesNotAccumulate) {
  const std::string addition = "systemd.run=/boot/firstrun.sh systemd.run_success_action=reboot "
                               "systemd.unit=kernel-command-line.target";
  const std::string once = merge_cmdline("console=serial0,115200 root=PARTUUID=1-02 rootwait\n", addition);
  EXPECT_EQ(merge_cmdline(once, addition), once);
}

TEST(ResolveBootFilePath, NamesOnlyFilesBelowTheVolumeRoot) {
  const std::string invalid = "Invalid first-boot file path.";
  const struct {
    std::string relative;
    std::string full;  // empty: refused
  } cases[] = {
      {"a/b.txt", kVolume + "a\\b.txt"},
      {"a\\b.txt", kVolume + "a\\b.txt"},
      {"firstrun.sh", kVolume + "firstrun.sh"},
      {"a b/\xC2\xA0.txt", kVolume + "a b\\\xC2\xA0.txt"},
      {"...", kVolume + "..."},
      {"", ""},
      {"/a.txt", ""},
      {"\\a.txt", ""},
      {"a//b.txt", ""},
      {"a\\/b.txt", ""},
      {"a/", ""},
      {"../a", ""},
      {"a/../../b", ""},
      {"./a", ""},
      {"a/.", ""},
      {"C:a", ""},
      {"a.txt:stream", ""},
      {std::string("cmdline.txt\0x", 13), ""},
      {"a\x1f" "b", ""},
      {"a\tb", ""},
      {"a\x7f", ""},
      {"a\xC2\x85" "b", ""},  // U+0085
      {"a\xC2\x9F", ""},      // U+009F
  };
  for (const auto& c : cases) {
    auto full = resolve_boot_file_path(kVolume, c.relative);
    if (c.full.empty()) {
      ASSERT_FALSE(full.ok()) << c.relative << " -> " << *full;
      EXPECT_EQ(full.error().code, ErrorCode::kWriteFailed);
      EXPECT_EQ(full.error().message, invalid);
    } else {
      ASSERT_TRUE(full.ok()) << c.relative;
      EXPECT_EQ(*full, c.full);
    }
  }
  // Only a volume GUID path with its backslash can lead the path.
  EXPECT_FALSE(resolve_boot_file_path(kVolume.substr(0, 48), "a.txt").ok());
  EXPECT_FALSE(resolve_boot_file_path("E:\\", "a.txt").ok());
}

TEST(BootVolumeRecord, MustNamePartitionOneOfTheTargetByItsGuidPath) {
  const std::string wrong = "Could not prove boot partition 1 has a valid volume GUID path on the selected disk.";
  const std::string not_json = "Could not prove the boot volume belongs to the selected disk: ";
  const auto record = [](const std::string& disk, const std::string& partition, const std::string& guid) {
    return "{\"DiskNumber\":" + disk + ",\"PartitionNumber\":" + partition +
           ",\"DriveLetter\":\"E\",\"VolumeGuidPath\":" + guid + "}";
  };
  const std::string guid = "\"\\\\\\\\?\\\\Volume{6f1c2a3b-4d5e-11ef-9a0b-0c1d2e3f4a5b}\\\\\"";
  const struct {
    std::string output;
    std::string message;  // empty: accepted; ends with a space: a prefix
  } cases[] = {
      {record("2", "1", guid), ""},
      {"{\"VolumeGuidPath\":" + guid + ",\"PartitionNumber\":1,\"DiskNumber\":2}", ""},
      {record("2", "1", "\"\\\\\\\\?\\\\Volume{6F1C2A3B-4D5E-11EF-9A0B-0C1D2E3F4A5B}\\\\\""), ""},
      {"E:\\", not_json},
      {"", not_json},
      {record("2", "1", guid) + " x", not_json},
      {record("3", "1", guid), wrong},
      {record("-2", "1", guid), wrong},
      {record("2.0", "1", guid), wrong},
      {record("\"2\"", "1", guid), wrong},
      {record("null", "1", guid), wrong},
      {record("2", "2", guid), wrong},
      {record("2", "0", guid), wrong},
      {record("2", "1", "\"E:\\\\\""), wrong},
      {record("2", "1", "\"\\\\\\\\?\\\\Volume{6f1c2a3b-4d5e-11ef-9a0b-0c1d2e3f4a5}\\\\\""), wrong},
      {record("2", "1", "\"\\\\\\\\?\\\\Volume{6f1c2a3b4d5e-11ef-9a0b-0c1d2e3f4a5b-}\\\\\""), wrong},
      {record("2", "1", "\"\\\\\\\\?\\\\Volume{6f1c2a3b-4d5e-11ef-9a0b-0c1d2e3f4a5b}\""), wrong},
      {record("2", "1", "null"), wrong},
      {"{\"DiskNumber\":2,\"PartitionNumber\":1}", wrong},
      {"[" + record("2", "1", guid) + "]", wrong},
      {"2", wrong},
  };
  for (const auto& c : cases) {
    auto path = parse_boot_volume_record(c.output, 2);
    if (c.message.empty()) {
      ASSERT_TRUE(path.ok()) << c.output << ": " << path.error().message;
      EXPECT_EQ(path->size(), 49u);
      continue;
    }
    ASSERT_FALSE(path.ok()) << c.output;
    EXPECT_EQ(path.error().code, ErrorCode::kDeviceNotRemovable);
    if (c.message.ends_with(' ')) {
      // The parser's own description of the fault follows the prefix.
      EXPECT_TRUE(path.error().message.starts_with(c.message)) << path.error().message;
      EXPECT_GT(path.error().message.size(), c.message.size() + 10) << path.error().message;
      EXPECT_EQ(path.error().message.find("json.exception"), std::string::npos) << path.error().message;
    } else {
      EXPECT_EQ(path.error().message, c.message) << c.output;
    }
  }
}

}  // namespace
}  // namespace wh
