// Writes that are doomed or unsafe stop before the card is touched. A laptop
// whose Windows lives on an eMMC disk (drive 0, on the MMC bus like a card)
// and a card in drive 2: for each case, the answer, and what reached the
// drives, told by the event log and the backing files.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <map>

#include <gtest/gtest.h>

#include "flash_fixture.h"
#include "xz_samples.h"

namespace wh {
namespace {

using nlohmann::json;
using testing::FlashMachine;
using testing::kMiB;
using testing::pattern_bytes;

const std::string kSystem = "\\\\.\\PhysicalDrive0";
const std::string kCard = "\\\\.\\PhysicalDrive2";
const std::string kWindowsVolume = "\\\\?\\Volume{0c0c0c0c-0000-0000-0000-000000000001}\\";
const std::string kCardVolume = "\\\\?\\Volume{e2e2e2e2-0000-0000-0000-000000000002}\\";
constexpr std::uint64_t kSystemSize = 2 * kMiB;

struct Laptop {
  Laptop() {
    card.sim.write_file("system.img", system_bytes);
    card.machine["drives"].push_back({{"number", 0}, {"backingFile", "system.img"}, {"serial", "EMMC-0"},
                                      {"busType", 13}, {"removableMedia", false}, {"isSystem", true},
                                      {"isBoot", true}});
    card.machine["volumes"] = {
        {{"name", kWindowsVolume}, {"letters", {"C"}}, {"fileSystem", "NTFS"},
         {"extents", {{{"disk", 0}, {"startingOffset", kMiB}, {"length", kMiB}}}}},
        {{"name", kCardVolume}, {"letters", {"E"}},
         {"extents", {{{"disk", 2}, {"startingOffset", 4 * kMiB}, {"length", 8 * kMiB}}}}}};
  }

  // The payload naming the Windows disk, with its true identity.
  static json windows_disk(json more = json::object()) {
    more["osDevicePath"] = kSystem;
    more["expectedIdentity"] = {{"physicalDriveNumber", kSystem}, {"sizeBytes", kSystemSize}, {"serial", "EMMC-0"}};
    return more;
  }

  std::vector<json> events_named(std::initializer_list<const char*> ops) const {
    std::vector<json> found;
    for (const json& event : card.sim.events()) {
      for (const char* op : ops) {
        if (event["op"] == op) found.push_back(event);
      }
    }
    return found;
  }

  const std::string system_bytes = pattern_bytes(kSystemSize, 7);
  FlashMachine card;
};

const std::string kElevation =
    "Windows denied exclusive raw disk access. Run Tovrin Zarerud as administrator, close File Explorer windows for "
    "this target, unplug and reconnect it, then try again.";

// Stands for the test's own image path in a table's payloads.
const std::string kImage = "<image>";

// Files that are no sound disk image, for the refusals below.
std::string tar_header() {
  std::string header(1024, '\0');
  header.replace(0, 6, "pi.img");
  header.replace(257, 6, std::string("ustar\0", 6));
  return header;
}
std::string with_method(std::string zip, std::uint16_t method) {
  const auto put = [&](std::size_t at) {
    zip[at] = static_cast<char>(method & 0xFF);
    zip[at + 1] = static_cast<char>(method >> 8);
  };
  put(8);                                                  // local header
  put(zip.find(std::string("PK\x01\x02", 4)) + 10);      // central directory
  return zip;
}

TEST(RefuseBeforeErasing, DoomedAndUnsafeRequestsAreRefusedBeforeAnyDiskIsTouched) {
  const Laptop model;
  const FlashMachine& card = model.card;
  const std::string& image = kImage;
  const std::string blank_card(card.card_size, '\0');
  const std::map<std::string, std::string> steps = {
      {"write_image", "raw write volume lock"}, {"prepare_disk", "preparation"},
      {"reformat_disk", "reformat"},            {"apply_customization", "customization"},
      {"finalize_disk", "finalization"},        {"detach_target", "detachment"},
      {"verify_hash", "hash verification"}};
  const struct {
    const char* name;
    std::string image_bytes;
    std::function<void(json& machine)> arrange;
    std::vector<std::string> commands;
    json payload;
    std::string code;
    std::string message;  // "{step}" stands for the command's step name
    bool empty_image = false;  // the image file holds no bytes at all
  } cases[] = {
      {"an image larger than the card", testing::disk_image(std::string(card.card_size + kMiB, 'x')), [](json&) {}, {"write_image"},
       card.target({{"imagePath", image}}), "WRITE_FAILED",
       "The image does not fit the target disk: writing it takes 17825792 bytes and the disk holds 16777216 bytes; "
       "nothing was written."},
      {"an image one byte too long, counted in whole sectors", testing::disk_image(std::string(card.card_size + 1, 'x')), [](json&) {},
       {"write_image"}, card.target({{"imagePath", image}}), "WRITE_FAILED",
       "The image does not fit the target disk: writing it takes 16777728 bytes and the disk holds 16777216 bytes; "
       "nothing was written."},
      {"the Windows disk on the MMC bus, named by every command that changes a disk", "", [](json&) {},
       {"write_image", "prepare_disk", "reformat_disk", "apply_customization", "finalize_disk", "detach_target",
        "verify_hash"},
       Laptop::windows_disk({{"imagePath", image}, {"bytesTotal", 512}}), "DEVICE_NOT_REMOVABLE",
       "The target is the disk Windows runs from; {step} was not started."},
      {"Windows installed on the card's volume",
       "", [](json& m) { m["windowsDirectory"] = "e:\\Windows"; }, {"write_image", "prepare_disk"},
       card.target({{"imagePath", image}}), "DEVICE_NOT_REMOVABLE",
       "The target is the disk Windows runs from; {step} was not started."},
      {"a volume spanning the card and the Windows disk", "",
       [](json& m) {
         m["volumes"][1]["extents"].push_back({{"disk", 0}, {"startingOffset", 0}, {"length", kMiB}});
       },
       {"write_image"}, card.target({{"imagePath", image}}), "UNMOUNT_FAILED",
       "Volume " + kCardVolume +
           " lies on the target and on another disk, so it cannot be taken out of use; no volume was locked and "
           "nothing was written."},
      {"classify_mismatch reading the Windows disk as its image", "", [](json&) {}, {"classify_mismatch"},
       card.target({{"imagePath", kSystem}, {"bytesTotal", 4096}}), "IMAGE_MISSING",
       "Image path names a device or volume, not a file: " + kSystem},
      {"a serial that is a number", "", [](json&) {}, {"write_image"},
       [&] {
         json payload = card.target({{"imagePath", image}});
         payload["expectedIdentity"]["serial"] = 2;
         return payload;
       }(),
       "DEVICE_NOT_REMOVABLE", "Expected target serial is invalid; {step} was not started."},
      // Images that are empty, no disk image, or cut short; sizes that are
      // declared before the data. Each refused before the card is touched.
      {"an empty image", "", [](json&) {}, {"write_image"}, card.target({{"imagePath", image}}), "XZ_INVALID",
       "The image is empty: it holds no bytes; nothing was written.", true},
      {"an empty gzip image, streamed", testing::gzip_member(""), [](json&) {}, {"write_image"},
       card.target({{"imagePath", image}, {"decompress", true}}), "XZ_INVALID",
       "The image is empty: the gzip file decodes to no bytes; nothing was written."},
      {"an empty xz image, streamed", testing::xz_single_block(""), [](json&) {}, {"write_image"},
       card.target({{"imagePath", image}, {"decompress", true}}), "XZ_INVALID",
       "The image is empty: the xz file decodes to no bytes; nothing was written."},
      {"an HTML page saved as the image", "<!DOCTYPE html><html><body>Not found</body></html>\n" + std::string(600, ' '),
       [](json&) {}, {"write_image"}, card.target({{"imagePath", image}, {"decompress", true}}), "XZ_INVALID",
       "Not a disk image: its first sector has no boot signature (55 AA) and it holds no ISO 9660 volume descriptor "
       "(a web page or another file saved under an image's name?); nothing was written."},
      {"an lz4 file", std::string("\x04\x22\x4D\x18\x64\x40\xA7", 7) + std::string(600, 'z'), [](json&) {},
       {"write_image"}, card.target({{"imagePath", image}, {"decompress", true}}), "XZ_INVALID",
       "Unsupported image format: lz4 file; nothing was written."},
      {"an LZMA-alone file", std::string("\x5D\x00\x00\x80\x00", 5) + std::string(8, '\xFF') + std::string(600, 'z'),
       [](json&) {}, {"write_image"}, card.target({{"imagePath", image}}), "XZ_INVALID",
       "Unsupported image format: LZMA-alone file (.lzma); nothing was written."},
      {"a .Z file", std::string("\x1F\x9D\x90", 3) + std::string(600, 'z'), [](json&) {}, {"write_image"},
       card.target({{"imagePath", image}, {"decompress", true}}), "XZ_INVALID",
       "Unsupported image format: compress file (.Z); nothing was written."},
      {"a tar archive", tar_header(), [](json&) {}, {"write_image"}, card.target({{"imagePath", image}}),
       "XZ_INVALID", "Unsupported image format: tar archive; nothing was written."},
      {"an .xz.gz", testing::gzip_member(testing::xz_single_block(pattern_bytes(kMiB))), [](json&) {},
       {"write_image"}, card.target({{"imagePath", image}, {"decompress", true}}), "XZ_INVALID",
       "Not a disk image: the gzip file holds an xz file (compressed twice?); nothing was written."},
      {"a tar inside .xz", testing::xz_single_block(tar_header()), [](json&) {}, {"write_image"},
       card.target({{"imagePath", image}, {"decompress", true}}), "XZ_INVALID",
       "Not a disk image: the xz file holds a tar archive, not a disk image; nothing was written."},
      {"an .xz written without decompress", testing::xz_single_block(pattern_bytes(kMiB)), [](json&) {},
       {"write_image"}, card.target({{"imagePath", image}}), "XZ_INVALID",
       "Not a disk image: the image is an xz file; write it with decompress, or extract it first; nothing was "
       "written."},
      {"a raw image cut short", testing::disk_image(pattern_bytes(kMiB), 3 * kMiB), [](json&) {}, {"write_image"},
       card.target({{"imagePath", image}}), "XZ_INVALID",
       "The image is cut short: its partition table says partition 1 ends at byte 3145728, but the image ends at "
       "byte 1048576 (a download that did not finish, or a damaged copy); nothing was written."},
      {"an .xz cut short, told by its index", testing::xz_single_block(testing::disk_image(pattern_bytes(kMiB), 3 * kMiB)),
       [](json&) {}, {"write_image"}, card.target({{"imagePath", image}, {"decompress", true}}), "XZ_INVALID",
       "The image is cut short: its partition table says partition 1 ends at byte 3145728, but the image ends at "
       "byte 1048576 (a download that did not finish, or a damaged copy); nothing was written."},
      {"a .gz cut short, told by bytesTotal", testing::gzip_member(testing::disk_image(pattern_bytes(kMiB), 3 * kMiB)),
       [](json&) {}, {"write_image"}, card.target({{"imagePath", image}, {"decompress", true}, {"bytesTotal", kMiB}}),
       "XZ_INVALID",
       "The image is cut short: its partition table says partition 1 ends at byte 3145728, but the image ends at "
       "byte 1048576 (a download that did not finish, or a damaged copy); nothing was written."},
      {"an .xz download cut short, its index gone",
       [] {
         const std::string xz = testing::xz_single_block(testing::varied_bytes(2 * kMiB));
         return xz.substr(0, xz.size() / 2);
       }(),
       [](json&) {}, {"write_image"}, card.target({{"imagePath", image}, {"decompress", true}}), "XZ_INVALID",
       "xz error: the file's index cannot be read from its end: the file is cut short or damaged; nothing was "
       "written."},
      {"a zip whose central directory declares more than the card",
       testing::zip_archive({{"pi.img", testing::disk_image(std::string(card.card_size + kMiB, '\x11'))}}),
       [](json&) {}, {"write_image"}, card.target({{"imagePath", image}, {"decompress", true}}), "WRITE_FAILED",
       "The image does not fit the target disk: writing it takes 17825792 bytes and the disk holds 16777216 bytes; "
       "nothing was written."},
      {"an .xz whose index declares more than the card",
       testing::xz_single_block(testing::disk_image(std::string(card.card_size + kMiB, '\x11'))), [](json&) {},
       {"write_image"}, card.target({{"imagePath", image}, {"decompress", true}}), "WRITE_FAILED",
       "The image does not fit the target disk: writing it takes 17825792 bytes and the disk holds 16777216 bytes; "
       "nothing was written."},
      {"a zip of two files", testing::zip_archive({{"a.img", pattern_bytes(kMiB)}, {"b.img", pattern_bytes(kMiB)}}),
       [](json&) {}, {"write_image"}, card.target({{"imagePath", image}, {"decompress", true}}), "XZ_INVALID",
       "Unsupported image format: a zip archive of 2 files (an image archive holds exactly one); nothing was "
       "written."},
      {"an encrypted zip", testing::zip_archive({{"pi.img", pattern_bytes(kMiB)}}, false, "secret"), [](json&) {},
       {"write_image"}, card.target({{"imagePath", image}, {"decompress", true}}), "XZ_INVALID",
       "Unsupported image format: an encrypted zip archive; nothing was written."},
      {"a zip of another method", with_method(testing::zip_archive({{"pi.img", pattern_bytes(kMiB)}}, true), 12),
       [](json&) {}, {"write_image"}, card.target({{"imagePath", image}, {"decompress", true}}), "XZ_INVALID",
       "Unsupported image format: a zip archive compressed with method 12 (only stored and deflated images); "
       "nothing was written."},
      {"a 7z archive", std::string("7z\xBC\xAF\x27\x1C", 6) + pattern_bytes(kMiB), [](json&) {}, {"write_image"},
       card.target({{"imagePath", image}, {"decompress", true}}), "XZ_INVALID",
       "Unsupported image format: 7z archive; nothing was written."},
      // Not elevated: Windows refuses the query of its own disk, and the
      // query of the target; both are the elevation refusal.
      {"a helper that is not elevated", "", [](json& m) { m["elevated"] = false; },
       {"write_image", "prepare_disk", "reformat_disk", "apply_customization", "finalize_disk", "detach_target",
        "verify_hash"},
       card.target({{"imagePath", image}, {"bytesTotal", 512}}), "ELEVATION_DENIED", kElevation},
      {"a helper that is not elevated, Windows' own volume unlisted", "",
       [](json& m) {
         m["elevated"] = false;
         m["volumes"].erase(0);
       },
       {"write_image", "verify_hash"}, card.target({{"imagePath", image}, {"bytesTotal", 512}}), "ELEVATION_DENIED",
       kElevation},
      {"a volume label holding NUL", "", [](json&) {}, {"reformat_disk"},
       card.target({{"volumeLabel", std::string("CARD\0; Clear-Disk 0", 19)}}), "UNKNOWN",
       "Invalid volumeLabel payload field: it holds a control character; reformat was not started."},
  };
  for (const auto& c : cases) {
    for (const std::string& command : c.commands) {
      SCOPED_TRACE(std::string(c.name) + ", " + command);
      Laptop fresh;
      fresh.card.sim.write_file("image.img",
                                c.image_bytes.empty() && !c.empty_image ? pattern_bytes(kMiB) : c.image_bytes);
      c.arrange(fresh.card.machine);
      json payload = c.payload;
      if (payload.contains("imagePath") && payload["imagePath"] == image) {
        payload["imagePath"] = fresh.card.sim.file("image.img");
      }
      const json response = fresh.card.response(command, payload);
      std::string message = c.message;
      if (const auto at = message.find("{step}"); at != std::string::npos) message.replace(at, 6, steps.at(command));
      EXPECT_EQ(response, (json{{"id", "w1"}, {"ok", false}, {"errorCode", c.code}, {"errorMessage", message}}));
      EXPECT_EQ(fresh.events_named({"write", "lock", "dismount"}), std::vector<json>{});
      for (const json& event : fresh.card.sim.events()) {
        EXPECT_FALSE(event["op"] == "open" && event["path"] == kSystem && event["mode"] != "query") << event;
      }
      EXPECT_TRUE(fresh.card.sim.read_file("system.img") == fresh.system_bytes);
      EXPECT_TRUE(fresh.card.sim.read_file("card.img") == blank_card);
    }
  }
}

// The disk driver takes whole sectors only: the last one goes out padded
// with zeros, while the count, the digests and the readback are the image's.
TEST(RefuseBeforeErasing, AnImageEndingInsideASectorIsWrittenWhole) {
  const std::uint64_t card_size = FlashMachine().card_size;
  const struct {
    std::uint64_t image_size;
    json bytes_total;  // null: absent
    std::uint64_t written;
    std::uint64_t last_write;  // bytes of the last drive write
  } cases[] = {
      {kMiB + 100, nullptr, kMiB + 100, kMiB + 512},
      {5 * kMiB + 1, nullptr, 5 * kMiB + 1, kMiB + 512},
      {kMiB, kMiB - 1000, kMiB - 1000, kMiB - 512},
      {card_size - 511, nullptr, card_size - 511, 4 * kMiB},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image_size);
    Laptop fresh;
    fresh.card.sim.write_file("card.img", std::string(card_size, '\x5a'));
    const std::string image = pattern_bytes(c.image_size, 3);
    fresh.card.sim.write_file("image.img", image);
    json more = {{"imagePath", fresh.card.sim.file("image.img")}};
    if (!c.bytes_total.is_null()) more["bytesTotal"] = c.bytes_total;
    const json response = fresh.card.response("write_image", fresh.card.target(more));
    ASSERT_EQ(response["ok"], true) << response.dump();
    const json& payload = response["payload"];
    const std::string written = image.substr(0, c.written);
    EXPECT_EQ(payload["bytesWritten"], c.written);
    EXPECT_EQ(payload["sourceSha256"], testing::sha256_hex(written));
    EXPECT_EQ(payload["observedSha256"], payload["sourceSha256"]);
    EXPECT_EQ(payload["verifyAttempts"], 1);
    const std::string on_card = fresh.card.sim.read_file("card.img");
    const std::uint64_t padded = (c.written + 511) / 512 * 512;
    EXPECT_TRUE(on_card.substr(0, c.written) == written);
    EXPECT_EQ(on_card.substr(c.written, padded - c.written), std::string(padded - c.written, '\0'));
    EXPECT_EQ(on_card.substr(padded, 1), padded < card_size ? "\x5a" : "");
    std::vector<json> writes;
    for (const json& event : fresh.card.sim.events()) {
      if (event["op"] == "write" && event["path"] == kCard) writes.push_back(event);
    }
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back()["bytes"], c.last_write);
  }
}

// A desktop app that stops reading mid-flash: the helper's progress lines
// meet a closed pipe, yet the write, the flush and the readback all happen.
TEST(RefuseBeforeErasing, AReaderThatGoesAwayNeverCutsAWriteShort) {
  Laptop laptop;
  FlashMachine& card = laptop.card;
  const std::string image = pattern_bytes(12 * kMiB, 5);
  card.sim.write_file("image.img", image);
  card.machine["msPerMiB"] = 200;  // a WRITE line every 4 MiB chunk or so
  card.sim.write_machine(card.machine);
  const json request = {{"id", "w1"}, {"sessionId", "s1"}, {"command", "write_image"},
                        {"payload", card.target({{"imagePath", card.sim.file("image.img")}})}};
  const std::string text = request.dump();
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  ::close(out[0]);  // nobody will ever read
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::setenv("WINDOWS_HELPER_SIM_DIR", card.sim.path().c_str(), 1);
    ::signal(SIGPIPE, SIG_DFL);  // as a freshly started process has it
    ::execl(WINDOWS_HELPER_BINARY, WINDOWS_HELPER_BINARY, "--request", text.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(out[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(card.sim.read_file("card.img").substr(0, image.size()) == image);
  std::size_t flushes = 0, readbacks = 0;
  for (const json& event : card.sim.events()) {
    if (event["op"] == "flush" && event["path"] == kCard) ++flushes;
    if (event["op"] == "open" && event["path"] == kCard && event["mode"] == "exclusiveRead") ++readbacks;
  }
  EXPECT_EQ(flushes, 1u);
  EXPECT_EQ(readbacks, 1u);
}

}  // namespace
}  // namespace wh
