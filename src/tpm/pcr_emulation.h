// PCR emulation: a PCR's aggregate digest and reference value from the
// loaded baseline (which PCR an entry belongs to: baseline/pcr_rule.h).
//
// Aggregate digest of PCR p = SM3(SM3(text(e1) || ... || text(ek))) over the
// measurement texts (64 ASCII hex digits each) of p's entries in list order.
// Reference value = SM3(32 zero bytes || aggregate), one extend from reset.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "baseline/pcr_rule.h"


// New 32-byte block with the aggregate digest of `pcr` over file_list, or
// nullptr when no entry belongs to it. The caller frees the block.
uint8_t* emulate_pcr(int pcr);
// The same over any list of entries, so that a reader of a document of its
// own needs no process-wide handles.
uint8_t* emulate_pcr_of(json_object* list, int pcr);

// The reference value of `pcr` over `list` into `out`: its aggregate digest
// extended once from zero, or 32 zero bytes when no entry belongs to it.
void reference_value_of(json_object* list, int pcr, uint8_t out[32]);

// New 32-byte block: SM3(32 zero bytes || value). The caller frees it.
uint8_t* pcr_extend(const uint8_t* value);

// Owns a block of emulate_pcr, emulate_pcr_of or pcr_extend and frees it.
struct FreeDigest {
  void operator()(uint8_t* block) const { free(block); }
};
using DigestBlock = std::unique_ptr<uint8_t, FreeDigest>;

// Prints "printf_data_32:" and the 32 bytes as lowercase hex, one line.
void printf_data_32(const uint8_t* value);
