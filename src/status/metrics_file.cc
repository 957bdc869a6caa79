#include "status/metrics_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>

#include "status/finding_kinds.h"
#include "support/durable_file.h"
#include "support/private_lock.h"
#include "support/unique_fd.h"

namespace {

// node_exporter reads the file as another user.
constexpr mode_t kReadableByAll = 0644;

// Text exposition format for node_exporter's textfile collector.
class Metrics {
 public:
  void gauge(const char* name, const char* help, double value, const std::string& labels = "") {
    if (name != last_) {
      text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n";
      last_ = name;
    }
    char number[64];
    snprintf(number, sizeof number, "%.17g", value);
    text_ += std::string(name) + (labels.empty() ? "" : "{" + labels + "}") + " " + number + "\n";
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
  std::string last_;
};

}  // namespace

std::string prometheus_text(const drift::Report& report) {
  Metrics metrics;
  bool made = report.verdict() != drift::Verdict::kUnknown;
  metrics.gauge("zovemo_check_success", "Whether the last check could be made whole (1) or not (0).", made);
  metrics.gauge("zovemo_check_status", "Verdict of the last check: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.",
                report.exit_status());
  metrics.gauge("zovemo_check_duration_seconds", "How long the last check took.", report.check_seconds);
  metrics.gauge("zovemo_check_timestamp_seconds", "When the last check began, in seconds since the epoch.",
                static_cast<double>(report.checked_at));
  if (report.outcome == drift::Outcome::kFailed) return metrics.text();
  metrics.gauge("zovemo_baseline_entries", "Entries of the baseline.", static_cast<double>(report.entries));
  for (auto kind : drift::kDriftKinds)
    metrics.gauge("zovemo_drift_findings", "Drift findings of the last check, by kind.",
                  static_cast<double>(report.count(kind)), std::string("kind=\"") + drift::kind_name(kind) + "\"");
  metrics.gauge("zovemo_unchecked_findings", "Things the last check could not examine.",
                static_cast<double>(report.unchecked_count()));
  metrics.gauge("zovemo_next_boot_will_stop", "Whether the next boot will be arrested by the drift found.",
                report.next_boot_stops());
  metrics.gauge("zovemo_trust_startup_enabled", "Whether the baseline has trusted start-up on.",
                report.policy.trust_startup == "on");
  metrics.gauge("zovemo_arrest_mode_dialog", "Whether the baseline's arrest mode is dialog (else log).",
                report.policy.arrest_mode == "dialog");
  metrics.gauge("zovemo_tpm_checked", "Whether a TPM answered and was checked.", report.tpm.checked);
  if (report.tpm.checked && report.tpm.reference == drift::IndexState::kPresent) {
    bool match = true;
    for (const auto& slot : report.tpm.slots) match = match && slot.stored == slot.expected;
    metrics.gauge("zovemo_tpm_reference_match",
                  "Whether every reference slot of the TPM matches the value computed from the baseline.", match);
  }
  return metrics.text();
}

namespace {

// How long a run waits for another that is replacing a metrics file: a
// write and a rename.
constexpr int kMetricsLockSeconds = 5;
// The first bytes of every metrics file prometheus_text() gives.
constexpr char kMetricsHeader[] = "# HELP zovemo_check_success ";
constexpr char kMetricsSuffix[] = ".prom";

// The files of the boot and of the tool's own records, which no metrics file
// may replace, however they are named.
constexpr const char* kProtectedDirectories[] = {"/boot", "/etc/tavel_trusted"};

// The protected directory that `directory` (an existing directory) lies in,
// or nullptr: by name and, through bind mounts or links, by identity.
const char* protected_ancestor(const std::string& directory) {
  char* resolved = realpath(directory.c_str(), nullptr);
  if (resolved == nullptr) return nullptr;
  std::string path = resolved;
  free(resolved);
  for (const char* guarded : kProtectedDirectories) {
    std::string prefix = std::string(guarded) + "/";
    if (path == guarded || path.compare(0, prefix.size(), prefix) == 0) return guarded;
  }
  for (std::string at = path;; at = at.substr(0, std::max<size_t>(at.rfind('/'), 1))) {
    struct stat here {};
    if (stat(at.c_str(), &here) != 0) break;
    for (const char* guarded : kProtectedDirectories) {
      struct stat info {};
      if (stat(guarded, &info) == 0 && info.st_dev == here.st_dev && info.st_ino == here.st_ino) return guarded;
    }
    if (at == "/") break;
  }
  return nullptr;
}

}  // namespace

bool metrics_target_allowed(const std::string& file, std::string* why_not) {
  auto refused = [why_not](std::string why) {
    *why_not = std::move(why);
    return false;
  };
  namespace fs = std::filesystem;
  fs::path target(file);
  std::string name = target.filename().string();
  if (name.size() <= sizeof kMetricsSuffix - 1 || name.compare(name.size() - (sizeof kMetricsSuffix - 1),
                                                               std::string::npos, kMetricsSuffix) != 0)
    return refused(std::string("a metrics file's name ends in \"") + kMetricsSuffix + "\"");
  std::string dir = target.has_parent_path() ? target.parent_path().string() : ".";
  if (const char* guarded = protected_ancestor(dir); guarded != nullptr)
    return refused(std::string("it lies under ") + guarded + ", whose files are the boot's and the tool's own");
  UniqueFd existing(open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (existing.get() < 0) {
    if (errno == ENOENT) return true;
    return refused(errno == ELOOP ? "it is a symbolic link" : std::string("cannot read it: ") + strerror(errno));
  }
  struct stat info {};
  if (fstat(existing.get(), &info) != 0 || !S_ISREG(info.st_mode)) return refused("it is not a regular file");
  // Only a file this program wrote is replaced: one that begins as every
  // metrics file of ours does.
  char start[sizeof kMetricsHeader - 1] = {};
  size_t have = 0;
  while (have < sizeof start) {
    ssize_t got = read(existing.get(), start + have, sizeof start - have);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    have += static_cast<size_t>(got);
  }
  if (have != sizeof start || memcmp(start, kMetricsHeader, sizeof start) != 0)
    return refused("it exists and is not a metrics file that zovemo_status wrote; nothing replaced it");
  return true;
}

bool write_metrics_file(const std::string& file, const std::string& text, std::string* why_not) {
  namespace fs = std::filesystem;
  fs::path target(file);
  std::string name = target.filename().string();
  auto failed = [&](const std::string& why) {
    *why_not = "cannot write metrics to \"" + file + "\": " + why;
    return false;
  };
  if (name.empty() || name == "." || name == "..") return failed("not a file name");
  // Runs that write metrics take turns, so the temporary file of one that
  // was killed can go without taking another's from under it. The lock is
  // root's own: a lock on the metrics directory, which others can open,
  // would let anyone hold the run past its timeout.
  std::string error;
  UniqueFd lock(open_private_lock(kMetricsLockPath, &error));
  bool busy = false;
  if (lock.get() < 0 || !take_lock_within(lock.get(), LOCK_EX, kMetricsLockSeconds, &busy, &error))
    return failed("its lock " + std::string(kMetricsLockPath) + (busy ? " is " : ": ") + error);
  if (std::string refusal; !metrics_target_allowed(file, &refusal)) return failed(refusal);
  remove_leftover_temporaries(file.c_str());
  if (!replace_regular_file(file.c_str(), text, kReadableByAll, &error)) return failed(error);
  return true;
}
