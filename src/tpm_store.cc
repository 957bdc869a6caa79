#include "tpm_store.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "pcr_emulation.h"
#include "tool_log.h"
#include "tpm_standin.h"

int tpm_chip_exist = 0;

namespace {

constexpr uint16_t kReferenceSize = 128;
constexpr uint16_t kSnapshotSize = 256;
constexpr uint32_t kIndexAttributes = 0x400A;
constexpr size_t kSlotSize = 32;
constexpr int kSnapshotPcrs = 8;

struct FreeBlock {
  void operator()(uint8_t* block) const { free(block); }
};
using Block = std::unique_ptr<uint8_t, FreeBlock>;

// One TPM context for the length of an operation, freed and closed on every
// way out. A failed create or connect is not reported here: the TPM calls
// that follow fail on the context and report as their own step.
class TpmSession {
 public:
  TpmSession() {
    create_result_ = Tspi_Context_Create(&handle_);
    if (create_result_ == 0) connect_result_ = Tspi_Context_Connect(handle_, nullptr);
  }
  ~TpmSession() {
    if (create_result_ != 0) return;
    Tspi_Context_FreeMemory(handle_, nullptr);
    Tspi_Context_Close(handle_);
  }
  TpmSession(const TpmSession&) = delete;
  TpmSession& operator=(const TpmSession&) = delete;

  TpmContextHandle handle() const { return handle_; }
  // The create's result when it failed, else the connect's.
  TpmResult result() const { return create_result_ != 0 ? create_result_ : connect_result_; }

 private:
  TpmContextHandle handle_ = 0;
  TpmResult create_result_ = 0;
  TpmResult connect_result_ = 0;
};

// Owner hierarchy, password session, empty password. The record is large,
// so every caller shares this one copy.
const TpmOwnerAuth& owner_auth() {
  static const TpmOwnerAuth record = [] {
    TpmOwnerAuth auth;
    memset(&auth, 0, sizeof auth);
    auth.auth_handle = kTpmOwnerHierarchy;
    auth.session_handle = kTpmPasswordSession;
    return auth;
  }();
  return record;
}

// Reference slot of a PCR flag: 8, 9, 11, 12 -> 0..3; -1 for 10 and others.
int slot_of(int pcr) {
  static const int kSlots[] = {0, 1, -1, 2, 3};
  return pcr >= 8 && pcr <= 12 ? kSlots[pcr - 8] : -1;
}

int define_index(const TpmSession& session, uint32_t index, uint16_t size) {
  TpmSizedBuffer empty_auth;
  memset(&empty_auth, 0, sizeof empty_auth);
  TpmResult rc = Tss2_NV_DefineSpace(session.handle(), &owner_auth(), &empty_auth, kIndexAttributes,
                                     index, kTpmAlgSm3_256, size);
  if (rc == 0) return 0;
  uint32_t type = 0, offset = 0;
  Tss2_ErrCode(rc, &type, &offset);
  writeLog(0, "tpm_oper:86 failed to define NV 0x%x area, err_type=0x%x, err_offset=0x%x\n", index, type,
           offset);
  return -1;
}

TpmResult write_index(const TpmSession& session, uint32_t index, const uint8_t* image, uint16_t size) {
  TpmSizedBuffer data;
  memset(&data, 0, sizeof data);
  data.size = size;
  memcpy(data.buffer, image, size);
  return Tss2_NV_Write(session.handle(), &owner_auth(), index, 0, &data);
}

// The 128 bytes of the reference index, or false (logged when `log`).
bool read_reference(const TpmSession& session, uint8_t image[kReferenceSize], bool log) {
  TpmSizedBuffer data;
  memset(&data, 0, sizeof data);
  TpmResult rc = Tss2_NV_Read(session.handle(), &owner_auth(), kReferenceIndex, kReferenceSize, 0, &data);
  if (rc != 0 || data.size != kReferenceSize) {
    if (log) writeLog(1, "tpm_oper:135 read nv failed\n");
    return false;
  }
  memcpy(image, data.buffer, kReferenceSize);
  return true;
}

// Replaces one slot of the reference index, keeping the other bytes as read.
int write_slot(int slot, const uint8_t content[kSlotSize]) {
  TpmSession session;
  uint8_t image[kReferenceSize];
  if (!read_reference(session, image, true)) return -1;
  memcpy(image + slot * kSlotSize, content, kSlotSize);
  if (write_index(session, kReferenceIndex, image, kReferenceSize) != 0) {
    writeLog(0, "tpm_oper:149 write nv failed\n");
    return -1;
  }
  return 0;
}

}  // namespace

int testing_tpm_chip() {
  TpmSession session;
  return static_cast<int>(session.result());
}

int init_measure_tpm_exist() {
  uint8_t reference[kReferenceSize] = {};
  uint8_t snapshot[kSnapshotSize] = {};
  TpmSession session;

  // A missing index fails to go, too; defining anew is what matters.
  if (Tss2_NV_UndefineSpace(session.handle(), &owner_auth(), kReferenceIndex) != 0)
    writeLog(0, "tpm_oper:79 release nv 0x%x failed, may not define\n", kReferenceIndex);
  if (Tss2_NV_UndefineSpace(session.handle(), &owner_auth(), kSnapshotIndex) != 0)
    writeLog(0, "tpm_oper:79 release nv 0x%x failed, may not define\n", kSnapshotIndex);
  if (define_index(session, kReferenceIndex, kReferenceSize) != 0) return -1;
  if (define_index(session, kSnapshotIndex, kSnapshotSize) != 0) return -1;

  const int flags[] = {8, 9, 11, 12};
  for (int flag : flags) {
    Block aggregate(emulate_pcr(flag));
    if (!aggregate) continue;
    printf_data_32(aggregate.get());
    Block extended(pcr_extend(aggregate.get()));
    if (extended) memcpy(reference + slot_of(flag) * kSlotSize, extended.get(), kSlotSize);
  }
  for (int pcr = 0; pcr < kSnapshotPcrs; ++pcr) {
    Block value(get_tpm_pcr(pcr));
    if (value) memcpy(snapshot + pcr * kSlotSize, value.get(), kSlotSize);
  }

  if (write_index(session, kReferenceIndex, reference, kReferenceSize) != 0) {
    writeLog(0, "0x%x  write nv failed\n", kReferenceIndex);
    return -1;
  }
  if (write_index(session, kSnapshotIndex, snapshot, kSnapshotSize) != 0) {
    writeLog(0, "0x%x write nv failed\n", kSnapshotIndex);
    return -1;
  }
  return 0;
}

uint8_t* get_tpm_pcr(int pcr) {
  TpmSession session;
  Block result(static_cast<uint8_t*>(calloc(1, kSlotSize)));
  if (!result) return nullptr;
  TpmPcrSelection selection, read;
  Tss2_Init_PcrSelection(&selection);
  Tss2_Set_PcrSelection_Data(&selection, kTpmAlgSm3_256, static_cast<uint32_t>(pcr));
  TpmPcrValues values;
  memset(&values, 0, sizeof values);
  uint32_t update_counter = 0;
  if (Tss2_PCR_Read(session.handle(), &selection, &update_counter, &values, &read) != 0) {
    writeLog(1, "tpm_oper: read pcr %d failed\n", pcr);
    return nullptr;
  }
  // Bytes the TPM did not give stay zero, like the slot of a failed read.
  size_t length = values.count > 0 ? values.digests[0].size : 0;
  memcpy(result.get(), values.digests[0].buffer, length < kSlotSize ? length : kSlotSize);
  return result.release();
}

int update_nv_space(const uint8_t* value, int pcr) {
  int slot = slot_of(pcr);
  if (slot < 0) return -1;
  uint8_t content[kSlotSize] = {};
  if (value != nullptr) {
    Block extended(pcr_extend(value));
    if (!extended) return -1;
    memcpy(content, extended.get(), kSlotSize);
  }
  char hex[2 * kSlotSize + 1];
  for (size_t i = 0; i < kSlotSize; ++i) snprintf(hex + 2 * i, 3, "%02x", content[i]);
  writeLog(0, "PCR%d_PCR: %s\n", pcr, hex);
  return write_slot(slot, content);
}

int read_nv_slot(int pcr, uint8_t* out) {
  int slot = slot_of(pcr);
  if (slot < 0 || out == nullptr) return -1;
  TpmSession session;
  uint8_t image[kReferenceSize];
  // Silent: the slot update that follows reports a missing index itself.
  if (!read_reference(session, image, false)) return -1;
  memcpy(out, image + slot * kSlotSize, kSlotSize);
  return 0;
}

int restore_nv_slot(int pcr, const uint8_t* content) {
  int slot = slot_of(pcr);
  if (slot < 0 || content == nullptr) return -1;
  return write_slot(slot, content);
}
