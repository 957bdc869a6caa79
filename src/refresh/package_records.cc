#include "refresh/package_records.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <sstream>

#include "baseline/path_list.h"
#include "support/durable_file.h"
#include "support/platform_programs.h"

namespace refresh {

namespace {

// Answers of the package managers are kept up to this size: dpkg-query -S
// over every GRUB platform is some hundred KiB.
constexpr size_t kAnswerBytes = 64u << 20;

ProgramOutput run_bounded(const std::vector<std::string>& argv) {
  return run_program(argv, ErrorOutput::kDiscard, 0, '\n', RunBounds{program_seconds, kAnswerBytes});
}

int exit_status(const ProgramOutput& output) {
  if (!output.started || output.timed_out || output.too_long || output.read_error != 0 ||
      output.wait_status < 0 || !WIFEXITED(output.wait_status))
    return -1;
  return WEXITSTATUS(output.wait_status);
}

bool is_module_file(const std::string& path) {
  std::string prefix = std::string(kGrubLibrary) + "/";
  if (path.compare(0, prefix.size(), prefix) != 0) return false;
  std::string rest = path.substr(prefix.size());
  size_t slash = rest.find('/');
  return slash != std::string::npos && slash > 0 && slash + 1 < rest.size() &&
         rest.find('/', slash + 1) == std::string::npos && rest.find('\t') == std::string::npos;
}

std::vector<std::string> split(const std::string& text, const std::string& separator) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t at; (at = text.find(separator, from)) != std::string::npos; from = at + separator.size())
    parts.push_back(text.substr(from, at - from));
  parts.push_back(text.substr(from));
  return parts;
}

// The digest of a file by the program of an RPM digest algorithm (or
// dpkg's md5); "" when it cannot be had.
std::string digest_of(const std::string& algorithm, const std::string& file) {
  static const std::map<std::string, std::string> programs = {
      {"md5", "md5sum"},       {"1", "md5sum"},       {"(none)", "md5sum"},    {"2", "sha1sum"},
      {"8", "sha256sum"},      {"9", "sha384sum"},    {"10", "sha512sum"},     {"11", "sha224sum"}};
  auto program = programs.find(algorithm);
  if (program == programs.end()) return "";
  ProgramOutput output = run_bounded({program->second, "--", file});
  if (!output.succeeded() || output.lines.empty()) return "";
  std::string sum = output.lines.front().substr(0, output.lines.front().find(' '));
  if (!sum.empty() && sum.front() == '\\') sum.erase(0, 1);
  return sum;
}

}  // namespace

// A program of the records that hangs (a dpkg database that never
// answers) stops the reading: each further one would wait as long.
ProgramOutput PackageRecords::run(const std::vector<std::string>& argv) {
  if (!stalled_.empty()) return ProgramOutput{};
  ProgramOutput output = run_bounded(argv);
  if (output.timed_out) stalled_ = argv.front() + " did not answer within " + std::to_string(program_seconds) + " seconds";
  return output;
}

bool state_dir_safe() {
  struct stat info;
  return lstat(kStateDir, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == 0 && (info.st_mode & 022) == 0;
}

Shipped shipped_from_dpkg(const std::vector<std::string>& lines) {
  Shipped shipped;
  for (const std::string& line : lines) {
    if (line.compare(0, 13, "diversion by ") == 0) continue;
    size_t split_at = line.find(": ");
    if (split_at == std::string::npos) continue;
    std::string file = line.substr(split_at + 2);
    if (!is_module_file(file)) continue;
    for (const std::string& owner : split(line.substr(0, split_at), ", ")) shipped.emplace(file, owner);
  }
  return shipped;
}

bool PackageRecords::read_shipped() {
  shipped_known_ = false;
  shipped_now_.clear();
  if (!find_program("dpkg-query").empty()) {
    ProgramOutput output = run({"dpkg-query", "-S", std::string(kGrubLibrary) + "/*/*"});
    // None at all is status 1.
    int status = exit_status(output);
    if (status < 0 || status > 1) return false;
    shipped_now_ = shipped_from_dpkg(output.lines);
  }
  if (!find_program("rpm").empty()) {
    ProgramOutput output = run({"rpm", "-qa", "--qf", "[%{FILENAMES}\t%{NAME}\n]"});
    if (!output.succeeded()) return false;
    for (const std::string& line : output.lines) {
      size_t tab = line.find('\t');
      if (tab == std::string::npos || !is_module_file(line.substr(0, tab))) continue;
      shipped_now_.emplace(line.substr(0, tab), line.substr(tab + 1));
    }
  }
  shipped_known_ = true;
  return true;
}

void PackageRecords::keep_shipped_record() const {
  if (!state_dir_safe() || !shipped_known_) return;
  Shipped kept = shipped_now_;
  std::string before;
  std::vector<std::string> held;
  if (read_whole_file(kShippedRecord, &before) && read_path_list(&held)) {
    std::set<std::string> held_set(held.begin(), held.end());
    std::istringstream lines(before);
    size_t prefix = std::string(kGrubLibrary).size() + 1;
    for (std::string line; std::getline(lines, line);) {
      size_t tab = line.find('\t');
      if (tab == std::string::npos || tab < prefix) continue;
      std::string module = line.substr(prefix, tab - prefix);
      if (held_set.count("/boot/grub/" + module) != 0 || held_set.count("/boot/grub2/" + module) != 0)
        kept.emplace(line.substr(0, tab), line.substr(tab + 1));
    }
  }
  std::string content;
  for (const auto& [file, package] : kept) content += file + "\t" + package + "\n";
  // On failure the last record stays: it still holds what was shipped before.
  std::string error;
  replace_file(kShippedRecord, content, &error);
}

std::string PackageRecords::dropped_by(const std::string& module) {
  if (!shipped_known_) return "";
  auto at = shipped_now_.lower_bound({module, ""});
  if (at != shipped_now_.end() && at->first == module) return "";
  std::string record;
  if (!read_whole_file(kShippedRecord, &record)) return "";
  std::istringstream lines(record);
  for (std::string line; std::getline(lines, line);) {
    size_t tab = line.find('\t');
    if (tab != std::string::npos && line.compare(0, tab, module) == 0 && tab == module.size())
      return line.substr(tab + 1);
  }
  return "";
}

std::string PackageRecords::grub_package_of(const std::string& platform) {
  std::map<std::string, size_t> counts;
  std::string prefix = std::string(kGrubLibrary) + "/" + platform + "/";
  for (const auto& [file, package] : shipped_now_)
    if (file.compare(0, prefix.size(), prefix) == 0) ++counts[package];
  std::string most;
  size_t highest = 0;
  for (const auto& [package, count] : counts) {
    if (count >= highest) {
      most = package;
      highest = count;
    }
  }
  return most;
}

void PackageRecords::read_owners(const std::vector<std::string>& files) {
  owner_lines_.clear();
  if (files.empty() || find_program("dpkg-query").empty()) return;
  std::vector<std::string> argv = {"dpkg-query", "-S"};  // every file is absolute
  argv.insert(argv.end(), files.begin(), files.end());
  // Status 1 when some file has no owner: the lines of the others count.
  owner_lines_ = run(argv).lines;
}

// The owners dpkg records for a path; none when a diversion moves the path,
// since then no package's record speaks for it.
std::vector<std::string> PackageRecords::dpkg_owners(const std::string& file) const {
  std::vector<std::string> owners;
  std::string tail = ": " + file;
  for (const std::string& line : owner_lines_) {
    if (line.size() <= tail.size() || line.compare(line.size() - tail.size(), tail.size(), tail) != 0) continue;
    if (line.compare(0, 13, "diversion by ") == 0) return {};
    for (const std::string& owner : split(line.substr(0, line.size() - tail.size()), ", ")) owners.push_back(owner);
  }
  return owners;
}

// dpkg's MD5 record of a package's file: its md5sums, else its conffiles
// (an obsolete conffile has none).
std::string PackageRecords::dpkg_record(const std::string& package, const std::string& file) {
  ProgramOutput where = run({"dpkg-query", "--control-path", package, "md5sums"});
  std::string sums;
  if (where.succeeded() && !where.lines.empty() && read_whole_file(where.lines.front().c_str(), &sums)) {
    std::istringstream lines(sums);
    for (std::string line; std::getline(lines, line);) {
      size_t gap = line.find("  ");
      if (gap != std::string::npos && line.compare(gap + 2, std::string::npos, file.substr(1)) == 0)
        return line.substr(0, gap);
    }
  }
  ProgramOutput conffiles = run({"dpkg-query", "-W", "-f=${Conffiles}\\n", package});
  for (const std::string& line : conffiles.lines) {
    std::istringstream words(line);
    std::vector<std::string> fields;
    for (std::string word; words >> word;) fields.push_back(word);
    if (fields.size() == 2 && fields[0] == file) return fields[1];
  }
  return "";
}

std::string PackageRecords::vouching_package(const std::string& file, std::string* why) {
  *why = "no installed package records it";
  if (!find_program("dpkg-query").empty()) {
    for (const std::string& owner : dpkg_owners(file)) {
      std::string record = dpkg_record(owner, file);
      if (record.empty()) continue;
      if (digest_of("md5", file) == record) return owner;
      *why = "its content differs from the record of package " + owner;
    }
  }
  if (!find_program("rpm").empty()) {
    // The digest is compared here rather than by rpm -V, which passes over
    // %ghost files (the kernels in /boot, on some systems) and would vouch
    // for anything in their place.
    ProgramOutput records =
        run({"rpm", "-qf", "--qf", "[%{=FILEDIGESTALGO} %{FILEDIGESTS} %{=NAME} %{FILENAMES}\n]", "--", file});
    for (const std::string& line : records.lines) {
      std::vector<std::string> fields = split(line, " ");
      if (fields.size() < 4 || fields[1].empty()) continue;
      std::string name = line.substr(fields[0].size() + fields[1].size() + fields[2].size() + 3);
      if (name != file) continue;
      if (digest_of(fields[0], file) == fields[1]) return fields[2];
      *why = "its content differs from its package's record";
    }
  }
  return "";
}

}  // namespace refresh
