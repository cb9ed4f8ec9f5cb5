#include "platform/sim/sim_volume_files.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/sim/sim_events.h"
#include "platform/sim/sim_file_system.h"

namespace wh::sim {
namespace {

namespace fs = std::filesystem;

// Where the volume's file system lies: its drive and byte offset.
struct Place {
  const SimDrive* drive = nullptr;
  std::uint64_t offset = 0;
};

Place place_of(const SimMachine& machine, const SimVolume& volume) {
  if (volume.extents.empty()) return {};
  return {find_drive(machine, volume.extents.front().disk), volume.extents.front().starting_offset};
}

// Regular files and directories only: a symbolic link is never followed.
fs::file_type kind(const fs::path& path) {
  std::error_code ignored;
  const fs::file_type type = fs::symlink_status(path, ignored).type();
  return type == fs::file_type::regular || type == fs::file_type::directory ? type : fs::file_type::none;
}

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::size_t count_files(const fs::path& directory) {
  std::size_t files = 0;
  std::error_code ignored;
  for (auto it = fs::recursive_directory_iterator(directory, ignored); it != fs::recursive_directory_iterator();
       it.increment(ignored)) {
    if (it->is_regular_file(ignored)) ++files;
  }
  return files;
}

Result<void, std::string> empty_directory(const fs::path& directory) {
  std::error_code error;
  fs::create_directories(directory, error);
  if (error) return Err("cannot create " + directory.string() + ": " + error.message());
  for (auto it = fs::directory_iterator(directory, error); !error && it != fs::directory_iterator();
       it.increment(error)) {
    fs::remove_all(it->path(), error);  // a link is removed, not followed
    if (error) break;
  }
  if (error) return Err("cannot empty " + directory.string() + ": " + error.message());
  return {};
}

// Makes the file system at `image` hold what `host` holds, `snapshot` being
// what it holds now; `relative` is the directory being compared ("" for the
// root).
class WriteBack {
 public:
  WriteBack(std::string image, fs::path host, fs::path snapshot)
      : image_(std::move(image)), host_(std::move(host)), snapshot_(std::move(snapshot)) {}

  Result<void, std::string> sync(const std::string& relative) {
    std::error_code error;
    // What is gone, or changed between file and directory, goes first.
    for (auto it = fs::directory_iterator(snapshot_ / relative, error); !error && it != fs::directory_iterator();
         it.increment(error)) {
      const std::string name = relative + it->path().filename().string();
      const fs::file_type was = kind(it->path());
      if (kind(host_ / name) == was) continue;
      auto removed = run({was == fs::file_type::directory ? "mdeltree" : "mdel", "-i", image_, "::/" + name});
      if (!removed) return removed;
      ++deleted;
    }
    if (error) return Err("cannot list " + (snapshot_ / relative).string() + ": " + error.message());
    for (auto it = fs::directory_iterator(host_ / relative, error); !error && it != fs::directory_iterator();
         it.increment(error)) {
      const std::string name = relative + it->path().filename().string();
      const fs::file_type now = kind(it->path());
      const fs::file_type was = kind(snapshot_ / name);
      if (now == fs::file_type::directory) {
        if (was != now) {
          if (auto made = run({"mmd", "-i", image_, "::/" + name}); !made) return made;
          fs::create_directory(snapshot_ / name, error);
        }
        if (auto inner = sync(name + "/"); !inner) return inner;
      } else if (now == fs::file_type::regular &&
                 (was != now || contents(it->path()) != contents(snapshot_ / name))) {
        if (auto done = run({"mcopy", "-o", "-i", image_, it->path().string(), "::/" + name}); !done) return done;
        ++copied;
      }
    }
    if (error) return Err("cannot list " + (host_ / relative).string() + ": " + error.message());
    return {};
  }

  std::size_t copied = 0;
  std::size_t deleted = 0;

 private:
  static Result<void, std::string> run(const std::vector<std::string>& arguments) { return run_mtools(arguments); }

  std::string image_;
  fs::path host_;
  fs::path snapshot_;
};

}  // namespace

std::string default_volume_directory(const SimMachine& machine, const SimVolume& volume) {
  const std::size_t open = volume.name.find('{');
  const std::size_t close = volume.name.find('}');
  const std::string guid = open != std::string::npos && close != std::string::npos && close > open
                               ? volume.name.substr(open + 1, close - open - 1)
                               : "volume";
  return machine.directory + "/volumes/" + guid;
}

Result<void, std::string> load_volume_files(const SimMachine& machine, SimVolume& volume) {
  const Place place = place_of(machine, volume);
  if (place.drive == nullptr) return {};
  const FileSystemName found = identify_file_system(*place.drive, place.offset);
  volume.file_system = found.name;
  volume.serial_number = found.serial_number;
  // exFAT and NTFS keep their labels where this does not read: as they were.
  if (is_fat(found.name) || found.name == "RAW") volume.label = found.label;
  volume.files_loaded = false;
  if (machine.directory.empty()) return {};
  nlohmann::json event = {{"op", "volumeFilesLoaded"}, {"volume", volume.name}, {"disk", place.drive->number},
                          {"fileSystem", found.name}};
  Result<void, std::string> result;
  const bool fresh = volume.directory.empty();
  if (fresh) volume.directory = default_volume_directory(machine, volume);
  if (is_fat(found.name)) {
    result = empty_directory(volume.directory);
    if (result) {
      result = run_mtools({"mcopy", "-s", "-p", "-n", "-i", mtools_image(*place.drive, place.offset), "::/",
                           volume.directory + "/"});
    }
    volume.files_loaded = static_cast<bool>(result);
  } else if (fresh) {
    result = empty_directory(volume.directory);
  }
  if (result) event["files"] = count_files(volume.directory);
  else event["error"] = result.error();
  append_event(machine.directory, std::move(event));
  return result;
}

Result<void, std::string> save_volume_files(const SimMachine& machine, SimVolume& volume) {
  const Place place = place_of(machine, volume);
  if (!volume.files_loaded || volume.directory.empty() || place.drive == nullptr) return {};
  volume.files_loaded = false;
  nlohmann::json event = {{"op", "volumeFilesSaved"}, {"volume", volume.name}, {"disk", place.drive->number}};
  Result<void, std::string> result;
  std::string snapshot = (fs::temp_directory_path() / "wh-volume-XXXXXX").string();
  if (!is_fat(identify_file_system(*place.drive, place.offset).name)) {
    result = Err(std::string("the partition no longer holds a FAT file system"));
  } else if (::mkdtemp(snapshot.data()) == nullptr) {
    result = Err("cannot create " + snapshot);
  } else {
    const std::string image = mtools_image(*place.drive, place.offset);
    result = run_mtools({"mcopy", "-s", "-p", "-n", "-i", image, "::/", snapshot + "/"});
    WriteBack write_back(image, volume.directory, snapshot);
    if (result) result = write_back.sync("");
    event["copied"] = write_back.copied;
    event["deleted"] = write_back.deleted;
    std::error_code ignored;
    fs::remove_all(snapshot, ignored);
  }
  if (!result) event["error"] = result.error();
  append_event(machine.directory, std::move(event));
  return result;
}

}  // namespace wh::sim
