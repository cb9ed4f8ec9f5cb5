// Share modes and volume locks hold between processes, as Windows keeps them
// in the kernel: two platforms over one machine directory see each other's
// handles as two processes would, a machine without a directory keeps the
// same rules among its own handles, and a process killed with SIGKILL gives
// everything back.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

enum class Mode { kQuery, kRead, kWrite };
const char* name(Mode mode) {
  static constexpr const char* kNames[] = {"query", "exclusiveRead", "exclusiveWrite"};
  return kNames[static_cast<int>(mode)];
}

OsResult<HandlePtr> open(Platform& platform, Mode mode) {
  switch (mode) {
    case Mode::kQuery: return platform.open_drive_for_query(kDrive);
    case Mode::kRead: return platform.open_drive_exclusive_read(kDrive);
    case Mode::kWrite: return platform.open_drive_exclusive_write(kDrive);
  }
  return Err(OsError{});
}

std::uint32_t code_of(const OsResult<HandlePtr>& opened) { return opened ? 0 : opened.error().code; }

// A 1 MiB card whose one mounted volume covers bytes 512 KiB to 768 KiB.
class SimSharing : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write_file("card.img", std::string(1024 * kKiB, '\0'));
    dir.write_machine({{"elevated", true},
                       {"drives", {{{"number", 1}, {"backingFile", "card.img"}}}},
                       {"volumes",
                        {{{"name", kVolume + "\\"},
                          {"extents", {{{"disk", 1}, {"startingOffset", 512 * kKiB}, {"length", 256 * kKiB}}}}}}}});
  }
  SimDir dir;
};

// The documented rules: queries share with queries; an exclusive open shares
// with nothing. The second open is judged while the first handle is open,
// then again once it is closed.
struct Pair {
  Mode first, second;
  std::uint32_t code;
};
constexpr Pair kPairs[] = {
    {Mode::kQuery, Mode::kQuery, 0}, {Mode::kQuery, Mode::kRead, 32}, {Mode::kQuery, Mode::kWrite, 32},
    {Mode::kRead, Mode::kQuery, 32}, {Mode::kWrite, Mode::kQuery, 32}, {Mode::kRead, Mode::kRead, 32},
    {Mode::kWrite, Mode::kWrite, 32}, {Mode::kRead, Mode::kWrite, 32},
};

TEST_F(SimSharing, DriveShareModesAgreeInMemoryInOneProcessAndAcrossProcesses) {
  // "memory": one platform without a directory; "one process": one platform
  // over the directory; "two processes": two platforms over it, whose
  // in-memory bookkeeping knows nothing of each other.
  for (const char* where : {"memory", "one process", "two processes"}) {
    for (const Pair& pair : kPairs) {
      SCOPED_TRACE(std::string(where) + ": " + name(pair.first) + " then " + name(pair.second));
      sim::SimPlatform a = dir.platform();
      if (std::string(where) == "memory") a.machine.directory.clear();
      sim::SimPlatform b = dir.platform();
      Platform& second = std::string(where) == "two processes" ? b : a;
      auto held = open(a, pair.first);
      ASSERT_TRUE(held.ok());
      EXPECT_EQ(code_of(open(second, pair.second)), pair.code);
      held = Err(OsError{});  // closed
      EXPECT_EQ(code_of(open(second, pair.second)), 0u);
    }
  }
}

TEST_F(SimSharing, VolumeLockIsTheVolumesWhoeverHoldsIt) {
  sim::SimPlatform a = dir.platform();
  sim::SimPlatform b = dir.platform();
  auto volume_a = a.open_volume(kVolume, VolumeAccess::kReadWrite);
  auto volume_b = b.open_volume(kVolume, VolumeAccess::kReadWrite);
  ASSERT_TRUE(volume_a.ok() && volume_b.ok());
  ASSERT_TRUE((*volume_a)->lock_volume().ok());
  EXPECT_TRUE((*volume_a)->lock_volume().ok());  // its own lock again
  EXPECT_EQ((*volume_b)->lock_volume().error().code, 5u);
  {
    // Another process's lock lets the raw write into the volume through.
    auto drive = b.open_drive_exclusive_write(kDrive);
    ASSERT_TRUE(drive.ok());
    EXPECT_EQ(raw_write_code(**drive, 512 * kKiB), 0u);
    volume_a = Err(OsError{});  // closed: the lock goes with the handle
    EXPECT_EQ(raw_write_code(**drive, 512 * kKiB), 5u);
  }
  EXPECT_TRUE((*volume_b)->lock_volume().ok());
}

// A child process that takes what `hold` takes, reports it on a pipe and
// waits to be killed; the parent's checks run while it holds them.
pid_t child_holding(const std::function<bool(sim::SimPlatform&, std::vector<HandlePtr>&)>& hold,
                    const SimDir& dir) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ready[0]);
    sim::SimPlatform platform = dir.platform();
    std::vector<HandlePtr> handles;
    const char answer = hold(platform, handles) ? 'y' : 'n';
    (void)::write(ready[1], &answer, 1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char answer = 'n';
  if (pid < 0 || ::read(ready[0], &answer, 1) != 1 || answer != 'y') {
    if (pid > 0) ::kill(pid, SIGKILL);
    ::close(ready[0]);
    return -1;
  }
  ::close(ready[0]);
  return pid;
}

void kill_and_reap(pid_t pid) {
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

TEST_F(SimSharing, AKilledProcessGivesBackItsHandlesAndLocks) {
  const pid_t child = child_holding(
      [](sim::SimPlatform& platform, std::vector<HandlePtr>& handles) {
        auto drive = platform.open_drive_exclusive_write(kDrive);
        auto volume = platform.open_volume(kVolume, VolumeAccess::kReadWrite);
        if (!drive || !volume || !(*volume)->lock_volume()) return false;
        handles.push_back(std::move(*drive));
        handles.push_back(std::move(*volume));
        return true;
      },
      dir);
  ASSERT_GT(child, 0);
  sim::SimPlatform parent = dir.platform();
  auto volume = parent.open_volume(kVolume, VolumeAccess::kReadWrite);
  ASSERT_TRUE(volume.ok());
  for (Mode mode : {Mode::kQuery, Mode::kRead, Mode::kWrite}) EXPECT_EQ(code_of(open(parent, mode)), 32u) << name(mode);
  EXPECT_EQ((*volume)->lock_volume().error().code, 5u);

  kill_and_reap(child);
  auto drive = parent.open_drive_exclusive_write(kDrive);
  ASSERT_TRUE(drive.ok());
  // Nobody's lock any more: the mounted volume guards its sectors again.
  EXPECT_EQ(raw_write_code(**drive, 512 * kKiB), 5u);
  EXPECT_TRUE((*volume)->lock_volume().ok());
  EXPECT_EQ(raw_write_code(**drive, 512 * kKiB), 0u);
}

TEST_F(SimSharing, AQueryHandleOfAnotherProcessKeepsExclusiveOpensOut) {
  const pid_t child = child_holding(
      [](sim::SimPlatform& platform, std::vector<HandlePtr>& handles) {
        auto drive = platform.open_drive_for_query(kDrive);
        if (!drive) return false;
        handles.push_back(std::move(*drive));
        return true;
      },
      dir);
  ASSERT_GT(child, 0);
  sim::SimPlatform parent = dir.platform();
  EXPECT_EQ(code_of(open(parent, Mode::kQuery)), 0u);
  EXPECT_EQ(code_of(open(parent, Mode::kRead)), 32u);
  kill_and_reap(child);
  EXPECT_EQ(code_of(open(parent, Mode::kRead)), 0u);
}

}  // namespace
}  // namespace wh
