// flash-card, the built program, driving the built windows_helper on a
// simulated laptop: an NVMe system disk and a USB card reader holding a
// blank 64 MiB card, flashed with the realistic card image.
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <functional>
#include <thread>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "sim_dir.h"

namespace wh::testing {
namespace {

using nlohmann::json;

constexpr std::uint64_t kCardBytes = 64ull << 20;
const char* const kCard = "\\\\.\\PhysicalDrive2";

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

json card_manifest() { return json::parse(read_text(std::string(CARD_IMAGES_DIR) + "/cards.json"))["card"]; }

// The card image as the app downloads it, compressed once per test run.
const std::string& compressed_card() {
  static const SimDir holder;
  static const std::string path = [] {
    const std::string target = holder.file("card.img.xz");
    const std::string command = "xz -k -T1 -c " + quoted(std::string(CARD_IMAGES_DIR) + "/card.img") + " > " + quoted(target);
    if (std::system(command.c_str()) != 0) throw std::runtime_error("xz failed");
    return target;
  }();
  return path;
}

// cmdline.txt as the card image holds it.
std::string card_file_of_image() {
  const std::uint64_t boot = card_manifest()["offsets"]["bootSector"].get<std::uint64_t>();
  static const SimDir scratch;
  const std::string command = "MTOOLS_SKIP_CHECK=1 mtype -i " +
                              quoted(std::string(CARD_IMAGES_DIR) + "/card.img@@" + std::to_string(boot)) +
                              " ::cmdline.txt > " + quoted(scratch.file("cmdline.txt"));
  return std::system(command.c_str()) == 0 ? scratch.read_file("cmdline.txt") : "(no cmdline.txt)";
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

class FlashCardTest : public ::testing::Test {
 protected:
  FlashCardTest() {
    std::filesystem::copy_file(compressed_card(), sim.file("pi.img.xz"));
    sim.write_file("system.img", "");
    std::ofstream(sim.file("card.img")).close();
    std::filesystem::resize_file(sim.file("card.img"), kCardBytes);
    sim.install_fake_powershell();
    machine = {{"elevated", true},
               {"sleepScale", 0},
               {"drives",
                {{{"number", 0}, {"backingFile", "system.img"}, {"sizeBytes", 512110190592ull}, {"vendor", "NVMe"},
                  {"product", "Samsung SSD 980"}, {"serial", "S6B0NL0T"}, {"busType", 17}, {"removableMedia", false},
                  {"isSystem", true}, {"isBoot", true}, {"partitionStyle", "GPT"}},
                 {{"number", 2}, {"backingFile", "card.img"}, {"vendor", "Generic"}, {"product", "STORAGE DEVICE"},
                  {"serial", "  000000123  "}, {"busType", 7}}}},
               // An old card holding holiday photos: one volume, which the
               // raw write keeps locked until its readback is done.
               {"volumes",
                {{{"name", "\\\\?\\Volume{5d0c4a1e-0000-4000-8000-00000000e0e0}\\"}, {"letters", {"E"}},
                  {"label", "HOLIDAY"}, {"usedBytes", 12 << 20},
                  {"extents", {{{"disk", 2}, {"startingOffset", 1 << 20}, {"length", kCardBytes - (1 << 20)}}}}}}}};
  }

  Outcome run(std::vector<std::string> args) {
    sim.write_machine(machine);
    std::string command = "WINDOWS_HELPER_SIM_DIR=" + quoted(sim.path()) + " " + quoted(FLASH_CARD_BINARY);
    for (const std::string& arg : args) command += " " + quoted(arg);
    command += " </dev/null >" + quoted(sim.file("out.txt")) + " 2>" + quoted(sim.file("err.txt"));
    const int raw = std::system(command.c_str());
    return Outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, sim.read_file("out.txt"), sim.read_file("err.txt")};
  }
  Outcome flash(std::vector<std::string> more = {}) {
    std::vector<std::string> args{sim.file("pi.img.xz"), "--disk", "2", "--yes", "--transcript", sim.file("t.jsonl")};
    args.insert(args.end(), more.begin(), more.end());
    return run(args);
  }

  // flash-card on a pseudo-terminal `columns` wide, as a person runs it:
  // `type` sees what it has shown so far and may type into it (Ctrl+C,
  // an answer), and says whether it typed; the run may take a minute at
  // most (a hung helper sleeps far longer).
  struct Shown {
    bool ended = false;
    int status = -1;
    std::string text;
  };
  Shown on_terminal(const std::vector<std::string>& more, unsigned short columns,
                    const std::function<void(const std::string& shown, int terminal)>& type = {}) {
    sim.write_machine(machine);
    std::vector<std::string> args{FLASH_CARD_BINARY};
    args.insert(args.end(), more.begin(), more.end());
    winsize size{};
    size.ws_row = 40;
    size.ws_col = columns;
    int terminal = -1;
    const pid_t child = ::forkpty(&terminal, nullptr, nullptr, &size);
    if (child == 0) {
      ::setenv("WINDOWS_HELPER_SIM_DIR", sim.path().c_str(), 1);
      std::vector<char*> argv;
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    Shown shown;
    if (child < 0) return shown;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd ready{terminal, POLLIN, 0};
      if (::poll(&ready, 1, 50) > 0) {
        char buffer[4096];
        const ssize_t got = ::read(terminal, buffer, sizeof buffer);
        if (got > 0) shown.text.append(buffer, static_cast<std::size_t>(got));
      }
      if (type) type(shown.text, terminal);
      if ((shown.ended = ::waitpid(child, &status, WNOHANG) == child)) break;
    }
    if (!shown.ended) {
      ::kill(child, SIGKILL);  // hung: take it down before failing
      ::waitpid(child, &status, 0);
    }
    // What it wrote last may still wait in the terminal.
    for (char buffer[4096]; ::poll(std::array<pollfd, 1>{{{terminal, POLLIN, 0}}}.data(), 1, 100) > 0;) {
      const ssize_t got = ::read(terminal, buffer, sizeof buffer);
      if (got <= 0) break;
      shown.text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(terminal);
    shown.ended = shown.ended && WIFEXITED(status);
    shown.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return shown;
  }

  // Every request of the run, with the lines the helper answered.
  std::vector<json> transcript() const {
    std::vector<json> records;
    std::istringstream lines(sim.read_file("t.jsonl"));
    for (std::string line; std::getline(lines, line);) records.push_back(json::parse(line));
    return records;
  }
  std::vector<std::string> commands() const {
    std::vector<std::string> names;
    for (const json& record : transcript()) names.push_back(record["request"]["command"]);
    return names;
  }
  std::size_t writes_to(const std::string& path) const {
    std::size_t count = 0;
    for (const json& event : sim.events()) count += event.value("op", "") == "write" && event.value("path", "") == path;
    return count;
  }
  std::string summary_value(const std::string& text, const std::string& label) const {
    const auto at = text.find("  " + label);
    if (at == std::string::npos) return "";
    const auto start = text.find_first_not_of(' ', at + 2 + label.size());
    return text.substr(start, text.find('\n', start) - start);
  }

  SimDir sim;
  json machine;
};

TEST_F(FlashCardTest, FlashesTheCardAndReportsItReady) {
  // Streamed by default: decoded onto the card, no file in between.
  const Outcome outcome = flash();
  ASSERT_EQ(outcome.status, 0) << outcome.out << outcome.err;
  EXPECT_FALSE(std::filesystem::exists(sim.file("pi.img.prepared")));
  EXPECT_EQ(outcome.err, "");
  const std::string image = summary_value(outcome.out, "SHA-256 image");
  EXPECT_EQ(image.size(), 64u);
  // Sparse by default: the readback proves the written extents.
  const std::string written_sha = summary_value(outcome.out, "SHA-256 written");
  EXPECT_EQ(written_sha.size(), 64u);
  EXPECT_EQ(summary_value(outcome.out, "SHA-256 readback"), written_sha);
  EXPECT_NE(outcome.out.find("Skipped "), std::string::npos) << outcome.out;
  EXPECT_NE(outcome.out.find("Boot report       working"), std::string::npos) << outcome.out;
  EXPECT_NE(outcome.out.find("passed   Byte-for-byte image verification"), std::string::npos);
  EXPECT_NE(outcome.out.find("passed   Raspberry Pi boot files"), std::string::npos);
  EXPECT_EQ(outcome.out.find("failed"), std::string::npos);
  EXPECT_TRUE(outcome.out.ends_with("\nCard ready: \\\\.\\PhysicalDrive2  64.0 MiB  Generic STORAGE DEVICE (usb-drive, "
                                    "serial 000000123) holds the image and passed the boot check; safe to remove.\n"))
      << outcome.out;

  // The card stays online (removable media), so once the write was done
  // Windows mounted its boot partition and changed that file system's FAT
  // metadata, as it does; everything before and after it is the image's.
  const std::string written = sim.read_file("card.img");
  const std::string expected = read_text(std::string(CARD_IMAGES_DIR) + "/card.img");
  const auto lba = [&](int slot) {
    std::uint64_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<std::uint8_t>(expected[446 + 16 * slot + 8 + i]);
    return value * 512;
  };
  EXPECT_TRUE(written.substr(0, lba(0)) == expected.substr(0, lba(0)));
  EXPECT_TRUE(written.substr(lba(1), expected.size() - lba(1)) == expected.substr(lba(1)));
  EXPECT_FALSE(written.substr(0, expected.size()) == expected) << "Windows' mount left no trace";
  EXPECT_EQ(writes_to("\\\\.\\PhysicalDrive0"), 0u);
  EXPECT_GT(writes_to(kCard), 0u);

  const std::vector<std::string> expected_commands{"health",       "image_uncompressed_size", "list_disks",
                                                   "prepare_disk", "write_image",             "verify_boot",
                                                   "detach_target"};
  EXPECT_EQ(commands(), expected_commands);
  EXPECT_EQ(transcript()[4]["request"]["payload"]["decompress"], true);
  EXPECT_EQ(transcript()[4]["request"]["payload"]["imagePath"], sim.file("pi.img.xz"));
  std::set<std::string> ids;
  for (const json& record : transcript()) {
    ids.insert(record["request"]["id"].get<std::string>());
    EXPECT_EQ(record["request"]["sessionId"], transcript()[0]["request"]["sessionId"]);
    EXPECT_EQ(record["lines"].back()["ok"], true) << record.dump();
    if (record["request"]["command"] == "verify_boot") {
      EXPECT_EQ(record["request"]["payload"]["skipChecksum"], false);
      EXPECT_EQ(record["request"]["payload"]["expectedSha256"], written_sha);
      EXPECT_GT(record["request"]["payload"]["bytesSkipped"].get<std::uint64_t>(), 0u);
      EXPECT_EQ(record["request"]["payload"]["expectedIdentity"]["serial"], "000000123");
    }
  }
  EXPECT_EQ(ids.size(), expected_commands.size());
}

// Runs that stop before anything reaches a disk.
TEST_F(FlashCardTest, WritesNothingWithoutAChosenAndConfirmedDisk) {
  // A write-protected card in drive 3, a blank one in drive 4, a volume
  // spanning both, and the system disk's C:.
  std::ofstream(sim.file("card4.img")).close();
  std::filesystem::resize_file(sim.file("card4.img"), kCardBytes);
  std::filesystem::create_directory(sim.file("photos"));
  json locked = machine["drives"][1];
  locked.update({{"number", 3}, {"serial", "LOCKED"}, {"writeProtectSwitch", true}});
  json blank = machine["drives"][1];
  blank.update({{"number", 4}, {"serial", "BLANK"}, {"backingFile", "card4.img"}});
  machine["drives"].push_back(locked);
  machine["drives"].push_back(blank);
  const auto volume = [](char id, const std::vector<int>& disks, const char* letter) {
    json v = {{"name", "\\\\?\\Volume{" + std::string(8, id) + "-0000-4000-8000-00000000e0e0}\\"},
              {"letters", {letter}}, {"fileSystem", "NTFS"}, {"extents", json::array()}};
    for (int disk : disks) v["extents"].push_back({{"disk", disk}, {"startingOffset", 1 << 20}, {"length", 1 << 20}});
    return v;
  };
  machine["volumes"].push_back(volume('c', {0}, "C"));
  machine["volumes"].push_back(volume('a', {3, 4}, "G"));
  struct Case {
    std::vector<std::string> extra;
    int status;
    std::string out_has;
    std::string err_has;
    std::string image = "pi.img.xz";
  };
  const std::vector<Case> cases{
      {{}, 0, "2  \\\\.\\PhysicalDrive2  64.0 MiB  Generic STORAGE DEVICE (usb-drive, serial 000000123)\n"
       "       holds E: HOLIDAY (FAT32, 12.0 MiB used)\n", ""},
      {{}, 0, "Cards that cannot be written now:\n  3  \\\\.\\PhysicalDrive3  Generic STORAGE DEVICE: write-protected: "
       "slide the card's lock switch", ""},
      {{"--disk", "2"}, 2, "", "will not erase \\\\.\\PhysicalDrive2"},
      {{"--disk", "0", "--yes"}, 2, "Removable disks", "no removable disk 0 among the candidates"},
      {{"--disk", "C:", "--yes"}, 2, "", "no removable disk holds C:"},
      {{"--disk", "G:", "--yes"}, 2, "", "G: spans several disks, so it names no one card"},
      {{"--disk", "3", "--yes"}, 2, "", "disk 3 (3) cannot be written now: write-protected: slide the card's lock"},
      {{"--dsk", "2"}, 2, "", "there is no option --dsk; did you mean --disk?"},
      {{"--disk", "2", "--yes"}, 2, "", "the image " + sim.file("absent.img.xz") + " was not found", "absent.img.xz"},
      {{"--disk", "2", "--yes"}, 2, "", sim.file("photos") + " is a folder, not an image", "photos"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err_has + c.out_has);
    std::vector<std::string> args{sim.file(c.image)};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const Outcome outcome = run(args);
    EXPECT_EQ(outcome.status, c.status) << outcome.out << outcome.err;
    EXPECT_NE(outcome.out.find(c.out_has), std::string::npos) << outcome.out;
    EXPECT_NE(outcome.err.find(c.err_has), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.out.find("PhysicalDrive0"), std::string::npos) << outcome.out;
    EXPECT_EQ(outcome.err.find("Card state"), std::string::npos) << outcome.err;
    EXPECT_EQ(writes_to(kCard), 0u);
  }
  // Without administrator rights the list is not even asked for.
  machine["elevated"] = false;
  std::filesystem::remove(sim.file("powershell.log"));
  const Outcome unelevated = run({});
  EXPECT_EQ(unelevated.status, 1);
  EXPECT_NE(unelevated.err.find("run flash-card from an administrator console"), std::string::npos) << unelevated.err;
  for (const std::string& script : sim.powershell_log()) EXPECT_EQ(script.find("Get-Disk"), std::string::npos) << script;
}

// A second run on a card that another flash-card is writing: the card is
// listed as busy and refused, and nothing is said of what it holds, which
// is the other run's doing; a card held only once this run has prepared
// it gets the same word.
TEST_F(FlashCardTest, ARefusedSecondRunLeavesTheCardToTheFirst) {
  sim.write_machine(machine);
  auto other = sim.platform();
  {
    auto writing = other.open_drive_exclusive_write(kCard);
    ASSERT_TRUE(writing) << writing.error().text();
    const Outcome second = flash();
    EXPECT_EQ(second.status, 2) << second.err;
    EXPECT_NE(second.err.find("disk 2 (2) cannot be written now: busy: another program has it open (another "
                              "flash-card writing it?)"),
              std::string::npos)
        << second.err;
    EXPECT_EQ(second.err.find("Card state"), std::string::npos) << second.err;
    EXPECT_EQ(commands().back(), "list_disks");
  }
  machine["faults"] = {{{"operation", "open"}, {"path", kCard}, {"mode", "exclusiveWrite"}, {"error", 32}}};
  const Outcome held = flash();
  EXPECT_EQ(held.status, 1);
  EXPECT_NE(held.err.find("Card state: this run wrote nothing to the card, but another program holds it"),
            std::string::npos)
      << held.err;
}

// The checks before anything is erased: each stops the run with the card
// never prepared, let alone written.
TEST_F(FlashCardTest, PreflightStopsBeforeTheCardIsTouched) {
  struct Case {
    const char* name;
    json drive_changes;  // merged into the card's drive
    bool elevated;
    std::vector<std::string> extra;
    int status;
    std::string err_has;
    std::string out_has;
    std::string image = "pi.img.xz";  // in the machine's directory
  };
  sim.write_file("ssh", "");
  sim.write_file("empty.img", "");
  sim.write_file("page.img.xz", "<!DOCTYPE html><html><body>Not found</body></html>\n" + std::string(700, ' '));
  sim.write_file("cut.img", read_text(std::string(CARD_IMAGES_DIR) + "/card.img").substr(0, 20 << 20));
  sim.write_file("large.txt", std::string(17 << 20, 'a'));
  const std::vector<Case> cases{
      {"not elevated", json::object(), false, {}, 1, "run flash-card from an administrator console", ""},
      {"image larger than the card", {{"sizeBytes", 32 << 20}}, true, {}, 2,
       "holds 33554432 bytes: use a larger card; nothing was written", ""},
      {"a card path outside the boot partition", json::object(), true, {"--file", "../ssh=" + sim.file("ssh")}, 2,
       "../ssh is not a path on the card's boot partition", ""},
      {"a host file that cannot be read", json::object(), true, {"--file", "ssh=" + sim.file("absent")}, 2,
       "cannot read " + sim.file("absent"), ""},
      {"dry run", json::object(), true, {"--dry-run", "--file", "ssh=" + sim.file("ssh")}, 0, "",
       "Dry run: every check passed for \\\\.\\PhysicalDrive2"},
      // What the image itself says, read before a card is chosen.
      {"an empty image", json::object(), true, {}, 2,
       "the image " + sim.file("empty.img") + " is empty: it decodes to no bytes", "", "empty.img"},
      {"a web page saved as the image", json::object(), true, {}, 2,
       "the image " + sim.file("page.img.xz") + " is not a disk image", "", "page.img.xz"},
      {"an image cut short", json::object(), true, {}, 2,
       "the image " + sim.file("cut.img") + " is cut short (a download that did not finish?): its partition table "
       "says partition 2 ends at byte 50331648, but the image ends at byte 20971520",
       "", "cut.img"},
      {"a --file into a folder the image's boot partition lacks", json::object(), true,
       {"--file", "overlays/extra/x.txt=" + sim.file("ssh")}, 2,
       "--file overlays/extra/x.txt=" + sim.file("ssh") + ": the image's boot partition has no folder overlays/extra",
       ""},
      {"a --file into a folder the boot partition has", json::object(), true,
       {"--dry-run", "--file", "OVERLAYS/x.txt=" + sim.file("ssh")}, 0, "", "Dry run: every check passed"},
      {"first-boot files too large for one request", json::object(), true, {"--file", "big.txt=" + sim.file("large.txt")},
       2, "and the helper takes requests of at most 16 MiB", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json saved = machine;
    machine["elevated"] = c.elevated;
    machine["drives"][1].update(c.drive_changes);
    std::vector<std::string> args{sim.file(c.image), "--disk", "2", "--yes", "--transcript", sim.file("t.jsonl")};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const Outcome outcome = run(args);
    machine = saved;
    EXPECT_EQ(outcome.status, c.status) << outcome.out << outcome.err;
    EXPECT_NE(outcome.err.find(c.err_has), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.out.find(c.out_has), std::string::npos) << outcome.out;
    for (const std::string& command : commands()) {
      EXPECT_TRUE(command != "prepare_disk" && command != "image_extract_xz" && command != "finalize_disk")
          << command;
    }
    EXPECT_EQ(writes_to(kCard), 0u);
    EXPECT_FALSE(std::filesystem::exists(sim.file("pi.img.prepared")));
  }
}

// The digest written must be the one checked: an image changed in between
// reads back "as written" and must not pass. Prepared, the prepared image
// changes after its extraction; streamed, the download is replaced (by a raw
// image one byte off, which decodes as itself) after it was decoded and
// measured.
TEST_F(FlashCardTest, FailsWhenTheImageChangedAfterItWasChecked) {
  const struct {
    std::vector<std::string> more;
    std::string change;  // shell, run as write_image starts
    const char* said;
    const char* state;
  } cases[] = {
      {{"--prepared"}, "printf X | dd of=" + quoted(sim.file("pi.img.prepared")) + " bs=1 seek=5000 conv=notrunc",
       "changed after it was extracted", "Card state: the card was written but is not proven to hold the image"},
      {{"--full"},
       "cp " + quoted(std::string(CARD_IMAGES_DIR) + "/card.img") + " " + quoted(sim.file("pi.img.xz")) +
           " && printf X | dd of=" + quoted(sim.file("pi.img.xz")) + " bs=1 seek=5000 conv=notrunc",
       "changed after it was checked", "Card state: the card was written but is not proven to hold the image"},
      // Sparse, the write map knows the image: one of another length is
      // refused before the card is touched, one of other bytes fails the write.
      {{},
       "cp " + quoted(std::string(CARD_IMAGES_DIR) + "/card.img") + " " + quoted(sim.file("pi.img.xz")) +
           " && head -c 1048576 /dev/zero >>" + quoted(sim.file("pi.img.xz")),
       "it was made for an image of 50331648 bytes", "Card state: the card was not written; it is as it was"},
      {{}, "xz -dc " + quoted(sim.file("pi.img.xz")) + " >" + quoted(sim.file("raw")) + " && printf X | dd of=" +
               quoted(sim.file("raw")) + " bs=1 seek=5000 conv=notrunc && mv " + quoted(sim.file("raw")) + " " +
               quoted(sim.file("pi.img.xz")),
       "is not the one its write map was made from", "Card state: the card was written but is not proven"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.said);
    std::filesystem::copy_file(compressed_card(), sim.file("pi.img.xz"), std::filesystem::copy_options::overwrite_existing);
    // The request comes on standard input; the wrapper passes it on.
    sim.write_file("helper.sh", "#!/bin/sh\nrequest=$(cat)\ncase \"$request\" in *'\"write_image\"'*) " + c.change +
                                    " 2>/dev/null;; esac\nprintf '%s' \"$request\" | exec " + quoted(WINDOWS_HELPER_BINARY) +
                                    " \"$@\"\n");
    std::filesystem::permissions(sim.file("helper.sh"), std::filesystem::perms::owner_all);
    std::vector<std::string> more = c.more;
    more.insert(more.end(), {"--helper", sim.file("helper.sh")});
    const Outcome outcome = flash(more);
    EXPECT_EQ(outcome.status, 1) << outcome.out;
    EXPECT_NE(outcome.err.find(c.said), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find(c.state), std::string::npos) << outcome.err;
    EXPECT_EQ(commands().back(), "finalize_disk");
    EXPECT_EQ(outcome.out.find("working"), std::string::npos) << outcome.out;
  }
}

// What the device says is shown, never obeyed: a product text that would
// rewrite the prompt's line reaches the terminal as visible escapes.
TEST_F(FlashCardTest, DeviceTextsCannotPaintTheTerminal) {
  machine["drives"][1]["product"] = "STORAGE\r\x1b[2KSamsung SSD 980\xc2\x9b";
  const Outcome outcome = run({sim.file("pi.img.xz")});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.out.find("STORAGE\\x0d\\x1b[2KSamsung SSD 980\\xc2\\x9b"), std::string::npos) << outcome.out;
  for (char c : outcome.out) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int(c);
}

TEST_F(FlashCardTest, CommandLineRulesAndWhereThePreparedImageGoes) {
  sim.write_file("ssh", "");
  // --file takes one value: the image after it is the image.
  Outcome outcome = run({"--file", "ssh=" + sim.file("ssh"), sim.file("pi.img.xz"), "--disk", "2", "--yes", "--cache",
                         sim.file("cache/images"), "--transcript", sim.file("t.jsonl")});
  ASSERT_EQ(outcome.status, 0) << outcome.out << outcome.err;
  EXPECT_TRUE(std::filesystem::is_directory(sim.file("cache/images")));
  bool extracted_into_cache = false;
  for (const json& record : transcript()) {
    if (record["request"]["command"] == "image_extract_xz") {
      extracted_into_cache = record["request"]["payload"]["outputPath"] == sim.file("cache/images/pi.img.prepared");
    }
  }
  EXPECT_TRUE(extracted_into_cache);
  EXPECT_FALSE(std::filesystem::exists(sim.file("cache/images/pi.img.prepared"))) << "removed after the flash";
  // Asking for the prepared image takes the course through it.
  outcome = flash({"--keep-image"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_TRUE(std::filesystem::exists(sim.file("pi.img.prepared")));
  EXPECT_EQ(commands(), (std::vector<std::string>{"health", "image_validate_xz", "list_disks", "image_uncompressed_size",
                                                  "image_extract_xz", "prepare_disk", "write_image", "verify_boot",
                                                  "detach_target"}));
  EXPECT_EQ(transcript()[6]["request"]["payload"]["imagePath"], sim.file("pi.img.prepared"));
  // One version: flash-card's is the helper's.
  const std::string helper_version = transcript()[0]["lines"].back()["payload"]["helperVersion"];
  EXPECT_EQ(run({"--version"}).out, "flash-card " + helper_version + "\n");
  for (const std::vector<std::string>& wrong : {std::vector<std::string>{"--no-such-flag"},
                                                std::vector<std::string>{"--disk", "2"},
                                                std::vector<std::string>{sim.file("pi.img.xz"), "--file", "ssh"},
                                                std::vector<std::string>{"--reformat"},
                                                std::vector<std::string>{sim.file("pi.img.xz"), "--reformat", "--disk", "2"},
                                                std::vector<std::string>{"--jsno"}}) {
    const Outcome outcome = run(wrong);
    EXPECT_EQ(outcome.status, 2) << wrong[0];
    EXPECT_EQ(outcome.err.find("did you mean") != std::string::npos, wrong[0] == "--jsno") << outcome.err;
  }
  // --help: lines a console of 80 columns shows whole, three examples, the
  // exit statuses; the README shows the same text.
  const Outcome help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  std::istringstream lines(help.out);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
  EXPECT_NE(help.out.find("Examples:\n  flash-card\n"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("  3    the answer at the prompt was not yes; nothing was touched"), std::string::npos);
  EXPECT_NE(read_text(README_PATH).find("```text\n" + help.out + "```"), std::string::npos)
      << "the README's flash-card section shows another --help";
}

// Ctrl+C typed at a real pseudo-terminal while a helper works at one stage:
// the helper is stopped, the card brought back online, its state said in one
// line that follows the last step that finished, and flash-card ends with
// 130; a second Ctrl+C during that clean-up ends it at once.
TEST_F(FlashCardTest, CtrlCLeavesTheCardOnlineAndSaysWhatItHolds) {
  // Progress lines of the write, as far as a card has come when it is stopped.
  const auto event = [](const char* stage, const char* message, std::uint64_t bytes) {
    return json{{"bytesProcessed", bytes}, {"bytesTotal", 50331648}, {"event", "progress"}, {"message", message},
                {"sessionId", "s"}, {"speedBps", 1 << 20}, {"stage", stage}, {"taskId", "t"}}.dump();
  };
  struct Case {
    const char* stage;  // the command whose helper is still at work
    bool hang_clean_up;
    std::string line;   // what the terminal shows last
    std::vector<std::string> lines;  // the helper's progress, in place of its work; none: it does its work
    std::vector<std::string> more;
  };
  const std::vector<Case> cases{
      {"image_extract_xz", false, "Stopped: nothing was written to the card.", {}, {}},
      {"write_image", false, "Stopped: the card was only partly written and will not boot; flash it again, or make "
       "it one exFAT volume again with flash-card --reformat --disk 2.",
       {event("WRITE", "Writing image", 8 << 20)}, {}},
      // Stopped while it is read back: every byte was written.
      {"write_image", false, "Stopped: the card was written but is not proven to hold the image; flash it again.",
       {event("WRITE", "Writing image", 48 << 20), event("FINALIZE", "Flushing disk buffers", 48 << 20),
        event("FINALIZE", "Disk buffers flushed", 48 << 20), event("VERIFY", "Verifying", 4 << 20)}, {}},
      {"verify_boot", false, "Stopped: the card holds the image, read back byte for byte, but its boot check did "
       "not finish; flash it again to be sure.", {}, {}},
      {"apply_customization", false, "Stopped: the card holds the image and passed the boot check, but not its "
       "first-boot files; flash it again to add them.", {}, {"--file", "ssh=" + sim.file("ssh")}},
      {"detach_target", false, "Stopped: the card holds the image and its first-boot files, but was not released; "
       "eject it in Windows before you take it out.", {}, {"--file", "ssh=" + sim.file("ssh")}},
      {"write_image", true, "", {}, {}},
  };
  sim.write_file("ssh", "");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.stage) + " " + c.line + (c.hang_clean_up ? ", twice" : ""));
    const std::string mark = sim.file("at-stage"), clean_up = sim.file("at-clean-up");
    std::filesystem::remove(mark);
    std::filesystem::remove(clean_up);
    std::filesystem::remove(sim.file("t.jsonl"));
    // At its stage the helper does its work (or prints how far it came) and
    // then hangs on, as a slow card would.
    std::string work = "printf '%s' \"$request\" | " + quoted(WINDOWS_HELPER_BINARY) + " \"$@\"";
    if (!c.lines.empty()) {
      work = "printf '%s\\n'";
      for (const std::string& line : c.lines) work += " " + quoted(line);
    }
    // The request comes on standard input; the wrapper passes it on.
    sim.write_file("helper.sh", "#!/bin/sh\nrequest=$(cat)\ncase \"$request\" in *'\"command\":\"" +
                                    std::string(c.stage) + "\"'*) " + work + "; touch " + quoted(mark) +
                                    "; exec sleep 300;; esac\n" +
                                    (c.hang_clean_up ? "case \"$request\" in *'\"command\":\"finalize_disk\"'*) touch " +
                                                           quoted(clean_up) + "; exec sleep 300;; esac\n"
                                                     : "") +
                                    "printf '%s' \"$request\" | " + quoted(WINDOWS_HELPER_BINARY) + " \"$@\"\n");
    std::filesystem::permissions(sim.file("helper.sh"), std::filesystem::perms::owner_all);
    std::vector<std::string> args{sim.file("pi.img.xz"), "--disk", "2", "--yes", "--prepared",
                                  "--helper", sim.file("helper.sh"), "--transcript", sim.file("t.jsonl")};
    args.insert(args.end(), c.more.begin(), c.more.end());
    int typed = 0;
    // Ctrl+C once the stage is reached, and again at the clean-up.
    const Shown shown = on_terminal(args, 120, [&](const std::string&, int terminal) {
      if (typed == 0 && std::filesystem::exists(mark)) typed += ::write(terminal, "\x03", 1) == 1;
      if (typed == 1 && c.hang_clean_up && std::filesystem::exists(clean_up)) typed += ::write(terminal, "\x03", 1) == 1;
    });
    ASSERT_TRUE(shown.ended) << shown.text;
    EXPECT_EQ(shown.status, 130) << shown.text;
    const std::vector<std::string> ran = commands();
    if (c.hang_clean_up) {
      EXPECT_EQ(shown.text.find("Stopped:"), std::string::npos) << shown.text;
      continue;
    }
    EXPECT_NE(shown.text.find(c.line), std::string::npos) << shown.text;
    EXPECT_EQ(shown.text.find("failed"), std::string::npos) << shown.text;
    const bool prepared = std::find(ran.begin(), ran.end(), "prepare_disk") != ran.end();
    EXPECT_EQ(ran.back(), prepared ? "finalize_disk" : c.stage);
    EXPECT_EQ(sim.machine()["drives"][1].value("offline", false), false);
  }
}

// The other ways a flash is stopped while a helper works at one stage: a
// second Ctrl+C during the clean-up ends flash-card at once. The terminal closed instead (SIGHUP, as a console window
// closed) cleans up the same way, and the clean-up outlives flash-card when
// flash-card is ended while it runs. A Ctrl+C that comes while a step's
// helper is being started (flash-card paused inside posix_spawn by
// SPAWN_PAUSE_LIBRARY) stops that helper before it touches the card.
TEST_F(FlashCardTest, TheCleanUpOutlivesAClosedConsoleAndAStartCaughtMidway) {
  enum class Stop { kCtrlC, kCtrlCTwice, kCloseTerminal, kCloseThenKill, kCtrlCWhileStarting };
  struct Case {
    const char* stage;  // the command whose helper is still at work
    Stop how;
    std::string line;   // what the terminal shows last
  };
  const std::vector<Case> cases{
      // The first case counts the helper starts up to the write's; its
      // helper wrote and read back every byte before it hung.
      {"write_image", Stop::kCtrlC, "Stopped: the card was written but is not proven to hold the image; flash it again."},
      {"write_image", Stop::kCtrlCTwice, ""},
      {"write_image", Stop::kCloseTerminal, ""},
      {"write_image", Stop::kCloseThenKill, ""},
      // The write's helper never ran, which flash-card cannot know: it says
      // the worst the card may hold.
      {"write_image", Stop::kCtrlCWhileStarting, "Stopped: the card was only partly written and will not boot; flash "
       "it again, or make it one exFAT volume again with flash-card --reformat --disk 2."},
  };
  // A fixed USB disk, which prepare_disk takes offline: only the clean-up
  // brings it back.
  machine["drives"][1]["removableMedia"] = false;
  std::size_t write_start = 0;  // which helper start is the write's, counted by an earlier case
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.stage) + " " + std::to_string(static_cast<int>(c.how)));
    const std::string mark = sim.file("at-stage"), clean_up = sim.file("at-clean-up");
    std::filesystem::remove(mark);
    std::filesystem::remove(clean_up);
    std::filesystem::remove(sim.file("t.jsonl"));
    std::filesystem::remove(sim.file("events.log"));
    const bool starting = c.how == Stop::kCtrlCWhileStarting;
    // At its stage the helper does its work and then hangs on, as a slow card
    // would; the clean-up marks its start, and hangs or takes its time. The
    // request comes on standard input; the wrapper passes it on.
    const std::string clean_up_then =
        c.how == Stop::kCtrlCTwice ? "exec sleep 300" : c.how == Stop::kCloseThenKill ? "sleep 2" : ":";
    const std::string helper = "printf '%s' \"$request\" | " + quoted(WINDOWS_HELPER_BINARY) + " \"$@\"";
    sim.write_file("helper.sh", "#!/bin/sh\nrequest=$(cat)\n" +
                                    (starting ? std::string()
                                              : "case \"$request\" in *'\"command\":\"" + std::string(c.stage) +
                                                    "\"'*) " + helper + "; touch " + quoted(mark) +
                                                    "; exec sleep 300;; esac\n") +
                                    "case \"$request\" in *'\"command\":\"finalize_disk\"'*) touch " + quoted(clean_up) +
                                    "; " + clean_up_then + ";; esac\n" + helper + "\n");
    std::filesystem::permissions(sim.file("helper.sh"), std::filesystem::perms::owner_all);
    sim.write_machine(machine);
    const std::vector<std::string> args{FLASH_CARD_BINARY, sim.file("pi.img.xz"), "--disk", "2", "--yes", "--prepared",
                                        "--helper", sim.file("helper.sh"), "--transcript", sim.file("t.jsonl")};
    int terminal = -1;
    const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::setenv("WINDOWS_HELPER_SIM_DIR", sim.path().c_str(), 1);
      if (starting) {
        ::setenv("LD_PRELOAD", SPAWN_PAUSE_LIBRARY, 1);
        ::setenv("SPAWN_PAUSE_AT", std::to_string(write_start).c_str(), 1);
        ::setenv("SPAWN_PAUSE_MARK", mark.c_str(), 1);
        // A sanitized flash-card accepts a library loaded before its runtime.
        ::setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
      }
      std::vector<char*> argv;
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    std::string shown;
    int status = 0;
    bool ended = false;
    // Far less than the hanging helper's sleep: only stopping it ends the run in time.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int typed = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd ready{terminal, POLLIN, 0};
      if (terminal >= 0 && ::poll(&ready, 1, 50) > 0) {
        char buffer[4096];
        const ssize_t got = ::read(terminal, buffer, sizeof buffer);
        if (got > 0) shown.append(buffer, static_cast<std::size_t>(got));
      } else if (terminal < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      // Ctrl+C (or the terminal gone) once the stage is reached; then what
      // the case does at the clean-up.
      if (typed == 0 && std::filesystem::exists(mark)) {
        if (c.how == Stop::kCloseTerminal || c.how == Stop::kCloseThenKill) {
          ::close(terminal);
          terminal = -1;
          ++typed;
        } else {
          typed += ::write(terminal, "\x03", 1) == 1;
        }
      }
      if (typed == 1 && std::filesystem::exists(clean_up)) {
        if (c.how == Stop::kCtrlCTwice) typed += ::write(terminal, "\x03", 1) == 1;
        if (c.how == Stop::kCloseThenKill) typed += ::kill(child, SIGKILL) == 0;
      }
      if ((ended = ::waitpid(child, &status, WNOHANG) == child)) break;
    }
    if (!ended) {
      ::kill(child, SIGKILL);  // hung: take it down before failing
      ::waitpid(child, &status, 0);
    }
    // What it wrote last may still wait in the terminal.
    for (char buffer[4096]; terminal >= 0 && ::poll(std::array<pollfd, 1>{{{terminal, POLLIN, 0}}}.data(), 1, 100) > 0;) {
      const ssize_t got = ::read(terminal, buffer, sizeof buffer);
      if (got <= 0) break;
      shown.append(buffer, static_cast<std::size_t>(got));
    }
    if (terminal >= 0) ::close(terminal);
    ASSERT_TRUE(ended) << shown;
    if (c.how == Stop::kCloseThenKill) {
      // flash-card is gone; its clean-up goes on and brings the disk back.
      ASSERT_TRUE(WIFSIGNALED(status)) << shown;
      for (int tries = 0; tries < 200 && sim.machine()["drives"][1].value("offline", false); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      EXPECT_EQ(sim.machine()["drives"][1].value("offline", false), false);
      continue;
    }
    ASSERT_TRUE(WIFEXITED(status)) << shown;
    EXPECT_EQ(WEXITSTATUS(status), 130) << shown;
    const std::vector<std::string> ran = commands();
    if (c.how == Stop::kCtrlCTwice) {
      EXPECT_EQ(shown.find("Stopped:"), std::string::npos) << shown;
      continue;
    }
    if (!c.line.empty()) EXPECT_NE(shown.find(c.line), std::string::npos) << shown;
    EXPECT_EQ(shown.find("failed:"), std::string::npos) << shown;
    const bool prepared = std::find(ran.begin(), ran.end(), "prepare_disk") != ran.end();
    EXPECT_EQ(ran.back(), prepared ? "finalize_disk" : c.stage);
    if (const auto write = std::find(ran.begin(), ran.end(), "write_image"); write_start == 0 && write != ran.end()) {
      write_start = static_cast<std::size_t>(write - ran.begin()) + 1;
    }
    EXPECT_EQ(sim.machine()["drives"][1].value("offline", false), false);
    if (starting) {
      // The write's helper never ran: no response, and not a byte written.
      EXPECT_TRUE(transcript()[ran.size() - 2]["lines"].empty()) << transcript()[ran.size() - 2].dump();
      EXPECT_EQ(writes_to(kCard), 0u);
    }
  }
}

// What flash-card asks before it erases a card, at a terminal: the card by
// the volumes on it, as Windows names them; any answer but yes leaves it
// untouched, with its own exit status.
TEST_F(FlashCardTest, TheEraseQuestionNamesTheVolumesOnTheCard) {
  struct Case {
    std::vector<std::string> disk;
    const char* answer;
    int status;
  };
  for (const Case& c : {Case{{"--disk", "E:"}, "no\r", 3}, Case{{"--disk", "2"}, "\x04", 3},
                        Case{{"--disk", "e", "--dry-run"}, "", 0}}) {
    SCOPED_TRACE(c.disk[1]);
    std::vector<std::string> args{sim.file("pi.img.xz")};
    args.insert(args.end(), c.disk.begin(), c.disk.end());
    bool answered = false;
    const Shown shown = on_terminal(args, 120, [&](const std::string& text, int terminal) {
      if (answered || text.find("Type yes to go on: ") == std::string::npos) return;
      answered = ::write(terminal, c.answer, std::strlen(c.answer)) > 0;
    });
    ASSERT_TRUE(shown.ended) << shown.text;
    EXPECT_EQ(shown.status, c.status) << shown.text;
    if (c.status == 0) {
      EXPECT_NE(shown.text.find("Dry run: every check passed for \\\\.\\PhysicalDrive2"), std::string::npos) << shown.text;
      continue;
    }
    EXPECT_NE(shown.text.find("Erase E: HOLIDAY (FAT32, 12.0 MiB used) on disk 2 (\\\\.\\PhysicalDrive2  64.0 MiB  "
                              "Generic STORAGE DEVICE (usb-drive, serial 000000123))? Type yes to go on: "),
              std::string::npos)
        << shown.text;
    EXPECT_EQ(writes_to(kCard), 0u);
  }
}

// The progress bar redraws in place on a console of 80 or 120 columns, as
// on a wide one, giving up the overall share first and then the time
// elapsed and part of the bar; each stage stays on one row.
TEST_F(FlashCardTest, ProgressFitsTheConsoleWidth) {
  machine["msPerMiB"] = 25;
  struct Case {
    unsigned short columns;
    const char* shows;     // in the WRITE bar
    const char* gave_up;   // "" : nothing
  };
  for (const Case& c : {Case{200, "(overall ", ""}, Case{120, " elapsed", "(overall "}, Case{80, "MiB/s", " elapsed"}}) {
    SCOPED_TRACE(c.columns);
    // --full: a sparse write of this image is over before its first redraw.
    const Shown shown = on_terminal({sim.file("pi.img.xz"), "--disk", "2", "--yes", "--full"}, c.columns);
    ASSERT_TRUE(shown.ended) << shown.text;
    EXPECT_EQ(shown.status, 0) << shown.text;
    std::istringstream rows(shown.text);
    int write_rows = 0, redraws = 0;
    for (std::string row; std::getline(rows, row);) {
      // What follows a carriage return is a redraw (the terminal writes
      // each line feed as CR LF, which leaves an empty one).
      std::vector<std::string> drawn;
      for (std::size_t at = row.find('\r'); at != std::string::npos; at = row.find('\r', at + 1)) {
        const std::size_t end = row.find('\r', at + 1);
        drawn.push_back(row.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1));
      }
      if (row.find("  WRITE") != std::string::npos) ++write_rows;
      for (const std::string& line : drawn) {
        if (line.empty()) continue;
        EXPECT_LT(line.size(), c.columns) << line;
        if (line.find("  WRITE") == std::string::npos) continue;
        ++redraws;
        EXPECT_NE(line.find(c.shows), std::string::npos) << line;
        if (*c.gave_up != '\0') EXPECT_EQ(line.find(c.gave_up), std::string::npos) << line;
      }
    }
    EXPECT_EQ(write_rows, 1) << shown.text;
    EXPECT_GT(redraws, 1) << shown.text;
  }
}

// Progress on a paced card, written to a file: a line when each stage
// starts and one when it ends, "stopped" when its helper failed; each
// failure once, as one plain sentence, with the helper's words only with
// --verbose.
TEST_F(FlashCardTest, ProgressLinesAndFailuresInPlainWords) {
  machine["msPerMiB"] = 25;
  Outcome outcome = flash();
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const std::regex shape(R"(WRITE done: 48\.0 MiB / 48\.0 MiB  [0-9.]+ MiB/s  0:0[0-9] elapsed)");
  std::istringstream shown(outcome.out);
  int write_lines = 0, shaped = 0;
  for (std::string line; std::getline(shown, line);) {
    write_lines += line.starts_with("WRITE ");
    shaped += std::regex_match(line, shape);
  }
  EXPECT_EQ(write_lines, 2) << outcome.out;  // started, done
  EXPECT_EQ(shaped, 1) << outcome.out;
  struct Case {
    json fault;
    std::string plain;
    std::string state;
    bool verbose;
  };
  const std::vector<Case> cases{
      {{{"operation", "write"}, {"path", kCard}, {"afterBytes", 8 << 20}, {"error", 1117}},
       "flash-card: writing the card failed (The request could not be performed because of an I/O device error); "
       "the card or its reader may be failing: try another reader or another card",
       "Card state: the card was only partly written", false},
      {{{"operation", "write"}, {"path", kCard}, {"afterBytes", 8 << 20}, {"error", 1117}},
       " [write_image: WRITE_FAILED: ", "Card state: the card was only partly written", true},
      // Another program holds the card once it is prepared: this run wrote nothing.
      {{{"operation", "open"}, {"path", kCard}, {"mode", "exclusiveWrite"}, {"error", 32}},
       "flash-card: the card is busy: another program (File Explorer, an antivirus, another flash-card) holds it; "
       "close it and try again\n",
       "Card state: this run wrote nothing to the card, but another program holds it", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault.dump());
    machine["faults"] = {c.fault};
    outcome = flash(c.verbose ? std::vector<std::string>{"--verbose"} : std::vector<std::string>{});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find(c.plain), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find(c.state), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find("os error") != std::string::npos, c.verbose) << outcome.err;
    EXPECT_EQ(outcome.out.find("WRITE done"), std::string::npos) << outcome.out;
    EXPECT_EQ(outcome.out.find("flash-card:"), std::string::npos) << "told twice: " << outcome.out;
  }
}

// One image onto several cards at once: one extraction, then a chain of
// helpers per card, each proving its own card; one failing card leaves the
// others to finish, and the summary has a row per card.
TEST_F(FlashCardTest, SeveralCardsAtOnceEachWithItsOwnVerdict) {
  for (int number : {3, 4, 5}) {
    const std::string backing = "card" + std::to_string(number) + ".img";
    std::ofstream(sim.file(backing)).close();
    std::filesystem::resize_file(sim.file(backing), kCardBytes);
    json card = machine["drives"][1];
    card["number"] = number;
    card["backingFile"] = backing;
    card["serial"] = "00000099" + std::to_string(number);
    machine["drives"].push_back(card);
  }
  const std::string image = read_text(std::string(CARD_IMAGES_DIR) + "/card.img");
  const std::uint64_t boot = card_manifest()["offsets"]["bootSector"].get<std::uint64_t>();
  const auto drive = [](int number) { return "\\\\.\\PhysicalDrive" + std::to_string(number); };
  struct Case {
    std::vector<int> cards;
    int failing;  // 0: none
  };
  for (const Case& c : {Case{{2, 3}, 0}, Case{{2, 3, 4, 5}, 4}}) {
    SCOPED_TRACE(c.cards.size());
    machine["faults"] = json::array();
    if (c.failing != 0) {
      machine["faults"] = {{{"operation", "write"}, {"path", drive(c.failing)}, {"afterBytes", 8 << 20}, {"error", 1117}}};
    }
    std::vector<std::string> args{sim.file("pi.img.xz"), "--yes", "--transcript", sim.file("t.jsonl")};
    for (int card : c.cards) args.insert(args.end(), {"--disk", std::to_string(card)});
    const Outcome outcome = run(args);
    EXPECT_EQ(outcome.status, c.failing == 0 ? 0 : 1) << outcome.out << outcome.err;
    const std::vector<std::string> ran = commands();
    // Streamed: the image is checked once for every card, never extracted.
    EXPECT_EQ(std::count(ran.begin(), ran.end(), "image_uncompressed_size"), 1);
    EXPECT_EQ(std::count(ran.begin(), ran.end(), "image_extract_xz"), 0);
    EXPECT_EQ(std::count(ran.begin(), ran.end(), "write_image"), static_cast<long>(c.cards.size()));
    const std::string rows = outcome.out.substr(outcome.out.rfind("\nSummary\n"));
    for (int card : c.cards) {
      const std::string row = card == c.failing ? "  " + drive(card) + "  FAILED: writing the card failed ("
                                                : "  Card ready: " + drive(card) + "  64.0 MiB";
      EXPECT_NE(rows.find(row), std::string::npos) << rows;
      if (card == c.failing) continue;
      EXPECT_NE(outcome.out.find("[" + drive(card) + "] WRITE done"), std::string::npos) << outcome.out;
      // Up to the boot partition, the image's own bytes on every card that finished.
      const std::string written = sim.read_file(card == 2 ? "card.img" : "card" + std::to_string(card) + ".img");
      EXPECT_TRUE(written.substr(0, boot) == image.substr(0, boot)) << card;
    }
    if (c.failing != 0) {
      EXPECT_NE(outcome.err.find("[" + drive(c.failing) + "] Card state: the card was only partly written"),
                std::string::npos) << outcome.err;
      EXPECT_EQ(outcome.err.find("writing the card failed"), std::string::npos) << "told twice: " << outcome.err;
      EXPECT_EQ(outcome.out.find("[" + drive(c.failing) + "] WRITE done"), std::string::npos);
    }
  }
}

TEST_F(FlashCardTest, StopsWhenAnotherCardIsInTheReaderAtWriteTime) {
  // One open per process finds the chosen card; the write's second finds another.
  machine["faults"] = {{{"operation", "swap"}, {"path", kCard}, {"afterOpens", 1}, {"serial", "OTHER-CARD"}}};
  const Outcome outcome = flash({"--verbose"});
  EXPECT_EQ(outcome.status, 1);
  // The helper notices at its first check after the swap (the volume step).
  EXPECT_NE(outcome.err.find("flash-card: the card was removed or swapped for another"), std::string::npos) << outcome.err;
  EXPECT_NE(outcome.err.find("Target serial changed"), std::string::npos) << outcome.err;
  // The card (whichever it is now) is brought back online, and what it holds
  // is said: nothing was written, which the write's refusal before its
  // first byte proves.
  EXPECT_EQ(commands().back(), "finalize_disk");
  EXPECT_NE(outcome.err.find("Card state: the card was not written; it is as it was"), std::string::npos)
      << outcome.err;
  EXPECT_EQ(writes_to(kCard), 0u);
  EXPECT_EQ(sim.read_file("card.img"), std::string(kCardBytes, '\0'));
}

TEST_F(FlashCardTest, GoesOnWhenOnlyWindowsMountChangesDiffer) {
  // FAT entry 1 of the first FAT with its clean-shutdown bit cleared, as
  // Windows leaves it after mounting the card.
  const std::uint64_t entry1_top = card_manifest()["offsets"]["fats"][0].get<std::uint64_t>() + 7;
  machine["faults"] = {{{"operation", "corrupt"}, {"path", kCard}, {"offset", entry1_top}, {"bytesHex", "07"}}};
  const Outcome outcome = flash();
  ASSERT_EQ(outcome.status, 0) << outcome.out << outcome.err;
  EXPECT_NE(outcome.out.find("Windows' mount side effect"), std::string::npos) << outcome.out;
  // The write judged its own difference; the boot check counts every byte
  // but the FAT metadata as matched, and skips nothing.
  EXPECT_NE(outcome.out.find("passed   Byte-for-byte image verification"), std::string::npos) << outcome.out;
  EXPECT_NE(summary_value(outcome.out, "SHA-256 readback"), summary_value(outcome.out, "SHA-256 image"));
  for (const json& record : transcript()) {
    if (record["request"]["command"] != "verify_boot") continue;
    EXPECT_EQ(record["request"]["payload"]["skipChecksum"], false);
    EXPECT_EQ(record["request"]["payload"]["mountSideEffectsOnly"], true);
  }
  const std::vector<std::string> ran = commands();
  EXPECT_EQ(std::count(ran.begin(), ran.end(), "classify_mismatch"), 0);
  EXPECT_EQ(commands().back(), "detach_target");
}

TEST_F(FlashCardTest, FailsNamingTheOffsetOfRealCorruption) {
  const std::uint64_t root = card_manifest()["offsets"]["rootDirectory"].get<std::uint64_t>();
  machine["faults"] = {{{"operation", "corrupt"}, {"path", kCard}, {"offset", root}, {"bytesHex", "58"}}};
  const Outcome outcome = flash();
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.err.find("differs at byte offset " + std::to_string(root) + "."), std::string::npos) << outcome.err;
  const std::vector<std::string> ran = commands();
  EXPECT_EQ(std::vector<std::string>(ran.end() - 2, ran.end()),
            (std::vector<std::string>{"write_image", "finalize_disk"}));
  EXPECT_NE(outcome.err.find("Card state: the card was written but is not proven to hold the image"),
            std::string::npos) << outcome.err;
}

TEST_F(FlashCardTest, AHelperThatDoesNotAnswerIsAFailure) {
  const std::vector<std::pair<std::string, std::string>> helpers{
      {"exit 0", "health: the helper exited with status 0 without a response line"},
      {"echo '{\"bytesProcessed\":0'; exit 0", "health: the helper wrote a line that is not JSON: {\"bytesProcessed\":0"},
      {"echo '{\"id\":\"1\",\"ok\":true,\"payload\":{}}'; exit 3", "health: the helper exited with status 3 after its response"},
  };
  for (const auto& [body, message] : helpers) {
    sim.write_file("helper.sh", "#!/bin/sh\n" + body + "\n");
    std::filesystem::permissions(sim.file("helper.sh"), std::filesystem::perms::owner_all);
    const Outcome outcome = flash({"--helper", sim.file("helper.sh"), "--verbose"});
    EXPECT_EQ(outcome.status, 1) << body;
    EXPECT_EQ(outcome.err, "flash-card: windows_helper did not answer as it should; put flash-card and "
                           "windows_helper from one release side by side, and run with --verbose to see what it "
                           "said [" + message + "]\n");
  }
}

// A file of the card's boot partition, read by mtools from the drive's bytes.
std::string card_file(const SimDir& sim, const std::string& name) {
  const std::uint64_t boot = card_manifest()["offsets"]["bootSector"].get<std::uint64_t>();
  const std::string command = "MTOOLS_SKIP_CHECK=1 mtype -i " + quoted(sim.file("card.img") + "@@" + std::to_string(boot)) +
                              " " + quoted("::" + name) + " > " + quoted(sim.file("mtype.txt"));
  return std::system(command.c_str()) == 0 ? sim.read_file("mtype.txt") : "(no " + name + ")";
}

TEST_F(FlashCardTest, PutsFirstBootFilesAndCommandLineOptionsOnTheCard) {
  const std::string original_cmdline = card_file_of_image();
  sim.write_file("firstrun.sh", "#!/bin/bash\necho first boot \xC3\xA9\n");
  sim.write_file("ssh", "");
  // Longer than a Windows command line holds: still on standard input.
  const std::string big = std::string(40000, 'n') + "\n";
  sim.write_file("notes.txt", big);
  const Outcome outcome = flash({"--file", "firstrun.sh=" + sim.file("firstrun.sh"), "--file", "ssh=" + sim.file("ssh"),
                                 "--file", "notes.txt=" + sim.file("notes.txt"),
                                 "--cmdline-append", "quiet systemd.run=/boot/firstrun.sh"});
  ASSERT_EQ(outcome.status, 0) << outcome.out << outcome.err;
  EXPECT_NE(outcome.out.find("    firstrun.sh\n    ssh\n    notes.txt\n    cmdline.txt\n"), std::string::npos)
      << outcome.out;
  EXPECT_EQ(card_file(sim, "notes.txt"), big);
  // Every request went on the helper's standard input; no request file.
  std::size_t request_files = 0, inputs = 0;
  for (const json& event : sim.events()) {
    const std::string path = event.value("path", "");
    if (event["op"] == "open" && path.ends_with(".json")) ++request_files;
    if (event["op"] == "open" && path == "<standard input>") ++inputs;
  }
  EXPECT_EQ(request_files, 0u);
  EXPECT_EQ(inputs, commands().size());
  EXPECT_EQ(card_file(sim, "firstrun.sh"), "#!/bin/bash\necho first boot \xC3\xA9\n");
  EXPECT_EQ(card_file(sim, "ssh"), "");
  const std::string cmdline = card_file(sim, "cmdline.txt");
  EXPECT_EQ(cmdline.rfind(original_cmdline.substr(0, original_cmdline.find_last_not_of(" \r\n") + 1), 0), 0u) << cmdline;
  EXPECT_NE(cmdline.find(" quiet systemd.run=/boot/firstrun.sh"), std::string::npos) << cmdline;
  EXPECT_EQ(commands().back(), "detach_target");
  EXPECT_EQ(commands()[commands().size() - 2], "apply_customization");
}

// --reformat: the card chosen and confirmed as for a flash, then one exFAT
// volume, named as Windows shows it afterwards.
TEST_F(FlashCardTest, ReformatReturnsTheCardToOneExfatVolume) {
  EXPECT_EQ(run({"--reformat", "--disk", "E:"}).status, 2);  // no terminal to ask on, and no --yes
  const Outcome outcome = run({"--reformat", "--disk", "E:", "--yes", "--transcript", sim.file("t.jsonl")});
  ASSERT_EQ(outcome.status, 0) << outcome.out << outcome.err;
  EXPECT_EQ(commands(), (std::vector<std::string>{"health", "list_disks", "reformat_disk", "list_disks"}));
  EXPECT_NE(outcome.out.find("Card reformatted: disk 2 (\\\\.\\PhysicalDrive2  64.0 MiB  Generic STORAGE DEVICE "
                             "(usb-drive, serial 000000123)) holds D: TovrinSD (exFAT, "),
            std::string::npos)
      << outcome.out;
}

TEST_F(FlashCardTest, RefusesAFirstBootFileThatIsNotText) {
  sim.write_file("blob.bin", std::string("\xFF\xFE\x00\x01", 4));
  const Outcome outcome = flash({"--file", "blob.bin=" + sim.file("blob.bin")});
  EXPECT_EQ(outcome.status, 2);
  EXPECT_NE(outcome.err.find("is not UTF-8 text"), std::string::npos) << outcome.err;
  EXPECT_EQ(commands(), std::vector<std::string>{});  // refused before the helper was asked anything
}

}  // namespace
}  // namespace wh::testing
