// The one way a line reaches the administrator's terminal: standard error,
// prefixed "zovemo_config: ", escaped so that a path can neither split nor
// forge a line, after standard output was flushed so the lines stay in order.
// Below the tool log, which uses it when the log itself cannot be written.
#pragma once

#include <string>

// A line on standard error only: for what the tool log cannot hold (no log
// directory, a log that refuses to be written). Thread-safe.
void warn_user(const std::string& message);

// The name the lines begin with, "zovemo_config" unless a program (the
// drift report) names itself at the start of main, before any thread.
void set_user_program_name(const char* name);

// warn_user's line "<message><detail>" for when memory may have run out: it
// allocates nothing and escapes nothing, so both are the program's own texts
// (an exception's what()), never outside text.
void warn_user_without_memory(const char* message, const char* detail) noexcept;
