// The baseline document "/boot/.vemobase" and its companion files.
//
// One command is one load (or create), change in memory, save and release of
// the document through the process-wide handles `root` and `file_list`.
// Saves replace the file atomically (temporary file in /boot, fsync, rename,
// fsync of /boot) with exactly the bytes of json-c's pretty printer, and a
// failed save is reported. A command that changes the document holds an
// exclusive advisory lock (flock on the root-only kBaselineLockPath, see
// support/private_lock.h) from its load to its save: concurrent runs are
// serialised.
#pragma once

#include <json-c/json.h>

#include <string>
#include <vector>

#include "baseline/files.h"
#include "support/private_lock.h"


extern json_object* root;       // the whole document, or nullptr
extern json_object* file_list;  // root's "list", owned by root

// The largest document read: far above any real baseline, and a bound on
// what a planted file can make a command hold in memory.
inline constexpr size_t kBaselineDocumentLimit = size_t{64} << 20;

// Reads and parses the document as the writes treat it: no link, no FIFO or
// device, at most kBaselineDocumentLimit bytes, no text member holding a NUL
// (damaged). The caller owns the result;
// nullptr with *why_not set (one line, naming the file) when it cannot.
json_object* read_baseline_document(std::string* why_not);

// New document in memory: "trust_startup" "on", "arrest_mode" "log", empty "list".
int init_json();
// Loads the document; prints or logs the cause and returns -1 on failure.
int get_json();
// Saves root atomically; -1 (logged at level 1) when it could not be written,
// and then the previous file stays intact.
int save_json();
// Drops the document and clears both handles.
void release_json();

// Changes whenever the document in memory is dropped or another is loaded,
// so what was derived from a list can tell that it is stale.
unsigned long document_generation();

// How long a command waits for another that holds the baseline: far longer
// than any command takes on a real machine, short enough that a package run
// never hangs on a stuck one.
inline constexpr int kBaselineLockSeconds = 60;
// Tests only: the wait of lock_baseline(), in seconds (0 restores it).
void set_baseline_lock_seconds_for_testing(int seconds);

// Takes the exclusive baseline lock for the rest of the process (released by
// unlock_baseline or at exit), waiting at most kBaselineLockSeconds, and
// removes the temporary files an interrupted run left; -1 when it cannot be
// had, with the reason (and who holds it) told to the user.
int lock_baseline();
// The lock of a reader that changes nothing (the drift report): shared with
// other readers, it waits at most `wait_seconds` for a command that holds the
// exclusive one and leaves every file alone; false with `why_not` otherwise.
bool lock_baseline_shared(int wait_seconds, std::string* why_not);
void unlock_baseline();

// Releases the document when a command's scope ends, on every way out.
class DocumentSession {
 public:
  DocumentSession() = default;
  ~DocumentSession() { release_json(); }
  DocumentSession(const DocumentSession&) = delete;
  DocumentSession& operator=(const DocumentSession&) = delete;
};
// 1 when a path list line begins with `path`, 0 when none does, -1 when the
// path list cannot be read.
int checkRepeat(const char* path);
