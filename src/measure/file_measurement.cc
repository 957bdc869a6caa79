// File measurement: streams exactly the examined size of one file through
// SM3 and renders the digest as the measurement text.
//
// Order of the checks: existence (access, following links), open (following
// links), then lstat of the path, which must not be a link and must name the
// very file that was opened, which must be a regular file. The last check closes the window between the
// open and the lstat: a path swapped in between (for another file or for a
// link) fails instead of measuring a file that nobody examined.
#include "measure/file_measurement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "measure/file_measurement_internal.h"
#include "measure/sm3.h"
#include "support/tool_log.h"
#include "support/unique_fd.h"
#include "support/visible_text.h"

namespace file_measurement_internal {
namespace {
std::atomic<AfterOpenHook> after_open_hook{nullptr};
std::atomic<ReadFunction> read_function{nullptr};
}  // namespace

void set_after_open_hook(AfterOpenHook hook) { after_open_hook.store(hook); }
void set_read_function(ReadFunction function) { read_function.store(function); }

bool same_file(const struct stat& opened, const struct stat& examined) {
  return opened.st_dev == examined.st_dev && opened.st_ino == examined.st_ino;
}

}  // namespace file_measurement_internal

namespace {

using file_measurement_internal::kChunkSize;

// One read buffer per thread, made on the thread's first measurement: large
// reads keep the system-call cost per byte small, and a worker thread's
// stack stays small.
uint8_t* thread_buffer() {
  thread_local std::unique_ptr<uint8_t[]> buffer;
  if (!buffer) buffer.reset(new (std::nothrow) uint8_t[kChunkSize]);
  return buffer.get();
}

ssize_t read_contents(int fd, void* buffer, size_t count) {
  const auto function = file_measurement_internal::read_function.load();
  return function != nullptr ? function(fd, buffer, count) : read(fd, buffer, count);
}

// Hashes exactly `size` bytes from `fd`. Where the file ends early (it
// shrank, or reports a size larger than it delivers), the missing bytes
// count as zeros; nothing past `size` is read. 0 on success, the errno of a
// failed read otherwise: zeros in place of bytes that could not be read
// would be stored as if they were the file.
int hash_contents(int fd, uint64_t size, uint8_t* buffer, size_t capacity, SM3_context* ctx) {
  bool at_end = false;
  while (size > 0) {
    const size_t want = size < capacity ? static_cast<size_t>(size) : capacity;
    size_t got = 0;
    while (!at_end && got < want) {
      const ssize_t n = read_contents(fd, buffer + got, want - got);
      if (n > 0) {
        got += static_cast<size_t>(n);
      } else if (n == 0) {
        at_end = true;  // zeros from here on
      } else if (errno != EINTR) {
        return errno != 0 ? errno : EIO;
      }
    }
    if (got < want) memset(buffer + got, 0, want - got);
    SM3_process(ctx, buffer, static_cast<int32_t>(want));
    size -= want;
  }
  return 0;
}

const char* kind_of_file(mode_t type) {
  switch (type) {
    case S_IFDIR:
      return "a directory";
    case S_IFIFO:
      return "a FIFO";
    case S_IFCHR:
      return "a character device";
    case S_IFBLK:
      return "a block device";
    case S_IFSOCK:
      return "a socket";
    default:
      return "not a regular file";
  }
}

void to_text(const uint8_t digest[32], char text[65]) {
  std::string hex = hex_bytes(digest, 32);
  memcpy(text, hex.c_str(), 65);
}

bool same_change_time(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether `now` is still the file `before` described: same identity, size
// and change time.
bool unchanged(const struct stat& before, const struct stat& now) {
  return file_measurement_internal::same_file(before, now) && before.st_size == now.st_size &&
         same_change_time(before.st_ctim, now.st_ctim);
}

FileMeasurement measure_once(const char* path) {
  FileMeasurement result;
  if (access(path, F_OK) != 0) {
    result.error = errno;
    result.outcome = errno == ENOENT || errno == ENOTDIR ? MeasureOutcome::kMissing : MeasureOutcome::kExamineFailed;
    return result;
  }

  // O_NONBLOCK keeps a FIFO without a writer from blocking the open; O_NOCTTY
  // keeps a terminal from becoming ours.
  const UniqueFd file(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (file.get() < 0) {
    result.error = errno;
    result.outcome = MeasureOutcome::kOpenFailed;
    return result;
  }
  if (const auto hook = file_measurement_internal::after_open_hook.load()) hook(path);

  struct stat examined {};
  if (lstat(path, &examined) != 0) {
    result.error = errno;
    result.outcome = MeasureOutcome::kExamineFailed;
    return result;
  }
  if (S_ISLNK(examined.st_mode)) {
    result.outcome = MeasureOutcome::kSymlink;
    return result;
  }
  struct stat opened {};
  if (fstat(file.get(), &opened) != 0) {
    result.error = errno;
    result.outcome = MeasureOutcome::kExamineFailed;
    return result;
  }
  if (!file_measurement_internal::same_file(opened, examined)) {
    result.outcome = MeasureOutcome::kSwapped;
    return result;
  }
  // What was opened must be a regular file: a FIFO or a device has no
  // contents of a size to hash, and a directory's size is not its contents.
  if (!S_ISREG(opened.st_mode)) {
    result.type = opened.st_mode & S_IFMT;
    result.outcome = MeasureOutcome::kNotRegular;
    return result;
  }

  const int flags = fcntl(file.get(), F_GETFL);
  if (flags != -1) fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
  posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

  SM3_context ctx;
  SM3_init(&ctx);
  const uint64_t size = examined.st_size > 0 ? static_cast<uint64_t>(examined.st_size) : 0;
  int read_error = 0;
  if (uint8_t* buffer = thread_buffer()) {
    read_error = hash_contents(file.get(), size, buffer, kChunkSize, &ctx);
  } else {
    uint8_t small[4096];  // the large buffer could not be had: slower, same result
    read_error = hash_contents(file.get(), size, small, sizeof small, &ctx);
  }
  if (read_error != 0) {
    result.error = read_error;
    result.outcome = MeasureOutcome::kReadFailed;
    return result;
  }
  // The bytes hashed are the file only if nothing changed it meanwhile and
  // the path still names it: a truncation would otherwise be stored as the
  // bytes read plus zeros, a rename as the old file's digest.
  struct stat after {};
  struct stat at_path {};
  if (fstat(file.get(), &after) != 0 || !unchanged(opened, after) || lstat(path, &at_path) != 0 ||
      !unchanged(opened, at_path)) {
    result.outcome = MeasureOutcome::kChanged;
    return result;
  }
  uint8_t digest[32];
  SM3_done(&ctx, digest);
  to_text(digest, result.text);
  result.device = opened.st_dev;
  result.inode = opened.st_ino;
  result.size = opened.st_size;
  result.changed = opened.st_ctim;
  result.outcome = MeasureOutcome::kMeasured;
  return result;
}

}  // namespace

FileMeasurement measure_file(const char* path) {
  FileMeasurement result = measure_once(path);
  // One more try for a file caught while it was written; a file that keeps
  // changing is not measured.
  if (result.outcome == MeasureOutcome::kChanged) result = measure_once(path);
  return result;
}

bool still_the_measured_file(const char* path, const FileMeasurement& measurement) {
  struct stat now {};
  return measurement.outcome == MeasureOutcome::kMeasured && lstat(path, &now) == 0 &&
         now.st_dev == measurement.device && now.st_ino == measurement.inode && now.st_size == measurement.size &&
         same_change_time(now.st_ctim, measurement.changed);
}

std::string describe_failure(const FileMeasurement& measurement) {
  // strerror_r: the status report describes failures on worker threads.
  char buffer[256];
  const std::string error =
      measurement.error != 0 ? strerror_r(measurement.error, buffer, sizeof buffer) : "unknown error";
  switch (measurement.outcome) {
    case MeasureOutcome::kMeasured:
      return "";
    case MeasureOutcome::kMissing:
      return "the file does not exist";
    case MeasureOutcome::kOpenFailed:
      return "the file cannot be opened (" + error + ")";
    case MeasureOutcome::kExamineFailed:
      return "the file cannot be examined (" + error + ")";
    case MeasureOutcome::kSymlink:
      return "a symbolic link";
    case MeasureOutcome::kSwapped:
      return "the file changed while it was measured";
    case MeasureOutcome::kNotRegular:
      return std::string(kind_of_file(measurement.type)) + ", not a regular file";
    case MeasureOutcome::kReadFailed:
      return "a read failed (" + error + ")";
    case MeasureOutcome::kChanged:
      return "the file kept changing while it was measured";
  }
  return "the file cannot be read";
}

void log_measurement(const char* path, const FileMeasurement& measurement) {
  switch (measurement.outcome) {
    case MeasureOutcome::kOpenFailed:
      writeLog(0, "SM3, fopen %s failed\n", path);
      break;
    case MeasureOutcome::kSymlink:
      writeLog(0, "skip link\n");
      break;
    case MeasureOutcome::kSwapped:
    case MeasureOutcome::kChanged:
      writeLog(0, "SM3, %s changed while measured\n", path);
      break;
    case MeasureOutcome::kMissing:
    case MeasureOutcome::kExamineFailed:
    case MeasureOutcome::kNotRegular:
    case MeasureOutcome::kReadFailed:
      writeLog(0, "SM3, %s not measured: %s\n", path, describe_failure(measurement).c_str());
      break;
    case MeasureOutcome::kMeasured:
      break;
  }
}

int SM3_256_PRO(const char* path) {
  const FileMeasurement measurement = measure_file(path);
  log_measurement(path, measurement);
  switch (measurement.outcome) {
    case MeasureOutcome::kMeasured:
      memset(retVal, 0, sizeof retVal);
      memcpy(retVal, measurement.text, 64);
      return 0;
    default:
      return -1;
  }
}
