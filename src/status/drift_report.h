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
//  - translates the file of every entry once more into its boot path with
//    the GRUB tools and compares it with its "grub_path", and finds files
//    held by more than one entry;
//  - looks for temporary files that an interrupted command left in /boot;
//  - recomputes the four reference values from the document, and with a TPM
//    compares them with the slots of the reference index, and looks for the
//    snapshot index.
// It writes no file, no log entry and nothing to the TPM. The only programs
// it starts are the GRUB tools (and what boot path translation asks of df
// and dmidecode), which only read.
// The verdict weighs the drift against the policy switches stored in the
// baseline: whether the next boot will be arrested or only log it.
#pragma once

#include <string>
#include <vector>

#include "baseline/discovery.h"

namespace drift {

// Each kind is one row of the table in finding_kinds.cc: its name, whether
// it is drift and stops the next boot, and how it is told.
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
  kSnapshotDiffers,        // a PCR 0-7 of the TPM differs from its value in the snapshot
  kIndexRedefined,         // an NV index is not defined as initialisation defines it
  kBootPathChanged,        // the file's boot path is no longer the stored one,
                           // or more than one entry holds the file
  kLeftoverTemporary,      // a temporary file of an interrupted command in /boot
  kReservationUndersized,  // the boot log reservation is missing or too small for the entries
  kUnstorableFile,         // a boot file whose name the baseline cannot hold (not UTF-8,
                           // a line end): initialisation leaves it out, the boot meets it
  kWrongPcr,               // the entry's "pcr" is missing, not a reference PCR, or not the PCR
                           // its file belongs to: its digest counts in no reference value, or
                           // in another one than the boot extends
  // Not checked: something could not be examined.
  kUnreadable,             // the entry's file could not be measured
  kInvalidEntry,           // an entry without a usable "sys_path"
  kPathListUnreadable,     // the path list exists but cannot be read
  kTpmUnreadable,          // a TPM index exists or may exist but cannot be read
  kSnapshotUnchecked,      // the snapshot could not be compared with the TPM's PCRs 0-7
  kBootPathUnchecked,      // a boot path could not be derived afresh
  kDiscoveryFailed,        // the boot files were not all looked for
  kCount,                  // not a kind: how many there are
};

// Read from the kind's row:
// The word that names a kind in both outputs, e.g. "changed", "new_file".
const char* kind_name(FindingKind kind);
// True for the kinds that are drift, false for those that are "not checked".
bool is_drift(FindingKind kind);
// True for the drift kinds that the boot itself notices, so that an arresting
// policy stops it; the path list and leftover temporary files are the
// tool's own bookkeeping and never stop a boot.
bool stops_boot(FindingKind kind);

struct Finding {
  FindingKind kind;
  std::string path;     // the file or line concerned; empty for index findings
  std::string stored;   // kChanged: stored text; kSlotDiffers: slot bytes in hex;
                        // kBootPathChanged: the entry's "grub_path"; kReservationUndersized: its size;
                        // kWrongPcr: the entry's "pcr", empty when it has none;
                        // kSnapshotDiffers: the PCR's value in the snapshot, in hex
  std::string current;  // kChanged: text measured now; kSlotDiffers: recomputed value;
                        // kBootPathChanged: the boot path now, empty when unknown;
                        // kReservationUndersized: the size the entries need;
                        // kWrongPcr: the PCR its file belongs to;
                        // kSnapshotDiffers: the PCR's value in the TPM now;
                        // kIndexRedefined: what differs from the definition
  std::string reason;   // the "not checked" kinds and kUnstorableFile: why
  std::string advice;   // kBootPathUnchecked: what to do about it, when known
  size_t holders = 0;   // kBootPathChanged: entries that hold the file, when more than one
  BootFileClass file_class = BootFileClass::kConfiguration;  // kNewFile, kUnstorableFile: which discovery
                                                             // rule finds it
  int pcr = 0;          // kSlotDiffers, kSnapshotDiffers
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
  std::vector<SlotCheck> slots;  // the reference PCRs once the reference index was read
};

// The reference value of one emulated PCR, computed from the baseline alone.
struct ReferenceValue {
  int pcr = 0;
  size_t entries = 0;  // entries that belong to the PCR
  std::string value;   // 64 hex digits; zeros when no entry belongs to it
};

// The policy switches as stored in the baseline; empty when absent.
struct Policy {
  std::string trust_startup;
  std::string arrest_mode;
  // Trusted start-up "on" with arrest mode "dialog": drift stops the boot.
  bool arrests() const { return trust_startup == "on" && arrest_mode == "dialog"; }
};

enum class Outcome {
  kInStep,      // no finding
  kDrift,       // at least one drift finding
  kIncomplete,  // no drift found, but something was not checked
  kFailed,      // the check could not be made at all
};
const char* outcome_name(Outcome outcome);  // "in_step", "drift", "incomplete", "error"

// The monitoring-plugin verdict; its value is the exit status.
enum class Verdict { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };
const char* verdict_name(Verdict verdict);  // "OK", "WARNING", "CRITICAL", "UNKNOWN"

struct Report {
  Outcome outcome = Outcome::kFailed;
  std::string failure;  // kFailed: why
  size_t entries = 0;
  size_t entries_in_step = 0;
  std::vector<Finding> findings;  // entries in list order, boot paths, leftovers, new files,
                                  // path list, TPM
  TpmCheck tpm;
  Policy policy;
  std::vector<ReferenceValue> references;  // the reference PCRs once the document was read
  long long checked_at = 0;                // seconds since the epoch when the check began
  double check_seconds = 0;                // how long it took

  size_t count(FindingKind kind) const;
  size_t drift_count() const;      // findings that are drift
  size_t unchecked_count() const;  // findings that are "not checked"
  // Drift that the boot notices, under a policy that arrests it.
  bool next_boot_stops() const;
  // UNKNOWN when the check failed or was incomplete; CRITICAL when the next
  // boot stops; WARNING for other drift; OK in step.
  Verdict verdict() const;
  int exit_status() const { return static_cast<int>(verdict()); }
};

struct Options {
  bool check_tpm = true;
  // How long to wait for a command that is changing the baseline; after that
  // the report fails as "baseline busy".
  int wait_seconds = 30;
};

Report check(const Options& options);

}  // namespace drift
