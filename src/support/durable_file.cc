#include "support/durable_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "support/unique_fd.h"

namespace {

constexpr const char* kTemporaryInfix = ".new-";

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
// existing regular file keeps its permission bits (a link lends none).
mode_t mode_for(const char* path) {
  struct stat info {};
  if (lstat(path, &info) == 0 && S_ISREG(info.st_mode)) return info.st_mode & 07777;
  mode_t mask = umask(0);
  umask(mask);
  return 0644 & ~mask;
}

std::string directory_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

void flush_directory(const std::string& directory) {
  int directory_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory_fd < 0) return;
  fsync(directory_fd);
  close(directory_fd);
}

// The scratch file, created afresh: anything standing at a fixed scratch
// name (a leftover, or a link planted to make us write elsewhere) goes first.
int create_scratch(const char* scratch, std::vector<char>* name) {
  if (scratch == nullptr) return mkostemp(name->data(), O_CLOEXEC);
  if (unlink(scratch) != 0 && errno != ENOENT) return -1;
  return open(scratch, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

// Opens a regular file without following a link and without blocking on a
// FIFO planted in its place.
int open_regular(const char* path, int flags, std::string* why_not) {
  int descriptor = open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) {
    if (why_not) *why_not = describe(errno == ELOOP ? "refuse symbolic link" : "open", path);
    return -1;
  }
  struct stat info {};
  if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(descriptor);
    errno = EINVAL;
    if (why_not) *why_not = std::string("refuse \"") + path + "\": not a regular file";
    return -1;
  }
  return descriptor;
}

bool replace_with_mode(const char* path, std::string_view content, std::string* why_not, const char* scratch,
                      mode_t mode) {
  std::string target = path;
  std::string pattern = scratch != nullptr ? std::string(scratch) : target + kTemporaryInfix + "XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');

  int descriptor = create_scratch(scratch, &name);
  if (descriptor < 0) {
    *why_not = describe("create temporary file for", target);
    return false;
  }
  bool ok = fchmod(descriptor, mode) == 0;
  if (!ok) *why_not = describe("set mode of", name.data());
  if (ok && !(ok = write_all(descriptor, content))) *why_not = describe("write", name.data());
  if (ok && !(ok = fsync(descriptor) == 0)) *why_not = describe("flush", name.data());
  if (close(descriptor) != 0 && ok) {
    ok = false;
    *why_not = describe("close", name.data());
  }
  if (ok && !(ok = rename(name.data(), path) == 0)) *why_not = describe("rename over", target);
  if (!ok) {
    int saved = errno;
    unlink(name.data());
    errno = saved;
    return false;
  }
  // The rename is done; a directory that cannot be flushed does not undo it.
  flush_directory(directory_of(target));
  return true;
}

}  // namespace

bool replace_file(const char* path, std::string_view content, std::string* why_not, const char* scratch) {
  return replace_with_mode(path, content, why_not, scratch, mode_for(path));
}

bool replace_regular_file(const char* path, std::string_view content, mode_t mode, std::string* why_not) {
  struct stat info {};
  if (lstat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
    *why_not = std::string("refuse \"") + path + "\": it exists and is not a regular file";
    return false;
  }
  return replace_with_mode(path, content, why_not, nullptr, mode);
}

bool append_to_file(const char* path, std::string_view content, std::string* why_not) {
  UniqueFd descriptor(open_regular(path, O_WRONLY | O_APPEND, why_not));
  if (descriptor.get() < 0) return false;
  if (!write_all(descriptor.get(), content)) {
    *why_not = describe("append to", path);
    return false;
  }
  if (fsync(descriptor.get()) != 0) {
    *why_not = describe("flush", path);
    return false;
  }
  return true;
}

bool read_whole_file(const char* path, std::string* content) {
  UniqueFd descriptor(open_regular(path, O_RDONLY, nullptr));
  if (descriptor.get() < 0) return false;
  content->clear();
  char buffer[65536];
  for (;;) {
    ssize_t got = read(descriptor.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    content->append(buffer, static_cast<size_t>(got));
  }
}

bool read_whole_file(const char* path, std::string* content, size_t limit, std::string* why_not) {
  UniqueFd descriptor(open_regular(path, O_RDONLY, why_not));
  if (descriptor.get() < 0) return false;
  struct stat info {};
  if (fstat(descriptor.get(), &info) != 0) {
    *why_not = describe("examine", path);
    return false;
  }
  const std::string too_large = std::string("refuse \"") + path + "\": larger than " + std::to_string(limit) + " bytes";
  if (static_cast<uint64_t>(info.st_size) > limit) {
    *why_not = too_large;
    return false;
  }
  content->clear();
  char buffer[65536];
  for (;;) {
    ssize_t got = read(descriptor.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *why_not = describe("read", path);
      return false;
    }
    if (got == 0) return true;
    if (content->size() + static_cast<size_t>(got) > limit) {  // it grew while read
      *why_not = too_large;
      return false;
    }
    content->append(buffer, static_cast<size_t>(got));
  }
}

std::vector<std::string> find_leftover_temporaries(const char* path, const char* scratch) {
  std::vector<std::string> found;
  std::string target = path;
  std::string directory = directory_of(target);
  std::string prefix = target.substr(target.rfind('/') + 1) + kTemporaryInfix;
  if (DIR* listing = opendir(directory.c_str())) {
    while (dirent* entry = readdir(listing)) {
      std::string name = entry->d_name;
      if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0)
        found.push_back(directory + "/" + name);
    }
    closedir(listing);
  }
  struct stat info {};
  if (scratch != nullptr && lstat(scratch, &info) == 0) found.push_back(scratch);
  return found;
}

std::vector<std::string> remove_leftover_temporaries(const char* path, const char* scratch) {
  std::vector<std::string> removed;
  // unlink never follows a link: a planted one goes, what it names stays.
  for (const auto& candidate : find_leftover_temporaries(path, scratch))
    if (unlink(candidate.c_str()) == 0) removed.push_back(candidate);
  if (!removed.empty()) flush_directory(directory_of(path));
  return removed;
}
