#include "baseline/pcr_rule.h"

#include <cstdlib>
#include <cstring>

#include "baseline/boot_files.h"
#include "baseline/entry_lookup.h"
#include "support/tool_log.h"

const char* const pcr_flag_to_str[5] = {"8", "9", "10", "11", "12"};

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
  if (name == nullptr) return pcr_of_name("");
  int flag = pcr_of_name(name);
  free(name);
  return flag;
}
