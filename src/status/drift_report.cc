#include "drift_report.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <glob.h>
#include <json-c/json.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <tss2/tss2_rc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "baseline_document.h"
#include "boot_path.h"
#include "file_measurement.h"
#include "grub_tools.h"
#include "path_list.h"
#include "pcr_emulation.h"
#include "tpm_standin.h"
#include "tpm_store.h"

namespace drift {
namespace {

namespace fs = std::filesystem;

constexpr int kFlags[] = {8, 9, 11, 12};
constexpr size_t kSlotSize = 32;
constexpr uint32_t kTpmRcHandle = 0x08B;  // TPM_RC_HANDLE: no such index

std::string hex(const uint8_t* bytes, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * size);
  for (size_t i = 0; i < size; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

// A shared lock on /boot: commands that change the baseline hold the
// exclusive one from their load to their save.
class SharedBaselineLock {
 public:
  ~SharedBaselineLock() {
    if (fd_ >= 0) close(fd_);
  }
  // "" on success, else why the lock could not be had.
  std::string acquire(int wait_seconds) {
    fd_ = open("/boot", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) return std::string("cannot open /boot: ") + strerror(errno);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait_seconds);
    for (;;) {
      if (flock(fd_, LOCK_SH | LOCK_NB) == 0) return "";
      if (errno != EWOULDBLOCK && errno != EINTR) return std::string("cannot lock /boot: ") + strerror(errno);
      if (std::chrono::steady_clock::now() >= deadline)
        return "baseline busy: another command is changing it";
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

 private:
  int fd_ = -1;
};

struct JsonPut {
  void operator()(json_object* object) const { json_object_put(object); }
};
using Document = std::unique_ptr<json_object, JsonPut>;

// Lends a loaded document to the PCR emulation, which reads the process-wide
// handles, and takes it back on every way out.
class LentDocument {
 public:
  LentDocument(json_object* document, json_object* list) : saved_root_(root), saved_list_(file_list) {
    root = document;
    file_list = list;
  }
  ~LentDocument() {
    root = saved_root_;
    file_list = saved_list_;
  }
  LentDocument(const LentDocument&) = delete;
  LentDocument& operator=(const LentDocument&) = delete;

 private:
  json_object* saved_root_;
  json_object* saved_list_;
};

// The document and its "list", or the reason there is none.
std::string load_document(Document* document, json_object** list) {
  struct stat info {};
  if (stat(kBaselinePath, &info) != 0) {
    if (errno == ENOENT) return std::string("no baseline: ") + kBaselinePath + " does not exist (run zovemo_config -i)";
    return std::string("cannot examine ") + kBaselinePath + ": " + strerror(errno);
  }
  if (access(kBaselinePath, R_OK) != 0) return std::string("cannot read ") + kBaselinePath + ": " + strerror(errno);
  document->reset(json_object_from_file(kBaselinePath));
  if (!*document) {
    const char* why = json_util_get_last_err();
    std::string reason = why != nullptr ? why : "not JSON";
    while (!reason.empty() && reason.back() == '\n') reason.pop_back();
    return std::string("cannot parse ") + kBaselinePath + ": " + reason;
  }
  if (!json_object_is_type(document->get(), json_type_object) ||
      !json_object_object_get_ex(document->get(), "list", list) || !json_object_is_type(*list, json_type_array))
    return std::string("damaged baseline: ") + kBaselinePath + " has no \"list\" array";
  return "";
}

const char* string_member(json_object* entry, const char* name) {
  json_object* member = nullptr;
  if (!json_object_is_type(entry, json_type_object) || !json_object_object_get_ex(entry, name, &member) ||
      !json_object_is_type(member, json_type_string))
    return nullptr;
  return json_object_get_string(member);
}

Finding finding(FindingKind kind, const std::string& path) {
  Finding result;
  result.kind = kind;
  result.path = path;
  return result;
}

enum class EntryState {
  kInStep,   // measured, same text
  kChanged,  // measured, other text
  kAbsent,   // not measured: missing, a link, unreadable or invalid
};

// Compares one entry with its file.
EntryState check_entry(json_object* entry, size_t position, std::vector<Finding>* findings) {
  const char* path = string_member(entry, "sys_path");
  if (path == nullptr || path[0] != '/') {
    Finding invalid = finding(FindingKind::kInvalidEntry, path != nullptr ? path : "");
    invalid.reason = "entry " + std::to_string(position) + " has no absolute \"sys_path\"";
    findings->push_back(invalid);
    return EntryState::kAbsent;
  }
  const char* stored_text = string_member(entry, "measure_base_value");
  std::string stored = stored_text != nullptr ? stored_text : "";

  struct stat info {};
  if (lstat(path, &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      findings->push_back(finding(FindingKind::kMissing, path));
    } else {
      Finding unreadable = finding(FindingKind::kUnreadable, path);
      unreadable.reason = strerror(errno);
      findings->push_back(unreadable);
    }
    return EntryState::kAbsent;
  }
  if (S_ISLNK(info.st_mode)) {
    findings->push_back(finding(FindingKind::kSymlink, path));
    return EntryState::kAbsent;
  }
  // A fifo would block the open and a device would be read without end;
  // a directory measures as its size in zero bytes, as the tool does.
  if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
    Finding unreadable = finding(FindingKind::kUnreadable, path);
    unreadable.reason = "not a regular file";
    findings->push_back(unreadable);
    return EntryState::kAbsent;
  }

  FileMeasurement measurement = measure_file(path);
  switch (measurement.outcome) {
    case MeasureOutcome::kMeasured:
      break;
    case MeasureOutcome::kMissing:  // went between the lstat and the open
      findings->push_back(finding(FindingKind::kMissing, path));
      return EntryState::kAbsent;
    case MeasureOutcome::kSymlink:
      findings->push_back(finding(FindingKind::kSymlink, path));
      return EntryState::kAbsent;
    default: {
      Finding unreadable = finding(FindingKind::kUnreadable, path);
      unreadable.reason = access(path, R_OK) != 0 ? strerror(errno) : "changed while it was measured";
      findings->push_back(unreadable);
      return EntryState::kAbsent;
    }
  }
  if (stored == measurement.text) return EntryState::kInStep;
  Finding changed = finding(FindingKind::kChanged, path);
  changed.stored = stored;
  changed.current = measurement.text;
  findings->push_back(changed);
  return EntryState::kChanged;
}

// What initialisation would measure of a discovered path: regular files,
// and directories where find names them (ls lists a directory's content).
bool measurable(const std::string& path, bool directory_too) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return false;
  return S_ISREG(info.st_mode) || (directory_too && S_ISDIR(info.st_mode));
}

void add_discovered(const std::string& path, FileClass file_class, bool directory_too, std::set<std::string>* seen,
                    std::vector<DiscoveredFile>* files) {
  if (!measurable(path, directory_too) || !seen->insert(path).second) return;
  files->push_back({path, file_class});
}

// The paths below `boot` whose names match "*.mod" and "*.cfg" as find's
// -name matches them, each sorted; like find, one walk that does not follow
// symbolic links to directories.
void find_by_name(const std::string& boot, std::vector<std::string>* modules, std::vector<std::string>* configs) {
  std::error_code error;
  fs::recursive_directory_iterator it(boot, fs::directory_options::skip_permission_denied, error);
  for (fs::recursive_directory_iterator end; !error && it != end; it.increment(error)) {
    std::string name = it->path().filename().string();
    if (fnmatch("*.mod", name.c_str(), 0) == 0) modules->push_back(it->path().string());
    if (fnmatch("*.cfg", name.c_str(), 0) == 0) configs->push_back(it->path().string());
  }
  std::sort(modules->begin(), modules->end());
  std::sort(configs->begin(), configs->end());
}

void glob_paths(const std::vector<std::string>& patterns, FileClass file_class, bool skip_kdump,
                std::set<std::string>* seen, std::vector<DiscoveredFile>* files) {
  for (const auto& pattern : patterns) {
    glob_t matches{};
    if (glob(pattern.c_str(), 0, nullptr, &matches) == 0) {
      for (size_t i = 0; i < matches.gl_pathc; ++i) {
        std::string path = matches.gl_pathv[i];
        if (skip_kdump && path.find("kdump.img") != std::string::npos) continue;
        add_discovered(path, file_class, false, seen, files);
      }
    }
    globfree(&matches);
  }
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

// The state of an NV index, from a one-byte owner-authorised read.
IndexState probe_index(uint32_t index, std::string* reason) {
  TpmContextHandle context = 0;
  if (Tspi_Context_Create(&context) != 0) {
    *reason = "no TPM context";
    return IndexState::kUnreadable;
  }
  TpmResult rc = Tspi_Context_Connect(context, nullptr);
  if (rc == 0) {
    auto owner = std::make_unique<TpmOwnerAuth>();
    memset(owner.get(), 0, sizeof *owner);
    owner->auth_handle = kTpmOwnerHierarchy;
    owner->session_handle = kTpmPasswordSession;
    TpmSizedBuffer data;
    memset(&data, 0, sizeof data);
    rc = Tss2_NV_Read(context, owner.get(), index, 1, 0, &data);
  }
  Tspi_Context_FreeMemory(context, nullptr);
  Tspi_Context_Close(context);
  if (rc == 0) return IndexState::kPresent;
  uint32_t type = 0, offset = 0;
  Tss2_ErrCode(rc, &type, &offset);
  if (type == kTpmRcHandle) return IndexState::kMissing;
  *reason = Tss2_RC_Decode(rc);
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

struct FreeBlock {
  void operator()(uint8_t* block) const { free(block); }
};
using Block = std::unique_ptr<uint8_t, FreeBlock>;

// The reference value of a PCR flag from the lent document: the extension
// of its aggregate digest, or zero when no entry belongs to it.
std::string expected_slot(int flag) {
  uint8_t zeros[kSlotSize] = {};
  Block aggregate(emulate_pcr(flag));
  if (!aggregate) return hex(zeros, kSlotSize);
  Block extended(pcr_extend(aggregate.get()));
  return extended ? hex(extended.get(), kSlotSize) : "";
}

void check_tpm(const std::vector<ReferenceValue>& references, TpmCheck* tpm, std::vector<Finding>* findings) {
  if (testing_tpm_chip() != 0) {
    tpm->reason = "no TPM answered";
    return;
  }
  tpm->checked = true;
  std::string reason;
  tpm->reference = probe_index(kReferenceIndex, &reason);
  if (tpm->reference == IndexState::kPresent) {
    for (const auto& reference : references) {
      SlotCheck slot{reference.pcr, "", reference.value};
      uint8_t stored[kSlotSize];
      if (read_nv_slot(reference.pcr, stored) != 0) {
        tpm->reference = IndexState::kUnreadable;
        reason = "slot of PCR " + std::to_string(reference.pcr) + " cannot be read";
        tpm->slots.clear();
        break;
      }
      slot.stored = hex(stored, kSlotSize);
      tpm->slots.push_back(slot);
    }
  }
  add_index_finding(tpm->reference, kReferenceIndex, FindingKind::kReferenceIndexMissing, reason, findings);
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
  tpm->snapshot = probe_index(kSnapshotIndex, &reason);
  add_index_finding(tpm->snapshot, kSnapshotIndex, FindingKind::kSnapshotIndexMissing, reason, findings);
}

// The entry's "pcr" as the emulation reads it: one or two decimal digits.
int entry_pcr(json_object* entry) {
  const char* text = string_member(entry, "pcr");
  if (text == nullptr) return -1;
  size_t length = strlen(text);
  if (length < 1 || length > 2 || !isdigit(static_cast<unsigned char>(text[0])) ||
      (length == 2 && !isdigit(static_cast<unsigned char>(text[1]))))
    return -1;
  return atoi(text);
}

std::vector<ReferenceValue> reference_values(json_object* document, json_object* list) {
  LentDocument lent(document, list);
  std::vector<ReferenceValue> references;
  for (int flag : kFlags) {
    ReferenceValue reference{flag, 0, expected_slot(flag)};
    for (size_t i = 0; i < json_object_array_length(list); ++i)
      reference.entries += entry_pcr(json_object_array_get_idx(list, i)) == flag;
    references.push_back(reference);
  }
  return references;
}

Policy stored_policy(json_object* document) {
  const char* trust = string_member(document, "trust_startup");
  const char* arrest = string_member(document, "arrest_mode");
  return Policy{trust != nullptr ? trust : "", arrest != nullptr ? arrest : ""};
}

bool on_path(const std::string& program) {
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (access(((dir.empty() ? "." : dir) + "/" + program).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

// "" when the GRUB tools can translate paths, else why not. What choosing
// the tools needs is looked for first: a failed choice would be logged, and
// the report writes no log entry.
std::string grub_tools_missing() {
  glob_t matches{};
  bool found = glob("/boot/grub*", GLOB_NOSORT, nullptr, &matches) == 0;
  globfree(&matches);
  if (!found) return "no GRUB directory under /boot";
  if (!on_path("ls")) return "ls not found";
  if (set_command() != 0) return "the GRUB tools cannot be chosen";
  for (const char* tool : {GRUB_PROBE, GRUB_MKRELPATH})
    if (!on_path(tool)) return std::string(tool) + " not found";
  return "";
}

// Entries whose file was measured, grouped by file, in list order.
struct FileHolders {
  std::string path;
  std::vector<std::string> boot_paths;  // the "grub_path" of each holder
};

// The boot path of every file, "" where the translation fails. Each is two
// short-lived GRUB tool processes, so a few run at once: the waiting, not
// the processor, is what they cost.
std::vector<std::string> translate_all(const std::vector<FileHolders>& files) {
  constexpr size_t kTranslators = 4;
  std::vector<std::string> boot_paths(files.size());
  std::atomic<size_t> next{0};
  auto translate_next = [&] {
    for (size_t i; (i = next++) < files.size();) {
      if (!translate_boot_path(files[i].path, &boot_paths[i])) boot_paths[i].clear();
    }
  };
  std::vector<std::thread> helpers;
  for (size_t i = 1; i < std::min(kTranslators, files.size()); ++i) helpers.emplace_back(translate_next);
  translate_next();
  for (auto& helper : helpers) helper.join();
  return boot_paths;
}

// One translation per file: an entry whose stored boot path is no longer
// what the file translates to has drifted; so have the second and later
// holders of a file when no translation tells the stale one apart.
void check_boot_paths(const std::vector<FileHolders>& files, std::vector<Finding>* findings) {
  if (files.empty()) return;
  std::string missing = grub_tools_missing();
  std::vector<std::string> boot_paths(files.size());
  if (!missing.empty()) {
    Finding unchecked = finding(FindingKind::kBootPathUnchecked, "");
    unchecked.reason = "boot paths not checked: " + missing;
    findings->push_back(unchecked);
  } else {
    boot_paths = translate_all(files);
  }
  for (size_t f = 0; f < files.size(); ++f) {
    const FileHolders& file = files[f];
    const std::string& now = boot_paths[f];
    bool translated = !now.empty();
    if (missing.empty() && !translated) {
      Finding unchecked = finding(FindingKind::kBootPathUnchecked, file.path);
      unchecked.reason = "the GRUB tools could not translate it";
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
  for (const char* pattern : {"/boot/.vemobase.new-*", "/boot/.vemolog.new-*", kPathListScratch}) {
    glob_t matches{};
    if (glob(pattern, 0, nullptr, &matches) == 0) {
      for (size_t i = 0; i < matches.gl_pathc; ++i)
        findings->push_back(finding(FindingKind::kLeftoverTemporary, matches.gl_pathv[i]));
    }
    globfree(&matches);
  }
}

void check_baseline(const Options& options, Report* report) {
  SharedBaselineLock lock;
  report->failure = lock.acquire(options.wait_seconds);
  if (!report->failure.empty()) return;
  Document document;
  json_object* list = nullptr;
  report->failure = load_document(&document, &list);
  if (!report->failure.empty()) return;
  report->policy = stored_policy(document.get());
  report->references = reference_values(document.get(), list);

  std::vector<std::string> entry_paths;
  std::set<std::string> held;
  std::vector<FileHolders> measured;
  std::map<std::string, size_t> measured_index;
  report->entries = json_object_array_length(list);
  for (size_t i = 0; i < report->entries; ++i) {
    json_object* entry = json_object_array_get_idx(list, i);
    EntryState state = check_entry(entry, i, &report->findings);
    if (state == EntryState::kInStep) ++report->entries_in_step;
    const char* path = string_member(entry, "sys_path");
    if (path == nullptr) continue;
    entry_paths.push_back(path);
    held.insert(normal(path));
    if (state == EntryState::kAbsent) continue;
    auto [slot, added] = measured_index.emplace(normal(path), measured.size());
    if (added) measured.push_back({path, {}});
    const char* boot_path = string_member(entry, "grub_path");
    measured[slot->second].boot_paths.push_back(boot_path != nullptr ? boot_path : "");
  }
  check_boot_paths(measured, &report->findings);
  check_leftovers(&report->findings);
  for (const auto& file : discover_boot_files()) {
    if (held.count(normal(file.path))) continue;
    Finding added = finding(FindingKind::kNewFile, file.path);
    added.file_class = file.file_class;
    report->findings.push_back(added);
  }
  check_path_list(entry_paths, &report->findings);
  if (options.check_tpm) check_tpm(report->references, &report->tpm, &report->findings);
  else report->tpm.reason = "skipped on request";

  bool drifted = false, unchecked = false;
  for (const auto& item : report->findings) (is_drift(item.kind) ? drifted : unchecked) = true;
  report->outcome = drifted ? Outcome::kDrift : unchecked ? Outcome::kIncomplete : Outcome::kInStep;
}

}  // namespace

const char* kind_name(FindingKind kind) {
  switch (kind) {
    case FindingKind::kChanged: return "changed";
    case FindingKind::kMissing: return "missing";
    case FindingKind::kSymlink: return "symlink";
    case FindingKind::kNewFile: return "new_file";
    case FindingKind::kPathListMissing: return "path_list_missing";
    case FindingKind::kUnlistedEntry: return "unlisted_entry";
    case FindingKind::kUnmatchedLine: return "unmatched_line";
    case FindingKind::kSlotDiffers: return "slot_differs";
    case FindingKind::kReferenceIndexMissing: return "reference_index_missing";
    case FindingKind::kSnapshotIndexMissing: return "snapshot_index_missing";
    case FindingKind::kUnreadable: return "unreadable";
    case FindingKind::kInvalidEntry: return "invalid_entry";
    case FindingKind::kPathListUnreadable: return "path_list_unreadable";
    case FindingKind::kTpmUnreadable: return "tpm_unreadable";
    case FindingKind::kBootPathChanged: return "boot_path_changed";
    case FindingKind::kLeftoverTemporary: return "leftover_temporary";
    case FindingKind::kBootPathUnchecked: return "boot_path_unchecked";
  }
  return "unknown";
}

bool is_drift(FindingKind kind) {
  switch (kind) {
    case FindingKind::kUnreadable:
    case FindingKind::kInvalidEntry:
    case FindingKind::kPathListUnreadable:
    case FindingKind::kTpmUnreadable:
    case FindingKind::kBootPathUnchecked:
      return false;
    default:
      return true;
  }
}

bool stops_boot(FindingKind kind) {
  switch (kind) {
    case FindingKind::kLeftoverTemporary:
    case FindingKind::kPathListMissing:
    case FindingKind::kUnlistedEntry:
    case FindingKind::kUnmatchedLine:
      return false;
    default:
      return is_drift(kind);
  }
}

const char* class_name(FileClass file_class) {
  switch (file_class) {
    case FileClass::kModule: return "module";
    case FileClass::kKernel: return "kernel";
    case FileClass::kInitialRamDisk: return "initrd";
    case FileClass::kConfiguration: return "config";
  }
  return "unknown";
}

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

std::vector<DiscoveredFile> discover_boot_files(const std::string& boot) {
  std::vector<DiscoveredFile> files;
  std::set<std::string> seen;
  std::vector<std::string> modules, configs;
  find_by_name(boot, &modules, &configs);
  for (const auto& path : modules) add_discovered(path, FileClass::kModule, true, &seen, &files);
  glob_paths({boot + "/Image-*", boot + "/vmlinuz-*"}, FileClass::kKernel, false, &seen, &files);
  glob_paths({boot + "/initrd.img-*", boot + "/initramfs.img-*", boot + "/initramfs-*"}, FileClass::kInitialRamDisk,
             true, &seen, &files);
  for (const auto& path : configs) add_discovered(path, FileClass::kConfiguration, true, &seen, &files);
  return files;
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
