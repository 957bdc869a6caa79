#include "path_list.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "baseline_document.h"
#include "durable_file.h"
#include "tool_log.h"

bool read_path_list(std::vector<std::string>* paths) {
  std::string content;
  if (!read_whole_file(kPathListPath, &content)) return false;
  paths->clear();
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    paths->push_back(content.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

int write_path_list(const std::vector<std::string>& paths) {
  std::string content;
  for (const auto& path : paths) content += path + "\n";
  // Every rewrite runs under the baseline lock, so the one scratch name is safe.
  std::string error;
  if (replace_file(kPathListPath, content, &error, kPathListScratch) != 0) {
    writeLog(1, "main:write_path_list() %s\n", error.c_str());
    return -1;
  }
  return 0;
}

int append_path_list(const std::string& path) {
  int descriptor = open(kPathListPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (descriptor < 0) {
    writeLog(1, "main:append_path_list() open \"%s\" failed: %s\n", kPathListPath, strerror(errno));
    return -1;
  }
  std::string line = path + "\n";
  ssize_t written = write(descriptor, line.data(), line.size());
  int saved = errno;
  bool ok = written == static_cast<ssize_t>(line.size());
  if (close(descriptor) != 0) ok = false;
  if (!ok) {
    writeLog(1, "main:append_path_list() write \"%s\" failed: %s\n", kPathListPath,
             written < 0 ? strerror(saved) : "short write");
    return -1;
  }
  return 0;
}

bool fits_path_list(const std::string& path) { return path.find('\n') == std::string::npos; }
