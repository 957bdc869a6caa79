#include "document.h"

#include <json-c/json.h>

#include "oracle.h"

namespace stored {

namespace {

std::string text_member(json_object* object, const char* name) {
  json_object* value = nullptr;
  if (!json_object_object_get_ex(object, name, &value) || !json_object_is_type(value, json_type_string)) return "";
  return json_object_get_string(value);
}

}  // namespace

std::vector<Entry> entries() {
  std::vector<Entry> result;
  json_object* document = json_object_from_file("/boot/.vemobase");
  if (document == nullptr) return result;
  json_object* list = nullptr;
  if (json_object_object_get_ex(document, "list", &list) && json_object_is_type(list, json_type_array)) {
    for (size_t i = 0; i < json_object_array_length(list); ++i) {
      json_object* e = json_object_array_get_idx(list, i);
      result.push_back({text_member(e, "grub_path"), text_member(e, "sys_path"), text_member(e, "measure_base_value"),
                        text_member(e, "file_type"), text_member(e, "measure_stage"), text_member(e, "pcr"),
                        text_member(e, "time")});
    }
  }
  json_object_put(document);
  return result;
}

std::string top_member(const char* name) {
  json_object* document = json_object_from_file("/boot/.vemobase");
  if (document == nullptr) return "<unparsable>";
  std::string value = text_member(document, name);
  json_object_put(document);
  return value;
}

std::string value_of(const std::string& sys_path) {
  std::string value;
  for (const auto& entry : entries())
    if (entry.sys_path == sys_path) value = entry.value;
  return value;
}

std::map<std::string, std::string> reference_values() {
  std::map<std::string, std::string> texts;
  for (const auto& entry : entries()) {
    std::string text = entry.value.substr(0, 64);
    texts[entry.pcr] += text + std::string(64 - text.size(), '\0');
  }
  std::map<std::string, std::string> references;
  for (const char* pcr : {"8", "9", "11", "12"}) {
    references[pcr] = texts.count(pcr) ? oracle::sm3(std::string(32, '\0') + oracle::sm3(oracle::sm3(texts[pcr])))
                                       : std::string(32, '\0');
  }
  return references;
}

}  // namespace stored
