// NV index calls, authorised by the owner hierarchy with a password.
#include <cstring>
#include <optional>

#include "tpm/standin/standin_internal.h"
#include "tpm/standin/tpm_standin.h"

using namespace tpm_standin;

namespace {

// An ESAPI object for a TPM entity, closed with its scope unless the TPM
// removed the entity (then ESAPI has already forgotten it).
class TrObject {
 public:
  explicit TrObject(ESYS_CONTEXT* esys) : esys_(esys) {}
  ~TrObject() {
    if (tr_ != ESYS_TR_NONE) Esys_TR_Close(esys_, &tr_);
  }
  TrObject(const TrObject&) = delete;
  TrObject& operator=(const TrObject&) = delete;
  ESYS_TR* out() { return &tr_; }
  ESYS_TR get() const { return tr_; }
  void forget() { tr_ = ESYS_TR_NONE; }

 private:
  ESYS_CONTEXT* esys_;
  ESYS_TR tr_ = ESYS_TR_NONE;
};

// Checks the owner authorisation record and gives the owner hierarchy its
// password for the commands that follow.
TSS2_RC authorise_owner(ESYS_CONTEXT* esys, const TpmOwnerAuth* owner) {
  if (owner == nullptr) return kBadReference;
  if (owner->auth_handle != kTpmOwnerHierarchy || owner->session_handle != kTpmPasswordSession ||
      owner->nonce_size != 0)
    return kBadValue;
  TPM2B_AUTH password{};
  if (owner->password_size > sizeof(password.buffer)) return kBadSize;
  password.size = owner->password_size;
  memcpy(password.buffer, owner->password, owner->password_size);
  TSS2_RC rc = Esys_TR_SetAuth(esys, ESYS_TR_RH_OWNER, &password);
  if (rc != TSS2_RC_SUCCESS) report("Esys_TR_SetAuth", rc);
  return rc;
}

// The ESAPI object of an existing NV index, from its public area.
TSS2_RC open_index(ESYS_CONTEXT* esys, uint32_t nv_index, TrObject* index) {
  return run_command(
      esys, "TR_FromTPMPublic",
      [&] { return Esys_TR_FromTPMPublic_Async(esys, nv_index, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE); },
      [&] { return Esys_TR_FromTPMPublic_Finish(esys, index->out()); });
}

// Connected context with the owner authorised, or the failure.
ESYS_CONTEXT* prepare(TpmContextHandle context, const TpmOwnerAuth* owner, TSS2_RC* rc) {
  ESYS_CONTEXT* esys = connected_esys(context, rc);
  if (esys == nullptr) return nullptr;
  *rc = authorise_owner(esys, owner);
  return *rc == TSS2_RC_SUCCESS ? esys : nullptr;
}

// An existing NV index, opened on a connected context with the owner
// authorised; status() tells whether all of that succeeded.
class OwnedIndex {
 public:
  OwnedIndex(TpmContextHandle context, const TpmOwnerAuth* owner, uint32_t nv_index) {
    esys_ = prepare(context, owner, &rc_);
    if (esys_ == nullptr) return;
    index_.emplace(esys_);
    rc_ = open_index(esys_, nv_index, &*index_);
  }
  TSS2_RC status() const { return rc_; }
  ESYS_CONTEXT* esys() const { return esys_; }
  ESYS_TR get() const { return index_->get(); }
  // The TPM removed the index; ESAPI has forgotten its object already.
  void forget() { index_->forget(); }

 private:
  TSS2_RC rc_ = TSS2_RC_SUCCESS;
  ESYS_CONTEXT* esys_ = nullptr;
  std::optional<TrObject> index_;
};

// Format-one TPM response code without the parameter/handle/session number.
bool is_tpm_code(TSS2_RC rc, TSS2_RC code) {
  return (rc & ~(TPM2_RC_N_MASK | TPM2_RC_P)) == code;
}

TSS2_RC define(ESYS_CONTEXT* esys, const TPM2B_AUTH& auth, const TPM2B_NV_PUBLIC& pub) {
  TrObject index(esys);
  return run_command(
      esys, "NV_DefineSpace",
      [&] {
        return Esys_NV_DefineSpace_Async(esys, ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                         ESYS_TR_NONE, &auth, &pub);
      },
      [&] { return Esys_NV_DefineSpace_Finish(esys, index.out()); });
}

size_t piece_size() {
  size_t limit = nv_buffer_max();
  return limit < sizeof(TPM2B_MAX_NV_BUFFER::buffer) ? limit : sizeof(TPM2B_MAX_NV_BUFFER::buffer);
}

}  // namespace

TpmResult Tss2_NV_UndefineSpace(TpmContextHandle context, const TpmOwnerAuth* owner,
                                uint32_t nv_index) {
  LibraryCall call;
  OwnedIndex index(context, owner, nv_index);
  if (index.status() != TSS2_RC_SUCCESS) return index.status();
  ESYS_CONTEXT* esys = index.esys();
  TSS2_RC rc = run_command(
      esys, "NV_UndefineSpace",
      [&] {
        return Esys_NV_UndefineSpace_Async(esys, ESYS_TR_RH_OWNER, index.get(), ESYS_TR_PASSWORD,
                                           ESYS_TR_NONE, ESYS_TR_NONE);
      },
      [&] { return Esys_NV_UndefineSpace_Finish(esys); });
  if (rc == TSS2_RC_SUCCESS) index.forget();
  return rc;
}

TpmResult Tss2_NV_DefineSpace(TpmContextHandle context, const TpmOwnerAuth* owner,
                              const TpmSizedBuffer* index_auth, uint32_t attributes,
                              uint32_t nv_index, uint16_t name_alg, uint16_t size) {
  if (index_auth == nullptr) return kBadReference;
  LibraryCall call;
  TSS2_RC rc;
  ESYS_CONTEXT* esys = prepare(context, owner, &rc);
  if (esys == nullptr) return rc;
  TPM2B_AUTH auth{};
  if (index_auth->size > sizeof(auth.buffer)) return kBadSize;
  auth.size = index_auth->size;
  memcpy(auth.buffer, index_auth->buffer, index_auth->size);
  TPM2B_NV_PUBLIC pub{};
  pub.nvPublic.nvIndex = nv_index;
  pub.nvPublic.nameAlg = name_alg;
  pub.nvPublic.attributes = attributes | TPMA_NV_OWNERREAD;
  pub.nvPublic.dataSize = size;
  rc = define(esys, auth, pub);
  if (is_tpm_code(rc, TPM2_RC_HASH) && name_alg == kTpmAlgSm3_256) {
    // The TPM lacks SM3-256: only the index's name differs with SHA-256.
    pub.nvPublic.nameAlg = kTpmAlgSha256;
    rc = define(esys, auth, pub);
  }
  return rc;
}

TpmResult Tss2_NV_Write(TpmContextHandle context, const TpmOwnerAuth* owner, uint32_t nv_index,
                        uint16_t offset, const TpmSizedBuffer* data) {
  if (data == nullptr) return kBadReference;
  if (data->size > kTpmSizedBufferMax || offset + data->size > UINT16_MAX) return kBadSize;
  LibraryCall call;
  OwnedIndex index(context, owner, nv_index);
  TSS2_RC rc = index.status();
  if (rc != TSS2_RC_SUCCESS) return rc;
  ESYS_CONTEXT* esys = index.esys();
  size_t done = 0;
  do {
    TPM2B_MAX_NV_BUFFER piece{};
    size_t length = data->size - done < piece_size() ? data->size - done : piece_size();
    piece.size = static_cast<uint16_t>(length);
    memcpy(piece.buffer, data->buffer + done, length);
    uint16_t at = static_cast<uint16_t>(offset + done);
    rc = run_command(
        esys, "NV_Write",
        [&] {
          return Esys_NV_Write_Async(esys, ESYS_TR_RH_OWNER, index.get(), ESYS_TR_PASSWORD,
                                     ESYS_TR_NONE, ESYS_TR_NONE, &piece, at);
        },
        [&] { return Esys_NV_Write_Finish(esys); });
    done += length;
  } while (rc == TSS2_RC_SUCCESS && done < data->size);
  return rc;
}

TpmResult Tss2_NV_Read(TpmContextHandle context, const TpmOwnerAuth* owner, uint32_t nv_index,
                       uint16_t size, uint16_t offset, TpmSizedBuffer* data) {
  if (data == nullptr) return kBadReference;
  data->size = 0;
  if (size > kTpmSizedBufferMax || offset + size > UINT16_MAX) return kBadSize;
  LibraryCall call;
  OwnedIndex index(context, owner, nv_index);
  TSS2_RC rc = index.status();
  ESYS_CONTEXT* esys = index.esys();
  size_t done = 0;
  while (rc == TSS2_RC_SUCCESS && done < size) {
    size_t wanted = size - done < piece_size() ? size - done : piece_size();
    uint16_t at = static_cast<uint16_t>(offset + done);
    TPM2B_MAX_NV_BUFFER* piece = nullptr;
    rc = run_command(
        esys, "NV_Read",
        [&] {
          return Esys_NV_Read_Async(esys, ESYS_TR_RH_OWNER, index.get(), ESYS_TR_PASSWORD,
                                    ESYS_TR_NONE, ESYS_TR_NONE, static_cast<uint16_t>(wanted), at);
        },
        [&] { return Esys_NV_Read_Finish(esys, &piece); });
    if (rc == TSS2_RC_SUCCESS && piece->size != wanted) {
      rc = TSS2_ESYS_RC_MALFORMED_RESPONSE;
      report("NV_Read", rc);
    }
    if (rc == TSS2_RC_SUCCESS) memcpy(data->buffer + done, piece->buffer, wanted);
    Esys_Free(piece);
    done += wanted;
  }
  if (rc == TSS2_RC_SUCCESS) data->size = size;
  return rc;
}

TpmResult Tss2_NV_ReadPublic(TpmContextHandle context, uint32_t nv_index, TpmNvPublic* public_area) {
  if (public_area == nullptr) return kBadReference;
  memset(public_area, 0, sizeof(*public_area));
  LibraryCall call;
  TSS2_RC rc;
  ESYS_CONTEXT* esys = connected_esys(context, &rc);
  if (esys == nullptr) return rc;
  TrObject index(esys);
  rc = open_index(esys, nv_index, &index);
  if (rc != TSS2_RC_SUCCESS) return rc;
  TPM2B_NV_PUBLIC* pub = nullptr;
  TPM2B_NAME* name = nullptr;
  rc = run_command(
      esys, "NV_ReadPublic",
      [&] { return Esys_NV_ReadPublic_Async(esys, index.get(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE); },
      [&] { return Esys_NV_ReadPublic_Finish(esys, &pub, &name); });
  if (rc == TSS2_RC_SUCCESS) {
    public_area->nv_index = pub->nvPublic.nvIndex;
    public_area->name_alg = pub->nvPublic.nameAlg;
    public_area->auth_policy_size = pub->nvPublic.authPolicy.size;
    public_area->attributes = pub->nvPublic.attributes;
    public_area->data_size = pub->nvPublic.dataSize;
  }
  Esys_Free(pub);
  Esys_Free(name);
  return rc;
}

TpmResult Tss2_Alg_Implemented(TpmContextHandle context, uint16_t alg, int* implemented) {
  if (implemented == nullptr) return kBadReference;
  *implemented = 0;
  LibraryCall call;
  TSS2_RC rc;
  ESYS_CONTEXT* esys = connected_esys(context, &rc);
  if (esys == nullptr) return rc;
  TPMI_YES_NO more = TPM2_NO;
  TPMS_CAPABILITY_DATA* data = nullptr;
  rc = run_command(
      esys, "GetCapability",
      [&] { return Esys_GetCapability_Async(esys, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, TPM2_CAP_ALGS, alg, 1); },
      [&] { return Esys_GetCapability_Finish(esys, &more, &data); });
  // The TPM lists its algorithms from `alg` on: the first is `alg` itself
  // only when it is implemented.
  if (rc == TSS2_RC_SUCCESS)
    *implemented = data->capability == TPM2_CAP_ALGS && data->data.algorithms.count > 0 &&
                   data->data.algorithms.algProperties[0].alg == alg;
  Esys_Free(data);
  return rc;
}
