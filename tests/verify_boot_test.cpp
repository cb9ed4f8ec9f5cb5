// verify_boot on the simulated Windows with the realistic card images: the
// image row's rules, each inspection row on a healthy card and on cards
// broken where that row looks, and the open, lock and close order.
#include <cctype>
#include <cstdint>
#include <fstream>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>

#include "flash_fixture.h"
#include "frame/entry.h"
#include "frame/output.h"

namespace wh {
namespace {

using nlohmann::json;
using testing::FlashMachine;

constexpr const char* kDrive = "\\\\.\\PhysicalDrive2";
constexpr std::uint64_t kRootDirectory = 4855808;  // card.img's root cluster, from cards.json
constexpr const char* kSkipMessage = "Byte-for-byte checksum is skipped until boot files are confirmed present.";

std::string card_bytes(const std::string& name) {
  std::ifstream in(std::string(CARD_IMAGES_DIR) + "/" + name, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void put_le32(std::string& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A machine whose drive 2 holds `image` (card.img unless told otherwise).
struct BootCard {
  explicit BootCard(const std::string& image = card_bytes("card.img")) : card(image.size()) {
    card.sim.write_file("card.img", image);
  }
  json report(json more = {{"skipChecksum", true}}) {
    const json response = card.response("verify_boot", card.target(std::move(more)));
    EXPECT_EQ(response["ok"], true) << response.dump();
    return response["payload"]["report"];
  }
  FlashMachine card;
};

std::vector<std::string> ids(const json& report) {
  std::vector<std::string> found;
  for (const json& row : report["checks"]) found.push_back(row["id"]);
  return found;
}

const std::vector<std::string> kAllRows{"image-hash",    "mbr-signature", "partition-table",
                                        "root-partition", "boot-sector",  "boot-files"};

TEST(VerifyBoot, HealthyCardReportExactly) {
  BootCard boot;
  boot.card.sim.write_machine(boot.card.machine);
  auto platform = boot.card.sim.platform();
  CapturedLines out;
  const json request{{"id", "b1"},
                     {"sessionId", "s1"},
                     {"command", "verify_boot"},
                     {"payload", boot.card.target({{"skipChecksum", true}, {"targetLabel", "SD card"}, {"targetOrdinal", 0}})}};
  run_helper({"--request", request.dump()}, platform, out);
  ASSERT_EQ(out.lines.size(), 1u);
  EXPECT_EQ(
      out.lines[0],
      R"({"id":"b1","ok":true,"payload":{"report":{"checks":[)"
      R"({"critical":false,"details":{"checksumSkipped":true,"expectedSha256":"","observedSha256":"","verifiedBytes":0},)"
      R"("id":"image-hash","label":"Byte-for-byte image verification","message":")" +
          std::string(kSkipMessage) + R"(","status":"skipped"},)"
      R"({"critical":true,"details":{},"id":"mbr-signature","label":"Master boot record",)"
      R"("message":"MBR signature is present.","status":"passed"},)"
      R"({"critical":true,"details":{"bootPartitionType":"0xc","partitionCount":2,"rootPartitionType":"0x83"},)"
      R"("id":"partition-table","label":"Raspberry Pi partitions",)"
      R"("message":"Found a FAT boot partition and Linux root partition.","status":"passed"},)"
      R"({"critical":true,"details":{"partition":2,"sizeBytes":4194304},"id":"root-partition",)"
      R"("label":"Root filesystem partition",)"
      R"("message":"Linux root filesystem partition is present but smaller than expected.","status":"warning"},)"
      R"({"critical":true,"details":{"bytesPerSector":512,"partition":1,"sectorsPerCluster":1},"id":"boot-sector",)"
      R"("label":"Boot filesystem","message":"Boot partition has a readable FAT layout (FAT32).","status":"passed"},)"
      R"({"critical":false,"details":{"filesSeen":20,"missing":null},"id":"boot-files",)"
      R"("label":"Raspberry Pi boot files",)"
      R"("message":"Boot partition contains Raspberry Pi firmware, kernel, and command-line files.","status":"passed"}],)"
      R"("deviceId":"\\\\.\\PhysicalDrive2","devicePath":"\\\\.\\PhysicalDrive2","expectedSha256":"","imageBytes":0,)"
      R"("limitations":["Host-side boot-readiness verifies the written target structure and Raspberry Pi boot files; )"
      R"(a desktop app cannot physically boot a Raspberry Pi without a connected Pi hardware harness."],)"
      R"("model":null,"observedSha256":"","outcome":"working","success":true,"targetLabel":"SD card",)"
      R"("targetOrdinal":0,"verifiedBytes":0}}})");
}

TEST(VerifyBoot, ImageRowRules) {
  const json kHuge = 1e30;
  const std::string d = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
  std::string upper = d;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const struct {
    const char* name;
    json fields;
    const char* status;
    std::uint64_t verified;
    std::uint64_t image;
  } cases[] = {
      {"skipped whatever the digests say", {{"skipChecksum", true}, {"expectedSha256", "a"}, {"observedSha256", "b"}},
       "skipped", 0, 0},
      {"no digests", {}, "failed", 0, 0},
      {"no expected digest", {{"observedSha256", d}}, "failed", 0, 0},
      // Digests are judged as digests: case does not count, other texts prove nothing.
      {"digests differ in case", {{"expectedSha256", d}, {"observedSha256", upper}}, "passed", 0, 0},
      {"equal texts that are no digests", {{"expectedSha256", "abc"}, {"observedSha256", "abc"}}, "failed", 0, 0},
      {"a digest one character short", {{"expectedSha256", d.substr(1)}, {"observedSha256", d.substr(1)}}, "failed", 0, 0},
      {"a digest with a letter past f", {{"expectedSha256", "g" + d.substr(1)}, {"observedSha256", "g" + d.substr(1)}},
       "failed", 0, 0},
      {"image size defaults to verified",
       {{"expectedSha256", d}, {"observedSha256", d}, {"verifiedBytes", 100}}, "passed", 100, 100},
      {"image size differs",
       {{"expectedSha256", d}, {"observedSha256", d}, {"verifiedBytes", 100}, {"imageBytes", 101}}, "failed",
       100, 101},
      {"fraction cut, negative 0",
       {{"expectedSha256", d}, {"observedSha256", d}, {"verifiedBytes", 100.9}, {"imageBytes", -4}}, "failed",
       100, 0},
      {"beyond 64 bits, string counts absent",
       {{"expectedSha256", d}, {"observedSha256", d}, {"verifiedBytes", kHuge}, {"imageBytes", "5"}}, "passed",
       UINT64_MAX, UINT64_MAX},
      {"skipChecksum only as true", {{"skipChecksum", "true"}}, "failed", 0, 0},
      // Windows' mount changed FAT metadata, which the classification found
      // and nothing else: differing digests pass, and are never skipped.
      {"mount side effects only", {{"expectedSha256", d}, {"observedSha256", "0" + d.substr(1)}, {"mountSideEffectsOnly", true}},
       "passed", 0, 0},
      {"mount side effects only, skipChecksum too",
       {{"expectedSha256", d}, {"observedSha256", "0" + d.substr(1)}, {"mountSideEffectsOnly", true}, {"skipChecksum", true}},
       "passed", 0, 0},
      {"mount side effects only, no observed digest", {{"expectedSha256", d}, {"mountSideEffectsOnly", true}}, "failed",
       0, 0},
      {"mount side effects only, a size short",
       {{"expectedSha256", d}, {"observedSha256", "0" + d.substr(1)}, {"mountSideEffectsOnly", true},
        {"verifiedBytes", 99}, {"imageBytes", 100}},
       "failed", 99, 100},
  };
  BootCard boot;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const json report = boot.report(c.fields);
    const json& row = report["checks"][0];
    EXPECT_EQ(row["status"], c.status);
    EXPECT_EQ(row["critical"], std::string(c.status) != "skipped");
    EXPECT_EQ(row["details"]["verifiedBytes"], c.verified);
    EXPECT_EQ(report["imageBytes"], c.image);
    const bool failed = std::string(c.status) == "failed";
    EXPECT_EQ(ids(report).size(), failed ? 1u : kAllRows.size());
    EXPECT_EQ(report["success"], !failed);
    EXPECT_EQ(report["outcome"], failed ? "failed" : "working");
    const bool mount = c.fields.is_object() && c.fields.value("mountSideEffectsOnly", false);
    EXPECT_EQ(row["details"].contains("mountSideEffectsOnly"), mount);
    if (mount && !failed) {
      EXPECT_EQ(row["message"], "Every byte written to the target matches the prepared Raspberry Pi OS image, except "
                                "the FAT metadata Windows rewrote when it mounted the card.");
      EXPECT_EQ(row["details"]["checksumSkipped"], false);
    }
  }
}

TEST(VerifyBoot, EchoedFieldsTakeOnlyTheirOwnTypes) {
  BootCard boot;
  const json plain = boot.report({{"skipChecksum", true}, {"targetOrdinal", -1}, {"targetLabel", 5}, {"model", "Reader"},
                                  {"deviceId", "disk-7"}, {"devicePath", "E:"}});
  EXPECT_EQ(plain["targetOrdinal"], nullptr);
  EXPECT_EQ(plain["targetLabel"], nullptr);
  EXPECT_EQ(plain["model"], "Reader");
  EXPECT_EQ(plain["deviceId"], "disk-7");
  EXPECT_EQ(plain["devicePath"], "E:");
  EXPECT_EQ(boot.report({{"skipChecksum", true}, {"targetOrdinal", 2.5}})["targetOrdinal"], nullptr);
  EXPECT_EQ(boot.report({{"skipChecksum", true}, {"targetOrdinal", 3}})["targetOrdinal"], 3);
}

// card.img with bytes changed, as a card broken in one place.
std::string patched(const std::function<void(std::string&)>& patch) {
  std::string image = card_bytes("card.img");
  patch(image);
  return image;
}

TEST(VerifyBoot, BrokenCardsStopAtTheirRow) {
  const std::string kNoSector = "The drive cannot find the sector requested. (os error 27)";
  const struct {
    const char* name;
    std::string image;
    std::vector<std::string> rows;
    const char* last_status;
    std::string last_message;
    bool success;
  } cases[] = {
      {"no MBR signature", card_bytes("card-nosig.img"), {"image-hash", "mbr-signature"}, "failed",
       "MBR signature is missing.", false},
      {"root chain loops back: each cluster once", card_bytes("card-fatloop.img"), kAllRows, "passed",
       "Boot partition contains Raspberry Pi firmware, kernel, and command-line files.", true},
      {"root chain points past the disk", card_bytes("card-hugecluster.img"),
       {"image-hash", "mbr-signature", "partition-table", "root-partition", "boot-sector", "boot-media-read"},
       "failed", kNoSector, false},
      {"card ends after the boot sector", card_bytes("card-short.img"),
       {"image-hash", "mbr-signature", "partition-table", "root-partition", "boot-sector", "boot-media-read"},
       "failed", kNoSector, false},
      {"no root partition", patched([](std::string& b) { b[446 + 16 + 4] = 0; }),
       {"image-hash", "mbr-signature", "partition-table"}, "failed",
       "Expected FAT boot and Linux root partitions were not both found.", false},
      {"no reserved sectors", patched([](std::string& b) { b[4194304 + 14] = b[4194304 + 15] = 0; }),
       {"image-hash", "mbr-signature", "partition-table", "root-partition", "boot-sector"}, "failed",
       "Boot partition does not have a readable FAT layout.", false},
      {"no CMDLINE.TXT", patched([](std::string& b) { b[kRootDirectory + 2 * 32] = '\xE5'; }), kAllRows, "warning",
       "Boot file scan could not confirm expected file(s): cmdline.txt. Byte-for-byte verification will continue "
       "before the card is marked ready.",
       true},
      {"directory ends after its label", patched([](std::string& b) { b[kRootDirectory + 32] = 0; }), kAllRows,
       "warning",
       "Boot file scan could not confirm expected file(s): config.txt, cmdline.txt, start*.elf, fixup*.dat, "
       "kernel*.img. Byte-for-byte verification will continue before the card is marked ready.",
       true},
  };
  // Each card also as a USB disk of 4096-byte logical sectors: the reader
  // reads its own sectors and cuts the 512-byte ones out, with the same
  // rows. Such a disk is a whole number of its sectors long.
  for (const std::uint32_t sector : {512u, 4096u}) {
    for (const auto& c : cases) {
      if (c.image.size() % sector != 0) continue;
      SCOPED_TRACE(std::string(c.name) + ", sectors of " + std::to_string(sector));
      BootCard boot(c.image);
      boot.card.machine["drives"][0]["logicalSectorBytes"] = sector;
      const json report = boot.report();
      ASSERT_EQ(ids(report), c.rows);
      const json& last = report["checks"].back();
      EXPECT_EQ(last["status"], c.last_status);
      EXPECT_EQ(last["message"], c.last_message);
      EXPECT_EQ(last["critical"], last["id"] != "boot-files");
      EXPECT_EQ(report["success"], c.success);
      EXPECT_EQ(report["outcome"], c.success ? "working" : "failed");
    }
  }
}

TEST(VerifyBoot, RowDetailsOfBrokenCards) {
  BootCard no_root(patched([](std::string& b) { b[446 + 16 + 4] = 0; }));
  EXPECT_EQ(no_root.report()["checks"][2]["details"],
            json({{"partitionCount", 1}, {"bootPartitionType", "0xc"}, {"rootPartitionType", nullptr}}));
  BootCard no_cmdline(patched([](std::string& b) { b[kRootDirectory + 2 * 32] = '\xE5'; }));
  EXPECT_EQ(no_cmdline.report()["checks"][5]["details"], json({{"filesSeen", 19}, {"missing", "cmdline.txt"}}));
}

TEST(VerifyBoot, RootPartitionOfHalfAGibibyteIsSmall) {
  const struct {
    std::uint32_t sectors;
    const char* status;
  } cases[] = {{1048576, "warning"}, {1048577, "passed"}};
  for (const auto& c : cases) {
    BootCard boot(patched([&](std::string& b) { put_le32(b, 446 + 16 + 12, c.sectors); }));
    const json report = boot.report();
    const json& row = report["checks"][3];
    EXPECT_EQ(row["status"], c.status) << c.sectors;
    EXPECT_EQ(row["details"]["sizeBytes"], std::uint64_t{c.sectors} * 512) << c.sectors;
    EXPECT_EQ(report["success"], true) << c.sectors;
  }
}

TEST(VerifyBoot, CardThatCannotBeOpenedOrProvenGivesOneMediaRow) {
  const struct {
    const char* name;
    json fault;
    const char* message;
  } cases[] = {
      {"held by another process",
       {{"operation", "open"}, {"path", kDrive}, {"mode", "exclusiveRead"}, {"error", 32}},
       "The process cannot access the file because it is being used by another process. (os error 32)"},
      {"another card by the time of the raw open",
       {{"operation", "swap"}, {"path", kDrive}, {"afterOpens", 2}, {"serial", "SD-9"}},
       "Target serial changed after preparation; boot verification was not started."},
      {"its sector size unknown",
       {{"operation", "geometry"}, {"path", kDrive}, {"error", 1117}},
       "The request could not be performed because of an I/O device error. (os error 1117)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BootCard boot;
    boot.card.machine["faults"] = json::array({c.fault});
    const json report = boot.report();
    ASSERT_EQ(ids(report), (std::vector<std::string>{"image-hash", "boot-media-read"}));
    EXPECT_EQ(report["checks"][1]["message"], c.message);
    EXPECT_EQ(report["checks"][1]["details"], json::object());
    EXPECT_EQ(report["success"], false);
    EXPECT_EQ(report["outcome"], "failed");
  }
}

TEST(VerifyBoot, MissingOrRefusedTargetIsAnErrorWithoutReport) {
  BootCard boot;
  json other_size = boot.card.target({{"skipChecksum", true}});
  other_size["expectedIdentity"]["sizeBytes"] = boot.card.card_size + 512;
  const struct {
    json payload;
    const char* code;
    const char* message;
  } cases[] = {
      {json{{"skipChecksum", true}}, "UNKNOWN", "Missing osDevicePath/deviceId payload field"},
      {other_size, "DEVICE_NOT_REMOVABLE", "Target identity changed after preparation; boot verification was not started."},
  };
  for (const auto& c : cases) {
    const json response = boot.card.response("verify_boot", c.payload);
    EXPECT_EQ(response["ok"], false);
    EXPECT_EQ(response["errorCode"], c.code);
    EXPECT_EQ(response["errorMessage"], c.message);
    EXPECT_FALSE(response.contains("payload"));
  }
}

// The card is read alone and read-only while its volume is locked, and the
// raw handle is gone before the lock is let go.
TEST(VerifyBoot, RawReadSitsInsideTheVolumeLock) {
  BootCard boot;
  const std::string volume = "\\\\?\\Volume{0b00c0de-0000-0000-0000-000000000001}";
  boot.card.machine["volumes"] = {{{"name", volume + "\\"},
                                   {"extents", {{{"disk", 2}, {"startingOffset", 4194304}, {"length", 41943040}}}}}};
  ASSERT_EQ(boot.report()["success"], true);
  // Query opens come and go; the exclusive handle keeps every other open out
  // while it lives, so the first drive close after it is its own.
  std::vector<std::string> order;
  for (const json& event : boot.card.sim.events()) {
    const std::string op = event["op"], path = event.value("path", "");
    if (path == volume && (op == "lock" || op == "unlock")) order.push_back(op);
    if (path == kDrive && event.value("mode", "") == "exclusiveRead") order.push_back("open exclusiveRead");
    if (path == kDrive && op == "close" && !order.empty() && order.back() == "open exclusiveRead") order.push_back("close");
  }
  EXPECT_EQ(order, (std::vector<std::string>{"lock", "open exclusiveRead", "close", "unlock"}));
}

}  // namespace
}  // namespace wh
