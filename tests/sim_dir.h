// A throwaway simulated Windows machine for one test: a temporary directory
// with machine.json, and optionally the PowerShell stand-in or a script of
// the test's own in place of powershell.exe.
#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/sim/sim_platform.h"

namespace wh::testing {

// Memory for raw drive transfers: the simulated disk driver, like Windows',
// refuses a buffer whose address is not a multiple of the sector size (up to
// a page), so this is page-aligned.
template <typename T>
struct SectorAligned {
  using value_type = T;
  SectorAligned() = default;
  template <typename U>
  SectorAligned(const SectorAligned<U>&) {}
  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{4096})); }
  void deallocate(T* p, std::size_t) { ::operator delete(p, std::align_val_t{4096}); }
  template <typename U>
  bool operator==(const SectorAligned<U>&) const { return true; }
};
using AlignedBytes = std::vector<std::uint8_t, SectorAligned<std::uint8_t>>;

class SimDir {
 public:
  SimDir();
  ~SimDir();
  SimDir(const SimDir&) = delete;
  SimDir& operator=(const SimDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  // Writes machine.json.
  void write_machine(const nlohmann::json& machine) const;
  // Puts the project's PowerShell stand-in in place.
  void install_fake_powershell() const;
  // Puts a shell script in place of PowerShell; its arguments are those the
  // helper passes ("$6" is the script text).
  void install_powershell_script(const std::string& body) const;
  // The scripts the stand-in received, in order.
  std::vector<std::string> powershell_log() const;
  // The environment each run of the stand-in received, as an object.
  std::vector<nlohmann::json> powershell_environments() const;
  // machine.json as it is now (processes write their changes back).
  nlohmann::json machine() const;
  // events.log: what every process did to the machine, one object a line.
  std::vector<nlohmann::json> events() const;
  // A platform over this directory's machine.json.
  sim::SimPlatform platform() const;

  void write_file(const std::string& name, const std::string& bytes) const;
  std::string read_file(const std::string& name) const;

 private:
  std::string path_;
};

// The Win32 code of a 1 KiB raw write at `offset` through `drive`; 0 when it
// went through.
std::uint32_t raw_write_code(Handle& drive, std::uint64_t offset);

}  // namespace wh::testing
