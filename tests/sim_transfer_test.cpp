// Reads and writes on the simulated Windows: the disk driver's sector rules
// for raw drives, the faults that shape single calls, corrupted readbacks and
// the clock that transfers advance.
#include <gtest/gtest.h>

#include "sim_dir.h"

namespace wh {
namespace {

using nlohmann::json;
using testing::SimDir;

const std::string kDrive = "\\\\.\\PhysicalDrive1";
constexpr std::uint64_t kCard = 4096;  // eight sectors

json with(json base, const json& more) {
  base.update(more);
  return base;
}

// "<bytes>", or "error <code>" and " interrupted" for a failure.
std::string outcome(const OsResult<std::size_t>& result) {
  if (result) return std::to_string(*result);
  return "error " + std::to_string(result.error().code) + (result.error().interrupted ? " interrupted" : "");
}

class SimTransfers : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string card;
    for (std::uint64_t i = 0; i < kCard; ++i) card.push_back(static_cast<char>('a' + i / 512));
    dir.write_file("card.img", card);
    dir.write_file("image.bin", std::string(2048, 'i'));
    machine = {{"elevated", true}, {"drives", {{{"number", 1}, {"backingFile", "card.img"}}}}};
  }
  sim::SimPlatform platform() {
    dir.write_machine(machine);
    return dir.platform();
  }
  static HandlePtr open(sim::SimPlatform& p, const std::string& mode, const std::string& file) {
    if (mode == "query") return std::move(p.open_drive_for_query(kDrive)).value();
    if (mode == "exclusiveRead") return std::move(p.open_drive_exclusive_read(kDrive)).value();
    if (mode == "exclusiveWrite") return std::move(p.open_drive_exclusive_write(kDrive)).value();
    if (mode == "fileRead") return std::move(p.open_file_read(file)).value();
    return std::move(p.create_file_write(file)).value();
  }
  SimDir dir;
  json machine;
};

TEST_F(SimTransfers, DrivesMoveWholeSectorsInsideTheDisk) {
  const struct {
    const char* what;
    std::uint64_t offset;
    std::size_t size;
    std::string expected;  // for a read and for a write alike
    std::size_t misalign = 0;  // bytes the buffer starts past a 512-byte boundary
    std::uint32_t sector = 512;  // the drive's logicalSectorBytes
  } cases[] = {
      {"one sector", 0, 512, "512"},
      {"the whole disk", 0, kCard, "4096"},
      {"the last sector", kCard - 512, 512, "512"},
      {"an offset off the sector grid", 100, 512, "error 87"},
      {"a length off the sector grid", 0, 100, "error 87"},
      {"off the grid past the end", kCard + 100, 512, "error 87"},
      {"across the end", kCard - 512, 1024, "error 27"},
      {"from the end", kCard, 512, "error 27"},
      {"past the end", 2 * kCard, 512, "error 27"},
      {"nothing, at the end", kCard, 0, "0"},
      {"nothing, off the grid", 100, 0, "error 87"},
      // Non-cached: the device moves the caller's memory itself.
      {"a buffer 16 bytes past a sector boundary", 0, 512, "error 87", 16},
      {"a buffer at an odd address", 0, 512, "error 87", 1},
      {"nothing from an odd address", 0, 0, "0", 1},
      // A disk of 4096-byte logical sectors: its card is one sector.
      {"a whole 4096-byte sector", 0, kCard, "4096", 0, 4096},
      {"512 bytes of a 4096-byte sector", 0, 512, "error 87", 0, 4096},
      {"an offset off the 4096-byte grid", 512, kCard, "error 87", 0, 4096},
      {"a buffer 512 bytes past a page", 0, kCard, "error 87", 512, 4096},
  };
  const std::string before = dir.read_file("card.img");
  for (const std::uint32_t sector : {512u, 4096u}) {
    machine["drives"][0]["logicalSectorBytes"] = sector;
    auto p = platform();
    auto drive = std::move(p.open_drive_exclusive_write(kDrive)).value();
    ASSERT_EQ(drive->logical_sector_bytes().value(), sector);
    for (const auto& c : cases) {
      if (c.sector != sector) continue;
      testing::AlignedBytes memory(c.size + c.misalign, 0);
      const std::span<std::uint8_t> buffer = std::span(memory).subspan(c.misalign);
      ASSERT_TRUE(drive->seek(c.offset).ok());
      EXPECT_EQ(outcome(drive->read(buffer)), c.expected) << "read " << c.what;
      if (c.expected == "512") {
        EXPECT_EQ(buffer[0], before[c.offset]) << c.what;
      }
      ASSERT_TRUE(drive->seek(c.offset).ok());
      EXPECT_EQ(outcome(drive->write(std::span<const std::uint8_t>(buffer))), c.expected) << "write " << c.what;
    }
  }
  // Every write put back what was read; the refused ones wrote nothing.
  EXPECT_EQ(dir.read_file("card.img"), before);
}

TEST_F(SimTransfers, FaultsShapeSingleCalls) {
  const json kSized = {{"operation", "read"}, {"path", kDrive}, {"maxBytesPerCall", 1024}};
  const struct {
    const char* what;
    json faults;
    std::string mode;  // of the handle used
    std::vector<std::size_t> calls;
    std::vector<std::string> expected;
  } cases[] = {
      {"reads capped", json::array({kSized}), "exclusiveRead", {4096, 512}, {"1024", "512"}},
      {"only the first two capped", json::array({with(kSized, {{"count", 2}})}), "query", {2048, 2048, 2048},
       {"1024", "1024", "2048"}},
      {"capped after one call", json::array({with(kSized, {{"skip", 1}})}), "query", {2048, 2048},
       {"2048", "1024"}},
      {"a handle of another mode is left alone", json::array({with(kSized, {{"mode", "exclusiveRead"}})}),
       "query", {2048}, {"2048"}},
      {"writes that accept nothing", json::array({{{"operation", "write"}, {"maxBytesPerCall", 0}}}),
       "exclusiveWrite", {512, 512}, {"0", "0"}},
      {"interrupted twice", json::array({{{"operation", "read"}, {"interrupted", true}, {"count", 2}}}), "query",
       {512, 512, 512}, {"error 995 interrupted", "error 995 interrupted", "512"}},
      {"interrupted with a code of its own after one call",
       json::array({{{"operation", "read"}, {"interrupted", true}, {"error", 1117}, {"skip", 1}, {"count", 1}}}),
       "query", {512, 512, 512}, {"512", "error 1117 interrupted", "512"}},
      {"a cap and a threshold together",
       json::array({kSized, {{"operation", "read"}, {"afterBytes", 1536}, {"error", 23}}}), "query",
       {2048, 2048, 2048}, {"1024", "512", "error 23"}},
      {"file reads capped", json::array({{{"operation", "read"}, {"maxBytesPerCall", 3}, {"mode", "fileRead"}}}),
       "fileRead", {2048}, {"3"}},
      {"file writes interrupted", json::array({{{"operation", "write"}, {"interrupted", true}, {"count", 1}}}),
       "fileWrite", {8, 8}, {"error 995 interrupted", "8"}},
  };
  for (const auto& c : cases) {
    machine["faults"] = c.faults;
    auto p = platform();
    const std::string file = dir.file(c.mode == "fileRead" ? "image.bin" : "out.bin");
    HandlePtr handle = open(p, c.mode, file);
    std::vector<std::string> got;
    for (std::size_t size : c.calls) {
      testing::AlignedBytes buffer(size, 'w');
      got.push_back(outcome(c.mode.ends_with("Write") ? handle->write(std::span<const std::uint8_t>(buffer))
                                                      : handle->read(buffer)));
    }
    EXPECT_EQ(got, c.expected) << c.what;
  }
  EXPECT_EQ(dir.read_file("card.img")[0], 'a');  // the writes that accepted nothing wrote nothing
}

TEST_F(SimTransfers, InterruptedCallsAreLoggedAsSuch) {
  machine["faults"] = {{{"operation", "read"}, {"interrupted", true}, {"count", 1}}};
  auto p = platform();
  auto drive = std::move(p.open_drive_for_query(kDrive)).value();
  testing::AlignedBytes buffer(512);
  ASSERT_FALSE(drive->read(buffer).ok());
  const json read = dir.events().back();
  EXPECT_EQ(read["error"], 995);
  EXPECT_EQ(read["interrupted"], true);
}

TEST_F(SimTransfers, CorruptReadbacksChangeOnlyWhatReadsReturn) {
  // Four bytes across the boundary of sectors 1 and 2.
  const json corrupt = {{"operation", "corrupt"}, {"path", "\\\\.\\physicaldrive1"}, {"offset", 1022},
                        {"bytesHex", "DEADbeef"}};
  const std::string b(512, 'b');
  const std::string c(512, 'c');
  const std::string bad_b = b.substr(0, 510) + "\xde\xad";
  const std::string bad_c = "\xbe\xef" + c.substr(2);
  const struct {
    const char* what;
    json fault;
    std::vector<std::string> modes;  // handles opened in turn, each reading sectors 1 and 2
    std::vector<std::string> expected;
  } cases[] = {
      {"every read", corrupt, {"query", "exclusiveRead"}, {bad_b + bad_c, bad_b + bad_c}},
      {"the first readback only", with(corrupt, {{"mode", "exclusiveRead"}, {"count", 1}}),
       {"query", "exclusiveRead", "exclusiveRead"}, {b + c, bad_b + bad_c, b + c}},
  };
  for (const auto& t : cases) {
    machine["faults"] = json::array({t.fault});
    auto p = platform();
    std::vector<std::string> got;
    for (const std::string& mode : t.modes) {
      HandlePtr drive = open(p, mode, "");
      std::string read;
      testing::AlignedBytes buffer(512);
      ASSERT_TRUE(drive->seek(512).ok());
      for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(outcome(drive->read(buffer)), "512");
        read.append(buffer.begin(), buffer.end());
      }
      got.push_back(read);
    }
    EXPECT_EQ(got, t.expected) << t.what;
  }
  EXPECT_EQ(dir.read_file("card.img").substr(512, 1024), b + c);
  // Each read says how many of its bytes were not the stored ones.
  const std::vector<json> events = dir.events();
  EXPECT_FALSE(events[events.size() - 2].contains("corrupted"));  // the last handle saw none
  machine["faults"] = json::array({corrupt});
  auto p = platform();
  auto drive = std::move(p.open_drive_for_query(kDrive)).value();
  testing::AlignedBytes buffer(512);
  ASSERT_TRUE(drive->seek(1024).ok());
  ASSERT_TRUE(drive->read(buffer).ok());
  EXPECT_EQ(dir.events().back()["corrupted"], 2);
}

TEST_F(SimTransfers, TransfersAdvanceTheClockByTheirSize) {
  dir.write_file("card.img", std::string(1 << 20, 'a'));
  machine["msPerMiB"] = 2000;
  auto p = platform();
  auto drive = std::move(p.open_drive_exclusive_write(kDrive)).value();
  auto file = std::move(p.open_file_read(dir.file("image.bin"))).value();
  testing::AlignedBytes half(1 << 19);
  const Instant start = p.now();
  ASSERT_EQ(outcome(drive->read(half)), "524288");
  ASSERT_EQ(outcome(drive->write(std::span<const std::uint8_t>(half).first(1 << 18))), "262144");
  ASSERT_EQ(outcome(file->read(half)), "2048");
  const Instant moved = p.now();
  // 768 KiB of the drive and 2 KiB of the file: 1504 ms.
  EXPECT_GE(moved - start, std::chrono::microseconds(1503900));
  EXPECT_LT(moved - start, std::chrono::milliseconds(1504 + 1000));
  ASSERT_FALSE(drive->read(std::span<std::uint8_t>(half).first(100)).ok());  // refused: no time
  EXPECT_LT(p.now() - moved, std::chrono::milliseconds(1000));
}

}  // namespace
}  // namespace wh
