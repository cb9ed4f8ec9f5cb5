// Loaded into flash-card with LD_PRELOAD by flash_card_test: holds up the
// start of the helper whose request (its second argument) holds
// SPAWN_PAUSE_COMMAND, after creating the file SPAWN_PAUSE_MARK, for two
// seconds or until a signal comes. A Ctrl+C typed then meets flash-card
// between its last look at the interruptions and the helper's start.
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

extern "C" int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                           const posix_spawnattr_t* attributes, char* const argv[], char* const envp[]) {
  using Spawn = int (*)(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*,
                        char* const[], char* const[]);
  static const auto next = reinterpret_cast<Spawn>(::dlsym(RTLD_NEXT, "posix_spawn"));
  const char* command = std::getenv("SPAWN_PAUSE_COMMAND");
  const char* mark = std::getenv("SPAWN_PAUSE_MARK");
  if (command != nullptr && mark != nullptr && argv[0] != nullptr && argv[1] != nullptr && argv[2] != nullptr &&
      std::strstr(argv[2], command) != nullptr) {
    ::close(::open(mark, O_CREAT | O_WRONLY, 0600));
    ::sleep(2);  // cut short by the signal's handler
  }
  return next(pid, path, actions, attributes, argv, envp);
}
