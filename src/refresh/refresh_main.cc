// zovemo_refresh: what the hook zovemo-hook decides in its stead. After
// package operations (dpkg's trigger, APT's hook, RPM's file triggers, the
// service on GRUB's module directories) it takes the drift the report
// finds, file by file, and refreshes what the package manager's records
// vouch for through zovemo_config; what is left is said as drift with what
// it means at the next boot and the command that accepts it. For the
// kernel, initramfs, kernel-install and grub.cfg hooks it measures, updates
// or forgets the boot files of the kernel or RAM disk the hook was called
// for (see refresh/boot_file_hooks.h).
//
//   zovemo_refresh --config=PROGRAM --status=PROGRAM [--logger=PROGRAM] [--hook=PATH]
//   zovemo_refresh --record       before APT runs dpkg: note what the packages ship
//   zovemo_refresh --config=PROGRAM [--logger=PROGRAM] MODE [ARGUMENT...]
//                                 a boot-file hook's run, MODE as hook_mode_of() names it
//   --program-seconds=N           each program run at most N seconds (1-3600; 30)
//
// Every line goes to standard error tagged "zovemo-hook:" (under debconf
// standard output is the frontend's); the outcome is never a failure of the
// package or kernel operation, so the exit status is 0.
#include <getopt.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <future>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "baseline/document.h"
#include "baseline/path_list.h"
#include "refresh/boot_file_hooks.h"
#include "refresh/config_command.h"
#include "refresh/package_records.h"
#include "refresh/refresh_decision.h"
#include "status/drift_report.h"
#include "support/platform_programs.h"
#include "support/standard_error.h"
#include "support/tool_log.h"
#include "support/visible_text.h"

namespace {

constexpr const char kTag[] = "zovemo-hook";
// The whole refresh starts no new work after this many seconds, and waits
// this long for the baseline's lock, so that a package run is never held up
// for long.
constexpr int kPackagesSeconds = 120;
constexpr int kLockSeconds = 5;

std::string config_program, status_program, logger_program, hook_path = "zovemo-hook";

void say(const std::string& line) {
  fprintf(stderr, "%s: %s\n", kTag, line.c_str());
  fflush(stderr);
}

void report_failure(const std::string& line) {
  say(line);
  if (logger_program.empty()) return;
  run_program({logger_program, "-t", kTag, "-p", "user.err", "--", line}, ErrorOutput::kDiscard, 0, '\n',
              RunBounds{refresh::program_seconds, 4096});
}

// What the drift means at the next boot under the stored policy.
std::string next_boot_words(const drift::Policy& policy) {
  if (policy.arrests())
    return "the next boot will be arrested at the dialog (trusted start-up on, arrest mode dialog)";
  if (policy.trust_startup == "on")
    return "the next boot only logs the drift (arrest mode " +
           (policy.arrest_mode.empty() ? std::string("unset") : policy.arrest_mode) + ")";
  return "the next boot only logs the drift (trusted start-up off)";
}

// The report of the baseline, given up after program_seconds: it only reads,
// so the process may end under it.
bool check_in_time(drift::Report* report) {
  drift::Options options;
  options.check_tpm = false;
  options.wait_seconds = kLockSeconds;
  std::packaged_task<drift::Report()> task([options] { return drift::check(options); });
  std::future<drift::Report> done = task.get_future();
  std::thread worker(std::move(task));
  if (done.wait_for(std::chrono::seconds(refresh::program_seconds)) != std::future_status::ready) {
    worker.detach();
    return false;
  }
  worker.join();
  *report = done.get();
  return true;
}

// Runs one zovemo_config command of the refresh and says in one line what it
// did and on whose word; `gave_up` says why the refresh stops, if it must.
void apply(const refresh::Decision& decision, const std::string& path, std::string* gave_up) {
  std::string why_not;
  bool locked = lock_baseline_shared(kLockSeconds, &why_not);
  if (!locked && why_not.compare(0, 13, "baseline busy") == 0) {
    *gave_up = "the baseline stayed busy for " + std::to_string(kLockSeconds) +
               " seconds (another zovemo_config command holds it)";
    return;
  }
  if (locked) unlock_baseline();
  // Its progress lines stay captured: at package time one tagged line a file.
  refresh::ConfigRun run = refresh::run_config(config_program, decision.option, path);
  if (run.output.timed_out) {
    *gave_up = "zovemo_config " + decision.option + " " + path + " did not end within " +
               std::to_string(refresh::program_seconds) + " seconds";
    return;
  }
  if (!run.failed) {
    const char* done = decision.option == "-a" ? "added to" : decision.option == "-d" ? "deleted from" : "refreshed in";
    say(path + " " + done + " the baseline: " + decision.words);
    return;
  }
  report_failure("could not refresh " + path + " in the baseline (zovemo_config " + decision.option + ")" +
                 (run.reasons.empty() ? "" : ": " + run.reasons));
}

void refresh_after_packages() {
  auto started = std::chrono::steady_clock::now();
  drift::Report report;
  if (!check_in_time(&report)) {
    report_failure("the drift check gave no report within " + std::to_string(refresh::program_seconds) +
                   " seconds: nothing refreshed after the package operation");
    kill_running_programs();
    fflush(stderr);
    _exit(0);
  }
  if (report.outcome == drift::Outcome::kFailed) {
    if (report.failure.compare(0, 13, "baseline busy") == 0)
      report_failure("the baseline is busy (another zovemo_config command holds it): nothing refreshed after the "
                     "package operation; run " + hook_path + " packages once it is done");
    else
      report_failure("the baseline could not be checked after the package operation (" + report.failure +
                     "): nothing refreshed");
    return;
  }
  refresh::PackageRecords records;
  records.read_shipped();
  if (!records.stalled().empty()) {
    report_failure(records.stalled() + ": nothing refreshed after the package operation; run " + hook_path +
                   " packages once the package records answer");
    return;
  }
  if (report.outcome == drift::Outcome::kInStep) {
    records.keep_shipped_record();
    return;
  }
  std::vector<const drift::Finding*> drifted;
  std::vector<std::string> asked;
  std::set<std::string> seen;
  for (const drift::Finding& item : report.findings) {
    if (item.kind != drift::FindingKind::kChanged && item.kind != drift::FindingKind::kMissing &&
        item.kind != drift::FindingKind::kNewFile)
      continue;
    drifted.push_back(&item);
    for (const std::string& file : {item.path, refresh::packaged_module(item.path)}) {
      std::string why;
      if (!file.empty() && refresh::acceptable_path(item.path, &why) && seen.insert(file).second) asked.push_back(file);
    }
  }
  records.read_owners(asked);

  std::string consequence = next_boot_words(report.policy);
  std::string gave_up;
  for (const drift::Finding* item : drifted) {
    bool out_of_time = std::chrono::steady_clock::now() - started >= std::chrono::seconds(kPackagesSeconds);
    if (gave_up.empty() && out_of_time) gave_up = "the refresh ran out of its " + std::to_string(kPackagesSeconds) + " seconds";
    refresh::Decision decision;
    if (gave_up.empty()) decision = refresh::decide(item->kind, item->path, records);
    if (gave_up.empty() && !records.stalled().empty()) gave_up = records.stalled();
    if (!gave_up.empty()) {
      // Not looked at: no record is read once the refresh has stopped.
      decision.option = item->kind == drift::FindingKind::kNewFile ? "-a"
                        : item->kind == drift::FindingKind::kMissing ? "-d" : "-u";
      bool module = !refresh::packaged_module(item->path).empty();
      decision.step = item->kind == drift::FindingKind::kNewFile && !module ? refresh::Step::kPass : refresh::Step::kLeave;
      decision.words = "not looked at, " + gave_up;
    }
    if (decision.step == refresh::Step::kPass) continue;
    if (decision.step == refresh::Step::kApply) {
      apply(decision, item->path, &gave_up);
      if (gave_up.empty()) continue;
      decision.words = "not looked at, " + gave_up;
    }
    std::string shown = escape_control_characters(item->path);
    report_failure(shown + " not refreshed: " + decision.words + "; " + consequence +
                   "; to accept it: zovemo_config " + decision.option + " " + shown);
  }
  if (!gave_up.empty()) report_failure(gave_up + ": the refresh stopped; run " + hook_path + " packages to finish it");
  records.keep_shipped_record();

  // Before the next boot, the administrator sees whether it will stop.
  ProgramOutput final_word =
      run_program({status_program, "--wait=" + std::to_string(kLockSeconds),
                   "--timeout=" + std::to_string(refresh::program_seconds)},
                  ErrorOutput::kDiscard, 1, '\n', RunBounds{refresh::program_seconds + 5, 1u << 20});
  if (final_word.succeeded() || final_word.lines.empty()) return;
  std::string line = final_word.lines.front();
  report_failure(line.substr(0, line.find(" | ")));
}

// One run of a kernel, initramfs, kernel-install or grub.cfg hook: the
// tool's own words said tagged, each failure said and logged.
void run_hook(refresh::HookMode mode, const std::vector<std::string>& arguments) {
  std::vector<std::string> listed;
  read_path_list(&listed);  // none readable: nothing is listed
  for (const refresh::HookStep& step :
       refresh::hook_steps(mode, arguments, refresh::package_action_of(getenv("DEB_MAINT_PARAMS")), listed)) {
    std::string shown = escape_control_characters(step.path);
    if (step.option.empty()) {
      report_failure(shown + " " + step.why);
      continue;
    }
    refresh::ConfigRun run = refresh::run_config(config_program, step.option, step.path);
    std::istringstream errors(run.output.errors);
    std::vector<std::string> words = run.output.lines;
    for (std::string line; std::getline(errors, line);) words.push_back(line);
    for (const std::string& line : words)
      if (!line.empty()) say(escape_control_characters(line));
    if (!run.failed) continue;
    std::string what = step.option == "-a"   ? "could not add " + shown + " to the baseline"
                       : step.option == "-d" ? "could not delete " + shown + " from the baseline"
                                             : "could not update " + shown + " in the baseline";
    if (!run.output.succeeded() && !run.output.end_description().empty())
      what += ": zovemo_config " + run.output.end_description();
    report_failure(what);
  }
}

int usage() {
  fprintf(stderr,
          "Usage: zovemo_refresh [--program-seconds=N] --config=PROGRAM --status=PROGRAM [--logger=PROGRAM] "
          "[--hook=PATH]\n"
          "       zovemo_refresh [--program-seconds=N] --record\n"
          "       zovemo_refresh [--program-seconds=N] --config=PROGRAM [--logger=PROGRAM] MODE [ARGUMENT...]\n"
          "MODE: kernel-postinst, kernel-prerm, kernel-postrm, initramfs-post-update, grub-cfg, kernel-install;\n"
          "each program run at most N seconds (1-3600, 30 by default)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  end_programs_with_the_process();
  keep_tool_log_closed();
  set_user_program_name(kTag);
  enum { kConfig = 256, kStatus, kLogger, kHook, kRecord, kProgramSeconds };
  static const option kLongOptions[] = {
      {"config", required_argument, nullptr, kConfig}, {"status", required_argument, nullptr, kStatus},
      {"logger", required_argument, nullptr, kLogger}, {"hook", required_argument, nullptr, kHook},
      {"record", no_argument, nullptr, kRecord},       {"program-seconds", required_argument, nullptr, kProgramSeconds},
      {nullptr, 0, nullptr, 0},
  };
  bool record_only = false;
  // "+": what follows a hook's mode are its own arguments, options or not.
  for (int option; (option = getopt_long(argc, argv, "+", kLongOptions, nullptr)) != -1;) {
    switch (option) {
      case kConfig: config_program = optarg; break;
      case kStatus: status_program = optarg; break;
      case kLogger: logger_program = optarg; break;
      case kHook: hook_path = optarg; break;
      case kRecord: record_only = true; break;
      case kProgramSeconds: {
        std::string text = optarg;
        bool digits = !text.empty() && text.size() <= 4 && text.find_first_not_of("0123456789") == std::string::npos;
        int seconds = digits ? std::stoi(text) : 0;
        if (seconds < 1 || seconds > 3600) return usage();
        refresh::program_seconds = seconds;
        break;
      }
      default: return usage();
    }
  }
  refresh::HookMode mode{};
  bool hook_run = optind < argc;
  if (hook_run && !refresh::hook_mode_of(argv[optind], &mode)) return usage();
  try {
    if (record_only) {
      refresh::PackageRecords records;
      if (refresh::state_dir_safe() && records.read_shipped()) records.keep_shipped_record();
      return 0;
    }
    if (hook_run) {
      if (config_program.empty()) {
        report_failure("zovemo_refresh needs --config: the baseline was not brought in step");
        return 0;
      }
      run_hook(mode, std::vector<std::string>(argv + optind + 1, argv + argc));
      fflush(stderr);
      return 0;
    }
    if (config_program.empty() || status_program.empty()) {
      report_failure("zovemo_refresh needs --config and --status: nothing refreshed after the package operation");
      return 0;
    }
    refresh_after_packages();
  } catch (const std::exception& error) {
    report_failure(std::string("the refresh after the package operation was given up: ") + error.what());
  }
  fflush(stderr);
  return 0;
}
