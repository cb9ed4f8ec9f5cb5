#include "disk_format.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

extern char** environ;

namespace wh::tools {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kSector = 512;

// Closes a descriptor when it goes out of scope.
struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

bool write_all(int fd, const void* data, std::size_t size, std::uint64_t offset) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, bytes, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

void put_u32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t random_u32() {
  static std::random_device device;
  return device();
}

// Runs mkfs.exfat, quietly; its exit status, or -1 when it cannot start.
int run_mkfs(const std::string& file, const std::string& label) {
  std::string program = "mkfs.exfat";
  for (const char* known : {"/usr/sbin/mkfs.exfat", "/sbin/mkfs.exfat"}) {
    if (::access(known, X_OK) == 0) program = known;
  }
  std::vector<std::string> arguments = {program};
  if (!label.empty()) arguments.insert(arguments.end(), {"-L", label});
  arguments.push_back(file);
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Copies `length` bytes of `from` to `to` at `offset`: only the data
// `from` holds where the target range could be made zeroes cheaply, all of
// it otherwise.
bool copy_into(int from, int to, std::uint64_t offset, std::uint64_t length) {
  const bool zeroed = ::fallocate(to, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                                  static_cast<off_t>(length)) == 0;
  std::vector<char> buffer(kMiB);
  off_t at = 0;
  const auto end = static_cast<off_t>(length);
  while (at < end) {
    off_t data = at;
    off_t hole = end;
    if (zeroed) {
      data = ::lseek(from, at, SEEK_DATA);
      if (data < 0) break;  // only a hole is left
      hole = std::min<off_t>(::lseek(from, data, SEEK_HOLE), end);
    }
    for (off_t pos = data; pos < hole;) {
      const auto chunk = static_cast<std::size_t>(std::min<off_t>(hole - pos, static_cast<off_t>(buffer.size())));
      const ssize_t n = ::pread(from, buffer.data(), chunk, pos);
      if (n <= 0) return false;
      if (!write_all(to, buffer.data(), static_cast<std::size_t>(n), offset + static_cast<std::uint64_t>(pos))) {
        return false;
      }
      pos += n;
    }
    at = hole;
  }
  return true;
}

}  // namespace

std::optional<std::string> clear_disk(const sim::SimDrive& drive) {
  Fd fd{::open(drive.backing_file.c_str(), O_WRONLY | O_CLOEXEC)};
  if (fd.fd < 0) return std::string("The device is not ready.");
  const std::vector<char> zeros(static_cast<std::size_t>(std::min(kMiB, sim::drive_length(drive))), 0);
  if (!write_all(fd.fd, zeros.data(), zeros.size(), 0)) return std::string("The request could not be performed because of an I/O device error.");
  return std::nullopt;
}

Result<PartitionRange, std::string> write_single_partition_mbr(const sim::SimDrive& drive) {
  const std::uint64_t sectors = sim::drive_length(drive) / kSector;
  const std::uint64_t first = kMiB / kSector;
  if (sectors < first * 2) return Err(std::string("Not enough available capacity"));
  const std::uint64_t count = std::min<std::uint64_t>(sectors - first, 0xFFFFFFFFu);
  std::array<std::uint8_t, kSector> mbr{};
  put_u32(&mbr[440], random_u32() | 1);  // the disk signature, never 0
  std::uint8_t* entry = &mbr[446];
  // CHS fields say "beyond CHS": the LBA fields count.
  const std::uint8_t chs[] = {0xFE, 0xFF, 0xFF};
  std::memcpy(entry + 1, chs, 3);
  entry[4] = 0x07;
  std::memcpy(entry + 5, chs, 3);
  put_u32(entry + 8, static_cast<std::uint32_t>(first));
  put_u32(entry + 12, static_cast<std::uint32_t>(count));
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  Fd fd{::open(drive.backing_file.c_str(), O_WRONLY | O_CLOEXEC)};
  if (fd.fd < 0 || !write_all(fd.fd, mbr.data(), mbr.size(), 0)) {
    return Err(std::string("The request could not be performed because of an I/O device error."));
  }
  return PartitionRange{first * kSector, count * kSector};
}

bool exfat_label_fits(const std::string& label) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < label.size(); ++i) {
    const auto byte = static_cast<unsigned char>(label[i]);
    if ((byte & 0xC0) == 0x80) continue;  // continuation bytes add nothing
    units += byte >= 0xF0 ? 2 : 1;        // four-byte sequences are surrogate pairs
  }
  return units <= 11;
}

std::optional<std::string> format_exfat(const sim::SimDrive& drive, const PartitionRange& partition,
                                        const std::string& label) {
  std::string name = (std::filesystem::temp_directory_path() / "wh-exfat-XXXXXX").string();
  Fd scratch{::mkstemp(name.data())};
  if (scratch.fd < 0) return std::string("Cannot create a scratch file for the format.");
  struct Remove {
    std::string path;
    ~Remove() { ::unlink(path.c_str()); }
  } remove{name};
  if (::ftruncate(scratch.fd, static_cast<off_t>(partition.length)) != 0) {
    return std::string("There is not enough space on the disk.");
  }
  const int status = run_mkfs(name, label);
  if (status != 0) return "mkfs.exfat failed with status " + std::to_string(status) + ".";
  Fd target{::open(drive.backing_file.c_str(), O_WRONLY | O_CLOEXEC)};
  if (target.fd < 0 || !copy_into(scratch.fd, target.fd, partition.offset, partition.length)) {
    return std::string("The request could not be performed because of an I/O device error.");
  }
  return std::nullopt;
}

}  // namespace wh::tools
