#include "platform/sim/sim_file_system.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

extern char** environ;

namespace wh::sim {
namespace {

std::uint16_t u16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(u16(p)) | static_cast<std::uint32_t>(u16(p + 2)) << 16;
}

// The variables mtools reads, set for every run: no check of the boot
// sector's geometry against a floppy's, no configuration file, and UTF-8
// long names.
std::vector<std::string> mtools_environment() {
  static constexpr std::string_view kOwn[] = {"MTOOLS_SKIP_CHECK=1", "MTOOLSRC=/dev/null", "LC_ALL=C.UTF-8"};
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text = *entry;
    bool replaced = false;
    for (std::string_view own : kOwn) replaced = replaced || text.starts_with(own.substr(0, own.find('=') + 1));
    if (!replaced) variables.emplace_back(text);
  }
  for (std::string_view own : kOwn) variables.emplace_back(own);
  return variables;
}

std::string fat_label(const std::uint8_t* field) {
  std::string label(reinterpret_cast<const char*>(field), 11);
  label.erase(label.find_last_not_of(' ') + 1);
  return label == "NO NAME" ? std::string() : label;
}

}  // namespace

FileSystemName identify_file_system(const SimDrive& drive, std::uint64_t offset) {
  std::array<std::uint8_t, 512> boot{};
  const int fd = ::open(drive.backing_file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {"RAW", 0};
  const ssize_t got = ::pread(fd, boot.data(), boot.size(), static_cast<off_t>(offset));
  ::close(fd);
  if (got != static_cast<ssize_t>(boot.size())) return {"RAW", 0};
  const std::string_view oem(reinterpret_cast<const char*>(&boot[3]), 8);
  if (oem == "EXFAT   ") return {"exFAT", u32(&boot[100])};
  if (oem == "NTFS    ") return {"NTFS", u32(&boot[72])};
  const std::uint16_t sector = u16(&boot[11]);
  const bool fat = boot[510] == 0x55 && boot[511] == 0xAA && sector >= 512 && sector <= 4096 &&
                   (sector & (sector - 1)) == 0 && boot[13] != 0 && u16(&boot[14]) != 0 && boot[16] != 0;
  if (!fat) return {"RAW", 0};
  if (u16(&boot[22]) == 0) return {"FAT32", u32(&boot[67]), fat_label(&boot[71])};
  return {"FAT", u32(&boot[39]), fat_label(&boot[43])};
}

std::string mtools_image(const SimDrive& drive, std::uint64_t offset) {
  return drive.backing_file + "@@" + std::to_string(offset);
}

Result<void, std::string> run_mtools(const std::vector<std::string>& arguments) {
  std::vector<std::string> owned = arguments;
  std::vector<char*> argv;
  for (std::string& argument : owned) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<std::string> variables = mtools_environment();
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return Err(std::string("pipe: ") + std::strerror(errno));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, argv[0], &actions, /*attrp=*/nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (spawned != 0) {
    ::close(fds[0]);
    return Err(arguments[0] + ": " + std::strerror(spawned));
  }
  std::string errors;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n > 0) errors.append(buffer, static_cast<std::size_t>(n));
    else if (n == 0 || errno != EINTR) break;
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
  while (!errors.empty() && (errors.back() == '\n' || errors.back() == '\r')) errors.pop_back();
  const std::string how = WIFEXITED(status) ? "exit code " + std::to_string(WEXITSTATUS(status))
                                            : "signal " + std::to_string(WTERMSIG(status));
  return Err(arguments[0] + " failed (" + how + ")" + (errors.empty() ? "" : ": " + errors));
}

}  // namespace wh::sim
