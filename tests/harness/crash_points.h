// Crash tests: the tool killed at its N-th call of a system call, with
// strace's fault injection (strace -e inject=SYSCALL:signal=KILL:when=N).
// Only the tool's main thread is traced: every file the baseline consists of
// is written there, so the kill points are the same on every run, and the
// programs it starts are not killed (their deaths are not what is tested).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "sandbox.h"

namespace crash {

// The system calls that create, change, flush, rename and remove files.
extern const std::vector<std::string> kFileCalls;

// False, with the reason, when strace or its fault injection is missing.
bool can_inject(std::string* reason);

struct KillPoint {
  std::string call;
  int number;  // 1-based count of `call` in the tool's main thread
};

// Every point at which a run of the tool with `args`, from the current
// state, can be killed: each call of `calls` after the first openat of a
// file under /boot (what comes before touches no file of the baseline),
// openat itself only where it opens a file under /boot or /etc, and of a
// run of progress lines written to standard output only the first.
// The run is a whole one; its result goes to `whole_run`.
std::vector<KillPoint> kill_points(const std::vector<std::string>& args, const std::vector<std::string>& calls,
                                   sandbox::RunResult* whole_run);

// Runs the tool with `args`, killed at `point` (status 137 when it was).
sandbox::RunResult run_killed(const KillPoint& point, const std::vector<std::string>& args);

// The tool's own files at the top of /boot, to put back between runs.
class BootFiles {
 public:
  static BootFiles take();
  // Removes every other dot file of the tool there and writes these back.
  void restore() const;

 private:
  std::map<std::string, std::string> files_;
};

}  // namespace crash
