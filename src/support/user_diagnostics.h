// Tells the administrator why a command failed and what to do about it.
//
// Standard output belongs to the callers that parse the tool's progress
// lines, so these words go to standard error, prefixed "zovemo_config: ",
// and the same reason goes into the tool log as an [ERROR] entry, where it
// stays after the terminal is gone.
//
// One line per cause, never a flood: a cause met by many files (a disk the
// boot loader cannot name, say) is logged for each file but told on standard
// error once, with the number of files and the first few of them, when the
// command ends. Thread-safe.
#pragma once

#include <string>
#include <vector>

#include "support/standard_error.h"  // warn_user, for what the log cannot hold

// Tells one cause at once: one stderr line, and "main:<source>() <message>"
// logged at level 1.
void tell_user(const char* source, const std::string& message);


// Records that `path` failed for `cause`: logs "main:<source>() <path>:
// <cause>[: <detail>]" at level 1 now; the stderr line, one per distinct
// cause, waits for flush_user_diagnostics(). `advice` (what to do) is
// appended to that line once.
void tell_user_about_file(const char* source, const std::string& cause, const std::string& path,
                          const std::string& detail = "", const std::string& advice = "");

// Writes the gathered per-cause lines, in the order the causes were first
// met, and forgets them.
void flush_user_diagnostics();

// The one line of a cause met by `count` files, the first of them named:
// "cause: path", or "cause (N files: a, b, c, ...)", then "; advice".
std::string gathered_cause_line(const std::string& cause, size_t count, const std::vector<std::string>& first_paths,
                                const std::string& advice);

// How many files such a line names.
constexpr size_t kGatheredPathsNamed = 3;
