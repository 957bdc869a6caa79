#include "baseline/path_list.h"

#include <sys/stat.h>

#include <cerrno>

#include "baseline/document.h"
#include "support/durable_file.h"
#include "support/tool_log.h"
#include "support/visible_text.h"

PathListText load_path_list() {
  PathListText list;
  struct stat info {};
  list.missing = lstat(kPathListPath, &info) != 0 && errno == ENOENT;
  if (list.missing || !read_whole_file(kPathListPath, &list.bytes)) return list;
  list.readable = true;
  size_t start = 0;
  while (start < list.bytes.size()) {
    size_t end = list.bytes.find('\n', start);
    if (end == std::string::npos) end = list.bytes.size();
    size_t length = end - start;
    // A list edited on another system: the CR is a line end, not the path's.
    if (length > 0 && list.bytes[end - 1] == '\r') {
      --length;
      ++list.cr_line_ends;
    }
    list.paths.push_back(list.bytes.substr(start, length));
    start = end + 1;
  }
  return list;
}

bool read_path_list(std::vector<std::string>* paths) {
  PathListText list = load_path_list();
  if (!list.readable) {
    if (list.missing) errno = ENOENT;
    return false;
  }
  *paths = std::move(list.paths);
  return true;
}

std::string path_list_content(const std::vector<std::string>& paths) {
  std::string content;
  for (const auto& path : paths) content += path + "\n";
  return content;
}

bool write_path_list(const std::vector<std::string>& paths) {
  // Every rewrite runs under the baseline lock, so the one scratch name is safe.
  std::string error;
  if (!replace_file(kPathListPath, path_list_content(paths), &error, kPathListScratch)) {
    writeLog(1, "main:write_path_list() %s\n", error.c_str());
    return false;
  }
  return true;
}

bool append_path_list(const std::string& path) {
  std::string error;
  if (!append_to_file(kPathListPath, path + "\n", &error)) {
    writeLog(1, "main:append_path_list() %s\n", error.c_str());
    return false;
  }
  return true;
}

bool fits_path_list(const std::string& path) { return path.find_first_of("\n\r") == std::string::npos; }

bool path_can_be_stored(const std::string& path, std::string* why_not) {
  if (!fits_path_list(path)) *why_not = "a file name holding a line end cannot be listed";
  else if (!is_valid_utf8(path)) *why_not = "a file name that is not UTF-8 cannot be stored in the baseline document";
  else return true;
  return false;
}
