// File measurement: a file's SM3 digest as its measurement text, 64
// lowercase hex digits. Only a regular file that reads without error is
// measured: a symbolic link, a directory, a FIFO, a device, a read error and
// a path that does not exist (also a dangling link) are refused, each with
// its reason, because a text stored for any of them would describe bytes
// that nobody read.
#pragma once

#include <sys/types.h>

#include <string>

enum class MeasureOutcome {
  kMeasured,       // text holds 64 digits
  kMissing,        // the path does not exist: empty text, not measured
  kOpenFailed,     // could not be opened for reading
  kExamineFailed,  // lstat or fstat failed
  kSymlink,        // the path is a symbolic link
  kSwapped,        // what was opened is not what was examined
  kNotRegular,     // a directory, FIFO, device or socket, not a regular file
  kReadFailed,     // a read failed part way: the text would hide the error
  kChanged,        // the file changed while it was read, twice in a row, or
                   // since it was measured: the text would name bytes that
                   // were never the file
};

struct FileMeasurement {
  MeasureOutcome outcome = MeasureOutcome::kOpenFailed;
  int error = 0;       // errno of the failed call, 0 where none applies
  mode_t type = 0;     // S_IFMT bits of what was opened, for kNotRegular
  char text[65] = {};  // zero-terminated measurement text
  // What was read, when measured: the file at the path is still the file
  // measured while these hold (still_the_measured_file).
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  struct timespec changed = {};  // st_ctim: any write, truncation or chmod moves it
};

// Measures without touching any process-wide state and without logging, so
// worker threads may call it; exactly st_size bytes are hashed, in constant
// memory. A read error is a failure, never zeros. The file's size, identity
// and change time are compared before and after the read: a file that
// changed meanwhile (written, truncated, renamed over) is measured once more,
// and fails as kChanged when it changed again. Zeros stand only for bytes
// that a file which stayed unchanged reports but does not deliver (sysfs).
FileMeasurement measure_file(const char* path);

// Whether `path` names, unchanged, the file that `measurement` read: the same
// device and inode, size and change time. Checked before a measurement is
// stored, so that a file replaced since never gets the old file's digest.
bool still_the_measured_file(const char* path, const FileMeasurement& measurement);

// Why a measurement failed, in words for the administrator ("" when it
// measured), e.g. "a read failed: Input/output error".
std::string describe_failure(const FileMeasurement& measurement);

// Writes the log line that belongs to a measurement's outcome, if any.
void log_measurement(const char* path, const FileMeasurement& measurement);

// 0 with retVal holding the text; -1 with retVal unchanged after a failure
// (a missing path included), which is logged.
int SM3_256_PRO(const char* path);
