#include "baseline/recovery.h"

#include <map>

#include "baseline/document.h"
#include "support/durable_file.h"
#include "baseline/entry_lookup.h"
#include "baseline/path_list.h"
#include "support/tool_log.h"
#include "support/user_diagnostics.h"

namespace {

constexpr size_t kPathsNamed = 3;

// The paths of `from` that `other` does not hold as often, in order.
std::vector<std::string> missing_from(const std::vector<std::string>& from, const std::vector<std::string>& other) {
  std::map<std::string, int> available;
  for (const auto& path : other) ++available[path];
  std::vector<std::string> missing;
  for (const auto& path : from) {
    if (available[path] > 0) --available[path];
    else missing.push_back(path);
  }
  return missing;
}

std::string count_and_names(size_t count, const char* what, const std::vector<std::string>& paths) {
  std::string text = std::to_string(count) + " " + what + " (";
  for (size_t i = 0; i < paths.size() && i < kPathsNamed; ++i) text += (i ? ", " : "") + paths[i];
  return text + (paths.size() > kPathsNamed ? ", ...)" : ")");
}

// One sentence for what was wrong with a readable list.
std::string describe_difference(const PathListText& list, const PathListRepair& repair) {
  std::vector<std::string> parts;
  if (!repair.added.empty()) parts.push_back(count_and_names(repair.added.size(), "entries had no line", repair.added));
  if (!repair.removed.empty())
    parts.push_back(count_and_names(repair.removed.size(), "lines named no entry", repair.removed));
  if (list.cr_line_ends > 0) parts.push_back(std::to_string(list.cr_line_ends) + " lines ended in CR LF");
  if (!list.bytes.empty() && list.bytes.back() != '\n') parts.push_back("the last line had no line end");
  if (parts.empty()) parts.push_back("its lines were not in the order of the entries");
  std::string text;
  for (size_t i = 0; i < parts.size(); ++i) text += (i ? "; " : "") + parts[i];
  return text;
}

}  // namespace

std::vector<std::string> entry_paths() {
  std::vector<std::string> paths;
  if (file_list == nullptr) return paths;
  for (size_t i = 0; i < json_object_array_length(file_list); ++i) {
    const char* stored = stored_member(json_object_array_get_idx(file_list, i), "sys_path");
    if (stored == nullptr) continue;
    std::string path = stored;
    if (fits_path_list(path)) paths.push_back(std::move(path));
  }
  return paths;
}

PathListRepair reconcile_path_list() {
  PathListRepair repair;
  std::vector<std::string> expected = entry_paths();
  PathListText list = load_path_list();
  if (list.readable && list.bytes == path_list_content(expected)) {
    repair.in_step = true;
    return repair;
  }
  std::string what;
  if (list.readable) {
    repair.added = missing_from(expected, list.paths);
    repair.removed = missing_from(list.paths, expected);
    what = describe_difference(list, repair);
  } else {
    repair.added = expected;
    what = list.missing ? "it was missing" : "it was not a readable regular file";
  }
  repair.in_step = write_path_list(expected);
  if (list.missing && expected.empty()) return repair;
  std::string message = std::string("path list ") + kPathListPath + " was out of step with the baseline: " + what;
  message += repair.in_step ? "; rebuilt from the " + std::to_string(expected.size()) + " entries"
                            : "; it could not be rebuilt";
  tell_user("reconcile_path_list", message);
  return repair;
}
