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
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

#include "baseline_document.h"
#include "file_measurement.h"
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
  Finding result{kind, path, "", "", "", FileClass::kConfiguration, 0, 0};
  return result;
}

// Compares one entry with its file; true when it is in step.
bool check_entry(json_object* entry, size_t position, std::vector<Finding>* findings) {
  const char* path = string_member(entry, "sys_path");
  if (path == nullptr || path[0] != '/') {
    Finding invalid = finding(FindingKind::kInvalidEntry, path != nullptr ? path : "");
    invalid.reason = "entry " + std::to_string(position) + " has no absolute \"sys_path\"";
    findings->push_back(invalid);
    return false;
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
    return false;
  }
  if (S_ISLNK(info.st_mode)) {
    findings->push_back(finding(FindingKind::kSymlink, path));
    return false;
  }
  // A fifo would block the open and a device would be read without end;
  // a directory measures as its size in zero bytes, as the tool does.
  if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
    Finding unreadable = finding(FindingKind::kUnreadable, path);
    unreadable.reason = "not a regular file";
    findings->push_back(unreadable);
    return false;
  }

  FileMeasurement measurement = measure_file(path);
  switch (measurement.outcome) {
    case MeasureOutcome::kMeasured:
      break;
    case MeasureOutcome::kMissing:  // went between the lstat and the open
      findings->push_back(finding(FindingKind::kMissing, path));
      return false;
    case MeasureOutcome::kSymlink:
      findings->push_back(finding(FindingKind::kSymlink, path));
      return false;
    default: {
      Finding unreadable = finding(FindingKind::kUnreadable, path);
      unreadable.reason = access(path, R_OK) != 0 ? strerror(errno) : "changed while it was measured";
      findings->push_back(unreadable);
      return false;
    }
  }
  if (stored == measurement.text) return true;
  Finding changed = finding(FindingKind::kChanged, path);
  changed.stored = stored;
  changed.current = measurement.text;
  findings->push_back(changed);
  return false;
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

void check_tpm(json_object* document, json_object* list, TpmCheck* tpm, std::vector<Finding>* findings) {
  if (testing_tpm_chip() != 0) {
    tpm->reason = "no TPM answered";
    return;
  }
  tpm->checked = true;
  std::string reason;
  tpm->reference = probe_index(kReferenceIndex, &reason);
  if (tpm->reference == IndexState::kPresent) {
    LentDocument lent(document, list);
    for (int flag : kFlags) {
      SlotCheck slot{flag, "", expected_slot(flag)};
      uint8_t stored[kSlotSize];
      if (read_nv_slot(flag, stored) != 0) {
        tpm->reference = IndexState::kUnreadable;
        reason = "slot of PCR " + std::to_string(flag) + " cannot be read";
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
  }
  return "unknown";
}

bool is_drift(FindingKind kind) {
  switch (kind) {
    case FindingKind::kUnreadable:
    case FindingKind::kInvalidEntry:
    case FindingKind::kPathListUnreadable:
    case FindingKind::kTpmUnreadable:
      return false;
    default:
      return true;
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

int Report::exit_status() const {
  switch (outcome) {
    case Outcome::kInStep: return 0;
    case Outcome::kDrift: return 1;
    default: return 2;
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
  SharedBaselineLock lock;
  report.failure = lock.acquire(options.wait_seconds);
  if (!report.failure.empty()) return report;
  Document document;
  json_object* list = nullptr;
  report.failure = load_document(&document, &list);
  if (!report.failure.empty()) return report;

  std::vector<std::string> entry_paths;
  std::set<std::string> held;
  report.entries = json_object_array_length(list);
  for (size_t i = 0; i < report.entries; ++i) {
    json_object* entry = json_object_array_get_idx(list, i);
    if (check_entry(entry, i, &report.findings)) ++report.entries_in_step;
    if (const char* path = string_member(entry, "sys_path")) {
      entry_paths.push_back(path);
      held.insert(normal(path));
    }
  }
  for (const auto& file : discover_boot_files()) {
    if (held.count(normal(file.path))) continue;
    Finding added = finding(FindingKind::kNewFile, file.path);
    added.file_class = file.file_class;
    report.findings.push_back(added);
  }
  check_path_list(entry_paths, &report.findings);
  if (options.check_tpm) check_tpm(document.get(), list, &report.tpm, &report.findings);
  else report.tpm.reason = "skipped on request";

  bool drifted = false, unchecked = false;
  for (const auto& item : report.findings) (is_drift(item.kind) ? drifted : unchecked) = true;
  report.outcome = drifted ? Outcome::kDrift : unchecked ? Outcome::kIncomplete : Outcome::kInStep;
  return report;
}

}  // namespace drift
