#include "platform/sim/sim_volume_paths.h"

#include <dirent.h>
#include <sys/stat.h>

#include <string_view>

#include "platform/sim/sim_errors.h"
#include "platform/unicode.h"

namespace wh::sim {
namespace {

constexpr std::string_view kVolumePrefix = "\\\\?\\volume{";

// What the file system refuses as a name.
bool forbidden_component(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return true;
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || std::string_view("<>:\"/|?*").find(c) != std::string_view::npos) {
      return true;
    }
  }
  return false;
}

// The entry of `directory` named `name` in any ASCII case: the exact name
// when it exists, else the first other spelling, else `name` itself.
std::string spelled_as_stored(const std::string& directory, const std::string& name) {
  struct stat st {};
  if (::lstat((directory + "/" + name).c_str(), &st) == 0) return name;
  DIR* listing = ::opendir(directory.c_str());
  if (listing == nullptr) return name;
  std::string found = name;
  const std::string wanted = ascii_lower(name);
  while (const dirent* entry = ::readdir(listing)) {
    if (ascii_lower(entry->d_name) == wanted) {
      found = entry->d_name;
      break;
    }
  }
  ::closedir(listing);
  return found;
}

}  // namespace

std::optional<OsError> invalid_name(const std::string& path) {
  if (path.find('\0') != std::string::npos) return win32_error(kErrorInvalidName);
  return std::nullopt;
}

OsResult<MappedPath> map_path(const SimMachine& machine, const std::string& path) {
  if (auto error = invalid_name(path)) return Err(*error);
  const std::string lower = ascii_lower(path);
  if (!lower.starts_with(kVolumePrefix)) return MappedPath{path, nullptr};
  const SimVolume* volume = nullptr;
  for (const SimVolume& v : machine.volumes) {
    if (lower.starts_with(ascii_lower(v.name))) volume = &v;  // the name ends in a backslash
  }
  if (volume == nullptr || !volume_present(machine, *volume) || volume->directory.empty()) {
    return Err(win32_error(kErrorPathNotFound));
  }
  std::string host = volume->directory;
  const std::string rest = path.substr(volume->name.size());
  if (rest.empty()) return MappedPath{host, volume};
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(rest.find('\\', start), rest.size());
    const std::string component = rest.substr(start, end - start);
    if (forbidden_component(component)) return Err(win32_error(kErrorInvalidName));
    host += "/" + spelled_as_stored(host, component);
    // Never through a link: it could lead anywhere on the host.
    struct stat st {};
    if (::lstat(host.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return Err(win32_error(kErrorAccessDenied));
    if (end == rest.size()) break;
    start = end + 1;
  }
  return MappedPath{host, volume};
}

}  // namespace wh::sim
