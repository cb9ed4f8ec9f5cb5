// The simulated Windows behaves like the Windows the helper is written for:
// the same sharing rules, error codes and texts, and the faults it is told of.
#include <gtest/gtest.h>

#include "platform/sim/sim_errors.h"
#include "platform/sim/sim_machine_file.h"
#include "platform/win32/ioctl_replies.h"
#include "sim_dir.h"

namespace wh {
namespace {

using nlohmann::json;
using testing::SimDir;

std::string read_all(Handle& handle, std::size_t chunk = 7) {
  std::string out;
  testing::AlignedBytes buffer(chunk);
  while (true) {
    auto n = handle.read(buffer);
    if (!n.ok() || *n == 0) return out;
    out.append(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*n));
  }
}

std::span<const std::uint8_t> bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(SimErrors, SpeakWin32) {
  EXPECT_EQ(sim::win32_error(32).text(),
            "The process cannot access the file because it is being used by another process. (os error 32)");
  EXPECT_EQ(sim::from_errno(ENOENT).code, 2u);
  EXPECT_EQ(sim::from_errno(EACCES).code, 5u);
  EXPECT_TRUE(sim::from_errno(EINTR).interrupted);
  EXPECT_EQ(sim::win32_error(4242).text(), "Unknown error (os error 4242)");
}

TEST(SimFiles, CreateSeekPastTheEndAndSetTheLength) {
  SimDir dir;
  sim::SimPlatform platform{sim::SimMachine{}};
  const std::string path = dir.file("image.img");
  EXPECT_FALSE(platform.file_exists(path));
  {
    auto out = platform.create_file_write(path);
    ASSERT_TRUE(out.ok());
    ASSERT_EQ(*(*out)->write(bytes("head")), 4u);
    ASSERT_TRUE((*out)->seek(10).ok());  // a skipped run of zeros
    ASSERT_TRUE((*out)->set_end_of_file(16).ok());
    ASSERT_TRUE((*out)->flush().ok());
  }
  EXPECT_TRUE(platform.file_exists(path));
  EXPECT_EQ(dir.read_file("image.img"), std::string("head") + std::string(12, '\0'));
  auto in = platform.open_file_read(path);
  ASSERT_TRUE(in.ok());
  EXPECT_EQ(read_all(**in).size(), 16u);
  // Creating again truncates.
  ASSERT_TRUE(platform.create_file_write(path).ok());
  EXPECT_EQ(dir.read_file("image.img"), "");
}

TEST(SimFiles, OpenAlwaysTellsWhetherTheFileExisted) {
  SimDir dir;
  sim::SimPlatform platform{sim::SimMachine{}};
  auto first = platform.open_always_write(dir.file("a.txt"));
  ASSERT_TRUE(first.ok());
  EXPECT_FALSE(first->already_existed);
  auto second = platform.open_always_write(dir.file("a.txt"));
  ASSERT_TRUE(second.ok());
  EXPECT_TRUE(second->already_existed);
}

TEST(SimFiles, FailuresCarryWin32Codes) {
  SimDir dir;
  sim::SimPlatform platform{sim::SimMachine{}};
  auto missing = platform.open_file_read(dir.file("nope"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().text(), "The system cannot find the file specified. (os error 2)");
  auto directory = platform.open_file_read(dir.path());
  ASSERT_FALSE(directory.ok());
  EXPECT_EQ(directory.error().code, 5u);
  dir.write_file("f", "x");
  auto file = platform.open_file_read(dir.file("f"));
  ASSERT_TRUE(file.ok());
  EXPECT_EQ((*file)->disk_length().error().code, 1u);  // not a disk
}

class SimDrives : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write_file("disk1.img", std::string(4096, 'a'));
    machine = {{"elevated", true},
               {"drives",
                {{{"number", 1}, {"backingFile", "disk1.img"}, {"vendor", "Generic"},
                  {"product", "STORAGE DEVICE"}, {"serial", "000000123"}, {"busType", 7},
                  {"removableMedia", false}}}},
               {"volumes",
                {{{"name", "\\\\?\\Volume{0a1b2c3d-0000-1111-2222-333344445555}\\"},
                  {"extents", {{{"disk", 1}}, {{"disk", 2}}}},
                  {"directory", "boot"}}}}};
  }
  sim::SimPlatform platform() {
    dir.write_machine(machine);
    return dir.platform();
  }
  SimDir dir;
  json machine;
};

TEST_F(SimDrives, AnswerTheDiskQueries) {
  auto p = platform();
  auto drive = p.open_drive_for_query("\\\\.\\PHYSICALDRIVE1");
  ASSERT_TRUE(drive.ok());
  EXPECT_EQ(*(*drive)->disk_length(), 4096u);
  EXPECT_EQ(*(*drive)->disk_attributes(), 0u);
  const Bytes descriptor = *(*drive)->storage_descriptor();
  ASSERT_GE(descriptor.size(), 36u);
  EXPECT_EQ(read_u32le(descriptor, 4), descriptor.size());
  EXPECT_EQ(descriptor[10], 0);                  // RemovableMedia
  EXPECT_EQ(read_u32le(descriptor, 28), 7u);     // BusType
  const char* serial = reinterpret_cast<const char*>(descriptor.data() + read_u32le(descriptor, 24));
  EXPECT_STREQ(serial, "000000123");
  EXPECT_FALSE(p.open_drive_for_query("\\\\.\\PhysicalDrive2").ok());
}

TEST_F(SimDrives, ExclusiveOpensFollowTheSharingRules) {
  auto p = platform();
  {
    auto query = p.open_drive_for_query("\\\\.\\PhysicalDrive1");
    ASSERT_TRUE(query.ok());
    EXPECT_EQ(p.open_drive_exclusive_read("\\\\.\\PhysicalDrive1").error().code, 32u);
  }
  auto exclusive = p.open_drive_exclusive_write("\\\\.\\PhysicalDrive1");
  ASSERT_TRUE(exclusive.ok());
  EXPECT_EQ(p.open_drive_for_query("\\\\.\\PhysicalDrive1").error().code, 32u);
  const std::string sector = "WXYZ" + std::string(508, 'b');
  ASSERT_EQ(*(*exclusive)->write(testing::AlignedBytes(sector.begin(), sector.end())), 512u);
  EXPECT_EQ((*exclusive)->write(testing::AlignedBytes(4096, 0)).error().code, 27u);  // past the end
  exclusive->reset();
  auto reader = p.open_drive_exclusive_read("\\\\.\\PhysicalDrive1");
  ASSERT_TRUE(reader.ok());
  EXPECT_EQ(read_all(**reader, 1024), sector + std::string(3584, 'a'));
  EXPECT_EQ((*reader)->write(bytes(sector)).error().code, 5u);
}

TEST_F(SimDrives, NeedElevationAndHonourWriteProtection) {
  machine["drives"][0]["readOnly"] = true;
  auto p = platform();
  auto drive = p.open_drive_exclusive_write("\\\\.\\PhysicalDrive1");
  ASSERT_TRUE(drive.ok());
  EXPECT_EQ(*(*drive)->disk_attributes(), 2u);
  EXPECT_EQ((*drive)->write(testing::AlignedBytes(512, 0)).error().code, 19u);
  drive->reset();
  p.machine.elevated = false;
  EXPECT_EQ(p.open_drive_for_query("\\\\.\\PhysicalDrive1").error().code, 5u);
}

TEST_F(SimDrives, InjectedFaultsFireAsDescribed) {
  machine["faults"] = {
      {{"operation", "descriptor"}, {"path", "\\\\.\\physicaldrive1"}, {"error", 1117}, {"count", 1}},
      {{"operation", "read"}, {"error", 23}, {"afterBytes", 1536}},
      {{"operation", "disappear"}, {"path", "\\\\.\\PhysicalDrive1"}, {"afterOpens", 2}},
  };
  auto p = platform();
  auto first = p.open_drive_for_query("\\\\.\\PhysicalDrive1");
  ASSERT_TRUE(first.ok());
  EXPECT_EQ((*first)->storage_descriptor().error().code, 1117u);
  EXPECT_TRUE((*first)->storage_descriptor().ok());  // the count is used up
  testing::AlignedBytes buffer(1024);
  EXPECT_EQ(*(*first)->read(buffer), 1024u);
  EXPECT_EQ(*(*first)->read(buffer), 512u);  // up to the threshold
  EXPECT_EQ((*first)->read(buffer).error().text(), "Data error (cyclic redundancy check). (os error 23)");
  ASSERT_TRUE(p.open_drive_for_query("\\\\.\\PhysicalDrive1").ok());
  // The third open finds the drive gone; handles still open see it disconnected.
  EXPECT_EQ(p.open_drive_for_query("\\\\.\\PhysicalDrive1").error().code, 2u);
  EXPECT_EQ((*first)->disk_length().error().code, 1167u);
}

TEST_F(SimDrives, VolumesReportExtentsLocksAndTheirFiles) {
  auto p = platform();
  const std::string name = "\\\\?\\Volume{0a1b2c3d-0000-1111-2222-333344445555}\\";
  EXPECT_EQ(*p.list_volumes(), std::vector<std::string>{name});
  auto volume = p.open_volume(name.substr(0, name.size() - 1), VolumeAccess::kReadWrite);
  ASSERT_TRUE(volume.ok());
  EXPECT_EQ(*(*volume)->volume_disk_extents(), (std::vector<std::uint32_t>{1, 2}));
  ASSERT_TRUE((*volume)->lock_volume().ok());
  ASSERT_TRUE((*volume)->dismount_volume().ok());
  EXPECT_EQ(p.state.events, (std::vector<std::string>{"lock " + name, "dismount " + name}));
  EXPECT_EQ(*p.host_path(name + "overlays\\README"), dir.file("boot") + "/overlays/README");
}

TEST(SimClock, ShortenedSleepsStillAdvanceTheClock) {
  sim::SimMachine machine;
  machine.sleep_scale = 0.0;
  sim::SimPlatform platform{machine};
  const Instant start = platform.now();
  platform.sleep_ms(3000);
  EXPECT_GE(platform.now() - start, std::chrono::milliseconds(3000));
}

TEST(SimMachineFile, BrokenDescriptionsAreReported) {
  SimDir dir;
  EXPECT_FALSE(sim::load_machine(dir.path()).ok());
  dir.write_file("machine.json", "{");
  EXPECT_NE(sim::load_machine(dir.path()).error().find("not valid JSON"), std::string::npos);
  for (const char* broken : {R"({"drives":[{"number":"one"}]})",
                             R"({"faults":[{"operation":"read","maxBytesPerCall":1,"afterBytes":2}]})",
                             R"({"faults":[{"operation":"open","interrupted":true}]})",
                             R"({"faults":[{"operation":"corrupt","offset":0,"bytesHex":"abc"}]})",
                             R"({"drives":[{"number":1,"backingFile":"a","logicalSectorBytes":520}]})",
                             R"({"drives":[{"number":1,"backingFile":"a","logicalSectorBytes":256}]})"}) {
    dir.write_file("machine.json", broken);
    EXPECT_NE(sim::load_machine(dir.path()).error().find("machine.json"), std::string::npos) << broken;
  }
}

}  // namespace
}  // namespace wh
