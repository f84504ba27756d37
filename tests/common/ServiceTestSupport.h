// ServiceTestSupport.h - helpers for the service and daemon tests: temporary
// folders, PID list key files that clean up their segment, waiting, and
// reaping of forked processes.
#ifndef SERVICETESTSUPPORT_H
#define SERVICETESTSUPPORT_H

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "TestSupport.h"

namespace svctest {

using Clock = std::chrono::steady_clock;

inline long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Polls cond every 5 ms for at most timeoutMs; true once it holds.
inline bool WaitFor(const std::function<bool()>& cond, int timeoutMs = 5000) {
  Clock::time_point start = Clock::now();
  while (!cond()) {
    if (MsSince(start) > timeoutMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A temporary folder removed with everything in it.
using TempDir = testsupport::TempDir;

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

inline bool SegmentExists(key_t key) { return shmget(key, 0, 0) != -1; }

// Removes the segment of key, if any.
inline void RemoveSegment(key_t key) {
  const int id = shmget(key, 0, 0);
  if (id != -1) shmctl(id, IPC_RMID, nullptr);
}

// A file in a temporary folder whose ftok key (project 80) has no segment
// yet; any segment of that key is removed when the object ends. With a
// source file, the key file is a copy of it (made executable).
class KeyFile {
 public:
  explicit KeyFile(const std::string& source = std::string(), const std::string& name = "keyfile") {
    for (int i = 0; i < 20 && key_ == -1; ++i) {
      const std::string candidate = dir_.path() + "/" + name + std::to_string(i);
      std::error_code error;
      if (source.empty()) {
        std::ofstream(candidate) << "key\n";
      } else if (!std::filesystem::copy_file(source, candidate, error)) {
        return;
      }
      std::filesystem::permissions(candidate, std::filesystem::perms::owner_all, error);
      const key_t key = ftok(candidate.c_str(), 80);
      if (key != -1 && !SegmentExists(key)) {
        path_ = candidate;
        key_ = key;
      }
    }
  }
  ~KeyFile() {
    if (key_ != -1) RemoveSegment(key_);
  }
  KeyFile(const KeyFile&) = delete;
  KeyFile& operator=(const KeyFile&) = delete;

  bool ok() const { return key_ != -1; }
  const std::string& path() const { return path_; }
  key_t key() const { return key_; }
  const std::string& dir() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::string path_;
  key_t key_ = -1;
};

// Kills a process with SIGKILL (if it still exists) and reaps it when it
// is a child of this process.
inline void KillAndReap(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// Waits up to timeoutMs for the child to end; returns its wait status, or
// -1 when it did not end (it is then killed and reaped).
inline int WaitChild(pid_t pid, int timeoutMs = 5000) {
  int status = 0;
  Clock::time_point start = Clock::now();
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0) return -1;
    if (MsSince(start) > timeoutMs) {
      KillAndReap(pid);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace svctest

#endif  // SERVICETESTSUPPORT_H
