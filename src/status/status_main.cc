// zovemo_status: the read-only drift report of the measured-boot baseline.
// Options and the renderings of the report (lines for people and monitoring
// plugins, JSON for collectors, metrics for Prometheus); the checks are
// drift_report.
#include <getopt.h>
#include <json-c/json.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <future>
#include <map>
#include <string>
#include <thread>

#include "baseline/document.h"
#include "status/drift_report.h"
#include "status/finding_kinds.h"
#include "status/metrics_file.h"
#include "support/platform_programs.h"
#include "support/program_start.h"
#include "support/user_diagnostics.h"
#include "support/standard_error.h"
#include "support/visible_text.h"

#ifndef ZOVEMO_VERSION
#define ZOVEMO_VERSION "unknown"
#endif

namespace {

using drift::add_string;

// Bad usage is UNKNOWN, as monitoring plugins report it.
constexpr int kUsageError = static_cast<int>(drift::Verdict::kUnknown);
constexpr int kJsonSchemaVersion = 1;
constexpr int kDefaultTimeout = 60;

void usage(FILE* out) {
  fprintf(out,
          "Usage: zovemo_status [--json | --quiet] [--no-tpm] [--wait=SECONDS] [--timeout=SECONDS]\n"
          "                     [--prometheus=FILE]\n"
          "Reports whether the measured-boot baseline %s is still in step with the\n"
          "files under /boot and with the TPM. Changes nothing but FILE.\n"
          "\n"
          "  -j, --json             print the report as one JSON object\n"
          "  -q, --quiet            print nothing; only the exit status tells\n"
          "      --no-tpm           leave the TPM out of the check\n"
          "  -w, --wait=SECONDS     wait at most this long for a command that is changing\n"
          "                         the baseline (default 30)\n"
          "  -t, --timeout=SECONDS  give the check up as UNKNOWN after this long in all\n"
          "                         (default 60; keep it below the monitoring agent's)\n"
          "      --prometheus=FILE  also write the metrics for node_exporter's textfile\n"
          "                         collector to FILE (replaced whole)\n"
          "  -h, --help             print this help and exit\n"
          "  -V, --version          print the version and exit\n"
          "\n"
          "Exit status, as monitoring plugins give it: 0 OK (in step), 1 WARNING (drift\n"
          "the next boot only logs), 2 CRITICAL (drift that stops the next boot),\n"
          "3 UNKNOWN (the check, or part of it, could not be made).\n",
          kBaselinePath);
}

// What the checked run ends in: the report's verdict, unless the metrics
// file could not be written, which a monitoring system must see as UNKNOWN.
struct Result {
  const drift::Report& report;
  std::string metrics_error;

  drift::Verdict verdict() const { return metrics_error.empty() ? report.verdict() : drift::Verdict::kUnknown; }
  int exit_status() const { return static_cast<int>(verdict()); }
};

// In plain words, what the next boot does with what was found.
std::string next_boot(const drift::Report& report) {
  if (report.outcome == drift::Outcome::kFailed) return "unknown, the baseline could not be checked";
  bool boot_drift = false;
  for (const auto& item : report.findings) boot_drift = boot_drift || drift::stops_boot(item.kind);
  if (report.next_boot_stops())
    return "will be arrested at the dialog (trusted start-up on, arrest mode dialog)";
  if (boot_drift) {
    return report.policy.trust_startup != "on" ? "only logs the drift (trusted start-up off)"
                                               : "only logs the drift (arrest mode " +
                                                     (report.policy.arrest_mode.empty() ? "unset" : report.policy.arrest_mode) + ")";
  }
  if (report.outcome == drift::Outcome::kIncomplete) return "no drift in what could be checked";
  return "finds every boot file as measured";
}

std::string seconds_text(double seconds) {
  char text[32];
  snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

std::string perfdata(const drift::Report& report) {
  std::string check_seconds = "check_seconds=" + seconds_text(report.check_seconds) + "s";
  if (report.outcome == drift::Outcome::kFailed) return check_seconds;
  std::string text = "entries=" + std::to_string(report.entries);
  size_t counted = 0;
  for (auto kind : drift::kFileKinds) {
    size_t count = report.count(kind);
    counted += count;
    text += " " + std::string(drift::kind_name(kind)) + "=" + std::to_string(count);
  }
  text += " other_drift=" + std::to_string(report.drift_count() - counted);
  text += " not_checked=" + std::to_string(report.unchecked_count());
  return text + " " + check_seconds;
}

// "1 changed, 2 new_file": the drift found, by kind, in the order of kinds.
std::string drift_by_kind(const drift::Report& report) {
  std::string text;
  for (auto kind : drift::kDriftKinds) {
    size_t count = report.count(kind);
    if (count == 0) continue;
    text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + drift::kind_name(kind);
  }
  return text;
}

// The monitoring plugin's line: "ZOVEMO <VERDICT> - <what> | <perfdata>".
std::string summary_line(const Result& result) {
  const drift::Report& report = result.report;
  std::string what;
  if (!result.metrics_error.empty()) {
    what = result.metrics_error;
  } else if (report.outcome == drift::Outcome::kFailed) {
    what = report.failure;
  } else if (report.outcome == drift::Outcome::kInStep) {
    what = "baseline in step, " + std::to_string(report.entries) + " entries";
  } else if (report.outcome == drift::Outcome::kIncomplete) {
    what = std::to_string(report.unchecked_count()) + " not checked, no drift found";
  } else {
    what = "drift: " + drift_by_kind(report) + "; the next boot " + next_boot(report);
  }
  return std::string("ZOVEMO ") + drift::verdict_name(result.verdict()) + " - " + what + " | " + perfdata(report);
}

std::string tpm_summary(const drift::TpmCheck& tpm) {
  if (!tpm.checked) return "TPM not checked: " + tpm.reason;
  size_t in_step = 0;
  for (const auto& slot : tpm.slots) in_step += slot.stored == slot.expected;
  std::string text = "TPM checked: reference index " + std::string(drift::index_state_name(tpm.reference));
  if (tpm.reference == drift::IndexState::kPresent)
    text += ", " + std::to_string(in_step) + " of " + std::to_string(tpm.slots.size()) + " slots in step";
  return text + ", snapshot index " + drift::index_state_name(tpm.snapshot);
}

// One line of the human report: a file name or a program's words can hold
// what steers a terminal, so they are printed escaped.
void print_line(const std::string& line) { printf("%s\n", escape_control_characters(line).c_str()); }

// A file whose boot path could not be checked, told with the others of the
// same cause.
bool gathered_by_cause(const drift::Finding& item) {
  return item.kind == drift::FindingKind::kBootPathUnchecked && !item.path.empty();
}

// One line per finding, but one line per cause for the files whose boot
// path could not be checked (a disk GRUB cannot name holds them all): the
// cause, the number of files and the first of them, and the remedy.
void print_findings(const std::vector<drift::Finding>& findings) {
  struct Gathered {
    std::vector<std::string> first_paths;
    size_t count = 0;
  };
  std::map<std::pair<std::string, std::string>, Gathered> by_cause;
  for (const auto& item : findings) {
    if (!gathered_by_cause(item)) continue;
    Gathered& gathered = by_cause[{item.reason, item.advice}];
    if (gathered.first_paths.size() < kGatheredPathsNamed) gathered.first_paths.push_back(item.path);
    ++gathered.count;
  }
  for (const auto& item : findings) {
    std::string kind = drift::kind_name(item.kind);
    if (!gathered_by_cause(item)) {
      print_line(kind + " " + drift::describe(item));
      continue;
    }
    auto cause = by_cause.find({item.reason, item.advice});
    if (cause == by_cause.end()) continue;  // told with the first file of its cause
    const Gathered& gathered = cause->second;
    if (gathered.count == 1)
      print_line(kind + " " + drift::describe(item) + (item.advice.empty() ? "" : "; " + item.advice));
    else
      print_line(kind + " " + gathered_cause_line("boot path not checked: " + item.reason, gathered.count,
                                                  gathered.first_paths, item.advice));
    by_cause.erase(cause);
  }
}

void print_human(const Result& result) {
  const drift::Report& report = result.report;
  print_line(summary_line(result));
  if (report.outcome == drift::Outcome::kFailed) return;
  print_findings(report.findings);
  const char* verdict = report.outcome == drift::Outcome::kInStep ? "in step"
                        : report.outcome == drift::Outcome::kDrift ? "drift"
                                                                    : "incomplete";
  print_line("next boot: " + next_boot(report));
  print_line("summary: " + std::string(verdict) + "; " + std::to_string(report.entries) + " entries, " +
             std::to_string(report.entries_in_step) + " in step; " + std::to_string(report.drift_count()) + " drift, " +
             std::to_string(report.unchecked_count()) + " not checked; " + tpm_summary(report.tpm));
}

json_object* tpm_json(const drift::TpmCheck& tpm) {
  json_object* object = json_object_new_object();
  json_object_object_add(object, "checked", json_object_new_boolean(tpm.checked));
  if (!tpm.checked) {
    add_string(object, "reason", tpm.reason);
    return object;
  }
  add_string(object, "reference_index", drift::index_state_name(tpm.reference));
  add_string(object, "snapshot_index", drift::index_state_name(tpm.snapshot));
  json_object* slots = json_object_new_array();
  for (const auto& slot : tpm.slots) {
    json_object* entry = json_object_new_object();
    json_object_object_add(entry, "pcr", json_object_new_int(slot.pcr));
    add_string(entry, "stored", slot.stored);
    add_string(entry, "expected", slot.expected);
    json_object_object_add(entry, "in_step", json_object_new_boolean(slot.stored == slot.expected));
    json_object_array_add(slots, entry);
  }
  json_object_object_add(object, "slots", slots);
  return object;
}

std::string host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

std::string utc_time(long long seconds) {
  time_t when = static_cast<time_t>(seconds);
  struct tm parts {};
  char text[32] = {};
  if (gmtime_r(&when, &parts) == nullptr || strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) return "";
  return text;
}

// The reference values from the baseline, each with its TPM slot when a TPM
// gave the slots.
json_object* references_json(const drift::Report& report) {
  json_object* array = json_object_new_array();
  for (const auto& reference : report.references) {
    json_object* object = json_object_new_object();
    json_object_object_add(object, "pcr", json_object_new_int(reference.pcr));
    json_object_object_add(object, "entries", json_object_new_int64(static_cast<int64_t>(reference.entries)));
    add_string(object, "value", reference.value);
    for (const auto& slot : report.tpm.slots) {
      if (slot.pcr != reference.pcr) continue;
      add_string(object, "tpm_slot", slot.stored);
      json_object_object_add(object, "tpm_match", json_object_new_boolean(slot.stored == reference.value));
    }
    json_object_array_add(array, object);
  }
  return array;
}

void print_json(const Result& result) {
  const drift::Report& report = result.report;
  json_object* object = json_object_new_object();
  json_object_object_add(object, "schema_version", json_object_new_int(kJsonSchemaVersion));
  add_string(object, "tool_version", ZOVEMO_VERSION);
  add_string(object, "host", host_name());
  add_string(object, "checked_at", utc_time(report.checked_at));
  add_string(object, "verdict", drift::verdict_name(result.verdict()));
  add_string(object, "status", drift::outcome_name(report.outcome));
  json_object_object_add(object, "exit_status", json_object_new_int(result.exit_status()));
  add_string(object, "baseline", kBaselinePath);
  if (report.outcome == drift::Outcome::kFailed) {
    add_string(object, "error", report.failure);
  } else {
    json_object_object_add(object, "entries", json_object_new_int64(static_cast<int64_t>(report.entries)));
    json_object_object_add(object, "entries_in_step",
                           json_object_new_int64(static_cast<int64_t>(report.entries_in_step)));
    json_object* findings = json_object_new_array();
    for (const auto& item : report.findings) json_object_array_add(findings, drift::finding_json(item));
    json_object_object_add(object, "findings", findings);
    json_object_object_add(object, "tpm", tpm_json(report.tpm));
    json_object* policy = json_object_new_object();
    add_string(policy, "trust_startup", report.policy.trust_startup, true);
    add_string(policy, "arrest_mode", report.policy.arrest_mode, true);
    json_object_object_add(object, "policy", policy);
    json_object* boot = json_object_new_object();
    json_object_object_add(boot, "will_stop", json_object_new_boolean(report.next_boot_stops()));
    add_string(boot, "text", next_boot(report));
    json_object_object_add(object, "next_boot", boot);
    json_object_object_add(object, "reference_values", references_json(report));
  }
  json_object_object_add(object, "check_seconds", json_object_new_double(report.check_seconds));
  if (!result.metrics_error.empty()) add_string(object, "metrics_error", result.metrics_error);
  printf("%s\n", json_object_to_json_string_ext(object, JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_NOSLASHESCAPE));
  json_object_put(object);
}

// Seconds from an option's argument, within [low, high]; false (with the
// complaint printed) otherwise.
bool parse_seconds(const char* option, const char* text, long low, long high, int* seconds) {
  char* end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
    warn_user(std::string(option) + " wants a number of seconds from " + std::to_string(low) + " to " +
              std::to_string(high) + ", not \"" + text + "\"");
    return false;
  }
  *seconds = static_cast<int>(value);
  return true;
}

// The check runs on a thread of its own so that one that outlasts the time
// allowed (a baseline too large, a hanging tool) can be given up: it only
// reads, so the process may end under it. `abandoned` tells the caller to
// end the process without waiting for the thread.
drift::Report check_within(const drift::Options& options, int timeout_seconds, bool* abandoned) {
  long long began = static_cast<long long>(time(nullptr));
  std::packaged_task<drift::Report()> task([options] { return drift::check(options); });
  std::future<drift::Report> done = task.get_future();
  std::thread worker;
  try {
    worker = std::thread(std::move(task));
  } catch (const std::system_error& error) {
    drift::Report report;
    report.failure = std::string("check not started: no thread for it (") + error.what() + ")";
    report.checked_at = began;
    return report;
  }
  if (done.wait_for(std::chrono::seconds(timeout_seconds)) == std::future_status::ready) {
    worker.join();
    return done.get();
  }
  worker.detach();
  *abandoned = true;
  drift::Report report;
  report.failure = "check not done within " + std::to_string(timeout_seconds) +
                   " seconds: the baseline is too large to check in that time, or a tool hangs";
  report.checked_at = began;
  report.check_seconds = timeout_seconds;
  return report;
}

}  // namespace

static int report_main(int argc, char** argv) {
  enum { kNoTpm = 256, kPrometheus };
  static const option kLongOptions[] = {
      {"json", no_argument, nullptr, 'j'},     {"quiet", no_argument, nullptr, 'q'},
      {"no-tpm", no_argument, nullptr, kNoTpm}, {"wait", required_argument, nullptr, 'w'},
      {"timeout", required_argument, nullptr, 't'},
      {"prometheus", required_argument, nullptr, kPrometheus},
      {"help", no_argument, nullptr, 'h'},     {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0},
  };
  bool json = false, quiet = false;
  std::string metrics_file;
  int timeout_seconds = kDefaultTimeout;
  drift::Options options;
  for (int option; (option = getopt_long(argc, argv, "jqw:t:hV", kLongOptions, nullptr)) != -1;) {
    switch (option) {
      case 'j':
        json = true;
        break;
      case 'q':
        quiet = true;
        break;
      case kNoTpm:
        options.check_tpm = false;
        break;
      case kPrometheus:
        if (optarg[0] == '\0') {
          warn_user("--prometheus wants a file name");
          return kUsageError;
        }
        metrics_file = optarg;
        break;
      case 'w':
        if (!parse_seconds("--wait", optarg, 0, 86400, &options.wait_seconds)) return kUsageError;
        break;
      case 't':
        if (!parse_seconds("--timeout", optarg, 1, 86400, &timeout_seconds)) return kUsageError;
        break;
      case 'h':
        usage(stdout);
        return 0;
      case 'V':
        printf("zovemo_status %s\n", ZOVEMO_VERSION);
        return 0;
      default:
        usage(stderr);
        return kUsageError;
    }
  }
  if (optind < argc) {
    warn_user(std::string("unexpected argument \"") + argv[optind] + "\"");
    usage(stderr);
    return kUsageError;
  }

  bool abandoned = false;
  drift::Report report;
  // Unprivileged, every file and the TPM would fail to be read one by one:
  // the one reason, before anything is probed.
  if (geteuid() != 0) {
    report.failure = "must be run as root: it reads the boot files, the GRUB devices and the TPM";
    report.checked_at = static_cast<long long>(time(nullptr));
  } else {
    report = check_within(options, timeout_seconds, &abandoned);
  }
  Result result{report, ""};
  if (!metrics_file.empty()) write_metrics_file(metrics_file, prometheus_text(report), &result.metrics_error);
  if (!result.metrics_error.empty()) warn_user(result.metrics_error);
  if (!quiet && json) {
    print_json(result);
  } else if (!quiet) {
    if (report.outcome == drift::Outcome::kFailed) warn_user(report.failure);
    print_human(result);
  }
  fflush(stdout);
  fflush(stderr);
  // The abandoned check still runs: end without tearing down what it uses,
  // but stop the GRUB tools it started, which would outlive us.
  if (abandoned) {
    kill_running_programs();
    _exit(result.exit_status());
  }
  return result.exit_status();
}

int main(int argc, char** argv) {
  try {
    // The report changes nothing, the tool log included.
    start_program("zovemo_status", ToolLogUse::kKeepsClosed, kOneFileAtATimeBuild);
    return report_main(argc, argv);
  } catch (const std::exception& error) {
    // Out of memory: still the one line a monitoring system reads.
    warn_user_without_memory("check given up: ", error.what());
    printf("ZOVEMO UNKNOWN - check given up: %s | check_seconds=0.000s\n", error.what());
    fflush(stdout);
    return static_cast<int>(drift::Verdict::kUnknown);
  }
}
