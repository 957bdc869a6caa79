#include "crash_points.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

namespace crash {
namespace fs = std::filesystem;

const std::vector<std::string> kFileCalls = {"openat", "write", "fsync", "rename", "unlink"};

namespace {

constexpr const char* kStrace = "/usr/bin/strace";

bool is_tool_file(const std::string& name) { return name.rfind(".vemo", 0) == 0; }

}  // namespace

bool can_inject(std::string* reason) {
  if (access(kStrace, X_OK) != 0) {
    *reason = "strace is not installed (scripts/deps installs it)";
    return false;
  }
  auto probe = sandbox::run(kStrace, {"-qq", "-o", "/dev/null", "-e", "trace=openat", "-e",
                                      "inject=openat:signal=KILL:when=1", "/bin/true"},
                            "/usr/bin:/bin");
  if (probe.status != 137) {
    *reason = "strace cannot inject faults here: " + probe.err;
    return false;
  }
  return true;
}

std::vector<KillPoint> kill_points(const std::vector<std::string>& args, const std::vector<std::string>& calls,
                                   sandbox::RunResult* whole_run) {
  std::string trace = sandbox::scratch_dir() + "/kill-points.trace";
  std::string traced;
  for (const auto& call : calls) traced += (traced.empty() ? "" : ",") + call;
  std::vector<std::string> strace_args = {"-qq", "-o", trace, "-e", "trace=" + traced, ZOVEMO_BINARY};
  strace_args.insert(strace_args.end(), args.begin(), args.end());
  *whole_run = sandbox::run(kStrace, strace_args, sandbox::FakeTools::instance().path_variable());

  std::map<std::string, int> seen;
  bool reached_boot = false;
  bool last_was_progress = false;
  std::vector<KillPoint> points;
  std::istringstream lines(sandbox::read_file(trace));
  for (std::string line; std::getline(lines, line);) {
    std::string call = line.substr(0, line.find('('));
    if (std::find(calls.begin(), calls.end(), call) == calls.end()) continue;  // signals, exits
    int number = ++seen[call];
    // Opening a library or a device is not a point of interest; opening a
    // file of the baseline, the tool log or a measured file is.
    bool names_ours = line.find("\"/boot") != std::string::npos || line.find("\"/etc/") != std::string::npos;
    reached_boot = reached_boot || (call == "openat" && line.find("\"/boot") != std::string::npos);
    // Progress lines follow each other while files are measured; a kill at
    // the first of them stands for the rest.
    bool progress_line = line.rfind("write(1,", 0) == 0;
    bool more_progress = progress_line && last_was_progress;
    last_was_progress = progress_line;
    if (reached_boot && (call != "openat" || names_ours) && !more_progress) points.push_back({call, number});
  }
  fs::remove(trace);
  return points;
}

sandbox::RunResult run_killed(const KillPoint& point, const std::vector<std::string>& args) {
  std::vector<std::string> strace_args = {"-qq",
                                          "-o",
                                          "/dev/null",
                                          "-e",
                                          "trace=" + point.call,
                                          "-e",
                                          "inject=" + point.call + ":signal=KILL:when=" + std::to_string(point.number),
                                          ZOVEMO_BINARY};
  strace_args.insert(strace_args.end(), args.begin(), args.end());
  return sandbox::run(kStrace, strace_args, sandbox::FakeTools::instance().path_variable());
}

BootFiles BootFiles::take() {
  BootFiles files;
  for (const auto& entry : fs::directory_iterator("/boot")) {
    std::string name = entry.path().filename();
    if (is_tool_file(name) && entry.is_regular_file()) files.files_[name] = sandbox::read_file(entry.path());
  }
  return files;
}

void BootFiles::restore() const {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator("/boot")) {
    if (is_tool_file(entry.path().filename())) fs::remove(entry.path(), ignored);
  }
  for (const auto& [name, content] : files_) sandbox::write_file("/boot/" + name, content);
}

}  // namespace crash
