#include "refresh/refresh_decision.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>

namespace refresh {

std::string packaged_module(const std::string& path) {
  for (const char* root : {"/boot/grub/", "/boot/grub2/"}) {
    std::string prefix = root;
    if (path.compare(0, prefix.size(), prefix) != 0) continue;
    std::string rest = path.substr(prefix.size());
    size_t slash = rest.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == rest.size() ||
        rest.find('/', slash + 1) != std::string::npos)
      return "";
    return std::string(kGrubLibrary) + "/" + rest;
  }
  return "";
}

bool acceptable_path(const std::string& path, std::string* why) {
  if (path.compare(0, 6, "/boot/") != 0 && path.compare(0, 5, "/etc/") != 0) {
    *why = "it lies outside /boot and /etc";
    return false;
  }
  if (path.find_first_of("*?[") != std::string::npos) {
    *why = "its name holds a pattern character";
    return false;
  }
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7f) {
      *why = "its name holds a control character";
      return false;
    }
  }
  struct stat info;
  if (lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    *why = "it is a symbolic link";
    return false;
  }
  std::string dir = path.substr(0, path.rfind('/'));
  std::unique_ptr<char, decltype(&free)> real(realpath(dir.c_str(), nullptr), &free);
  if (!real || dir != real.get()) {
    *why = "its directory is reached through a symbolic link";
    return false;
  }
  return true;
}

namespace {

bool measurable(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool same_content(const std::string& a, const std::string& b) {
  std::ifstream first(a, std::ios::binary), second(b, std::ios::binary);
  if (!first || !second) return false;
  std::istreambuf_iterator<char> end;
  return std::equal(std::istreambuf_iterator<char>(first), end, std::istreambuf_iterator<char>(second), end);
}

// Whether a boot file is what an installed package ships: a module equal to
// its packaged file, itself as its package's record says; any other file as
// its own package's record says. `words` say by whom, or why not.
bool vouched_for(const std::string& path, Records& records, std::string* words) {
  if (!measurable(path)) {
    *words = "it is not a regular file";
    return false;
  }
  std::string packaged = packaged_module(path);
  struct stat info;
  if (!packaged.empty() && stat(packaged.c_str(), &info) == 0) {
    if (!same_content(path, packaged)) {
      *words = "it differs from " + packaged + ", which GRUB's package installed";
      return false;
    }
    std::string why;
    std::string voucher = records.vouching_package(packaged, &why);
    if (voucher.empty()) {
      *words = "it equals " + packaged + ", but for that file " + why;
      return false;
    }
    *words = "equal to " + packaged + " of package " + voucher;
    std::string platform_dir = packaged.substr(0, packaged.rfind('/'));
    std::string platform = platform_dir.substr(platform_dir.rfind('/') + 1);
    std::string grub_package = records.grub_package_of(platform);
    if (!grub_package.empty() && grub_package != voucher)
      *words += ", which vouched for it, not " + grub_package + ", which ships GRUB's " + platform + " modules";
    return true;
  }
  std::string why;
  std::string voucher = records.vouching_package(path, &why);
  if (voucher.empty()) {
    *words = why;
    return false;
  }
  *words = "as package " + voucher + " ships it";
  return true;
}

}  // namespace

Decision decide(drift::FindingKind kind, const std::string& path, Records& records) {
  Decision decision;
  using drift::FindingKind;
  decision.option = kind == FindingKind::kNewFile ? "-a" : kind == FindingKind::kMissing ? "-d" : "-u";
  // New files are the other hooks' business, but for GRUB's modules.
  if (kind == FindingKind::kNewFile && packaged_module(path).empty()) return decision;
  decision.step = Step::kLeave;
  std::string why;
  if (!acceptable_path(path, &why)) {
    decision.words = "never refreshed automatically: " + why;
    return decision;
  }
  if (kind == FindingKind::kMissing) {
    // grub-install removes the modules that GRUB's package dropped: the
    // entry goes only on the records' evidence.
    std::string packaged = packaged_module(path);
    struct stat info;
    std::string dropper;
    if (!packaged.empty() && lstat(packaged.c_str(), &info) != 0) dropper = records.dropped_by(packaged);
    if (dropper.empty()) {
      decision.words = "it is gone, and no package's records show that a package dropped it";
      return decision;
    }
    decision.step = Step::kApply;
    decision.words = "package " + dropper + " no longer ships " + packaged;
    return decision;
  }
  std::string words;
  if (vouched_for(path, records, &words)) {
    decision.step = Step::kApply;
    decision.words = words;
  } else {
    decision.words = "not what any installed package ships (" + words + ")";
  }
  return decision;
}

}  // namespace refresh
