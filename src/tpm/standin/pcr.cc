// PCR selection records, the PCR read, and the splitting of results.
#include <cstring>

#include "tpm/standin/standin_internal.h"
#include "tpm/standin/tpm_standin.h"

using namespace tpm_standin;

namespace {

constexpr uint32_t kPcrCount = 8 * sizeof(TpmPcrBankSelection::pcr_select);
constexpr uint32_t kBankCount = sizeof(TpmPcrSelection::banks) / sizeof(TpmPcrSelection::banks[0]);

bool selection_valid(const TpmPcrSelection& selection) {
  if (selection.count > kBankCount) return false;
  for (uint32_t i = 0; i < selection.count; ++i)
    if (selection.banks[i].size_of_select > sizeof(TpmPcrBankSelection::pcr_select)) return false;
  return true;
}

}  // namespace

TpmResult Tss2_Init_PcrSelection(TpmPcrSelection* selection) {
  if (selection == nullptr) return kBadReference;
  memset(selection, 0, sizeof(*selection));
  return TSS2_RC_SUCCESS;
}

TpmResult Tss2_Set_PcrSelection_Data(TpmPcrSelection* selection, uint16_t bank, uint32_t pcr) {
  if (selection == nullptr) return kBadReference;
  if (pcr >= kPcrCount || !selection_valid(*selection)) return kBadValue;
  TpmPcrBankSelection* entry = nullptr;
  for (uint32_t i = 0; i < selection->count && entry == nullptr; ++i)
    if (selection->banks[i].hash == bank) entry = &selection->banks[i];
  if (entry == nullptr) {
    if (selection->count == kBankCount) return kBadSize;
    entry = &selection->banks[selection->count++];
    memset(entry, 0, sizeof(*entry));
    entry->hash = bank;
    entry->size_of_select = 3;  // PCRs 0..23 of a PC TPM
  }
  uint8_t needed = static_cast<uint8_t>(pcr / 8 + 1);
  if (entry->size_of_select < needed) entry->size_of_select = needed;
  entry->pcr_select[pcr / 8] |= static_cast<uint8_t>(1u << (pcr % 8));
  return TSS2_RC_SUCCESS;
}

TpmResult Tss2_PCR_Read(TpmContextHandle context, const TpmPcrSelection* selection_in,
                        uint32_t* update_counter, TpmPcrValues* values,
                        TpmPcrSelection* selection_out) {
  if (selection_in == nullptr || update_counter == nullptr || values == nullptr ||
      selection_out == nullptr)
    return kBadReference;
  memset(values, 0, sizeof(*values));
  memset(selection_out, 0, sizeof(*selection_out));
  *update_counter = 0;
  if (!selection_valid(*selection_in)) return kBadValue;

  TPML_PCR_SELECTION request{};
  bool any_selected = false;
  request.count = selection_in->count;
  for (uint32_t i = 0; i < selection_in->count; ++i) {
    const TpmPcrBankSelection& bank = selection_in->banks[i];
    request.pcrSelections[i].hash = bank.hash;
    request.pcrSelections[i].sizeofSelect = bank.size_of_select;
    for (uint8_t b = 0; b < bank.size_of_select; ++b) {
      request.pcrSelections[i].pcrSelect[b] = bank.pcr_select[b];
      any_selected |= bank.pcr_select[b] != 0;
    }
  }

  LibraryCall call;
  TSS2_RC rc;
  ESYS_CONTEXT* esys = connected_esys(context, &rc);
  if (esys == nullptr) return rc;
  TPML_PCR_SELECTION* read = nullptr;
  TPML_DIGEST* digests = nullptr;
  rc = run_command(
      esys, "PCR_Read",
      [&] { return Esys_PCR_Read_Async(esys, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, &request); },
      [&] { return Esys_PCR_Read_Finish(esys, update_counter, &read, &digests); });
  if (rc == TSS2_RC_SUCCESS) {
    uint32_t banks = read->count < kBankCount ? read->count : kBankCount;
    selection_out->count = banks;
    for (uint32_t i = 0; i < banks; ++i) {
      const TPMS_PCR_SELECTION& bank = read->pcrSelections[i];
      uint8_t width = bank.sizeofSelect < sizeof(TpmPcrBankSelection::pcr_select)
                          ? bank.sizeofSelect
                          : sizeof(TpmPcrBankSelection::pcr_select);
      selection_out->banks[i].hash = bank.hash;
      selection_out->banks[i].size_of_select = width;
      memcpy(selection_out->banks[i].pcr_select, bank.pcrSelect, width);
    }
    constexpr uint32_t kMaxDigests = sizeof(values->digests) / sizeof(values->digests[0]);
    values->count = digests->count < kMaxDigests ? digests->count : kMaxDigests;
    for (uint32_t i = 0; i < values->count; ++i) {
      const TPM2B_DIGEST& digest = digests->digests[i];
      size_t length = digest.size < sizeof(values->digests[i].buffer) ? digest.size
                                                                       : sizeof(values->digests[i].buffer);
      values->digests[i].size = static_cast<uint16_t>(length);
      memcpy(values->digests[i].buffer, digest.buffer, length);
    }
    if (any_selected && values->count == 0) {
      rc = kNoPcr;
      report("PCR_Read", rc);
    }
  }
  Esys_Free(read);
  Esys_Free(digests);
  return rc;
}

TpmResult Tss2_ErrCode(TpmResult result, uint32_t* error_type, uint32_t* error_offset) {
  if (error_type == nullptr || error_offset == nullptr) return kBadReference;
  uint32_t layer = result & TSS2_RC_LAYER_MASK;
  bool tpm_code = layer == TSS2_TPM_RC_LAYER || layer == TSS2_RESMGR_TPM_RC_LAYER;
  if (!tpm_code || (result & TPM2_RC_FMT1) == 0) {
    *error_type = result;
    *error_offset = 0;
    return TSS2_RC_SUCCESS;
  }
  uint32_t number = (result & TPM2_RC_N_MASK) >> 8;
  *error_type = result & ~(TPM2_RC_N_MASK | TPM2_RC_P);
  if (result & TPM2_RC_P)
    *error_offset = number;
  else if (number == 0)
    *error_offset = 0;
  else if (number & 0x8)
    *error_offset = 0x200 + (number & 0x7);
  else
    *error_offset = 0x100 + number;
  return TSS2_RC_SUCCESS;
}
