// What Windows refuses, the simulated Windows refuses too, with the same
// codes: a helper that forgets a lock, opens the wrong name or uses a handle
// beyond its access fails here as it would on a real machine.
#include <sys/stat.h>

#include <climits>
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "sim_dir.h"

namespace wh {
namespace {

using nlohmann::json;
using testing::raw_write_code;
using testing::SimDir;

constexpr std::uint64_t kKiB = 1024;
const std::string kDrive = "\\\\.\\PhysicalDrive1";
const std::string kVolume = "\\\\?\\Volume{6f1c2a3b-4d5e-11ef-9a0b-0c1d2e3f4a5b}";

// A 1 MiB card whose one volume covers bytes 512 KiB to 768 KiB.
class SimRules : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write_file("card.img", std::string(1024 * kKiB, '\0'));
    machine = {{"elevated", true},
               {"drives", {{{"number", 1}, {"backingFile", "card.img"}}}},
               {"volumes",
                {{{"name", kVolume + "\\"},
                  {"extents", {{{"disk", 1}, {"startingOffset", 512 * kKiB}, {"length", 256 * kKiB}}}}}}}};
  }
  sim::SimPlatform platform() {
    dir.write_machine(machine);
    return dir.platform();
  }
  SimDir dir;
  json machine;
};

TEST_F(SimRules, VolumesOpenOnlyByTheirDeviceName) {
  auto p = platform();
  const std::string listed = p.list_volumes()->front();
  // The listed name ends in a backslash: that is the root directory, which a
  // volume open cannot take.
  EXPECT_EQ(p.open_volume(listed, VolumeAccess::kReadWrite).error().code, 5u);
  EXPECT_EQ(p.open_volume(kVolume + "\\\\", VolumeAccess::kRead).error().code, 2u);
  auto device = p.open_volume(listed.substr(0, listed.size() - 1), VolumeAccess::kReadWrite);
  ASSERT_TRUE(device.ok());
  EXPECT_TRUE((*device)->lock_volume().ok());
}

TEST_F(SimRules, RawWritesIntoAMountedVolumeNeedItLockedOrDismounted) {
  auto p = platform();
  auto drive = p.open_drive_exclusive_write(kDrive);
  ASSERT_TRUE(drive.ok());
  // Outside the volume, at its edges, and across them.
  const struct {
    std::uint64_t offset;
    std::uint32_t code;
  } unlocked[] = {{0, 0}, {511 * kKiB, 0}, {768 * kKiB, 0}, {512 * kKiB, 5},
                  {767 * kKiB, 5}, {511 * kKiB + 512, 5}, {767 * kKiB + 512, 5}};
  for (const auto& c : unlocked) EXPECT_EQ(raw_write_code(**drive, c.offset), c.code) << c.offset;

  {
    auto volume = p.open_volume(kVolume, VolumeAccess::kReadWrite);
    ASSERT_TRUE(volume.ok());
    ASSERT_TRUE((*volume)->lock_volume().ok());
    // A second handle cannot take the lock while the first holds it.
    auto other = p.open_volume(kVolume, VolumeAccess::kReadWrite);
    EXPECT_EQ((*other)->lock_volume().error().code, 5u);
    EXPECT_EQ(raw_write_code(**drive, 600 * kKiB), 0u);
  }
  // Closing the handle released the lock: the volume is mounted again.
  EXPECT_EQ(raw_write_code(**drive, 600 * kKiB), 5u);
  {
    auto volume = p.open_volume(kVolume, VolumeAccess::kReadWrite);
    ASSERT_TRUE((*volume)->dismount_volume().ok());
  }
  EXPECT_EQ(raw_write_code(**drive, 600 * kKiB), 0u);
  EXPECT_EQ(p.state.events, (std::vector<std::string>{"lock " + kVolume + "\\", "unlock " + kVolume + "\\",
                                                      "dismount " + kVolume + "\\"}));
}

TEST_F(SimRules, RawWritesIntoAVolumeWithoutFileSystemGoThrough) {
  machine["volumes"][0]["mounted"] = false;
  auto p = platform();
  auto drive = p.open_drive_exclusive_write(kDrive);
  EXPECT_EQ(raw_write_code(**drive, 600 * kKiB), 0u);
}

TEST_F(SimRules, HandlesDoOnlyWhatTheirAccessAllows) {
  dir.write_file("file.bin", std::string(kKiB, 'f'));
  auto p = platform();
  const testing::AlignedBytes block(512, 1);
  testing::AlignedBytes buffer(512);
  HandlePtr reader = std::move(p.open_file_read(dir.file("file.bin"))).value();
  HandlePtr writer = std::move(p.create_file_write(dir.file("new.bin"))).value();
  HandlePtr appender = std::move(p.open_always_write(dir.file("file.bin"))).value().handle;
  HandlePtr query = std::move(p.open_drive_for_query(kDrive)).value();
  HandlePtr volume = std::move(p.open_volume(kVolume, VolumeAccess::kRead)).value();
  const struct {
    const char* what;
    std::function<bool()> allowed;  // false: refused with 5
    bool expected;
  } cases[] = {
      {"read a file opened for reading", [&] { return reader->read(buffer).ok(); }, true},
      {"identity of a file opened for reading", [&] { return reader->file_identity().ok(); }, true},
      {"write a file opened for reading", [&] { return reader->write(block).ok(); }, false},
      {"flush a file opened for reading", [&] { return reader->flush().ok(); }, false},
      {"truncate a file opened for reading", [&] { return reader->set_end_of_file(0).ok(); }, false},
      {"read a created file", [&] { return writer->read(buffer).ok(); }, false},
      {"identity of a created file", [&] { return writer->file_identity().ok(); }, false},
      {"flush a created file", [&] { return writer->flush().ok(); }, true},
      {"read a file opened always", [&] { return appender->read(buffer).ok(); }, false},
      {"write a drive opened for queries", [&] { return query->write(block).ok(); }, false},
      {"flush a drive opened for queries", [&] { return query->flush().ok(); }, false},
      {"flush a volume opened for reading", [&] { return volume->flush().ok(); }, false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.allowed(), c.expected) << c.what;
  // Every refusal above is access denied, as Windows words it.
  EXPECT_EQ(reader->flush().error().text(), "Access is denied. (os error 5)");
  EXPECT_EQ(writer->read(buffer).error().code, 5u);
  EXPECT_EQ(query->flush().error().code, 5u);
}

TEST_F(SimRules, NamesAreTakenAsWindowsTakesThem) {
  dir.write_file("hidden.img", "h");
  dir.write_file("system.img", "s");
  dir.write_file("locked.img", "r");
  machine["fileAttributes"] = {{"hidden.img", {"hidden"}}, {"system.img", {"system"}}, {"locked.img", {"readOnly"}}};
  auto p = platform();
  const auto code = [](const auto& result) { return result.ok() ? 0u : result.error().code; };
  EXPECT_EQ(code(p.open_drive_for_query("\\\\.\\PhysicalDrive01")), 2u);
  EXPECT_EQ(code(p.open_drive_for_query("\\\\.\\physicaldrive1")), 0u);
  EXPECT_EQ(code(p.create_file_write(dir.file("no/such/dir.img"))), 3u);
  EXPECT_EQ(code(p.open_file_read(dir.file("no/such/dir.img"))), 3u);
  EXPECT_EQ(code(p.open_file_read(dir.file("missing.img"))), 2u);
  EXPECT_EQ(code(p.create_file_write(dir.file("hidden.img"))), 5u);
  EXPECT_EQ(code(p.create_file_write(dir.file("system.img"))), 5u);
  EXPECT_EQ(code(p.create_file_write(dir.file("locked.img"))), 5u);
  EXPECT_EQ(code(p.open_always_write(dir.file("locked.img"))), 5u);
  EXPECT_EQ(code(p.open_always_write(dir.file("hidden.img"))), 0u);  // not a truncation
  EXPECT_EQ(dir.read_file("hidden.img"), "h");
  EXPECT_EQ(code(p.open_file_read(dir.file("system.img"))), 0u);
}

TEST_F(SimRules, ANulInAPathIsAnInvalidName) {
  dir.write_file("image.img", "i");
  auto p = platform();
  const std::string cut = dir.file("image.img") + std::string(1, '\0') + "x";
  const auto code = [](const auto& result) { return result.ok() ? 0u : result.error().code; };
  EXPECT_EQ(code(p.open_file_read(cut)), 123u);
  EXPECT_EQ(code(p.create_file_write(cut)), 123u);
  EXPECT_EQ(code(p.open_always_write(cut)), 123u);
  EXPECT_EQ(code(p.file_status(cut)), 123u);
  EXPECT_EQ(code(p.open_drive_for_query(kDrive + std::string(1, '\0'))), 123u);
  EXPECT_EQ(code(p.open_volume(kVolume + std::string(1, '\0'), VolumeAccess::kRead)), 123u);
  EXPECT_EQ(code(p.run_process(std::string(kPowerShellPath) + std::string(1, '\0'), {})), 123u);
  EXPECT_FALSE(p.file_exists(cut));
  EXPECT_EQ(dir.read_file("image.img"), "i");
}

TEST_F(SimRules, OffsetsBeyondTheSignedRangeAreInvalidParameters) {
  auto p = platform();
  auto file = std::move(p.create_file_write(dir.file("out.img"))).value();
  const std::uint64_t too_far = static_cast<std::uint64_t>(INT64_MAX) + 1;
  EXPECT_EQ(file->seek(too_far).error().code, 87u);
  EXPECT_EQ(file->set_end_of_file(too_far).error().code, 87u);
}

// The user's own rights, links opened themselves, and a request file that
// no writer or deleter can reach while it is read.
TEST_F(SimRules, UserRightsLinksAndLockedReads) {
  std::filesystem::create_directory(dir.file("admin"));
  dir.write_file("admin/secret", "s");
  dir.write_file("mine", "m");
  std::filesystem::create_symlink(dir.file("admin/secret"), dir.file("link"));
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  machine["userDeniedPaths"] = {"admin"};
  auto p = platform();
  const auto code = [](const auto& result) { return result.ok() ? 0u : result.error().code; };
  const auto kind = [](auto& handle) { return (*handle)->status()->kind; };
  EXPECT_EQ(code(p.open_file_read_as_user(dir.file("admin/secret"))), 5u);
  EXPECT_EQ(code(p.open_file_read_as_user(dir.file("link"))), 5u);  // Windows checks where a link leads
  EXPECT_EQ(code(p.open_output_as_user(dir.file("admin/new"))), 5u);
  EXPECT_EQ(code(p.open_file_read(dir.file("admin/secret"))), 0u);  // the helper's own rights
  {
    auto output = p.open_output_as_user(dir.file("link"));  // the link itself, never followed
    ASSERT_TRUE(output.ok());
    EXPECT_EQ(output->handle->status()->kind, FileKind::kOther);
    auto kept = p.open_output_as_user(dir.file("mine"));
    EXPECT_TRUE(kept->already_existed);
    EXPECT_EQ(kept->handle->final_path().value(), std::filesystem::canonical(dir.file("mine")).string());
  }
  EXPECT_EQ(dir.read_file("mine"), "m");  // opened, not truncated
  auto fifo = p.open_file_read_locked(dir.file("fifo"));  // at once, without a writer
  ASSERT_TRUE(fifo.ok());
  EXPECT_EQ(kind(fifo), FileKind::kOther);
  auto link = p.open_file_read_locked(dir.file("link"));
  EXPECT_EQ(kind(link), FileKind::kOther);
  EXPECT_EQ(*(*p.open_file_read_locked(dir.file("admin/secret")))->user_may_change(), false);
  {
    auto locked = p.open_file_read_locked(dir.file("mine"));
    EXPECT_EQ(kind(locked), FileKind::kRegular);
    EXPECT_EQ(*(*locked)->user_may_change(), true);
    EXPECT_EQ(code(p.create_file_write(dir.file("mine"))), 32u);
    EXPECT_EQ(code(p.delete_file(dir.file("mine"))), 32u);
    EXPECT_EQ(code(p.open_file_read(dir.file("mine"))), 0u);
  }
  auto writer = p.open_always_write(dir.file("mine"));
  EXPECT_EQ(code(p.open_file_read_locked(dir.file("mine"))), 32u);
  writer->handle.reset();
  EXPECT_EQ(code(p.open_file_read_locked(dir.file("mine"))), 0u);
  // Without elevation the helper has no more than its user's rights.
  p.machine.elevated = false;
  EXPECT_EQ(code(p.open_file_read(dir.file("admin/secret"))), 5u);
  EXPECT_EQ(*(*p.open_file_read_locked(dir.file("mine")))->user_may_change(), false);
}

TEST_F(SimRules, AFailingVolumeEnumerationIsAnError) {
  machine["faults"] = {{{"operation", "listVolumes"}, {"error", 21}, {"count", 1}}};
  auto p = platform();
  EXPECT_EQ(p.list_volumes().error().code, 21u);
  EXPECT_EQ(p.list_volumes()->size(), 1u);
}

}  // namespace
}  // namespace wh
