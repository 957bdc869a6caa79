#include "baseline/entry_lookup.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <unordered_map>

#include "baseline/document.h"
#include "bootpath/translation.h"
#include "support/tool_log.h"
#include "support/user_diagnostics.h"

namespace {

bool list_is_empty() {
  if (file_list != nullptr && json_object_array_length(file_list) > 0) return false;
  writeLog(0, "main:get_json_idx() json_list no data\n");
  return true;
}

const char* stored_boot_path(json_object* entry) { return stored_member(entry, "grub_path"); }
const char* stored_sys_path(json_object* entry) { return stored_member(entry, "sys_path"); }

// A stored boot path as the comparison sees it: backslashes and quotes left out.
std::string comparable(const char* stored) {
  std::string cleaned;
  for (const char* c = stored; *c != '\0'; ++c) {
    if (*c != '\\' && *c != '"') cleaned += *c;
  }
  return cleaned;
}

class EntryIndex {
 public:
  int by_boot_path(const std::string& boot_path) {
    refresh();
    auto found = boot_paths_.find(boot_path);
    return found == boot_paths_.end() ? -1 : found->second;
  }

  int by_sys_path(const std::string& path) {
    refresh();
    auto found = sys_paths_.find(path);
    return found == sys_paths_.end() ? -1 : found->second;
  }

  void appended() {
    size_t length = file_list ? json_object_array_length(file_list) : 0;
    if (list_ != file_list || generation_ != document_generation() || length != length_ + 1) {
      list_ = nullptr;  // rebuilt at the next lookup
      return;
    }
    add(length - 1);
    length_ = length;
  }

 private:
  void refresh() {
    size_t length = file_list ? json_object_array_length(file_list) : 0;
    if (list_ == file_list && generation_ == document_generation() && length == length_) return;
    boot_paths_.clear();
    sys_paths_.clear();
    list_ = file_list;
    generation_ = document_generation();
    length_ = length;
    for (size_t i = 0; i < length; ++i) add(i);
  }

  // First match wins: a later entry never displaces an earlier one.
  void add(size_t i) {
    json_object* entry = json_object_array_get_idx(file_list, i);
    if (const char* stored = stored_boot_path(entry)) boot_paths_.emplace(comparable(stored), static_cast<int>(i));
    if (const char* sys_path = stored_sys_path(entry)) sys_paths_.emplace(sys_path, static_cast<int>(i));
  }

  json_object* list_ = nullptr;
  unsigned long generation_ = ~0UL;
  size_t length_ = 0;
  std::unordered_map<std::string, int> boot_paths_;
  std::unordered_map<std::string, int> sys_paths_;
};

EntryIndex entry_index;

int search(const std::string& boot_path) { return entry_index.by_boot_path(boot_path); }

}  // namespace

const char* stored_member(json_object* entry, const char* name) {
  json_object* member = nullptr;
  if (!json_object_is_type(entry, json_type_object) || !json_object_object_get_ex(entry, name, &member) ||
      !json_object_is_type(member, json_type_string))
    return nullptr;
  return json_object_get_string(member);
}

int contrast_jsonStr(const char* stored, const char* fresh) { return comparable(stored) == fresh ? 0 : -1; }

int find_entry_by_sys_path(const std::string& path) {
  if (file_list == nullptr) return -1;
  return entry_index.by_sys_path(path);
}

void note_entry_appended() { entry_index.appended(); }

int find_entry_index(const std::string& boot_path) {
  if (list_is_empty()) return -1;
  return search(boot_path);
}

int find_entry_of_file(const char* source, const std::string& path, const std::string& boot_path) {
  int index = search(boot_path);
  if (index >= 0) return index;
  int same_file = find_entry_by_sys_path(path);
  if (same_file >= 0) {
    const char* stored = stored_boot_path(json_object_array_get_idx(file_list, static_cast<size_t>(same_file)));
    tell_user_about_file(source,
                         "measured under another boot path: the disk names have changed; \"zovemo_config -i\" "
                         "rebuilds the baseline",
                         path, std::string("stored ") + (stored ? stored : "") + ", now " + boot_path);
  } else {
    tell_user_about_file(source, "not in the baseline", path);
  }
  return -1;
}

int get_json_idx(const char* path) {
  if (list_is_empty()) return -1;
  std::string boot_path;
  TranslationFailure failure;
  if (!translate_boot_path(path, &boot_path, &failure)) {
    writeLog(1, "main:get_json_idx() concatenate_json_string failed\n");
    report_translation_failure("get_json_idx", path, failure);
    return -1;
  }
  return find_entry_of_file("get_json_idx", path, boot_path);
}

int find_entry_to_delete(const char* path) {
  struct stat info {};
  if (stat(path, &info) == 0 || errno != ENOENT) return get_json_idx(path);
  int index = list_is_empty() ? -1 : find_entry_by_sys_path(path);
  if (index < 0) tell_user_about_file("get_json_idx", "not in the baseline, and the file no longer exists", path);
  return index;
}

const char* get_base_value(const char* path) {
  if (root == nullptr && get_json() != 0) return nullptr;
  int index = get_json_idx(path);
  if (index < 0) return nullptr;
  json_object* entry = json_object_array_get_idx(file_list, static_cast<size_t>(index));
  return json_object_to_json_string(json_object_object_get(entry, "measure_base_value"));
}
