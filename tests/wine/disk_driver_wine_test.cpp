// The real windows_helper.exe writing and reading cards as Windows code:
// \\.\PhysicalDriveN reaches the stand-in disk driver (disk_driver/whdisk.c),
// loaded as a kernel service of this Wine session, and the disk commands
// answer the table the Linux build answers on the simulated Windows, leaving
// the same bytes on the cards.
#include <windows.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "../disk_cases.h"
#include "../xz_samples.h"
#include "platform/aligned_buffer.h"
#include "platform/win32/win32_support.h"
#include "wine_support.h"

namespace wh::wine {
namespace {

using nlohmann::json;
using win32::to_wide;

constexpr const wchar_t* kService = L"whdisk";
constexpr const wchar_t* kServiceKey = L"System\\CurrentControlSet\\Services\\whdisk";

std::string backing_file(const json& disk) { return scratch("disk" + disk["number"].dump() + ".img"); }

std::string last_error_text(const char* what) {
  return std::string(what) + " failed with " + std::to_string(::GetLastError());
}

// Closes a service-manager handle on every path.
struct ServiceHandle {
  SC_HANDLE handle;
  ~ServiceHandle() {
    if (handle != nullptr) ::CloseServiceHandle(handle);
  }
};

void set_text(HKEY key, const wchar_t* name, const std::string& text) {
  const std::wstring wide = to_wide(text);
  ::RegSetValueExW(key, name, /*Reserved=*/0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                   static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
}

void set_value(HKEY key, const wchar_t* name, DWORD type, const void* data, std::size_t size) {
  ::RegSetValueExW(key, name, /*Reserved=*/0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size));
}

void set_number(HKEY key, const wchar_t* name, DWORD value) { set_value(key, name, REG_DWORD, &value, sizeof value); }

std::string from_hex(const std::string& hex) {
  std::string bytes;
  for (std::size_t at = 0; at + 1 < hex.size(); at += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16));
  }
  return bytes;
}

// A fresh subkey of the service key: Disks\N or Volumes\K.
std::optional<HKEY> create_key(const std::wstring& group, std::size_t number) {
  HKEY key;
  const std::wstring name = std::wstring(kServiceKey) + L"\\" + group + L"\\" + std::to_wstring(number);
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, name.c_str(), /*Reserved=*/0, /*lpClass=*/nullptr, /*dwOptions=*/0,
                        KEY_WRITE, /*lpSecurityAttributes=*/nullptr, &key,
                        /*lpdwDisposition=*/nullptr) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return key;
}

// The driver's configuration: a subkey of the service key per disk and per volume.
std::string configure_driver(const testing::DiskTable& table) {
  for (const wchar_t* group : {L"Disks", L"Volumes"}) {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kServiceKey) + L"\\" + group).c_str());
  }
  for (const json& disk : table.disks) {
    const std::string copy = backing_file(disk);
    // A disk without an image starts empty: its backing file has no bytes.
    // A name is one of the card images; a Windows path is any file.
    if (!disk.contains("image")) {
      write_file(copy, "");
    } else if (const std::string named = disk["image"].get<std::string>(),
               image = named.find(':') != std::string::npos ? named : windows_path(CARD_IMAGES_DIR) + "\\" + named;
               !::CopyFileW(to_wide(image).c_str(), to_wide(copy).c_str(), /*bFailIfExists=*/FALSE)) {
      return last_error_text("CopyFileW");
    }
    const std::optional<HKEY> made = create_key(L"Disks", disk["number"]);
    if (!made) return "cannot create the driver's key for disk " + disk["number"].dump();
    const HKEY key = *made;
    set_text(key, L"BackingFile", "\\??\\" + copy);
    // As long as its image, as the simulated drive without a sizeBytes.
    WIN32_FILE_ATTRIBUTE_DATA copied{};
    ::GetFileAttributesExW(to_wide(copy).c_str(), GetFileExInfoStandard, &copied);
    const ULONGLONG length = disk.value("sizeBytes", (ULONGLONG{copied.nFileSizeHigh} << 32) | copied.nFileSizeLow);
    set_value(key, L"Length", REG_QWORD, &length, sizeof length);
    set_text(key, L"Vendor", disk["vendor"]);
    set_text(key, L"Product", disk["product"]);
    set_text(key, L"Serial", disk["serial"]);
    set_number(key, L"BusType", disk["busType"]);
    set_number(key, L"Removable", disk["removableMedia"].get<bool>() ? 1 : 0);
    set_number(key, L"ReadOnly", disk.value("readOnly", false) ? 1 : 0);
    set_number(key, L"LogicalSectorBytes", disk.value("logicalSectorBytes", 512));
    if (disk.contains("corrupt")) {
      const ULONGLONG offset = disk["corrupt"]["offset"];
      set_value(key, L"CorruptOffset", REG_QWORD, &offset, sizeof offset);
      const std::string bytes = from_hex(disk["corrupt"]["bytesHex"]);
      set_value(key, L"CorruptBytes", REG_BINARY, bytes.data(), bytes.size());
    }
    ::RegCloseKey(key);
  }
  for (std::size_t index = 0; index < table.volumes.size(); ++index) {
    const json& volume = table.volumes[index];
    const std::optional<HKEY> key = create_key(L"Volumes", index);
    if (!key) return "cannot create the driver's key for volume " + std::to_string(index);
    // "\\?\Volume{GUID}\" is linked as \??\Volume{GUID}.
    const std::string name = volume["name"];
    set_text(*key, L"Name", name.substr(4, name.size() - 5));
    set_number(*key, L"Disk", volume["disk"]);
    const ULONGLONG offset = volume["startingOffset"], length = volume["length"];
    set_value(*key, L"Offset", REG_QWORD, &offset, sizeof offset);
    set_value(*key, L"Length", REG_QWORD, &length, sizeof length);
    ::RegCloseKey(*key);
  }
  return "";
}

// Waits for the service to reach `state`, for up to ten seconds.
bool reaches(SC_HANDLE service, DWORD state) {
  for (int tries = 0; tries < 100; ++tries) {
    SERVICE_STATUS status{};
    if (::QueryServiceStatus(service, &status) && status.dwCurrentState == state) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// Installs the driver as a demand-start kernel service, or finds it
// installed and stops it, so that its next start reads the disks' keys afresh.
std::string install_driver() {
  ServiceHandle manager{::OpenSCManagerW(/*lpMachineName=*/nullptr, /*lpDatabaseName=*/nullptr, SC_MANAGER_ALL_ACCESS)};
  if (manager.handle == nullptr) return last_error_text("OpenSCManagerW");
  const std::wstring image = to_wide(windows_path(DISK_DRIVER_SYS));
  ServiceHandle service{::CreateServiceW(manager.handle, kService, kService, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                         SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(),
                                         /*lpLoadOrderGroup=*/nullptr, /*lpdwTagId=*/nullptr,
                                         /*lpDependencies=*/nullptr, /*lpServiceStartName=*/nullptr,
                                         /*lpPassword=*/nullptr)};
  if (service.handle == nullptr && ::GetLastError() == ERROR_SERVICE_EXISTS) {
    service.handle = ::OpenServiceW(manager.handle, kService, SERVICE_ALL_ACCESS);
  }
  if (service.handle == nullptr) return last_error_text("CreateServiceW");
  SERVICE_STATUS status{};
  if (::ControlService(service.handle, SERVICE_CONTROL_STOP, &status) && !reaches(service.handle, SERVICE_STOPPED)) {
    return "the driver did not stop";
  }
  return "";
}

std::string run_driver(const testing::DiskTable& table) {
  // The service key must exist before its Disks subkeys are written.
  if (std::string installed = install_driver(); !installed.empty()) return installed;
  if (std::string configured = configure_driver(table); !configured.empty()) return configured;
  ServiceHandle manager{::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
  ServiceHandle service{::OpenServiceW(manager.handle, kService, SERVICE_ALL_ACCESS)};
  if (service.handle == nullptr) return last_error_text("OpenServiceW");
  if (!::StartServiceW(service.handle, /*dwNumServiceArgs=*/0, /*lpServiceArgVectors=*/nullptr)) {
    return last_error_text("StartServiceW");
  }
  if (!reaches(service.handle, SERVICE_RUNNING)) return "the driver did not start";
  return "";
}

void stop_driver() {
  ServiceHandle manager{::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
  ServiceHandle service{::OpenServiceW(manager.handle, kService, SERVICE_ALL_ACCESS)};
  SERVICE_STATUS status{};
  if (service.handle != nullptr && ::ControlService(service.handle, SERVICE_CONTROL_STOP, &status)) {
    reaches(service.handle, SERVICE_STOPPED);
  }
}

// Wine's message table words some codes differently; the table holds
// Windows' words, which the simulated Windows gives too.
std::string in_windows_words(std::string line) {
  static const std::pair<std::string_view, std::string_view> kWineWords[] = {
      {"Sector not found. (os error 27)", "The drive cannot find the sector requested. (os error 27)"}};
  for (const auto& [wine, windows] : kWineWords) {
    if (const std::size_t at = line.find(wine); at != std::string::npos) line.replace(at, wine.size(), windows);
  }
  return line;
}

std::string last_line(const ProcessOutput& output) {
  std::string text = output.standard_output;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const std::size_t start = text.find_last_of('\n');
  return start == std::string::npos ? text : text.substr(start + 1);
}

TEST(DiskDriver, TheRealProgramAnswersTheTableThroughTheDriver) {
  const testing::DiskTable table = testing::load_disk_table(DISK_CASES_PATH);
  const std::string started = run_driver(table);
  ASSERT_EQ(started, "");
  for (const testing::DiskCase& c : table.cases) {
    SCOPED_TRACE(c.name);
    HandlePtr held;
    if (c.hold_exclusive) {
      auto opened = platform().open_drive_exclusive_read(c.request["payload"]["osDevicePath"]);
      ASSERT_TRUE(opened.ok()) << opened.error().text();
      held = std::move(opened).value();
    }
    const ProcessOutput output = run_helper({"--request", testing::request_text(c, windows_path(CARD_IMAGES_DIR))});
    EXPECT_EQ(testing::comparable_answer(in_windows_words(last_line(output))), c.answer)
        << output.standard_output << output.standard_error;
  }
  for (const std::string& failure : testing::run_volume_steps(platform(), table, /*wine=*/true)) ADD_FAILURE() << failure;
  stop_driver();  // closes the backing files
  for (const auto& [disk, image] : table.final_images) {
    EXPECT_TRUE(read_file(scratch("disk" + std::to_string(disk) + ".img")) ==
                read_file(windows_path(CARD_IMAGES_DIR) + "\\" + image))
        << "disk " << disk << " should hold " << image;
  }
}

// The sparse proof's FAT + ext4 image through the driver, from the prepared
// image onto random bytes and streamed from .zst onto 0xFF: the card must
// end up as its old bytes with exactly the write map's extents of the image
// over them, the bytes the Linux proof checked with fsck and file by file.
TEST(DiskDriver, SparseWritesLeaveTheMapsExtentsOverTheOldBytes) {
  const std::string images = windows_path(SPARSE_CARDS_DIR);
  const std::string image = read_file(images + "\\fat-ext4.img");
  ASSERT_FALSE(image.empty());
  const std::uint64_t size = image.size() + 8 * 1024 * 1024;
  for (const bool streamed : {false, true}) {
    SCOPED_TRACE(streamed ? "streamed onto 0xFF" : "prepared onto random bytes");
    std::string old(size, '\xFF');
    if (!streamed) {
      std::uint32_t state = 7;
      for (char& byte : old) byte = static_cast<char>((state = state * 1664525u + 1013904223u) >> 24);
    }
    const std::string card = scratch("sparse-card.img");
    write_file(card, old);
    testing::DiskTable table;
    table.disks = json::array({{{"number", 3}, {"image", card}, {"vendor", "Generic"}, {"product", "SD"},
                                {"serial", "SPARSE-3"}, {"busType", 12}, {"removableMedia", true}}});
    table.volumes = json::array();
    ASSERT_EQ(run_driver(table), "");
    json payload = {{"osDevicePath", "\\\\.\\PhysicalDrive3"},
                    {"expectedIdentity", {{"physicalDriveNumber", "\\\\.\\PhysicalDrive3"}, {"sizeBytes", size}, {"serial", "SPARSE-3"}}},
                    {"imagePath", images + "\\fat-ext4.img"},
                    {"sparse", true}};
    if (streamed) {
      const json measure = {{"id", "m"}, {"sessionId", "s"}, {"command", "image_uncompressed_size"},
                            {"payload", {{"imagePath", images + "\\fat-ext4.img.zst"}, {"anyFormat", true}, {"sparse", true}}}};
      const json measured = json::parse(last_line(run_helper({"--request", measure.dump()})));
      ASSERT_EQ(measured["ok"], true) << measured.dump();
      payload["imagePath"] = images + "\\fat-ext4.img.zst";
      payload["decompress"] = true;
      payload["writeMap"] = measured["payload"]["writeMap"];
    }
    const json request = {{"id", "w"}, {"sessionId", "s"}, {"command", "write_image"}, {"payload", payload}};
    const json answer = json::parse(last_line(run_helper({"--request", request.dump()})));
    stop_driver();
    ASSERT_EQ(answer["ok"], true) << answer.dump();
    EXPECT_EQ(answer["payload"]["observedSha256"], answer["payload"]["writtenSha256"]);
    EXPECT_GT(answer["payload"]["bytesSkipped"].get<std::uint64_t>(), 0u);
    std::string expected = old;
    for (const json& extent : answer["payload"]["writeMap"]["extents"]) {
      const std::uint64_t at = extent[0], length = extent[1];
      expected.replace(at, length, image, at, length);
    }
    EXPECT_TRUE(read_file(scratch("disk3.img")) == expected);  // the driver's copy of the card
  }
}

// The raw path past 4 GiB, where an OVERLAPPED's OffsetHigh is no longer 0:
// a disk of 4 GiB and 64 MiB whose backing file starts empty (the driver
// keeps it sparse). The Win32 handle the program is built on writes 1 MiB
// and a bit at 4 GiB, the real program's read_sectors finds its last bytes
// there, and so does a plain read of the backing file. The real program's
// own write past 4 GiB is the sparse one below.
TEST(DiskDriver, WritesAndReadsBackAboveFourGiB) {
  constexpr std::uint64_t kMiB = 1 << 20, kGiB = kMiB << 10;
  const std::string tail = testing::varied_bytes(kMiB + 1000, 11);
  testing::DiskTable table;
  table.disks = json::array({{{"number", 7}, {"sizeBytes", 4 * kGiB + 64 * kMiB}, {"vendor", "Generic"},
                              {"product", "USB3.0 DISK"}, {"serial", "000000477"}, {"busType", 7},
                              {"removableMedia", true}}});
  table.volumes = json::array();
  ASSERT_EQ(run_driver(table), "");
  {
    auto drive = platform().open_drive_exclusive_write("\\\\.\\PhysicalDrive7");
    ASSERT_TRUE(drive.ok()) << drive.error().text();
    AlignedBuffer data(kMiB + 1024);
    std::memset(data.data(), 0, data.size());
    std::memcpy(data.data(), tail.data(), tail.size());
    ASSERT_TRUE((*drive)->seek(4 * kGiB).ok());
    auto put = (*drive)->write(data.span());
    ASSERT_TRUE(put.ok()) << put.error().text();
    EXPECT_EQ(*put, data.size());
    ASSERT_TRUE((*drive)->flush().ok());
  }
  const json request{{"id", "big"},
                     {"sessionId", "s"},
                     {"command", "read_sectors"},
                     {"payload",
                      {{"osDevicePath", "\\\\.\\PhysicalDrive7"},
                       {"expectedIdentity", {{"physicalDriveNumber", "\\\\.\\PhysicalDrive7"},
                                             {"sizeBytes", 4 * kGiB + 64 * kMiB},
                                             {"serial", "000000477"}}},
                       {"startLba", (4 * kGiB + kMiB) / 512},
                       {"sectorCount", 2}}}};
  const json sectors = json::parse(last_line(run_helper({"--request", request.dump()})));
  // Byte 4 GiB + 1 MiB on: the tail's last 1000 bytes, then zeros.
  std::string expected;
  for (const char c : tail.substr(kMiB) + std::string(24, '\0')) {
    static const char kHex[] = "0123456789abcdef";
    expected += kHex[static_cast<unsigned char>(c) >> 4];
    expected += kHex[static_cast<unsigned char>(c) & 15];
  }
  EXPECT_EQ(sectors["payload"]["dataHex"], expected) << sectors.dump();
  stop_driver();

  // The backing file holds the tail at 4 GiB, and only holes before it.
  auto backing = platform().open_file_read(scratch("disk7.img"));
  ASSERT_TRUE(backing.ok()) << backing.error().text();
  auto stored_bytes = (*backing)->file_size();
  ASSERT_TRUE(stored_bytes.ok()) << stored_bytes.error().text();
  EXPECT_EQ(*stored_bytes, 4 * kGiB + kMiB + 1024);
  std::string stored(tail.size(), '\0');
  ASSERT_TRUE((*backing)->seek(4 * kGiB).ok());
  auto got = (*backing)->read(std::span(reinterpret_cast<std::uint8_t*>(stored.data()), stored.size()));
  ASSERT_TRUE(got.ok()) << got.error().text();
  EXPECT_EQ(*got, tail.size());
  EXPECT_TRUE(stored == tail);
  backing->reset();
  ::DeleteFileW(to_wide(scratch("disk7.img")).c_str());
}

// The real program's write_image past 4 GiB: a sparse write of an image
// whose FAT16 partition lies at 4 GiB, behind an empty FAT32 of 4 GiB it
// skips, so that only the extents cross Wine's device calls. The card keeps
// exactly the map's extents of the image, above 4 GiB too, and the write's
// own readback read them there.
TEST(DiskDriver, TheRealProgramWritesSparselyAboveFourGiB) {
  constexpr std::uint64_t kMiB = 1 << 20, kGiB = kMiB << 10, kDisk = 4 * kGiB + 64 * kMiB;
  const std::string image = windows_path(SPARSE_CARDS_DIR) + "\\above-4gib.img";
  testing::DiskTable table;
  table.disks = json::array({{{"number", 8}, {"sizeBytes", kDisk}, {"vendor", "Generic"}, {"product", "USB3.0 DISK"},
                              {"serial", "000000488"}, {"busType", 7}, {"removableMedia", true}}});
  table.volumes = json::array();
  ASSERT_EQ(run_driver(table), "");
  const json request = {{"id", "w"}, {"sessionId", "s"}, {"command", "write_image"},
                        {"payload", {{"osDevicePath", "\\\\.\\PhysicalDrive8"},
                                     {"expectedIdentity", {{"physicalDriveNumber", "\\\\.\\PhysicalDrive8"},
                                                           {"sizeBytes", kDisk}, {"serial", "000000488"}}},
                                     {"imagePath", image}, {"sparse", true}}}};
  const json answer = json::parse(last_line(run_helper({"--request", request.dump()})));
  stop_driver();
  ASSERT_EQ(answer["ok"], true) << answer.dump();
  const json& written = answer["payload"];
  EXPECT_EQ(written["observedSha256"], written["writtenSha256"]);
  EXPECT_EQ(written["verifiedBytes"], written["bytesWritten"]);
  EXPECT_GT(written["bytesSkipped"].get<std::uint64_t>(), 4 * kGiB - 64 * kMiB);
  const json& last = written["writeMap"]["extents"].back();
  ASSERT_GT(last[0].get<std::uint64_t>() + last[1].get<std::uint64_t>(), 4 * kGiB + kMiB) << written.dump();

  auto source = platform().open_file_read(image);
  auto card = platform().open_file_read(scratch("disk8.img"));
  ASSERT_TRUE(source.ok() && card.ok());
  for (const json& extent : written["writeMap"]["extents"]) {
    const std::uint64_t at = extent[0], length = extent[1];
    std::string expected(length, '\0'), got(length, '\0');
    for (auto [handle, bytes] : {std::pair{source->get(), &expected}, std::pair{card->get(), &got}}) {
      ASSERT_TRUE(handle->seek(at).ok());
      auto read = handle->read(std::span(reinterpret_cast<std::uint8_t*>(bytes->data()), length));
      ASSERT_TRUE(read.ok() && *read == length) << extent.dump();
    }
    EXPECT_TRUE(got == expected) << "the card differs from the image in extent " << extent.dump();
  }
}

}  // namespace
}  // namespace wh::wine
