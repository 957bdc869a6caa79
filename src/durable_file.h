// Durable replacement of the tool's files in /boot: the new content goes to
// a temporary file in the same directory, is flushed to disk and renamed over
// the target, then the directory is flushed. Readers see the old file or the
// new one, never a mix; a crash or a full disk leaves the old file intact,
// and no temporary file is left behind on any path.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

// 0 on success; -1 with `error` describing the failed step. `scratch` names
// the temporary file; without it a unique name beside `path` is made. A
// fixed scratch name is only safe under the baseline lock.
int replace_file(const char* path, std::string_view content, std::string* error,
                 const char* scratch = nullptr);

// Reads a whole file; false when it cannot be opened or read.
bool read_whole_file(const char* path, std::string* content);
