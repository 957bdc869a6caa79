#include "tpm/nv_store.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <tss2/tss2_common.h>
#include <tss2/tss2_rc.h>
#include <tss2/tss2_tpm2_types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>

#include "baseline/boot_files.h"
#include "tpm/pcr_emulation.h"
#include "support/tool_log.h"
#include "tpm/standin/tpm_standin.h"
#include "support/unique_fd.h"
#include "support/user_diagnostics.h"
#include "support/visible_text.h"

int tpm_chip_exist = 0;
PcrReadCall tpm_pcr_read = Tss2_PCR_Read;

namespace {

constexpr uint16_t kReferenceSize = kReferenceIndexSize;
// Machines in use hold the reference index at this size; a PCR more is a new layout.
static_assert(kReferenceSize == 128);
constexpr uint16_t kSnapshotSize = 256;
constexpr uint32_t kIndexAttributes = 0x400A;
constexpr size_t kSlotSize = 32;
static_assert(kSlotSize == kReferenceSlotSize);
constexpr int kSnapshotPcrs = 8;
constexpr uint32_t kTpmRcHandle = 0x08B;  // TPM_RC_HANDLE: no such index
// The stand-in library's "no PCR": a PCR read that gave no digest.
constexpr TpmResult kNoPcr = TSS2_ESAPI_RC_LAYER | TSS2_BASE_RC_NO_PCR;
// What initialisation asks the library to define; the library adds owner
// read, since every read of the tool is authorised by the owner.
constexpr uint32_t kDefinedAttributes = 0x400A | TPMA_NV_OWNERREAD;
// Attribute bits the TPM sets as the index is used, not by its definition.
constexpr uint32_t kStateAttributes = TPMA_NV_WRITELOCKED | TPMA_NV_READLOCKED | TPMA_NV_WRITTEN;

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

// The causes already told in this run: each is told once, however many
// steps it fails.
std::set<uint32_t> told_causes;

// The cause a result stands for: a TPM response code without the layer and
// without the parameter, handle or session it names; any other result as it is.
uint32_t cause_of(TpmResult rc) {
  uint32_t layer = rc & TSS2_RC_LAYER_MASK;
  if (layer != TSS2_TPM_RC_LAYER && layer != TSS2_RESMGR_TPM_RC_LAYER) return rc;
  uint32_t type = 0, offset = 0;
  Tss2_ErrCode(rc & ~TSS2_RC_LAYER_MASK, &type, &offset);
  return type;
}

bool is_no_answer(TpmResult rc);

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

// Tells on standard error (and in the log) why the TPM refused a step of
// `session` and what was left undone, once per cause. When the session did
// not connect, that is the cause, not the call that then failed on it; a TPM
// that did not answer at all is told by report_silence() instead.
// What a step of `session` failed for: the session's own failure to
// connect, else the step's result.
TpmResult failure_of(const TpmSession& session, TpmResult rc) { return session.result() != 0 ? session.result() : rc; }

void tell_refusal(const TpmSession& session, TpmResult rc, const std::string& consequence) {
  rc = failure_of(session, rc);
  if (rc == 0 || is_no_answer(rc)) return;
  if (!told_causes.insert(cause_of(rc)).second) return;
  tell_user(session.operation(), tpm_result_words(rc) + "; " + consequence);
}

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

TpmResult define_index(const TpmSession& session, uint32_t index, uint16_t size) {
  TpmSizedBuffer empty_auth;
  memset(&empty_auth, 0, sizeof empty_auth);
  TpmResult rc = noted(session.operation(), Tss2_NV_DefineSpace(session.handle(), &owner_auth(), &empty_auth,
                                                                kIndexAttributes, index, kTpmAlgSm3_256, size));
  if (rc == 0) return 0;
  uint32_t type = 0, offset = 0;
  Tss2_ErrCode(rc, &type, &offset);
  writeLog(0, "tpm_oper:86 failed to define NV 0x%x area, err_type=0x%x, err_offset=0x%x\n", index, type,
           offset);
  return rc;
}

TpmResult write_index(const TpmSession& session, uint32_t index, const uint8_t* image, uint16_t size) {
  TpmSizedBuffer data;
  memset(&data, 0, sizeof data);
  data.size = size;
  memcpy(data.buffer, image, size);
  return noted(session.operation(), Tss2_NV_Write(session.handle(), &owner_auth(), index, 0, &data));
}

// The 128 bytes of the reference index, or false (logged and told when
// `log`).
bool read_reference(const TpmSession& session, uint8_t image[kReferenceSize], bool log) {
  TpmSizedBuffer data;
  memset(&data, 0, sizeof data);
  TpmResult rc = noted(session.operation(),
                       Tss2_NV_Read(session.handle(), &owner_auth(), kReferenceIndex, kReferenceSize, 0, &data));
  if (rc != 0 || data.size != kReferenceSize) {
    if (log) {
      writeLog(1, "tpm_oper:135 read nv failed\n");
      tell_refusal(session, rc != 0 ? rc : TSS2_ESYS_RC_MALFORMED_RESPONSE,
                   "the reference index 0x1500016 could not be read and was not updated");
    }
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
  TpmResult rc = write_index(session, kReferenceIndex, image, kReferenceSize);
  if (rc != 0) {
    writeLog(0, "tpm_oper:149 write nv failed\n");
    tell_refusal(session, rc, "the reference index 0x1500016 was not updated");
    return -1;
  }
  return 0;
}

// The TPM's answer for its SM3-256 PCR `pcr` into `values` (zeroed first),
// on the session's context; the library's result, noted.
TpmResult read_one_pcr(TpmSession& session, int pcr, TpmPcrValues* values) {
  TpmPcrSelection selection, read;
  Tss2_Init_PcrSelection(&selection);
  Tss2_Set_PcrSelection_Data(&selection, kTpmAlgSm3_256, static_cast<uint32_t>(pcr));
  memset(values, 0, sizeof *values);
  uint32_t update_counter = 0;
  return noted(session.operation(), tpm_pcr_read(session.handle(), &selection, &update_counter, values, &read));
}

// The TPM's SM3-256 PCR `pcr` into `out` (bytes the TPM did not give stay
// zero, like the slot of a failed read); false, logged, with the library's
// result in `rc`.
bool read_pcr(int pcr, uint8_t out[kSlotSize], TpmResult* rc) {
  TpmSession session("get_tpm_pcr");
  TpmPcrValues values;
  *rc = read_one_pcr(session, pcr, &values);
  if (*rc != 0) {
    writeLog(1, "tpm_oper: read pcr %d failed\n", pcr);
    return false;
  }
  size_t length = values.count > 0 ? values.digests[0].size : 0;
  memset(out, 0, kSlotSize);
  memcpy(out, values.digests[0].buffer, length < kSlotSize ? length : kSlotSize);
  return true;
}

// The snapshot of PCRs 0..7 into `snapshot`; says once on standard error
// when the TPM gave no value for some of them, and what the snapshot then
// holds, since zeros from a failed read look like PCRs that are zero.
void take_snapshot(uint8_t snapshot[kSnapshotSize]) {
  std::string failed;
  int failures = 0;
  TpmResult first_failure = 0;
  for (int pcr = 0; pcr < kSnapshotPcrs; ++pcr) {
    TpmResult rc = 0;
    if (read_pcr(pcr, snapshot + pcr * kSlotSize, &rc)) continue;
    if (first_failure == 0) first_failure = rc;
    failed += (failed.empty() ? "" : ", ") + std::to_string(pcr);
    ++failures;
  }
  if (failures == 0 || is_no_answer(first_failure)) return;
  if (failures == kSnapshotPcrs) failed = "s 0-7";
  else failed = (failures > 1 ? "s " : " ") + failed;
  told_causes.insert(cause_of(first_failure));
  tell_user("init_measure_tpm_exist", "reading the TPM's SM3-256 PCR" + failed + " failed: " +
                                          tpm_result_words(first_failure) +
                                          "; the PCR snapshot in NV index 0x1500096 holds zeros for " +
                                          (failures > 1 ? "them" : "it") +
                                          ", which zovemo_status cannot compare with the TPM");
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

  // A missing index fails to go, too; defining anew is what matters. Any
  // other refusal to remove one is why the definition that follows fails.
  TpmResult refused = 0;
  for (uint32_t index : {kReferenceIndex, kSnapshotIndex}) {
    TpmResult rc = noted(session.operation(), Tss2_NV_UndefineSpace(session.handle(), &owner_auth(), index));
    if (rc == 0) continue;
    writeLog(0, "tpm_oper:79 release nv 0x%x failed, may not define\n", index);
    if (refused == 0 && cause_of(rc) != kTpmRcHandle) refused = rc;
  }
  TpmResult rc = define_index(session, kReferenceIndex, kReferenceSize);
  if (rc != 0) {
    tell_refusal(session, refused != 0 ? refused : rc,
                 "NV indices 0x1500016 and 0x1500096 were not defined: the TPM holds no reference values "
                 "for this baseline (the baseline itself was written)");
    return -1;
  }
  rc = define_index(session, kSnapshotIndex, kSnapshotSize);
  if (rc != 0) {
    tell_refusal(session, refused != 0 ? refused : rc,
                 "NV index 0x1500096 was not defined and 0x1500016 not written: the TPM holds no reference "
                 "values for this baseline (the baseline itself was written)");
    return -1;
  }

  for (int flag : kReferencePcrs) {
    DigestBlock aggregate(emulate_pcr(flag));
    if (!aggregate) continue;
    printf_data_32(aggregate.get());
    DigestBlock extended(pcr_extend(aggregate.get()));
    if (extended) memcpy(reference + reference_slot_of(flag) * kSlotSize, extended.get(), kSlotSize);
  }
  take_snapshot(snapshot);

  rc = write_index(session, kReferenceIndex, reference, kReferenceSize);
  if (rc != 0) {
    writeLog(0, "0x%x  write nv failed\n", kReferenceIndex);
    tell_refusal(session, rc,
                 "NV indices 0x1500016 and 0x1500096 were not written: the TPM holds no reference values for "
                 "this baseline (the baseline itself was written)");
    return -1;
  }
  rc = write_index(session, kSnapshotIndex, snapshot, kSnapshotSize);
  if (rc != 0) {
    writeLog(0, "0x%x write nv failed\n", kSnapshotIndex);
    tell_refusal(session, rc, "NV index 0x1500096 was not written: the TPM holds no PCR 0-7 snapshot");
    return -1;
  }
  return 0;
}

void reset_tpm_silence() {
  silent = false;
  told_causes.clear();
}

std::string tpm_result_words(TpmResult rc) {
  if (rc == kNoPcr)
    return "the TPM gave no SM3-256 value: it has no SM3-256 PCR bank, or the bank is switched off";
  uint32_t layer = rc & TSS2_RC_LAYER_MASK;
  if (layer == TSS2_TPM_RC_LAYER || layer == TSS2_RESMGR_TPM_RC_LAYER) {
    switch (cause_of(rc)) {
      case TPM2_RC_BAD_AUTH:
      case TPM2_RC_AUTH_FAIL:
        return "the TPM refused the owner authorisation (the owner hierarchy has a password; zovemo_config "
               "authorises with the empty one)";
      case TPM2_RC_LOCKOUT:
        return "the TPM refused the owner authorisation: it is in dictionary-attack lockout";
      case TPM2_RC_HIERARCHY:
        return "the TPM refused: its owner hierarchy is disabled";
      case kTpmRcHandle:
        return "the NV index is not defined in the TPM (zovemo_config -i defines it)";
      case TPM2_RC_NV_DEFINED:
        return "the TPM refused: an NV index of that number is already defined";
      case TPM2_RC_NV_SPACE:
        return "the TPM refused: its NV memory is full";
      case TPM2_RC_NV_LOCKED:
        return "the TPM refused: the NV index is locked against writing until the TPM restarts";
      case TPM2_RC_NV_AUTHORIZATION:
      case TPM2_RC_ATTRIBUTES:
        return "the TPM refused: the NV index is not defined to let the owner read and write it";
      case TPM2_RC_NV_RANGE:
      case TPM2_RC_NV_SIZE:
        return "the TPM refused: the NV index is smaller than zovemo_config defines it";
      case TPM2_RC_NV_UNINITIALIZED:
        return "the TPM refused: the NV index has never been written";
      case TPM2_RC_NV_RATE:
      case TPM2_RC_NV_UNAVAILABLE:
      case TPM2_RC_RETRY:
        return "the TPM refused: its NV memory is busy or unavailable";
      case TPM2_RC_HASH:
        return "the TPM does not implement SM3-256, so it has no SM3-256 PCR bank";
      case TPM2_RC_INITIALIZE:
        return "the TPM refused: it has not been started up";
      default:
        break;
    }
  }
  return std::string(layer == TSS2_TPM_RC_LAYER || layer == TSS2_RESMGR_TPM_RC_LAYER ? "the TPM refused: "
                                                                                     : "the TPM library failed: ") +
         Tss2_RC_Decode(rc);
}

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
  DigestBlock result(static_cast<uint8_t*>(calloc(1, kSlotSize)));
  if (!result) return nullptr;
  TpmResult rc = 0;
  if (!read_pcr(pcr, result.get(), &rc)) return nullptr;
  return result.release();
}

int update_nv_space(const uint8_t* value, int pcr) {
  int slot = reference_slot_of(pcr);
  if (slot < 0) return -1;
  uint8_t content[kSlotSize] = {};
  if (value != nullptr) {
    DigestBlock extended(pcr_extend(value));
    if (!extended) return -1;
    memcpy(content, extended.get(), kSlotSize);
  }
  writeLog(0, "PCR%d_PCR: %s\n", pcr, hex_bytes(content, kSlotSize).c_str());
  return write_slot(slot, content);
}

bool read_nv_slot(int pcr, uint8_t* out) {
  int slot = reference_slot_of(pcr);
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

NvIndexState probe_nv_index(uint32_t index, std::string* why_not) {
  TpmSession session("probe_nv_index");
  if (session.result() != 0) {
    *why_not = tpm_result_words(session.result());
    return NvIndexState::kUnreadable;
  }
  TpmSizedBuffer data;
  memset(&data, 0, sizeof data);
  TpmResult rc = noted(session.operation(), Tss2_NV_Read(session.handle(), &owner_auth(), index, 1, 0, &data));
  if (rc == 0) return NvIndexState::kPresent;
  uint32_t type = 0, offset = 0;
  Tss2_ErrCode(rc, &type, &offset);
  if (type == kTpmRcHandle) return NvIndexState::kMissing;
  *why_not = tpm_result_words(rc);
  return NvIndexState::kUnreadable;
}

bool restore_nv_slot(int pcr, const uint8_t* content) {
  int slot = reference_slot_of(pcr);
  return slot >= 0 && content != nullptr && write_slot(slot, content) == 0;
}

bool read_snapshot_index(uint8_t image[kSnapshotSize], std::string* why_not) {
  TpmSession session("read_snapshot_index");
  TpmSizedBuffer data;
  memset(&data, 0, sizeof data);
  TpmResult rc = noted(session.operation(),
                       Tss2_NV_Read(session.handle(), &owner_auth(), kSnapshotIndex, kSnapshotSize, 0, &data));
  if (rc != 0 || data.size != kSnapshotSize) {
    *why_not = tpm_result_words(failure_of(session, rc != 0 ? rc : TSS2_ESYS_RC_MALFORMED_RESPONSE));
    return false;
  }
  memcpy(image, data.buffer, kSnapshotSize);
  return true;
}

bool read_live_pcrs(uint8_t values[kSnapshotSize], std::string* why_not) {
  TpmSession session("read_live_pcrs");
  for (int pcr = 0; pcr < kSnapshotPcrs; ++pcr) {
    TpmPcrValues answer;
    TpmResult rc = read_one_pcr(session, pcr, &answer);
    if (rc == 0 && (answer.count == 0 || answer.digests[0].size != kSlotSize)) rc = kNoPcr;
    if (rc != 0) {
      *why_not = "reading the TPM's SM3-256 PCR " + std::to_string(pcr) + " failed: " +
                tpm_result_words(failure_of(session, rc));
      return false;
    }
    memcpy(values + pcr * kSlotSize, answer.digests[0].buffer, kSlotSize);
  }
  return true;
}

IndexDefinition check_index_definition(uint32_t index, std::string* detail) {
  TpmSession session("check_index_definition");
  TpmNvPublic area;
  TpmResult rc = noted(session.operation(), Tss2_NV_ReadPublic(session.handle(), index, &area));
  int sm3 = 0;
  if (rc == 0) rc = noted(session.operation(), Tss2_Alg_Implemented(session.handle(), kTpmAlgSm3_256, &sm3));
  if (rc != 0) {
    *detail = "its definition cannot be read: " + tpm_result_words(failure_of(session, rc));
    return IndexDefinition::kUnreadable;
  }
  char text[160];
  std::string differs;
  auto add = [&differs](const char* what) { differs += (differs.empty() ? "" : "; ") + std::string(what); };
  const uint32_t attributes = area.attributes & ~kStateAttributes;
  if (attributes != kDefinedAttributes) {
    snprintf(text, sizeof text, "attributes 0x%08x, defined as 0x%08x", attributes, kDefinedAttributes);
    add(text);
  }
  const uint16_t size = index == kSnapshotIndex ? kSnapshotSize : kReferenceSize;
  if (area.data_size != size) {
    snprintf(text, sizeof text, "%u bytes, defined as %u", area.data_size, size);
    add(text);
  }
  // On a TPM without SM3-256 the definition itself falls back to SHA-256.
  const uint16_t name_alg = sm3 ? kTpmAlgSm3_256 : kTpmAlgSha256;
  if (area.name_alg != name_alg) {
    snprintf(text, sizeof text, "name algorithm 0x%04x, defined as 0x%04x", area.name_alg, name_alg);
    add(text);
  }
  if (area.auth_policy_size != 0) add("an authorisation policy is set, defined with none");
  *detail = differs;
  return differs.empty() ? IndexDefinition::kAsDefined : IndexDefinition::kDiffers;
}
