#include "tpm/pcr_emulation.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "baseline/document.h"
#include "baseline/entry_lookup.h"
#include "measure/sm3.h"
#include "support/visible_text.h"

namespace {

constexpr size_t kTextLength = 64;

// The 64 bytes an entry contributes. A text shorter than 64 characters (the
// empty text of a file that went missing, or a member of the wrong type)
// contributes its characters followed by zero bytes up to 64; a longer one
// contributes its first 64.
void entry_text(json_object* entry, uint8_t out[kTextLength]) {
  memset(out, 0, kTextLength);
  const char* text = stored_member(entry, "measure_base_value");
  if (text == nullptr) return;
  size_t length = strnlen(text, kTextLength);
  memcpy(out, text, length);
}

uint8_t* new_digest_block() { return static_cast<uint8_t*>(malloc(32)); }

// The aggregate digest of `pcr` over `list` into `out`; false when no entry
// belongs to it.
bool aggregate_into(json_object* list, int pcr, uint8_t out[32]) {
  if (list == nullptr || !json_object_is_type(list, json_type_array)) return false;
  SM3_context context;
  SM3_init(&context);
  size_t counted = 0;
  size_t length = json_object_array_length(list);
  for (size_t i = 0; i < length; ++i) {
    json_object* entry = json_object_array_get_idx(list, i);
    if (entry_pcr(entry) != pcr) continue;
    uint8_t text[kTextLength];
    entry_text(entry, text);
    SM3_process(&context, text, kTextLength);
    ++counted;
  }
  if (counted == 0) return false;
  uint8_t first[32];
  SM3_done(&context, first);
  SM3_256(first, sizeof first, out);
  return true;
}

// One PCR extend from reset: SM3(32 zero bytes || value).
void extend_from_zero(const uint8_t value[32], uint8_t out[32]) {
  static const uint8_t zeros[32] = {};
  SM3_context context;
  SM3_init(&context);
  SM3_process(&context, zeros, sizeof zeros);
  SM3_process(&context, value, 32);
  SM3_done(&context, out);
}

}  // namespace

uint8_t* emulate_pcr(int pcr) { return emulate_pcr_of(file_list, pcr); }

uint8_t* emulate_pcr_of(json_object* list, int pcr) {
  uint8_t digest[32];
  if (!aggregate_into(list, pcr, digest)) return nullptr;
  uint8_t* aggregate = new_digest_block();
  if (aggregate != nullptr) memcpy(aggregate, digest, sizeof digest);
  return aggregate;
}

uint8_t* pcr_extend(const uint8_t* value) {
  uint8_t* extended = new_digest_block();
  if (extended != nullptr) extend_from_zero(value, extended);
  return extended;
}

void reference_value_of(json_object* list, int pcr, uint8_t out[32]) {
  uint8_t aggregate[32];
  if (aggregate_into(list, pcr, aggregate)) extend_from_zero(aggregate, out);
  else memset(out, 0, 32);
}

void printf_data_32(const uint8_t* value) {
  printf("printf_data_32:%s\n", hex_bytes(value, 32).c_str());
  fflush(stdout);
}
