// File measurement: a file's SM3 digest as its measurement text, 64
// lowercase hex digits. Symbolic links are refused; a path that does not
// exist (also a dangling link) measures as the empty text.
#pragma once

enum class MeasureOutcome {
  kMeasured,       // text holds 64 digits
  kMissing,        // the path does not exist: empty text, still a success
  kOpenFailed,     // could not be opened for reading
  kExamineFailed,  // lstat failed
  kSymlink,        // the path is a symbolic link
  kSwapped,        // what was opened is not what was examined
};

struct FileMeasurement {
  MeasureOutcome outcome = MeasureOutcome::kOpenFailed;
  char text[65] = {};  // zero-terminated measurement text
};

// Measures without touching any process-wide state and without logging, so
// worker threads may call it; exactly st_size bytes are hashed, zeros where
// a read falls short, in constant memory.
FileMeasurement measure_file(const char* path);

// Writes the log line that belongs to a measurement's outcome, if any.
void log_measurement(const char* path, const FileMeasurement& measurement);

// 0 with retVal holding the text (all zero for a missing path); -1 with
// retVal unchanged after a failure, which is logged.
int SM3_256_PRO(const char* path);
