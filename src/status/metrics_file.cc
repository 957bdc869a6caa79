#include "status/metrics_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "support/durable_file.h"
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

bool write_metrics_file(const std::string& file, const std::string& text, std::string* why_not) {
  namespace fs = std::filesystem;
  fs::path target(file);
  std::string name = target.filename().string();
  auto failed = [&](const std::string& why) {
    *why_not = "cannot write metrics to \"" + file + "\": " + why;
    return false;
  };
  if (name.empty() || name == "." || name == "..") return failed("not a file name");
  std::string dir = target.has_parent_path() ? target.parent_path().string() : ".";
  // Runs that write the same file take turns, so the temporary file of one
  // that was killed can go without taking another's from under it.
  UniqueFd directory(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.get() < 0) return failed("cannot open " + dir + ": " + strerror(errno));
  while (flock(directory.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return failed("cannot lock " + dir + ": " + strerror(errno));
  }
  remove_leftover_temporaries(file.c_str());
  std::string error;
  if (!replace_regular_file(file.c_str(), text, kReadableByAll, &error)) return failed(error);
  return true;
}
