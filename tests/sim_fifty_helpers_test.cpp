// Fifty helper processes started at once on one card (write_image,
// verify_hash, read_sectors; the card offline as prepare_disk leaves it).
// Exactly those that hold the drive exclusively go on, every other one is
// refused for a drive in use, none hangs, the event log shows no two
// exclusive handles at once, every read sees one whole image (never a mix
// of the two written), and the card ends as one complete write. The
// figures go to standard output for the CI log.
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "image/sha256.h"
#include "platform/unicode.h"
#include "helper_crowd.h"

namespace wh {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int kProcesses = 50;
constexpr std::uint64_t kCardSize = 8 << 20;
constexpr std::uint64_t kImageSize = 4 << 20;
constexpr std::uint64_t kSectorsRead = 8;
constexpr auto kDeadline = std::chrono::seconds(180);
const std::string kCard = "\\\\.\\PhysicalDrive2";

// The card's first kImageSize bytes: as prepared (zeros), or image a or b.
enum Content { kZeros, kImageA, kImageB };
const char* kCommands[] = {"write_image", "verify_hash", "read_sectors"};

std::string image_bytes(Content content) {
  std::string bytes(kImageSize, '\0');
  std::uint32_t x = content == kImageA ? 0x12345678u : 0x9e3779b9u;
  if (content == kZeros) return bytes;
  for (char& b : bytes) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b = static_cast<char>(x);
  }
  return bytes;
}

std::string sha256_of(const std::string& bytes) {
  Sha256 digest;
  digest.update({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
  return digest.finish_hex();
}

struct Helper : testing::CrowdMember {
  int command = 0;         // index into kCommands
  Content image = kZeros;  // write_image: what it writes
};

json request(const std::string& id, const std::string& command, const json& more = json::object()) {
  json payload = {{"osDevicePath", kCard},
                  {"expectedIdentity",
                   {{"physicalDriveNumber", kCard}, {"sizeBytes", kCardSize}, {"serial", "000000123"}}}};
  payload.update(more);
  return {{"id", id}, {"sessionId", "fifty"}, {"command", command}, {"payload", payload}};
}

json request_for(const Helper& helper, const testing::SimDir& sim, int index) {
  json payload = json::object();
  if (helper.command == 0) {
    payload["imagePath"] = sim.file(helper.image == kImageA ? "a.img" : "b.img");
    payload["bytesTotal"] = kImageSize;
    payload["taskId"] = "write-" + std::to_string(index);
    payload["rawWithoutPartitionTable"] = true;  // the images are bytes, not disks
  } else if (helper.command == 1) {
    payload["bytesTotal"] = kImageSize;
  } else {
    payload["startLba"] = 0;
    payload["sectorCount"] = kSectorsRead;
  }
  return request(std::to_string(index), kCommands[helper.command], payload);
}

// A machine after prepare_disk: the card offline, its volume dismounted. A
// fixed disk on USB, since Windows keeps removable media online.
void prepare(const testing::SimDir& sim) {
  sim.write_file("card.img", std::string(kCardSize, '\0'));
  sim.write_file("a.img", image_bytes(kImageA));
  sim.write_file("b.img", image_bytes(kImageB));
  sim.write_machine(
      {{"elevated", true},
       {"sleepScale", 0},
       {"drives",
        {{{"number", 2}, {"backingFile", "card.img"}, {"vendor", "Generic"}, {"product", "STORAGE DEVICE"},
          {"serial", "000000123"}, {"busType", 7}, {"removableMedia", false}}}},
       {"volumes",
        {{{"name", "\\\\?\\Volume{6f1c2a3b-4d5e-11ef-9a0b-0c1d2e3f4a5b}\\"},
          {"extents", {{{"disk", 2}, {"startingOffset", 1 << 20}, {"length", 6 << 20}}}},
          {"letters", {"E"}}}}}});
  sim.install_fake_powershell();
  ::setenv("WINDOWS_HELPER_SIM_DIR", sim.path().c_str(), 1);
  sim::SimPlatform host{sim::SimMachine{}};
  auto process = host.run_process(WINDOWS_HELPER_BINARY, {"--request", request("prep", "prepare_disk").dump()});
  ::unsetenv("WINDOWS_HELPER_SIM_DIR");
  ASSERT_TRUE(process.ok());
  ASSERT_NE(process->standard_output.find("\"prepared\":true"), std::string::npos) << process->standard_output;
  ASSERT_TRUE(sim.machine()["drives"][0].value("offline", false));
}

// One round's log, read in order: the card's content as each process's
// exclusive reads found it (the image of the last write handle closed
// before the read's open), and no handle on the card beside an exclusive
// one. `card` is carried from round to round.
struct RoundLog {
  std::map<int, Content> read_found;  // last exclusive read's content, by helper
  std::set<int> wrote, read;  // helpers that held the drive to write, to read
  int exclusive_opens = 0;
  int overlaps = 0;  // opens beside another handle that an exclusive one excludes
  std::string first_overlap;
};

RoundLog read_log(const std::vector<Helper>& helpers, const testing::SimDir& sim, Content& card) {
  RoundLog log;
  std::map<long long, int> index_of;
  for (std::size_t i = 0; i < helpers.size(); ++i) index_of[helpers[i].pid] = static_cast<int>(i);
  std::map<long long, std::vector<std::string>> open;  // modes of each process's open card handles
  for (const json& event : sim.events()) {
    if (ascii_lower(event.value("path", "")) != ascii_lower(kCard)) continue;
    const long long pid = event["process"];
    EXPECT_TRUE(index_of.count(pid)) << event;
    const int i = index_of[pid];
    const std::string op = event["op"];
    if (op == "open") {
      const std::string mode = event["mode"];
      for (const auto& [other, modes] : open) {
        for (const std::string& held : modes) {
          if (held == "query" && mode == "query") continue;
          if (log.overlaps++ == 0) {
            log.first_overlap = mode + " open by " + std::to_string(pid) + " while " + std::to_string(other) +
                                " holds " + held;
          }
        }
      }
      open[pid].push_back(mode);
      if (mode != "query") ++log.exclusive_opens;
      if (mode == "exclusiveWrite") log.wrote.insert(i);
      if (mode == "exclusiveRead") log.read.insert(i), log.read_found[i] = card;
    } else if (op == "close" && !open[pid].empty()) {
      if (open[pid].back() == "exclusiveWrite") card = helpers[static_cast<std::size_t>(i)].image;
      open[pid].pop_back();
    }
  }
  for (const auto& [pid, modes] : open) EXPECT_TRUE(modes.empty()) << pid << " left a card handle open";
  return log;
}

// Every process answered once; those that held the drive for every step
// succeeded with what the card held then; every other one was refused for
// a drive in use. Counts each outcome into `outcomes`.
void check_answers(const std::vector<Helper>& helpers, RoundLog& log, std::map<std::string, int>& outcomes) {
  const std::string hashes[] = {sha256_of(image_bytes(kZeros)), sha256_of(image_bytes(kImageA)),
                                sha256_of(image_bytes(kImageB))};
  for (std::size_t index = 0; index < helpers.size(); ++index) {
    const Helper& h = helpers[index];
    const int i = static_cast<int>(index);
    SCOPED_TRACE(std::string(kCommands[h.command]) + " #" + std::to_string(i));
    ASSERT_TRUE(WIFEXITED(h.status) && WEXITSTATUS(h.status) == 0) << h.status;
    int responses = 0;
    for (const json& line : h.lines) responses += line.is_object() && line.contains("id") ? 1 : 0;
    ASSERT_EQ(responses, 1);
    ASSERT_TRUE(h.lines.back().contains("id"));
    const json& response = h.lines.back();
    // Proceeding means holding the drive for every step: the write and a
    // readback for write_image, one read for the others.
    const bool proceeded = log.read.count(i) && (h.command != 0 || log.wrote.count(i));
    EXPECT_EQ(response["ok"].get<bool>(), proceeded) << response;
    std::string outcome;
    if (!response["ok"]) {
      std::string message = response["errorMessage"];
      // write_image's refusals before its first write say so.
      for (const std::string said : {"; nothing was written.", " Nothing was written."}) {
        if (message.ends_with(said) && h.command == 0) message.resize(message.size() - said.size());
      }
      outcome = "refused " + response["errorCode"].get<std::string>() + " \"" + message + "\"" +
                (log.wrote.count(i) ? " after writing" : "");
      EXPECT_TRUE(message.ends_with("(os error 32)") ||
                  message.starts_with("Could not validate the selected removable target before") ||
                  message == "Could not revalidate the selected removable target before a volume operation.")
          << message;
    } else if (h.command == 0) {
      const json& result = response["payload"];
      EXPECT_EQ(result["sourceSha256"], hashes[h.image]);
      EXPECT_EQ(result["observedSha256"], hashes[log.read_found[i]]);
      // Another writer between this one's write and its readback shows as
      // a mismatch, reported, not hidden.
      EXPECT_EQ(result["mismatch"].is_null(), log.read_found[i] == h.image);
      outcome = log.read_found[i] == h.image ? "proceeded, readback matches" : "proceeded, another image read back";
    } else if (h.command == 1) {
      EXPECT_EQ(response["payload"]["observedSha256"], hashes[log.read_found[i]]);
      outcome = "proceeded";
    } else {
      const std::string expected = image_bytes(log.read_found[i]).substr(0, kSectorsRead * 512);
      EXPECT_EQ(response["payload"]["dataHex"],
                lower_hex({reinterpret_cast<const std::uint8_t*>(expected.data()), expected.size()}));
      outcome = "proceeded";
    }
    ++outcomes[std::string(kCommands[h.command]) + ": " + outcome];
  }
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

// Which process wins is the scheduler's choice, and a reader often does:
// rounds of fifty run on the same card until a writer has won (at most
// kRounds), so that the card's bytes prove a whole write.
TEST(SimFiftyHelpers, OnlyTheExclusiveHolderProceedsAndTheCardEndsAsOneWrite) {
  constexpr int kRounds = 12;
  testing::SimDir sim;
  ASSERT_NO_FATAL_FAILURE(prepare(sim));
  const std::string machine_before = sim.read_file("machine.json");
  struct stat before {};
  ASSERT_EQ(::stat(sim.file("machine.json").c_str(), &before), 0);

  Content card = kZeros;
  bool written = false;
  for (int round = 1; round <= kRounds && !written; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // Two fifths write (a and b alternately), two fifths hash, one fifth reads.
    std::vector<Helper> helpers(kProcesses);
    for (int i = 0; i < kProcesses; ++i) {
      helpers[i].command = i % 5 < 2 ? 0 : i % 5 < 4 ? 1 : 2;
      helpers[i].image = i % 2 == 0 ? kImageA : kImageB;
    }
    sim.write_file("events.log", "");  // this round's events only
    std::vector<std::string> requests;
    for (int i = 0; i < kProcesses; ++i) requests.push_back(request_for(helpers[i], sim, i).dump());
    testing::Crowd crowd = testing::run_crowd(sim, requests, kDeadline);
    ASSERT_EQ(crowd.failure, "");
    ASSERT_EQ(crowd.killed, 0) << "helpers still running after " << kDeadline.count() << " s";
    ASSERT_EQ(crowd.members.size(), helpers.size());
    for (int i = 0; i < kProcesses; ++i) static_cast<testing::CrowdMember&>(helpers[i]) = crowd.members[i];
    RoundLog log = read_log(helpers, sim, card);
    EXPECT_EQ(log.overlaps, 0) << log.first_overlap;
    std::map<std::string, int> outcomes;
    ASSERT_NO_FATAL_FAILURE(check_answers(helpers, log, outcomes));
    written = !log.wrote.empty();

    const auto slowest = std::max_element(helpers.begin(), helpers.end(),
                                          [](const Helper& x, const Helper& y) { return x.took < y.took; });
    std::printf("round %d: %d helpers on one card, %d exclusive opens, wall %.0f ms, slowest %.0f ms (%s #%d)\n",
                round, kProcesses, log.exclusive_opens, ms(crowd.wall), ms(slowest->took), kCommands[slowest->command],
                static_cast<int>(slowest - helpers.begin()));
    for (const auto& [outcome, count] : outcomes) std::printf("  %3d  %s\n", count, outcome.c_str());
  }

  // One complete write, the last one closed; the rest of the card as
  // prepared.
  const std::string bytes = sim.read_file("card.img");
  ASSERT_EQ(bytes.size(), kCardSize);
  if (!written) std::printf("no writer won in %d rounds: the card is checked as prepared\n", kRounds);
  EXPECT_TRUE(bytes.substr(0, kImageSize) == image_bytes(card)) << "the card holds no single image";
  EXPECT_EQ(bytes.find_first_not_of('\0', kImageSize), std::string::npos);
  // Nobody rewrote machine.json: the card stays offline, nothing to save.
  struct stat after {};
  ASSERT_EQ(::stat(sim.file("machine.json").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(sim.read_file("machine.json"), machine_before);
}

}  // namespace wh
