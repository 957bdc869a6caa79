#include "entry_lookup.h"

#include <cstdlib>

#include "baseline_document.h"
#include "boot_path.h"
#include "tool_log.h"

namespace {

bool list_is_empty() {
  if (file_list != nullptr && json_object_array_length(file_list) > 0) return false;
  writeLog(0, "main:get_json_idx() json_list no data\n");
  return true;
}

// Entries that are not objects, or whose "grub_path" is not a string, match nothing.
const char* stored_boot_path(json_object* entry) {
  json_object* member = nullptr;
  if (!json_object_is_type(entry, json_type_object) || !json_object_object_get_ex(entry, "grub_path", &member) ||
      !json_object_is_type(member, json_type_string))
    return nullptr;
  return json_object_get_string(member);
}

int search(const std::string& boot_path) {
  size_t length = json_object_array_length(file_list);
  for (size_t i = 0; i < length; ++i) {
    const char* stored = stored_boot_path(json_object_array_get_idx(file_list, i));
    if (stored != nullptr && contrast_jsonStr(stored, boot_path.c_str()) == 0) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

int contrast_jsonStr(const char* stored, const char* fresh) {
  std::string cleaned;
  for (const char* c = stored; *c != '\0'; ++c) {
    if (*c != '\\' && *c != '"') cleaned += *c;
  }
  return cleaned == fresh ? 0 : -1;
}

int find_entry_index(const std::string& boot_path) {
  if (list_is_empty()) return -1;
  return search(boot_path);
}

int get_json_idx(const char* path) {
  if (list_is_empty()) return -1;
  std::string boot_path;
  if (!translate_boot_path(path, &boot_path)) {
    writeLog(1, "main:get_json_idx() concatenate_json_string failed\n");
    return -1;
  }
  return search(boot_path);
}

const char* get_base_value(const char* path) {
  if (root == nullptr && get_json() != 0) return nullptr;
  int index = get_json_idx(path);
  if (index < 0) return nullptr;
  json_object* entry = json_object_array_get_idx(file_list, static_cast<size_t>(index));
  return json_object_to_json_string(json_object_object_get(entry, "measure_base_value"));
}
