// main's view of the simulated Windows: the machine named by
// WINDOWS_HELPER_SIM_DIR, or an empty machine without it.
#include <csignal>
#include <cstdlib>

#include "platform/entry.h"
#include "platform/sim/sim_platform.h"
#include "platform/sim/sim_machine_file.h"

namespace wh {

Result<std::unique_ptr<Platform>, std::string> make_platform() {
  const char* directory = std::getenv("WINDOWS_HELPER_SIM_DIR");
  if (directory == nullptr || *directory == '\0') {
    return std::unique_ptr<Platform>(std::make_unique<sim::SimPlatform>(sim::SimMachine{}));
  }
  auto machine = sim::load_machine(directory);
  if (!machine) return Err(machine.error());
  return std::unique_ptr<Platform>(std::make_unique<sim::SimPlatform>(std::move(machine).value()));
}

std::vector<std::string> command_line_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

// Host standard output has no text mode to leave. A write to a pipe whose
// reader has gone raises SIGPIPE, which would end the helper in the middle of
// a disk write; ignored, the write just fails (EPIPE) and the command goes on.
void prepare_process() { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace wh
