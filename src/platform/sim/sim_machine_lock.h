// One change of machine.json at a time, across processes. Each process reads
// the machine when it starts and keeps its own copy; a change written back
// from that copy would undo whatever other processes changed in between (a
// volume another helper mounted, the drive letter it was given). A change is
// therefore made under one lock shared by every process of the machine, on
// the file as it is then: read, change, write back, unlock.
#pragma once

#include <string>

namespace wh::sim {

// Holds `<directory>/machine.lock` exclusively (an open-file-description
// lock, so it conflicts with every other holder, of this process or
// another, and goes with the process if it dies), waiting for it. Without a
// directory it holds nothing. Never nest two in one process: the second
// would wait for the first forever.
class MachineLock {
 public:
  explicit MachineLock(const std::string& directory);
  ~MachineLock();
  MachineLock(const MachineLock&) = delete;
  MachineLock& operator=(const MachineLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace wh::sim
