#include "support/tool_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "support/standard_error.h"
#include "support/visible_text.h"

char retVal[1024];

namespace {

// The log's own state: only this file reads or writes it.
const char* const LOGCODE[2] = {"[INFO]", "[ERROR]"};  // level labels, by log level (0 info, 1 error)
int fd = -1;                                           // the tool log, -1 until the first entry opens it
char buffer_time[32];                                  // the last time stamp getSysTime() made
char int_to_str[64];                                   // the text int_to_string() made last
constexpr size_t kLineSize = 4096;

// The log without following a link and without blocking on a FIFO; a log
// that is not a regular file is refused once per process, on stderr only.
int open_tool_log() {
  int descriptor = open(kToolLogPath, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0664);
  struct stat info {};
  // ELOOP: a link; ENXIO: a FIFO nobody reads; EISDIR: a directory.
  bool refused = descriptor < 0 ? errno == ELOOP || errno == ENXIO || errno == EISDIR
                                : fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode);
  if (!refused) return descriptor;
  if (descriptor >= 0) close(descriptor);
  static bool warned = false;
  if (!warned) {
    warned = true;
    warn_user(std::string("the tool log ") + kToolLogPath +
              " is a symbolic link or not a regular file; nothing is logged through it");
  }
  return -1;
}
std::atomic<bool> log_closed{false};
}  // namespace

void keep_tool_log_closed() { log_closed = true; }

void writeLog(int level, const char* format, ...) {
  if (log_closed) return;
  char line[kLineSize] = {};
  const char* label = LOGCODE[level == 1 ? 1 : 0];
  int prefix = snprintf(line, kLineSize, "%s [%s] ", label, getSysTime());
  if (prefix < 0 || static_cast<size_t>(prefix) >= kLineSize) return;

  va_list args;
  va_start(args, format);
  int message = vsnprintf(line + prefix, kLineSize - prefix, format, args);
  va_end(args);
  // An entry that does not fit whole is dropped rather than cut, so the log
  // never holds a line without its end.
  if (message < 0 || static_cast<size_t>(prefix) + message > kLineSize - 1) return;
  std::string_view text(line + prefix, static_cast<size_t>(message));
  bool line_end = !text.empty() && text.back() == '\n';
  if (line_end) text.remove_suffix(1);
  std::string entry = std::string(line, static_cast<size_t>(prefix)) + escape_control_characters(text);
  if (line_end) entry += '\n';
  if (entry.size() > kLineSize - 1) return;

  if (fd == -1) {
    fd = open_tool_log();
    if (fd == -1) return;
  }
  ssize_t ignored = write(fd, entry.data(), entry.size());
  (void)ignored;
}

std::string local_time_stamp(time_t when) {
  struct tm local {};
  // A clock far off (a dead RTC battery, a forged time) gives a year that
  // four digits cannot hold, or none: the stamp stays in its form, at the
  // end of the range it left.
  if (localtime_r(&when, &local) == nullptr || local.tm_year > 9999 - 1900 || local.tm_year < -1900)
    return when > 0 ? "9999-12-31 23:59:59" : "0000-01-01 00:00:00";
  char text[32] = {};
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

char* getSysTime() {
  std::string stamp = local_time_stamp(time(nullptr));
  memset(buffer_time, 0, sizeof buffer_time);
  memcpy(buffer_time, stamp.data(), std::min(stamp.size(), sizeof buffer_time - 1));
  return buffer_time;
}

std::string ignore_time_zone_not_in_a_file() {
  const char* zone = getenv("TZ");
  if (zone == nullptr) return "";
  std::string name = zone[0] == ':' ? zone + 1 : zone;
  if (name.empty()) return "";
  const char* zone_directory = getenv("TZDIR");
  std::string file = name[0] == '/' ? name : std::string(zone_directory ? zone_directory : "/usr/share/zoneinfo") + "/" + name;
  struct stat info {};
  // The C library reads the file TZ names: a FIFO or device would hang or
  // flood every time stamp.
  if (stat(file.c_str(), &info) != 0 || S_ISREG(info.st_mode)) return "";
  unsetenv("TZ");
  tzset();
  return "TZ names " + file + ", which is not a regular file; it is ignored and local time follows /etc/localtime";
}

char* get_buffer_time() { return buffer_time; }

char* getFilename(const char* path) {
  const char* slash = strrchr(path, '/');
  const char* base = slash ? slash + 1 : path;
  size_t length = strlen(base);
  char* copy = static_cast<char*>(malloc(length + 1 < 128 ? 128 : length + 1));
  if (copy == nullptr) return nullptr;
  memcpy(copy, base, length + 1);
  return copy;
}

int verifyPath(const char* path) {
  struct stat info {};
  if (stat(path, &info) != 0) return -1;
  if (S_ISDIR(info.st_mode)) {
    printf("%s is a dir\n", escape_control_characters(path).c_str());
    fflush(stdout);
    return -1;
  }
  return 0;
}

char* int_to_string(int32_t value) {
  memset(int_to_str, 0, sizeof int_to_str);
  if (value <= 0) {
    int_to_str[0] = '0';
    return int_to_str;
  }
  char* digit = int_to_str + sizeof int_to_str - 1;
  while (value > 0) {
    *--digit = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return digit;
}

char* get_retVal() { return retVal; }

void reset_tool_log() {
  if (fd != -1) close(fd);
  fd = -1;
}
