// The drift report: is the baseline still in step with the machine?
//
// Read-only. It loads "/boot/.vemobase" under a shared lock on /boot (the
// commands that change the baseline hold the exclusive one from load to
// save, so the report never sees the document, the path list and the
// reference index half way through a change), then:
//  - re-measures the file of every entry once and compares the result with
//    its "measure_base_value";
//  - finds the boot files that initialisation would discover today but the
//    baseline does not hold (matched by "sys_path");
//  - matches the lines of the path list against the entries;
//  - with a TPM, recomputes the four reference values from the document and
//    compares them with the slots of the reference index, and looks for the
//    snapshot index.
// It writes no file, no log entry and nothing to the TPM, and starts no
// program: boot paths are not derived afresh.
#pragma once

#include <string>
#include <vector>

namespace drift {

enum class FindingKind {
  // A drift: the baseline no longer describes the machine.
  kChanged,                // the file's measurement differs from the stored one
  kMissing,                // the entry's file does not exist
  kSymlink,                // the entry's file is now a symbolic link
  kNewFile,                // initialisation would measure it; no entry holds it
  kPathListMissing,        // there is no path list at all
  kUnlistedEntry,          // an entry without a line in the path list
  kUnmatchedLine,          // a path list line without an entry
  kSlotDiffers,            // a reference slot differs from the recomputed value
  kReferenceIndexMissing,  // the TPM holds no reference index
  kSnapshotIndexMissing,   // the TPM holds no snapshot index
  // Not checked: something could not be examined.
  kUnreadable,             // the entry's file could not be measured
  kInvalidEntry,           // an entry without a usable "sys_path"
  kPathListUnreadable,     // the path list exists but cannot be read
  kTpmUnreadable,          // a TPM index exists or may exist but cannot be read
};

// The word that names a kind in both outputs, e.g. "changed", "new_file".
const char* kind_name(FindingKind kind);
// True for the kinds that are drift, false for those that are "not checked".
bool is_drift(FindingKind kind);

// Which discovery rule would find a file.
enum class FileClass { kModule, kKernel, kInitialRamDisk, kConfiguration };
const char* class_name(FileClass file_class);  // "module", "kernel", "initrd", "config"

struct Finding {
  FindingKind kind;
  std::string path;     // the file or line concerned; empty for index findings
  std::string stored;   // kChanged: stored text; kSlotDiffers: slot bytes in hex
  std::string current;  // kChanged: text measured now; kSlotDiffers: recomputed value
  std::string reason;   // kUnreadable, kInvalidEntry, kPathListUnreadable, kTpmUnreadable
  FileClass file_class = FileClass::kConfiguration;  // kNewFile
  int pcr = 0;          // kSlotDiffers
  unsigned index = 0;   // the NV index of the TPM findings
};

enum class IndexState { kNotChecked, kPresent, kMissing, kUnreadable };
const char* index_state_name(IndexState state);  // "not_checked", "present", ...

struct SlotCheck {
  int pcr = 0;
  std::string stored;    // 64 hex digits as read, empty when unreadable
  std::string expected;  // 64 hex digits recomputed from the document
};

struct TpmCheck {
  bool checked = false;
  std::string reason;  // why it was not checked
  IndexState reference = IndexState::kNotChecked;
  IndexState snapshot = IndexState::kNotChecked;
  std::vector<SlotCheck> slots;  // PCRs 8, 9, 11, 12 once the reference index was read
};

enum class Outcome {
  kInStep,      // exit status 0
  kDrift,       // exit status 1: at least one drift finding
  kIncomplete,  // exit status 2: no drift found, but something was not checked
  kFailed,      // exit status 2: the check could not be made at all
};
const char* outcome_name(Outcome outcome);  // "in_step", "drift", "incomplete", "error"

struct Report {
  Outcome outcome = Outcome::kFailed;
  std::string failure;  // kFailed: why
  size_t entries = 0;
  size_t entries_in_step = 0;
  std::vector<Finding> findings;  // entries in list order, then new files, path list, TPM
  TpmCheck tpm;

  int exit_status() const;
};

struct Options {
  bool check_tpm = true;
  // How long to wait for a command that is changing the baseline; after that
  // the report fails as "baseline busy".
  int wait_seconds = 30;
};

Report check(const Options& options);

// The files under `boot` that the four discovery rules of initialisation
// find, each once, with the class of the first rule that finds it: "*.mod"
// anywhere below; Image-* and vmlinuz-*; initrd.img-*, initramfs.img-* and
// initramfs-* except "kdump.img"; "*.cfg" anywhere below. Only what the
// tool would measure counts: regular files, and directories found by name
// below /boot; never symbolic links.
struct DiscoveredFile {
  std::string path;
  FileClass file_class;
};
std::vector<DiscoveredFile> discover_boot_files(const std::string& boot = "/boot");

}  // namespace drift
