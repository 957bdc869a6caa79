#include "tpm/nv_store.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <tss2/tss2_common.h>
#include <tss2/tss2_rc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tpm/pcr_emulation.h"
#include "support/tool_log.h"
#include "tpm/standin/tpm_standin.h"
#include "support/unique_fd.h"
#include "support/user_diagnostics.h"

int tpm_chip_exist = 0;

namespace {

constexpr uint16_t kReferenceSize = 128;
constexpr uint16_t kSnapshotSize = 256;
constexpr uint32_t kIndexAttributes = 0x400A;
constexpr size_t kSlotSize = 32;
constexpr int kSnapshotPcrs = 8;
constexpr uint32_t kTpmRcHandle = 0x08B;  // TPM_RC_HANDLE: no such index

// Where the TPM library looks for a TPM: the kernel's device nodes and a
// simulator's command port on the loopback interface.
constexpr const char* kTpmDeviceNodes[] = {"/dev/tpmrm0", "/dev/tpm0"};
constexpr uint16_t kSimulatorPort = 2321;
constexpr int kSimulatorConnectMilliseconds = 500;

bool silent = false;

void report_silence(const char* operation) {
  if (silent) return;
  silent = true;
  tell_user(operation, "the TPM did not answer; the reference index 0x1500016 was not updated");
}

// A result that says the TPM never answered (the transport failed or the
// answer did not come in time), as opposed to an error the TPM answered with.
bool is_no_answer(TpmResult rc) {
  uint32_t layer = rc & TSS2_RC_LAYER_MASK;
  uint32_t base = rc & 0xFFFF;
  if (layer == TSS2_TCTI_RC_LAYER) return true;
  if (layer != TSS2_ESAPI_RC_LAYER && layer != TSS2_SYS_RC_LAYER) return false;
  return base == TSS2_BASE_RC_TRY_AGAIN || base == TSS2_BASE_RC_IO_ERROR || base == TSS2_BASE_RC_NO_CONNECTION ||
         base == TSS2_BASE_RC_MALFORMED_RESPONSE || base == TSS2_BASE_RC_INSUFFICIENT_RESPONSE;
}

// Passes a TPM call's result through, noting a TPM that stopped answering
// after the command's probe had found it.
TpmResult noted(const char* operation, TpmResult rc) {
  if (rc != 0 && tpm_chip_exist == 1 && is_no_answer(rc)) report_silence(operation);
  return rc;
}

bool simulator_accepts() {
  UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (sock.get() < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kSimulatorPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(sock.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
  if (errno != EINPROGRESS) return false;
  pollfd request{sock.get(), POLLOUT, 0};
  if (poll(&request, 1, kSimulatorConnectMilliseconds) <= 0) return false;
  int error = 0;
  socklen_t length = sizeof error;
  return getsockopt(sock.get(), SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

struct FreeBlock {
  void operator()(uint8_t* block) const { free(block); }
};
using Block = std::unique_ptr<uint8_t, FreeBlock>;

// One TPM context for the length of an operation, freed and closed on every
// way out. A failed create or connect is not reported here: the TPM calls
// that follow fail on the context and report as their own step. After the
// probe found a TPM, a connect that fails means it stopped answering; once
// it has, no session connects again in this run.
class TpmSession {
 public:
  explicit TpmSession(const char* operation) : operation_(operation) {
    if (silent) {
      create_result_ = TSS2_TCTI_RC_NO_CONNECTION;
      return;
    }
    create_result_ = Tspi_Context_Create(&handle_);
    if (create_result_ != 0) return;
    connect_result_ = noted(operation_, Tspi_Context_Connect(handle_, nullptr));
  }
  ~TpmSession() {
    if (create_result_ != 0) return;
    Tspi_Context_FreeMemory(handle_, nullptr);
    Tspi_Context_Close(handle_);
  }
  TpmSession(const TpmSession&) = delete;
  TpmSession& operator=(const TpmSession&) = delete;

  TpmContextHandle handle() const { return handle_; }
  const char* operation() const { return operation_; }
  // The create's result when it failed, else the connect's.
  TpmResult result() const { return create_result_ != 0 ? create_result_ : connect_result_; }

 private:
  const char* operation_;
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
  TpmResult rc = noted(session.operation(), Tss2_NV_DefineSpace(session.handle(), &owner_auth(), &empty_auth,
                                                                kIndexAttributes, index, kTpmAlgSm3_256, size));
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
  return noted(session.operation(), Tss2_NV_Write(session.handle(), &owner_auth(), index, 0, &data));
}

// The 128 bytes of the reference index, or false (logged when `log`).
bool read_reference(const TpmSession& session, uint8_t image[kReferenceSize], bool log) {
  TpmSizedBuffer data;
  memset(&data, 0, sizeof data);
  TpmResult rc = noted(session.operation(),
                       Tss2_NV_Read(session.handle(), &owner_auth(), kReferenceIndex, kReferenceSize, 0, &data));
  if (rc != 0 || data.size != kReferenceSize) {
    if (log) writeLog(1, "tpm_oper:135 read nv failed\n");
    return false;
  }
  memcpy(image, data.buffer, kReferenceSize);
  return true;
}

// Replaces one slot of the reference index, keeping the other bytes as read.
int write_slot(int slot, const uint8_t content[kSlotSize]) {
  TpmSession session("update_nv_space");
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
  TpmSession session("testing_tpm_chip");
  return static_cast<int>(session.result());
}

int init_measure_tpm_exist() {
  uint8_t reference[kReferenceSize] = {};
  uint8_t snapshot[kSnapshotSize] = {};
  TpmSession session("init_measure_tpm_exist");

  // A missing index fails to go, too; defining anew is what matters.
  if (noted(session.operation(), Tss2_NV_UndefineSpace(session.handle(), &owner_auth(), kReferenceIndex)) != 0)
    writeLog(0, "tpm_oper:79 release nv 0x%x failed, may not define\n", kReferenceIndex);
  if (noted(session.operation(), Tss2_NV_UndefineSpace(session.handle(), &owner_auth(), kSnapshotIndex)) != 0)
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

void reset_tpm_silence() { silent = false; }

bool tpm_expected() {
  // A TPM the administrator named is expected whatever it names: silence
  // from it is a fault to report, not the absence of a TPM.
  for (const char* name : {"TPM2TOOLS_TCTI", "TCTI"}) {
    const char* value = getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  struct stat info {};
  for (const char* node : kTpmDeviceNodes)
    if (stat(node, &info) == 0) return true;
  return simulator_accepts();
}

bool report_unanswering_tpm() {
  const bool expected = tpm_expected();
  if (expected) report_silence("testing_tpm_chip");
  return expected;
}

uint8_t* get_tpm_pcr(int pcr) {
  TpmSession session("get_tpm_pcr");
  Block result(static_cast<uint8_t*>(calloc(1, kSlotSize)));
  if (!result) return nullptr;
  TpmPcrSelection selection, read;
  Tss2_Init_PcrSelection(&selection);
  Tss2_Set_PcrSelection_Data(&selection, kTpmAlgSm3_256, static_cast<uint32_t>(pcr));
  TpmPcrValues values;
  memset(&values, 0, sizeof values);
  uint32_t update_counter = 0;
  if (noted(session.operation(), Tss2_PCR_Read(session.handle(), &selection, &update_counter, &values, &read)) != 0) {
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

bool read_nv_slot(int pcr, uint8_t* out) {
  int slot = slot_of(pcr);
  if (slot < 0 || out == nullptr) return false;
  uint8_t image[kReferenceSize];
  // Silent: the slot update that follows reports a missing index itself.
  if (!read_reference_index(image)) return false;
  memcpy(out, image + slot * kSlotSize, kSlotSize);
  return true;
}

bool read_reference_index(uint8_t image[kReferenceSize]) {
  TpmSession session("read_nv_slot");
  return read_reference(session, image, false);
}

NvIndexState probe_nv_index(uint32_t index, std::string* reason) {
  TpmSession session("probe_nv_index");
  if (session.result() != 0) {
    *reason = Tss2_RC_Decode(session.result());
    return NvIndexState::kUnreadable;
  }
  TpmSizedBuffer data;
  memset(&data, 0, sizeof data);
  TpmResult rc = noted(session.operation(), Tss2_NV_Read(session.handle(), &owner_auth(), index, 1, 0, &data));
  if (rc == 0) return NvIndexState::kPresent;
  uint32_t type = 0, offset = 0;
  Tss2_ErrCode(rc, &type, &offset);
  if (type == kTpmRcHandle) return NvIndexState::kMissing;
  *reason = Tss2_RC_Decode(rc);
  return NvIndexState::kUnreadable;
}

bool restore_nv_slot(int pcr, const uint8_t* content) {
  int slot = slot_of(pcr);
  return slot >= 0 && content != nullptr && write_slot(slot, content) == 0;
}
