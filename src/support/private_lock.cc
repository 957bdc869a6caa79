#include "support/private_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/unique_fd.h"

namespace {

std::string mode_text(mode_t mode) {
  char text[8];
  snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Why `info` of `path` is not a private `kind` of root's, or "".
std::string not_private(const struct stat& info, const std::string& path, bool directory, mode_t forbidden) {
  if (directory ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode))
    return path + (directory ? " is not a directory" : " is not a regular file");
  if (info.st_uid != 0) return path + " is not owned by root (owner " + std::to_string(info.st_uid) + ")";
  if ((info.st_mode & forbidden) != 0)
    return path + " is open to other users (mode " + mode_text(info.st_mode) + "); remove it";
  return "";
}

}  // namespace

int open_private_lock(const char* path, std::string* why_not) {
  const std::string name = path;
  const std::string base = name.substr(name.rfind('/') + 1);
  if (mkdir(kLockDirectory, 0700) != 0 && errno != EEXIST) {
    *why_not = std::string("cannot make ") + kLockDirectory + ": " + strerror(errno);
    return -1;
  }
  UniqueFd directory(open(kLockDirectory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (directory.get() < 0 || fstat(directory.get(), &info) != 0) {
    *why_not = std::string("cannot open ") + kLockDirectory + ": " +
               (errno == ELOOP || errno == ENOTDIR ? "not a directory (a link?)" : strerror(errno));
    return -1;
  }
  // Others may not make or swap names in it.
  if (std::string why = not_private(info, kLockDirectory, true, S_IWGRP | S_IWOTH); !why.empty()) {
    *why_not = why;
    return -1;
  }
  int descriptor = openat(directory.get(), base.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (descriptor < 0 || fstat(descriptor, &info) != 0) {
    *why_not = "cannot open " + name + ": " + (errno == ELOOP ? "it is a symbolic link" : strerror(errno));
    if (descriptor >= 0) close(descriptor);
    return -1;
  }
  // Whoever can open the file can hold the lock: no one but root.
  if (std::string why = not_private(info, name, false, S_IRWXG | S_IRWXO); !why.empty()) {
    *why_not = why;
    close(descriptor);
    return -1;
  }
  return descriptor;
}

std::string lock_holders(int descriptor) {
  struct stat info {};
  if (fstat(descriptor, &info) != 0) return "";
  std::ifstream locks("/proc/locks");
  std::string holders;
  for (std::string line; std::getline(locks, line);) {
    // "1: FLOCK  ADVISORY  WRITE 1234 fd:01:567 0 EOF"; a waiter's line holds "->".
    if (line.find("->") != std::string::npos) continue;
    std::istringstream fields(line);
    std::string number, kind, advisory, access, pid, file;
    if (!(fields >> number >> kind >> advisory >> access >> pid >> file)) continue;
    unsigned device_major = 0, device_minor = 0;
    unsigned long inode = 0;
    if (sscanf(file.c_str(), "%x:%x:%lu", &device_major, &device_minor, &inode) != 3) continue;
    if (device_major != major(info.st_dev) || device_minor != minor(info.st_dev) || inode != info.st_ino) continue;
    if (pid.empty() || pid == "0" || pid == "-1") continue;
    std::string command;
    std::ifstream comm("/proc/" + pid + "/comm");
    std::getline(comm, command);
    std::string holder = "process " + pid + (command.empty() ? "" : " (" + command + ")");
    if (holders.find(holder) == std::string::npos) holders += (holders.empty() ? "" : ", ") + holder;
  }
  return holders;
}

bool take_lock_within(int descriptor, int operation, int seconds, bool* busy, std::string* why_not) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  auto pause = std::chrono::milliseconds(1);
  *busy = false;
  for (;;) {
    if (flock(descriptor, operation | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      *why_not = std::string("cannot lock: ") + strerror(errno);
      return false;
    }
    if (Clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - Clock::now()));
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
  *busy = true;
  std::string holders = lock_holders(descriptor);
  *why_not = "held by " + (holders.empty() ? std::string("another process") : holders) + " for more than " +
             std::to_string(seconds) + " seconds";
  return false;
}
