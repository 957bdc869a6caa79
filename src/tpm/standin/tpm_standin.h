// The TPM stand-in library: the context calls and the TPM 2.0 calls that the
// NV reference store makes, with the argument records it passes, implemented
// on tpm2-tss (ESAPI, the marshalling library and the TCTI loader) so that
// they reach a real TPM.
//
// Results. Every call returns a 32-bit result, 0 for success. A failure is a
// TPM response code as the TPM gave it, a code of the tpm2-tss layer that
// failed (TCTI, SAPI, ESAPI), or a refusal of this library in the ESAPI
// layer's codes: bad reference (null pointer), bad context (unknown or
// unconnected context handle), bad sequence (connecting twice), bad value
// or bad size (an argument outside what the call accepts), try again (the
// TPM did not answer in time), no PCR (a PCR read that gave no digest).
// Tss2_RC_Decode() turns any of them into text.
//
// Connections. A context connects to the first of these that answers, each
// opened through the TCTI loader:
//   "device:/dev/tpmrm0"              the kernel's resource manager,
//   "device:/dev/tpm0"                the kernel's raw TPM device,
//   "swtpm:host=localhost,port=2321"  a software TPM (control port 2322),
//   "mssim:host=localhost,port=2321"  a TPM 2.0 reference simulator.
// The list is explicit rather than the loader's default search because that
// search first tries whatever library is installed as the default TCTI and
// the access broker daemon over D-Bus, which can wait on D-Bus activation.
// The administrator may name one TCTI instead, as for the TPM 2.0 tools:
// TPM2TOOLS_TCTI, else TCTI (e.g. "swtpm:host=localhost,port=2321" or
// "device:/dev/tpmrm0"); then only that one is tried, and a simulator's
// control port (its port + 1) must answer first.
// A context counts as connected only after the TPM has answered a capability
// read; a transport that opens but does not answer so gives way to the next.
// Without any TPM the search fails in a few milliseconds.
//
// All connected contexts of a process share one connection to the TPM
// (a simulator socket or /dev/tpm0 serves one client at a time), opened by
// the first connect and closed with the last connected context. One mutex
// serialises every call, so the library may be used from several threads.
//
// Bounded time. Every TPM command must be answered within 5 seconds (the
// ESAPI receive timeout, honoured by the device and mssim transports). A
// command that times out, and any transport failure, marks the shared
// connection lost: later calls on its contexts fail at once, and the next
// connect after its last context is closed opens a fresh connection. A TPM
// that dies closes its socket or device, so its calls fail at once. Not
// every transport of tpm2-tss 3.2 honours the receive timeout, so the library also
// watches the transport's poll handle with the same limit where one is
// offered, and uses a simulator transport only after the simulator's
// control port has answered within the limit (the transports read it with
// no limit while they initialise). A software TPM that stops answering in
// the middle of a command on a transport without a poll handle still blocks.
// A peer that vanished must not kill the process with SIGPIPE: the stack
// writes to sockets with write(), so SIGPIPE is blocked in the calling
// thread for the length of each call and a SIGPIPE raised by the call is
// discarded. The process's signal dispositions are never changed (an
// ignored SIGPIPE would be inherited by every program the tool runs).
//
// Quiet. The tpm2-tss stack prints its own errors on stderr, which would
// garble the tool's console output; unless TSS2_LOG is set already, the
// first connect sets TSS2_LOG to "all+NONE" (setenv: a threaded program
// should connect once before it starts threads that read the environment).
// When the user set TSS2_LOG to anything but "all+NONE", this library also
// prints each failed TPM step, decoded, on stderr.
#pragma once

#include <cstddef>
#include <cstdint>

using TpmContextHandle = uint32_t;
using TpmResult = uint32_t;

inline constexpr uint32_t kTpmOwnerHierarchy = 0x40000001;  // TPM_RH_OWNER
inline constexpr uint32_t kTpmPasswordSession = 0x40000009; // TPM_RS_PW
inline constexpr uint16_t kTpmAlgSha256 = 0x000B;
inline constexpr uint16_t kTpmAlgSm3_256 = 0x0012;
inline constexpr size_t kTpmSizedBufferMax = 1024;

// Authorisation of an NV command by the owner hierarchy with a password.
// Only the owner hierarchy and the password session are accepted, with no
// nonce; the attributes are ignored (a password session has no state).
struct TpmOwnerAuth {
  uint32_t auth_handle;        // kTpmOwnerHierarchy
  uint32_t session_handle;     // kTpmPasswordSession
  uint16_t nonce_size;         // 0
  uint8_t nonce[1024];
  uint8_t session_attributes;
  uint8_t reserved0;
  uint16_t password_size;      // at most 64, the TPM's largest auth value
  uint8_t password[1024];
  uint8_t reserved[6290];      // room kept by the record, unused
};
static_assert(offsetof(TpmOwnerAuth, auth_handle) == 0);
static_assert(offsetof(TpmOwnerAuth, session_handle) == 4);
static_assert(offsetof(TpmOwnerAuth, nonce_size) == 8);
static_assert(offsetof(TpmOwnerAuth, session_attributes) == 1034);
static_assert(offsetof(TpmOwnerAuth, password_size) == 1036);
static_assert(sizeof(TpmOwnerAuth) == 8352);

// A byte count followed by up to 1024 bytes.
struct TpmSizedBuffer {
  uint16_t size;
  uint8_t buffer[kTpmSizedBufferMax];
};
static_assert(offsetof(TpmSizedBuffer, buffer) == 2);
static_assert(sizeof(TpmSizedBuffer) == 1026);

// PCRs selected per bank (one bit per PCR, PCR n in byte n / 8, bit n % 8).
struct TpmPcrBankSelection {
  uint16_t hash;        // bank algorithm
  uint8_t size_of_select;
  uint8_t pcr_select[4];
};
struct TpmPcrSelection {
  uint32_t count;       // banks in use
  TpmPcrBankSelection banks[16];
};

// Digests read from the PCRs, in the order of the selection.
struct TpmPcrDigest {
  uint16_t size;
  uint8_t buffer[64];
};
struct TpmPcrValues {
  uint32_t count;
  TpmPcrDigest digests[8];
};
static_assert(offsetof(TpmPcrValues, digests) == 4);
static_assert(offsetof(TpmPcrValues, digests[0].buffer) == 6);
static_assert(sizeof(TpmPcrDigest) == 66);
static_assert(sizeof(TpmPcrValues) == 532);

// Contexts. A handle is never 0, so a zero-initialised handle is invalid.
TpmResult Tspi_Context_Create(TpmContextHandle* context);
// Only the local TPM: `destination` must be null.
TpmResult Tspi_Context_Connect(TpmContextHandle context, const uint16_t* destination);
// The library hands out no memory: `memory` must be null (all of it).
TpmResult Tspi_Context_FreeMemory(TpmContextHandle context, uint8_t* memory);
TpmResult Tspi_Context_Close(TpmContextHandle context);

// Removes the NV index `nv_index` (looked up through its public area).
TpmResult Tss2_NV_UndefineSpace(TpmContextHandle context, const TpmOwnerAuth* owner,
                                uint32_t nv_index);
// Defines `nv_index` of `size` bytes with the authorisation value
// `index_auth` (at most 64 bytes). `attributes` is read as TPM 2.0 TPMA_NV
// bits and TPMA_NV_OWNERREAD is added, because every read of this library
// is authorised by the owner. A TPM that does not implement SM3-256 answers
// TPM_RC_HASH to that name algorithm; the index is then defined with SHA-256
// as its name algorithm instead (same data, only the index's name differs).
TpmResult Tss2_NV_DefineSpace(TpmContextHandle context, const TpmOwnerAuth* owner,
                              const TpmSizedBuffer* index_auth, uint32_t attributes,
                              uint32_t nv_index, uint16_t name_alg, uint16_t size);
// Writes data->size bytes at `offset`, in pieces no larger than the TPM's
// NV buffer (TPM_PT_NV_BUFFER_MAX).
TpmResult Tss2_NV_Write(TpmContextHandle context, const TpmOwnerAuth* owner, uint32_t nv_index,
                        uint16_t offset, const TpmSizedBuffer* data);
// Reads `size` bytes (at most 1024) from `offset` into `data`; data->size
// is `size` on success and 0 on failure.
TpmResult Tss2_NV_Read(TpmContextHandle context, const TpmOwnerAuth* owner, uint32_t nv_index,
                       uint16_t size, uint16_t offset, TpmSizedBuffer* data);

// The public area of an NV index, as the TPM reports it.
struct TpmNvPublic {
  uint32_t nv_index;
  uint16_t name_alg;
  uint16_t auth_policy_size;  // 0 when no authorisation policy is set
  uint32_t attributes;        // TPMA_NV bits, the TPM's state bits included
  uint16_t data_size;
};
// Reads the public area of `nv_index`; no authorisation is needed.
TpmResult Tss2_NV_ReadPublic(TpmContextHandle context, uint32_t nv_index, TpmNvPublic* public_area);
// Whether the TPM implements the algorithm `alg` (1) or not (0).
TpmResult Tss2_Alg_Implemented(TpmContextHandle context, uint16_t alg, int* implemented);

// Empties a selection.
TpmResult Tss2_Init_PcrSelection(TpmPcrSelection* selection);
// Adds PCR `pcr` (0..31) of the bank `bank` to the selection.
TpmResult Tss2_Set_PcrSelection_Data(TpmPcrSelection* selection, uint16_t bank, uint32_t pcr);
// Reads the selected PCRs. `values` and `selection_out` (the selection the
// TPM actually read) are filled even on failure. A read for which the TPM
// returns no digest at all, as a TPM without the selected bank does, fails
// with the "no PCR" result: the first digest does not hold the PCR's value.
TpmResult Tss2_PCR_Read(TpmContextHandle context, const TpmPcrSelection* selection_in,
                        uint32_t* update_counter, TpmPcrValues* values,
                        TpmPcrSelection* selection_out);

// Splits a result into an error type and an error offset. For a TPM 2.0
// format-one response code, which names the parameter, handle or session it
// concerns, the type is the code without that position (layer and format
// kept, e.g. 0x083 TPM_RC_HASH) and the offset is the position: n for
// parameter n, 0x100 + n for handle n, 0x200 + n for session n (0 when the
// code names none). Any other result is its own type, with offset 0.
TpmResult Tss2_ErrCode(TpmResult result, uint32_t* error_type, uint32_t* error_offset);
