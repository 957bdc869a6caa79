#include "baseline/pcr_rule.h"

#include <cstdlib>
#include <cstring>

#include "baseline/entry_lookup.h"
#include "support/tool_log.h"

const char* const pcr_flag_to_str[5] = {"8", "9", "10", "11", "12"};

namespace {

bool starts_with(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

bool ends_with(const char* text, const char* suffix) {
  size_t length = strlen(text), suffix_length = strlen(suffix);
  return length >= suffix_length && strcmp(text + length - suffix_length, suffix) == 0;
}

}  // namespace

int entry_pcr(json_object* entry) {
  const char* text = stored_member(entry, "pcr");
  if (text == nullptr) return -1;
  size_t length = strlen(text);
  if (length < 1 || length > 2) return -1;
  int value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

int get_pcrFlag(const char* path) {
  char* name = getFilename(path);
  if (name == nullptr) return 12;
  int flag = 12;
  if (starts_with(name, "vmlinuz")) flag = 9;
  else if (starts_with(name, "initramfs") || starts_with(name, "initrd")) flag = 11;
  else if (ends_with(name, ".cfg")) flag = 8;
  free(name);
  return flag;
}
