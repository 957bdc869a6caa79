// Internals of the file measurement, for its tests and benchmarks only.
#pragma once

#include <sys/stat.h>

namespace file_measurement_internal {

// Called by measure_file with the path after the file is opened and before
// the path is examined with lstat; nullptr (the default) for none. Lets a
// test swap the path in the window that the identity check guards.
using AfterOpenHook = void (*)(const char* path);
void set_after_open_hook(AfterOpenHook hook);

// Whether the opened file (fstat) is the file examined at the path (lstat).
bool same_file(const struct stat& opened, const struct stat& examined);

// Size of the read buffer: the file passes through it in pieces this large.
inline constexpr size_t kChunkSize = 128 * 1024;

}  // namespace file_measurement_internal
