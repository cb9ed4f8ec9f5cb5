// Loaded into flash-card with LD_PRELOAD by flash_card_test: holds up the
// SPAWN_PAUSE_AT-th helper start (counting from 1; the request goes on the
// child's standard input, so the start itself cannot tell which step it is),
// after creating the file SPAWN_PAUSE_MARK, for two seconds or until a
// signal comes. A Ctrl+C typed then meets flash-card
// between its last look at the interruptions and the helper's start.
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cstdlib>

extern "C" int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                           const posix_spawnattr_t* attributes, char* const argv[], char* const envp[]) {
  using Spawn = int (*)(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*,
                        char* const[], char* const[]);
  static const auto next = reinterpret_cast<Spawn>(::dlsym(RTLD_NEXT, "posix_spawn"));
  static int started = 0;
  const char* at = std::getenv("SPAWN_PAUSE_AT");
  const char* mark = std::getenv("SPAWN_PAUSE_MARK");
  if (at != nullptr && mark != nullptr && ++started == std::atoi(at)) {
    ::close(::open(mark, O_CREAT | O_WRONLY, 0600));
    ::sleep(2);  // cut short by the signal's handler
  }
  return next(pid, path, actions, attributes, argv, envp);
}
