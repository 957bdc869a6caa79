// Durable replacement of the tool's files in /boot: the new content goes to
// a temporary file in the same directory, is flushed to disk and renamed over
// the target, then the directory is flushed. Readers see the old file or the
// new one, never a mix; a crash or a full disk leaves the old file intact.
// A failed write removes its temporary file; one left by a crash is removed
// under the baseline lock by the next command (remove_leftover_temporaries).
//
// No write follows a symbolic link: temporary files are created exclusively
// (a planted link or file of that name is never written through), the
// rename replaces a link at the target rather than its destination, and
// appends refuse anything but a regular file.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

// False with `why_not` describing the failed step. `scratch` names
// the temporary file; without it a unique name "<path>.new-XXXXXX" is made.
// A fixed scratch name is only safe under the baseline lock: whatever stands
// there is removed first.
bool replace_file(const char* path, std::string_view content, std::string* why_not,
                 const char* scratch = nullptr);

// replace_file for a target that may stand where anything else could (a file
// named by the administrator): one that exists and is not a regular file (a
// device node, a FIFO, a link, a directory) is refused and left as it is.
// The new file gets `mode`, whatever the old one had.
bool replace_regular_file(const char* path, std::string_view content, mode_t mode, std::string* why_not);

// Appends `content` to the existing regular file `path` and flushes it to
// disk; false with `why_not` when it is missing, a link or not a regular file, or
// cannot be written whole.
bool append_to_file(const char* path, std::string_view content, std::string* why_not);

// Reads a whole regular file without following a link at `path`; false when
// it cannot be opened or read, or is not a regular file.
bool read_whole_file(const char* path, std::string* content);
// The same, refusing a file of more than `limit` bytes; `why_not` says why it
// failed.
bool read_whole_file(const char* path, std::string* content, size_t limit, std::string* why_not);

// What replace_file leaves behind when it is killed: the temporary files
// "<path>.new-*" and, when given and present, the fixed scratch file.
std::vector<std::string> find_leftover_temporaries(const char* path, const char* scratch = nullptr);
// Removes them; only safe under the lock that the writers of `path` hold.
// Returns the names removed.
std::vector<std::string> remove_leftover_temporaries(const char* path, const char* scratch = nullptr);
