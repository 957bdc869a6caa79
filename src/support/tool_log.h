// Support utilities shared by every subsystem: the tool log, the local time
// stamp, base names and the process-wide result buffers.
//
// The tool log "/etc/tavel_trusted/.vemo.log" is append-only; every entry is
// "<label> [<time>] <message>" written with one appending write(2), so several
// processes may log at once without tearing entries. Logging never fails a
// caller: a missing directory or an unwritable file loses the entry silently.
// One entry is always one line: control characters inside a message (a line
// end in a path, say) are written as visible escapes. The log is never
// written through a symbolic link or into anything but a regular file; such
// a log is refused with one warning on standard error.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

// Shared result text: the measurement text of SM3_256_PRO and the policy
// getters' values land here. Callers copy it out before the next fill.
extern char retVal[1024];

inline constexpr const char* kToolLogPath = "/etc/tavel_trusted/.vemo.log";

// Appends one entry. The message carries its own "\n"; every other control
// character in it is escaped. An entry longer than 4095 bytes, prefix and
// escapes included, is dropped whole (never cut).
void writeLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// For a program that promises to write nothing (zovemo_status): every later
// writeLog does nothing.
void keep_tool_log_closed();

// "YYYY-MM-DD hh:mm:ss" in local time; a time whose year is not of four
// digits gives the nearest end of that range.
std::string local_time_stamp(time_t when);
// Fills buffer_time with the current local time stamp and returns it.
char* getSysTime();
char* get_buffer_time();

// Unsets a TZ whose zone file (":NAME", "/PATH" or a name in the zone
// directory) exists and is not a regular file, and says so; "" otherwise.
// For the start of main, before any thread or time stamp.
std::string ignore_time_zone_not_in_a_file();

// Newly malloc'ed copy of the text after the last '/', whole when there is
// none; the caller frees it. Any length is copied whole.
char* getFilename(const char* path);

// 0 for an existing non-directory; -1 (printing "<path> is a dir") for a
// directory; -1 silently when stat fails.
int verifyPath(const char* path);

// Decimal text of a positive value inside int_to_str; "0" for 0 and below.
char* int_to_string(int32_t value);

char* get_retVal();

// Closes the tool log descriptor, as a new run would; for reset_process_state() (cli/process_state.h) and tests that redirect the log.
void reset_tool_log();
