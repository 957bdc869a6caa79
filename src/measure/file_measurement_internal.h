// Internals of the file measurement, for its tests and benchmarks only.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace file_measurement_internal {

// Called by measure_file with the path after the file is opened and before
// the path is examined with lstat; nullptr (the default) for none. Lets a
// test swap the path in the window that the identity check guards.
using AfterOpenHook = void (*)(const char* path);
void set_after_open_hook(AfterOpenHook hook);

// The read that measure_file calls for the file's contents; nullptr (the
// default) for read(2). Lets a test make a read fail part way.
using ReadFunction = ssize_t (*)(int fd, void* buffer, size_t count);
void set_read_function(ReadFunction function);

// Whether the opened file (fstat) is the file examined at the path (lstat).
bool same_file(const struct stat& opened, const struct stat& examined);

// Size of the read buffer: the file passes through it in pieces this large.
inline constexpr size_t kChunkSize = 128 * 1024;

}  // namespace file_measurement_internal
