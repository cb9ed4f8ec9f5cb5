// verify_hash and read_sectors on the simulated Windows: exact counts up to
// the disk's last byte, the sector-count bounds, and how a drive that ends or
// fails is reported.
#include <gtest/gtest.h>

#include "flash_fixture.h"
#include "xz_samples.h"

namespace wh {
namespace {

using nlohmann::json;
using testing::FlashMachine;
using testing::kMiB;
using testing::pattern_bytes;
using testing::sha256_hex;

class Readback : public ::testing::Test {
 protected:
  void SetUp() override { card.sim.write_file("card.img", content); }
  std::vector<json> drive_reads() const {
    std::vector<json> reads;
    for (const json& event : card.sim.events()) {
      if (event["op"] == "read" && event["path"] == "\\\\.\\PhysicalDrive2") reads.push_back(event);
    }
    return reads;
  }
  FlashMachine card;
  std::string content = pattern_bytes(card.card_size);
};

// Each test runs on a card of 512-byte logical sectors and on a USB disk of
// 4096-byte ones, whose driver refuses anything off its own grid.
constexpr std::uint32_t kSectorSizes[] = {512, 4096};

TEST_F(Readback, VerifyHashHashesExactlyTheCountAsFarAsTheDiskGoes) {
  const std::uint64_t size = card.card_size;
  const struct {
    std::uint64_t total;
    std::uint64_t verified;
  } cases[] = {
      {0, 0},
      {4 * kMiB + 1, 4 * kMiB + 1},
      {size - 100, size - 100},  // inside the last sector
      {size, size},
      {size + 4 * kMiB, size},  // the drive ends first: fewer bytes, no error
  };
  for (const std::uint32_t sector : kSectorSizes) {
    card.machine["drives"][0]["logicalSectorBytes"] = sector;
    for (const auto& c : cases) {
      card.sim.write_file("events.log", "");
      const auto lines = card.run("verify_hash", card.target({{"bytesTotal", c.total}, {"taskId", "v1"}}));
      // VERIFY lines, as a write's readback sends them: at 0 bytes, at most
      // every 500 ms, at the end.
      ASSERT_GE(lines.size(), 3u);
      const std::vector<std::string> seen = testing::stages(lines);
      EXPECT_EQ(seen, (std::vector<std::string>(lines.size() - 1, "VERIFY Reading the target back from a fresh "
                                                                  "Windows disk handle")));
      const json& last = lines[lines.size() - 2];
      EXPECT_EQ(lines[0]["bytesProcessed"], 0);
      EXPECT_EQ(last["bytesProcessed"], c.verified);
      EXPECT_EQ(last["bytesTotal"], c.total);
      EXPECT_EQ(last["taskId"], "v1");
      const json& payload = lines.back()["payload"];
      EXPECT_EQ(payload["verifiedBytes"], c.verified) << c.total << lines.back().dump();
      EXPECT_EQ(payload["observedSha256"], sha256_hex(content.substr(0, c.verified))) << c.total;
      for (const json& read : drive_reads()) {
        EXPECT_EQ(read["offset"].get<std::uint64_t>() % sector, 0u) << read;
        EXPECT_EQ(read["bytes"].get<std::uint64_t>() % sector, 0u) << read;
        EXPECT_FALSE(read.contains("error")) << read;
      }
    }
  }
  card.machine["drives"][0].erase("logicalSectorBytes");

  card.machine["faults"] = {{{"operation", "read"}, {"path", "\\\\.\\PhysicalDrive2"}, {"error", 23},
                             {"mode", "exclusiveRead"}, {"afterBytes", 4 * kMiB}}};
  const json failed = card.response("verify_hash", card.target({{"bytesTotal", size}}));
  EXPECT_EQ(failed["errorCode"], "DEVICE_DISCONNECTED");
  EXPECT_EQ(failed["errorMessage"], "Data error (cyclic redundancy check). (os error 23)");
  EXPECT_EQ(card.response("verify_hash", card.target())["errorMessage"], "Missing bytesTotal payload field");
}

TEST_F(Readback, ReadSectorsBoundsAndPlaces) {
  auto hex_of = [this](std::uint64_t offset, std::uint64_t length) {
    std::string hex;
    char digits[3];
    for (std::uint64_t i = 0; i < length; ++i) {
      std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(content[offset + i]));
      hex += digits;
    }
    return hex;
  };
  const std::uint64_t last = card.card_size / 512 - 1;
  const struct {
    json start;
    json count;
    std::uint64_t offset;  // of the expected bytes
    std::uint64_t length;
    const char* error;  // errorCode, or "" for data
    const char* message;
  } cases[] = {
      {7, 2.9, 7 * 512, 1024, "", ""},
      {-5, 1, 0, 512, "", ""},
      {last, 1, last * 512, 512, "", ""},
      {0, 16384, 0, 16384 * 512, "", ""},
      {0, 16385, 0, 0, "UNKNOWN", "sectorCount must be between 1 and 16384 (got 16385)"},
      {0, 0, 0, 0, "UNKNOWN", "sectorCount must be between 1 and 16384 (got 0)"},
      {json(), 1, 0, 0, "UNKNOWN", "Missing startLba payload field"},
      {0, json(), 0, 0, "UNKNOWN", "Missing sectorCount payload field"},
      {last, 2, 0, 0, "READ_FAILED", "The drive cannot find the sector requested. (os error 27)"},
      {0x80000000000000, 1, 0, 0, "READ_FAILED", "Sector offset overflow"},
      // Inside one 4096-byte sector, and across two of them.
      {1, 1, 512, 512, "", ""},
      {6, 5, 6 * 512, 5 * 512, "", ""},
      {last - 8, 8, (last - 8) * 512, 8 * 512, "", ""},
  };
  for (const std::uint32_t sector : kSectorSizes) {
    card.machine["drives"][0]["logicalSectorBytes"] = sector;
    for (const auto& c : cases) {
      json payload = card.target();
      if (!c.start.is_null()) payload["startLba"] = c.start;
      if (!c.count.is_null()) payload["sectorCount"] = c.count;
      card.sim.write_file("events.log", "");
      const json response = card.response("read_sectors", payload);
      if (*c.error) {
        EXPECT_EQ(response["errorCode"], c.error) << sector << ": " << c.start << " " << c.count;
        EXPECT_EQ(response["errorMessage"], c.message) << sector << ": " << c.start << " " << c.count;
      } else {
        EXPECT_EQ(response["payload"]["dataHex"], hex_of(c.offset, c.length)) << sector << ": " << c.start;
      }
      for (const json& read : drive_reads()) EXPECT_EQ(read["offset"].get<std::uint64_t>() % sector, 0u) << read;
    }
  }
}

}  // namespace
}  // namespace wh
