#include "status/drift_report.h"

#include <glob.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "baseline/boot_files.h"
#include "baseline/document.h"
#include "baseline/leftovers.h"
#include "baseline/recovery.h"
#include "baseline/discovery.h"
#include "bootpath/translation.h"
#include "baseline/entry_lookup.h"
#include "measure/file_measurement.h"
#include "bootpath/grub_tools.h"
#include "baseline/reservation.h"
#include "support/worker_pool.h"
#include "baseline/path_list.h"
#include "baseline/pcr_rule.h"
#include "tpm/pcr_emulation.h"
#include "support/platform_programs.h"
#include "tpm/nv_store.h"
#include "support/visible_text.h"

namespace drift {
namespace {

namespace fs = std::filesystem;

constexpr size_t kSlotSize = 32;
constexpr size_t kReferenceSize = kReferenceIndexSize;
constexpr int kSnapshotPcrCount = 8;

// The shared baseline lock for the length of the check.
class SharedBaselineLock {
 public:
  ~SharedBaselineLock() {
    if (held_) unlock_baseline();
  }
  // False with `why_not` when the lock could not be had.
  bool acquire(int wait_seconds, std::string* why_not) {
    held_ = lock_baseline_shared(wait_seconds, why_not);
    return held_;
  }

 private:
  bool held_ = false;
};

struct JsonPut {
  void operator()(json_object* object) const { json_object_put(object); }
};
using Document = std::unique_ptr<json_object, JsonPut>;

// The document and its "list"; false with `why_not` when there is none.
bool load_document(Document* document, json_object** list, std::string* why_not) {
  struct stat info {};
  if (stat(kBaselinePath, &info) != 0) {
    if (errno == ENOENT) *why_not = std::string("no baseline: ") + kBaselinePath + " does not exist (run zovemo_config -i)";
    else *why_not = std::string("cannot examine ") + kBaselinePath + ": " + strerror(errno);
    return false;
  }
  if (access(kBaselinePath, R_OK) != 0) {
    *why_not = std::string("cannot read ") + kBaselinePath + ": " + strerror(errno);
    return false;
  }
  document->reset(read_baseline_document(why_not));
  if (!*document) return false;
  if (!json_object_is_type(document->get(), json_type_object) ||
      !json_object_object_get_ex(document->get(), "list", list) || !json_object_is_type(*list, json_type_array)) {
    *why_not = std::string("damaged baseline: ") + kBaselinePath + " has no \"list\" array";
    return false;
  }
  return true;
}

Finding finding(FindingKind kind, const std::string& path) {
  Finding result;
  result.kind = kind;
  result.path = path;
  return result;
}

// What one file of the baseline is now, found once however many entries
// name it.
struct FileState {
  FindingKind absent = FindingKind::kUnreadable;  // why not measured, when !measured
  bool measured = false;
  std::string reason;  // kUnreadable: why
  std::string text;    // measured: the measurement text
};

FileState absent(FindingKind kind, std::string reason = "") {
  FileState state;
  state.absent = kind;
  state.reason = std::move(reason);
  return state;
}

// Measures the file at `path` as the tool would. Thread-safe.
FileState examine_file(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return absent(FindingKind::kMissing);
    return absent(FindingKind::kUnreadable, strerror(errno));
  }
  if (S_ISLNK(info.st_mode)) return absent(FindingKind::kSymlink);

  // What the tool refuses to measure (not a regular file, a read error) is
  // not checked, with the same reason the tool gives.
  FileMeasurement measurement = measure_file(path.c_str());
  switch (measurement.outcome) {
    case MeasureOutcome::kMeasured: {
      FileState state;
      state.measured = true;
      state.text = measurement.text;
      return state;
    }
    case MeasureOutcome::kMissing:  // went between the lstat and the open
      return absent(FindingKind::kMissing);
    case MeasureOutcome::kSymlink:
      return absent(FindingKind::kSymlink);
    default:
      return absent(FindingKind::kUnreadable, describe_failure(measurement));
  }
}

// The findings of one entry, from the state of its file.
enum class EntryState { kInStep, kChanged, kAbsent };

EntryState judge_entry(json_object* entry, const FileState& file, std::vector<Finding>* findings) {
  const char* path = stored_member(entry, "sys_path");
  if (!file.measured) {
    Finding result = finding(file.absent, path);
    result.reason = file.reason;
    findings->push_back(result);
    return EntryState::kAbsent;
  }
  const char* stored_text = stored_member(entry, "measure_base_value");
  std::string stored = stored_text != nullptr ? stored_text : "";
  if (stored == file.text) return EntryState::kInStep;
  Finding changed = finding(FindingKind::kChanged, path);
  changed.stored = stored;
  changed.current = file.text;
  findings->push_back(changed);
  return EntryState::kChanged;
}

// What initialisation would measure of a discovered path: regular files
// only; a directory that find names (say "themes.cfg") is left out by
// initialisation, since its size is not contents.
bool measurable(const DiscoveredFile& file) {
  struct stat info {};
  return lstat(file.path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string normal(const std::string& path) { return fs::path(path).lexically_normal().string(); }

void check_path_list(const std::vector<std::string>& entry_paths, std::vector<Finding>* findings) {
  struct stat info {};
  if (stat(kPathListPath, &info) != 0 && errno == ENOENT) {
    findings->push_back(finding(FindingKind::kPathListMissing, kPathListPath));
    return;
  }
  std::vector<std::string> lines;
  if (!read_path_list(&lines)) {
    Finding unreadable = finding(FindingKind::kPathListUnreadable, kPathListPath);
    unreadable.reason = strerror(errno);
    findings->push_back(unreadable);
    return;
  }
  std::set<std::string> listed(lines.begin(), lines.end());
  std::set<std::string> held(entry_paths.begin(), entry_paths.end());
  for (const auto& path : entry_paths) {
    if (!listed.count(path)) findings->push_back(finding(FindingKind::kUnlistedEntry, path));
  }
  std::set<std::string> reported;
  for (const auto& line : lines) {
    if (!held.count(line) && reported.insert(line).second)
      findings->push_back(finding(FindingKind::kUnmatchedLine, line));
  }
}

IndexState index_state(NvIndexState state) {
  switch (state) {
    case NvIndexState::kPresent: return IndexState::kPresent;
    case NvIndexState::kMissing: return IndexState::kMissing;
    case NvIndexState::kUnreadable: return IndexState::kUnreadable;
  }
  return IndexState::kUnreadable;
}

void add_index_finding(IndexState state, unsigned index, FindingKind missing, const std::string& reason,
                       std::vector<Finding>* findings) {
  if (state == IndexState::kPresent || state == IndexState::kNotChecked) return;
  Finding result = finding(state == IndexState::kMissing ? missing : FindingKind::kTpmUnreadable, "");
  result.index = index;
  result.reason = reason;
  findings->push_back(result);
}

// Whether the contents of an index can be trusted: it is there, it can be
// read, and it is defined as initialisation defines it (someone who can
// undefine and redefine it under the owner hierarchy can write anything into
// it). An index defined otherwise is tampering, even one that cannot be read.
bool trusted_index(IndexState state, unsigned index, FindingKind missing, const std::string& reason,
                   std::vector<Finding>* findings) {
  if (state == IndexState::kMissing) {
    add_index_finding(state, index, missing, reason, findings);
    return false;
  }
  std::string detail;
  IndexDefinition definition = check_index_definition(index, &detail);
  if (definition == IndexDefinition::kDiffers) {
    Finding redefined = finding(FindingKind::kIndexRedefined, "");
    redefined.index = index;
    redefined.current = detail;
    findings->push_back(redefined);
    return false;
  }
  if (state == IndexState::kUnreadable) {
    add_index_finding(state, index, missing, reason, findings);
    return false;
  }
  if (definition == IndexDefinition::kUnreadable) {
    add_index_finding(IndexState::kUnreadable, index, missing, detail, findings);
    return false;
  }
  return true;
}

// The TPM's SM3-256 PCRs 0-7 now against the snapshot initialisation took:
// firmware or a boot loader that changed since then shows here.
void compare_snapshot(std::vector<Finding>* findings) {
  uint8_t snapshot[kSnapshotPcrCount * kSlotSize], live[kSnapshotPcrCount * kSlotSize];
  std::string reason;
  if (!read_snapshot_index(snapshot, &reason)) {
    reason = "the snapshot cannot be read: " + reason;
  } else if (read_live_pcrs(live, &reason)) {
    for (int pcr = 0; pcr < kSnapshotPcrCount; ++pcr) {
      if (memcmp(snapshot + pcr * kSlotSize, live + pcr * kSlotSize, kSlotSize) == 0) continue;
      Finding differs = finding(FindingKind::kSnapshotDiffers, "");
      differs.index = kSnapshotIndex;
      differs.pcr = pcr;
      differs.stored = hex_bytes(snapshot + pcr * kSlotSize, kSlotSize);
      differs.current = hex_bytes(live + pcr * kSlotSize, kSlotSize);
      findings->push_back(differs);
    }
    return;
  }
  Finding unchecked = finding(FindingKind::kSnapshotUnchecked, "");
  unchecked.index = kSnapshotIndex;
  unchecked.reason = reason;
  findings->push_back(unchecked);
}

void check_tpm(const std::vector<ReferenceValue>& references, TpmCheck* tpm, std::vector<Finding>* findings) {
  if (testing_tpm_chip() != 0) {
    if (!tpm_expected()) {
      tpm->reason = "no TPM answered";
      return;
    }
    // A TPM that is named or there but silent must not pass as no TPM.
    tpm->reason = "a TPM is named or present but did not answer";
    Finding silent = finding(FindingKind::kTpmUnreadable, "");
    silent.index = kReferenceIndex;
    silent.reason = tpm->reason;
    findings->push_back(silent);
    return;
  }
  tpm->checked = true;
  std::string reason;
  tpm->reference = index_state(probe_nv_index(kReferenceIndex, &reason));
  if (trusted_index(tpm->reference, kReferenceIndex, FindingKind::kReferenceIndexMissing, reason, findings)) {
    uint8_t image[kReferenceSize];
    if (!read_reference_index(image)) {
      tpm->reference = IndexState::kUnreadable;
      add_index_finding(tpm->reference, kReferenceIndex, FindingKind::kReferenceIndexMissing,
                        "the reference values cannot be read", findings);
    } else {
      for (const ReferenceValue& reference : references) {
        const uint8_t* slot = image + reference_slot_of(reference.pcr) * kSlotSize;
        tpm->slots.push_back({reference.pcr, hex_bytes(slot, kSlotSize), reference.value});
      }
    }
  }
  for (const auto& slot : tpm->slots) {
    if (slot.stored == slot.expected) continue;
    Finding differs = finding(FindingKind::kSlotDiffers, "");
    differs.index = kReferenceIndex;
    differs.pcr = slot.pcr;
    differs.stored = slot.stored;
    differs.current = slot.expected;
    findings->push_back(differs);
  }
  reason.clear();
  tpm->snapshot = index_state(probe_nv_index(kSnapshotIndex, &reason));
  if (trusted_index(tpm->snapshot, kSnapshotIndex, FindingKind::kSnapshotIndexMissing, reason, findings))
    compare_snapshot(findings);
}

std::vector<ReferenceValue> reference_values(json_object* list) {
  std::vector<ReferenceValue> references;
  for (int flag : kReferencePcrs) {
    uint8_t value[kSlotSize];
    reference_value_of(list, flag, value);
    ReferenceValue reference{flag, 0, hex_bytes(value, kSlotSize)};
    for (size_t i = 0; i < json_object_array_length(list); ++i)
      reference.entries += entry_pcr(json_object_array_get_idx(list, i)) == flag;
    references.push_back(reference);
  }
  return references;
}

Policy stored_policy(json_object* document) {
  const char* trust = stored_member(document, "trust_startup");
  const char* arrest = stored_member(document, "arrest_mode");
  return Policy{trust != nullptr ? trust : "", arrest != nullptr ? arrest : ""};
}

// Whether the GRUB tools can translate paths; false with `why_not`. What
// choosing the tools needs is looked for first: a failed choice would be
// logged, and the report writes no log entry.
bool grub_tools_ready(std::string* why_not) {
  why_not->clear();
  glob_t matches{};
  bool found = glob("/boot/grub*", GLOB_NOSORT, nullptr, &matches) == 0;
  globfree(&matches);
  if (!found) *why_not = "no GRUB directory under /boot";
  else if (find_program("ls").empty()) *why_not = "ls not found";
  else if (set_command() != 0) *why_not = "the GRUB tools cannot be chosen";
  for (const char* tool : {GRUB_PROBE, GRUB_MKRELPATH})
    if (why_not->empty() && find_program(tool).empty()) *why_not = std::string(tool) + " not found";
  return why_not->empty();
}

// Entries whose file was measured, grouped by file, in list order.
struct FileHolders {
  std::string path;
  std::vector<std::string> boot_paths;  // the "grub_path" of each holder
};

// One translation per file: an entry whose stored boot path is no longer
// what the file translates to has drifted; so have the second and later
// holders of a file when no translation tells the stale one apart.
void check_boot_paths(const std::vector<FileHolders>& files, const std::vector<std::string>& boot_paths,
                      const std::vector<TranslationFailure>& failures, const std::string& missing,
                      std::vector<Finding>* findings) {
  if (files.empty()) return;
  if (!missing.empty()) {
    Finding unchecked = finding(FindingKind::kBootPathUnchecked, "");
    unchecked.reason = "boot paths not checked: " + missing;
    findings->push_back(unchecked);
  }
  for (size_t f = 0; f < files.size(); ++f) {
    const FileHolders& file = files[f];
    const std::string& now = boot_paths[f];
    bool translated = !now.empty();
    if (missing.empty() && !translated) {
      Finding unchecked = finding(FindingKind::kBootPathUnchecked, file.path);
      unchecked.reason = "the GRUB tools could not translate it";
      if (!failures[f].cause.empty()) unchecked.reason += ": " + failures[f].cause;
      unchecked.advice = failures[f].advice;
      findings->push_back(unchecked);
    }
    size_t reported = 0;
    for (const auto& stored : file.boot_paths) {
      if (!translated || stored == now) continue;
      Finding moved = finding(FindingKind::kBootPathChanged, file.path);
      moved.stored = stored;
      moved.current = now;
      moved.holders = file.boot_paths.size() > 1 ? file.boot_paths.size() : 0;
      findings->push_back(moved);
      ++reported;
    }
    if (reported > 0 || file.boot_paths.size() < 2) continue;
    for (size_t i = 1; i < file.boot_paths.size(); ++i) {
      Finding twice = finding(FindingKind::kBootPathChanged, file.path);
      twice.stored = file.boot_paths[i];
      twice.current = translated ? now : "";
      twice.holders = file.boot_paths.size();
      findings->push_back(twice);
    }
  }
}

// Temporary files that a command makes and removes again; one that stays
// behind means a command was interrupted.
void check_leftovers(std::vector<Finding>* findings) {
  for (const auto& path : leftover_files()) findings->push_back(finding(FindingKind::kLeftoverTemporary, path));
}

// The boot writes its measurement log into the reservation: one too small
// for the entries loses lines of it.
void check_reservation(size_t entries, std::vector<Finding>* findings) {
  struct stat info {};
  bool present = lstat(kBootLogPath, &info) == 0 && S_ISREG(info.st_mode);
  size_t needed = reservation_size(entries);
  if (present && static_cast<size_t>(info.st_size) >= needed) return;
  Finding small = finding(FindingKind::kReservationUndersized, kBootLogPath);
  small.stored = present ? std::to_string(info.st_size) : "";
  small.current = std::to_string(needed);
  findings->push_back(small);
}

void check_new_files(const std::set<std::string>& held, std::vector<Finding>* findings) {
  BootFileDiscovery discovery = discover_boot_files();
  if (!discovery.complete) {
    Finding unchecked = finding(FindingKind::kDiscoveryFailed, "");
    unchecked.reason = "boot files not in the baseline not looked for: discovery failed: " + discovery.failure;
    findings->push_back(unchecked);
  }
  std::set<std::string> seen;
  for (const auto& file : discovery.files) {
    if (held.count(normal(file.path)) || !seen.insert(file.path).second || !measurable(file)) continue;
    Finding added = finding(FindingKind::kNewFile, file.path);
    added.file_class = file.file_class;
    findings->push_back(added);
  }
  // A boot file no entry can name passes every boot unchecked: drift, not
  // something to leave out quietly as initialisation must.
  for (const auto& file : discovery.unlistable) {
    if (!seen.insert(file.path).second || !measurable({file.path, file.file_class})) continue;
    Finding unstorable = finding(FindingKind::kUnstorableFile, file.path);
    unstorable.file_class = file.file_class;
    unstorable.reason = file.reason;
    findings->push_back(unstorable);
  }
}

// The entries' files, each measured once (by its "sys_path" as stored) and,
// where measured, translated once per file (by its normal form), on the
// worker pool with the boot path reuse of the commands that touch every file.
class EntryFiles {
 public:
  explicit EntryFiles(json_object* list) : list_(list), entry_file_(json_object_array_length(list), kNone) {
    std::map<std::string, size_t> by_path;
    for (size_t i = 0; i < entry_file_.size(); ++i) {
      const char* path = stored_member(json_object_array_get_idx(list, i), "sys_path");
      if (path == nullptr || path[0] != '/') continue;
      auto [slot, added] = by_path.emplace(path, paths_.size());
      if (added) paths_.push_back(path);
      entry_file_[i] = slot->second;
    }
  }

  // The file of entry `i`, or nullptr for an entry without an absolute "sys_path".
  const FileState* file_of(size_t i) const { return entry_file_[i] == kNone ? nullptr : &states_[entry_file_[i]]; }

  void measure() {
    states_.resize(paths_.size());
    for_each_in_order<FileState>(
        paths_.size(), [&](size_t f) { return examine_file(paths_[f]); },
        [&](size_t f, FileState& state) { states_[f] = std::move(state); });
  }

  // The measured files grouped by normal form, as their holders name them.
  std::vector<FileHolders> holders() const {
    std::vector<FileHolders> groups;
    std::map<std::string, size_t> group_of;
    for (size_t i = 0; i < entry_file_.size(); ++i) {
      const FileState* state = file_of(i);
      if (state == nullptr || !state->measured) continue;
      json_object* entry = json_object_array_get_idx(list_, i);
      const std::string& path = paths_[entry_file_[i]];
      auto [slot, added] = group_of.emplace(normal(path), groups.size());
      if (added) groups.push_back({path, {}});
      const char* boot_path = stored_member(entry, "grub_path");
      groups[slot->second].boot_paths.push_back(boot_path != nullptr ? boot_path : "");
    }
    return groups;
  }

 private:
  static constexpr size_t kNone = static_cast<size_t>(-1);
  json_object* list_;
  std::vector<size_t> entry_file_;  // entry -> index into paths_, or kNone
  std::vector<std::string> paths_;  // distinct "sys_path" texts, in list order
  std::vector<FileState> states_;
};

// The boot path of every file now, "" where the translation fails, and
// why it failed in `failures`.
std::vector<std::string> translate_all(const std::vector<FileHolders>& files,
                                       std::vector<TranslationFailure>* failures) {
  using Translation = std::pair<std::string, TranslationFailure>;
  std::vector<std::string> boot_paths(files.size());
  failures->assign(files.size(), TranslationFailure{});
  for_each_in_order<Translation>(
      files.size(),
      [&](size_t f) {
        Translation translation;
        if (!translate_boot_path(files[f].path, &translation.first, &translation.second)) translation.first.clear();
        return translation;
      },
      [&](size_t f, Translation& translation) {
        boot_paths[f] = std::move(translation.first);
        (*failures)[f] = std::move(translation.second);
      });
  return boot_paths;
}

// The PCR an entry names must be the one its file belongs to: an entry of
// "pcr" "10" or none counts in no reference value, so the file would pass
// every check of the document while the boot measures it.
void check_pcr(json_object* entry, const char* path, std::vector<Finding>* findings) {
  const int belongs_to = get_pcrFlag(path);
  if (entry_pcr(entry) == belongs_to) return;
  Finding wrong = finding(FindingKind::kWrongPcr, path);
  json_object* stored = nullptr;
  if (json_object_object_get_ex(entry, "pcr", &stored) && stored != nullptr)
    wrong.stored = json_object_get_string(stored);
  wrong.current = std::to_string(belongs_to);
  findings->push_back(wrong);
}

void check_baseline(const Options& options, Report* report) {
  SharedBaselineLock lock;
  if (!lock.acquire(options.wait_seconds, &report->failure)) return;
  Document document;
  json_object* list = nullptr;
  if (!load_document(&document, &list, &report->failure)) return;
  report->policy = stored_policy(document.get());
  report->references = reference_values(list);

  BootPathReuse reuse;
  EntryFiles files(list);
  files.measure();
  std::vector<std::string> entry_paths;
  std::set<std::string> held;
  report->entries = json_object_array_length(list);
  for (size_t i = 0; i < report->entries; ++i) {
    json_object* entry = json_object_array_get_idx(list, i);
    const char* path = stored_member(entry, "sys_path");
    if (const FileState* file = files.file_of(i)) {
      report->entries_in_step += judge_entry(entry, *file, &report->findings) == EntryState::kInStep;
    } else {
      Finding invalid = finding(FindingKind::kInvalidEntry, path != nullptr ? path : "");
      invalid.reason = "entry " + std::to_string(i) + " has no absolute \"sys_path\"";
      report->findings.push_back(invalid);
    }
    if (path == nullptr) continue;
    check_pcr(entry, path, &report->findings);
    entry_paths.push_back(path);
    held.insert(normal(path));
  }
  std::vector<FileHolders> measured = files.holders();
  std::string missing;  // why the boot paths cannot be checked
  if (!measured.empty()) grub_tools_ready(&missing);
  std::vector<TranslationFailure> failures(measured.size());
  std::vector<std::string> boot_paths =
      missing.empty() ? translate_all(measured, &failures) : std::vector<std::string>(measured.size());
  check_boot_paths(measured, boot_paths, failures, missing, &report->findings);
  check_leftovers(&report->findings);
  check_reservation(report->entries, &report->findings);
  check_new_files(held, &report->findings);
  check_path_list(entry_paths, &report->findings);
  if (options.check_tpm) check_tpm(report->references, &report->tpm, &report->findings);
  else report->tpm.reason = "skipped on request";

  bool drifted = false, unchecked = false;
  for (const auto& item : report->findings) (is_drift(item.kind) ? drifted : unchecked) = true;
  report->outcome = drifted ? Outcome::kDrift : unchecked ? Outcome::kIncomplete : Outcome::kInStep;
}

}  // namespace

const char* index_state_name(IndexState state) {
  switch (state) {
    case IndexState::kNotChecked: return "not_checked";
    case IndexState::kPresent: return "present";
    case IndexState::kMissing: return "missing";
    case IndexState::kUnreadable: return "unreadable";
  }
  return "unknown";
}

const char* outcome_name(Outcome outcome) {
  switch (outcome) {
    case Outcome::kInStep: return "in_step";
    case Outcome::kDrift: return "drift";
    case Outcome::kIncomplete: return "incomplete";
    case Outcome::kFailed: return "error";
  }
  return "error";
}

const char* verdict_name(Verdict verdict) {
  switch (verdict) {
    case Verdict::kOk: return "OK";
    case Verdict::kWarning: return "WARNING";
    case Verdict::kCritical: return "CRITICAL";
    case Verdict::kUnknown: return "UNKNOWN";
  }
  return "UNKNOWN";
}

size_t Report::count(FindingKind kind) const {
  return std::count_if(findings.begin(), findings.end(), [kind](const Finding& item) { return item.kind == kind; });
}

size_t Report::drift_count() const {
  return std::count_if(findings.begin(), findings.end(), [](const Finding& item) { return is_drift(item.kind); });
}

size_t Report::unchecked_count() const { return findings.size() - drift_count(); }

bool Report::next_boot_stops() const {
  if (outcome != Outcome::kDrift || !policy.arrests()) return false;
  return std::any_of(findings.begin(), findings.end(), [](const Finding& item) { return stops_boot(item.kind); });
}

Verdict Report::verdict() const {
  switch (outcome) {
    case Outcome::kInStep: return Verdict::kOk;
    case Outcome::kDrift: return next_boot_stops() ? Verdict::kCritical : Verdict::kWarning;
    default: return Verdict::kUnknown;
  }
}

Report check(const Options& options) {
  Report report;
  report.checked_at = static_cast<long long>(time(nullptr));
  auto start = std::chrono::steady_clock::now();
  check_baseline(options, &report);
  report.check_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return report;
}

}  // namespace drift
