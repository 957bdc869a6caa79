#include "durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

std::string describe(const char* step, const std::string& path) {
  return std::string(step) + " \"" + path + "\": " + strerror(errno);
}

bool write_all(int descriptor, std::string_view content) {
  while (!content.empty()) {
    ssize_t written = write(descriptor, content.data(), content.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = ENOSPC;
      return false;
    }
    content.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

// New files get what a plain create would give (0644 less the umask); an
// existing file keeps its permission bits.
mode_t mode_for(const char* path) {
  struct stat info {};
  if (stat(path, &info) == 0) return info.st_mode & 07777;
  mode_t mask = umask(0);
  umask(mask);
  return 0644 & ~mask;
}

}  // namespace

int replace_file(const char* path, std::string_view content, std::string* error, const char* scratch) {
  std::string target = path;
  size_t slash = target.rfind('/');
  std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  std::string pattern = scratch != nullptr ? std::string(scratch) : target + ".new-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');

  int descriptor = scratch != nullptr ? open(scratch, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)
                                      : mkostemp(name.data(), O_CLOEXEC);
  if (descriptor < 0) {
    *error = describe("create temporary file for", target);
    return -1;
  }
  bool ok = fchmod(descriptor, mode_for(path)) == 0;
  if (!ok) *error = describe("set mode of", name.data());
  if (ok && !(ok = write_all(descriptor, content))) *error = describe("write", name.data());
  if (ok && !(ok = fsync(descriptor) == 0)) *error = describe("flush", name.data());
  if (close(descriptor) != 0 && ok) {
    ok = false;
    *error = describe("close", name.data());
  }
  if (ok && !(ok = rename(name.data(), path) == 0)) *error = describe("rename over", target);
  if (!ok) {
    int saved = errno;
    unlink(name.data());
    errno = saved;
    return -1;
  }
  int directory_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory_fd >= 0) {
    // The rename is done; a directory that cannot be flushed does not undo it.
    fsync(directory_fd);
    close(directory_fd);
  }
  return 0;
}

bool read_whole_file(const char* path, std::string* content) {
  int descriptor = open(path, O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return false;
  content->clear();
  char buffer[65536];
  bool ok = true;
  for (;;) {
    ssize_t got = read(descriptor, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) ok = false;
    if (got <= 0) break;
    content->append(buffer, static_cast<size_t>(got));
  }
  close(descriptor);
  return ok;
}
