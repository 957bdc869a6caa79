#include "pcr_emulation.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "baseline_document.h"
#include "sm3.h"
#include "tool_log.h"

const char* const pcr_flag_to_str[5] = {"8", "9", "10", "11", "12"};

namespace {

constexpr size_t kTextLength = 64;

bool starts_with(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

bool ends_with(const char* text, const char* suffix) {
  size_t length = strlen(text), suffix_length = strlen(suffix);
  return length >= suffix_length && strcmp(text + length - suffix_length, suffix) == 0;
}

// The entry's "pcr" as a number, or -1 when it is missing, not a string, or
// not one or two decimal digits: such an entry belongs to no PCR.
int entry_pcr(json_object* entry) {
  json_object* member = nullptr;
  if (!json_object_is_type(entry, json_type_object) || !json_object_object_get_ex(entry, "pcr", &member) ||
      !json_object_is_type(member, json_type_string))
    return -1;
  const char* text = json_object_get_string(member);
  size_t length = strlen(text);
  if (length < 1 || length > 2) return -1;
  int value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// The 64 bytes an entry contributes. A text shorter than 64 characters (the
// empty text of a file that went missing, or a member of the wrong type)
// contributes its characters followed by zero bytes up to 64; a longer one
// contributes its first 64.
void entry_text(json_object* entry, uint8_t out[kTextLength]) {
  memset(out, 0, kTextLength);
  json_object* member = nullptr;
  if (!json_object_object_get_ex(entry, "measure_base_value", &member) ||
      !json_object_is_type(member, json_type_string))
    return;
  const char* text = json_object_get_string(member);
  size_t length = strnlen(text, kTextLength);
  memcpy(out, text, length);
}

uint8_t* new_digest_block() { return static_cast<uint8_t*>(malloc(32)); }

}  // namespace

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

uint8_t* emulate_pcr(int pcr) {
  if (file_list == nullptr || !json_object_is_type(file_list, json_type_array)) return nullptr;
  SM3_context context;
  SM3_init(&context);
  size_t counted = 0;
  size_t length = json_object_array_length(file_list);
  for (size_t i = 0; i < length; ++i) {
    json_object* entry = json_object_array_get_idx(file_list, i);
    if (entry_pcr(entry) != pcr) continue;
    uint8_t text[kTextLength];
    entry_text(entry, text);
    SM3_process(&context, text, kTextLength);
    ++counted;
  }
  if (counted == 0) return nullptr;
  uint8_t first[32];
  SM3_done(&context, first);
  uint8_t* aggregate = new_digest_block();
  if (aggregate == nullptr) return nullptr;
  SM3_256(first, sizeof first, aggregate);
  return aggregate;
}

uint8_t* pcr_extend(const uint8_t* value) {
  uint8_t* extended = new_digest_block();
  if (extended == nullptr) return nullptr;
  static const uint8_t zeros[32] = {};
  SM3_context context;
  SM3_init(&context);
  SM3_process(&context, zeros, sizeof zeros);
  SM3_process(&context, value, 32);
  SM3_done(&context, extended);
  return extended;
}

void printf_data_32(const uint8_t* value) {
  printf("printf_data_32:");
  for (int i = 0; i < 32; ++i) printf("%02x", value[i]);
  printf("\n");
  fflush(stdout);
}
