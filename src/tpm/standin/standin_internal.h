// Inner workings shared by the stand-in library's sources: the one lock,
// the shared TPM connection, the bounded TPM command and the one place where
// failures are decoded and reported.
#pragma once

#include <signal.h>
#include <tss2/tss2_esys.h>

#include <chrono>
#include <mutex>

namespace tpm_standin {

inline constexpr std::chrono::milliseconds kCommandTimeLimit{5000};

// Our own refusals, in the ESAPI layer's codes.
inline constexpr TSS2_RC kBadReference = TSS2_ESYS_RC_BAD_REFERENCE;
inline constexpr TSS2_RC kBadContext = TSS2_ESAPI_RC_LAYER | TSS2_BASE_RC_BAD_CONTEXT;
inline constexpr TSS2_RC kBadSequence = TSS2_ESYS_RC_BAD_SEQUENCE;
inline constexpr TSS2_RC kBadValue = TSS2_ESYS_RC_BAD_VALUE;
inline constexpr TSS2_RC kBadSize = TSS2_ESYS_RC_BAD_SIZE;
inline constexpr TSS2_RC kTimedOut = TSS2_ESYS_RC_TRY_AGAIN;
inline constexpr TSS2_RC kNoPcr = TSS2_ESAPI_RC_LAYER | TSS2_BASE_RC_NO_PCR;
inline constexpr TSS2_RC kConnectionLost = TSS2_TCTI_RC_NO_CONNECTION;

// Keeps SIGPIPE from killing the process while the calling thread talks to
// a peer that may have gone: blocks it for this thread, and on leaving
// discards a SIGPIPE that arrived meanwhile (unless one was pending before)
// and restores the thread's signal mask.
class SigpipeShield {
 public:
  SigpipeShield();
  ~SigpipeShield();
  SigpipeShield(const SigpipeShield&) = delete;
  SigpipeShield& operator=(const SigpipeShield&) = delete;

 private:
  sigset_t saved_mask_;
  bool was_pending_ = false;
};

// Held by every entry point for its whole length: one caller at a time
// uses the context table and the shared connection, and SIGPIPE is shielded.
class LibraryCall {
 public:
  LibraryCall();
  LibraryCall(const LibraryCall&) = delete;
  LibraryCall& operator=(const LibraryCall&) = delete;

 private:
  std::lock_guard<std::mutex> lock_;
  SigpipeShield shield_;
};

// The ESAPI context of a connected context handle; nullptr with *rc set when
// the handle is unknown, not connected, or its connection was lost.
// Caller holds a LibraryCall.
ESYS_CONTEXT* connected_esys(uint32_t handle, TSS2_RC* rc);

// Largest NV piece the TPM of the shared connection accepts in one command.
uint16_t nv_buffer_max();

// The one place a failed step is reported: decoded on stderr when the user
// asked for tpm2-tss logging with TSS2_LOG, silent otherwise.
void report(const char* step, TSS2_RC rc);

// Marks the shared connection lost after a transport failure or timeout.
void note_transport_result(TSS2_RC rc);

// A software layer's "call again" (a TPM response code never means that).
inline bool is_try_again(TSS2_RC rc) {
  return (rc & TSS2_RC_LAYER_MASK) != 0 && (rc & 0xFFFF) == TSS2_BASE_RC_TRY_AGAIN;
}

// Waits until the transport has an answer to read, at most `left`; false on
// timeout. Some transports ignore the ESAPI receive timeout (the software
// TPM's does), so a TPM that stops answering without closing its socket
// would block forever inside the finish call without this wait. A transport
// that cannot say when it is ready is left to its own timeout. The shared
// connection's poll handles, asked once when it opened.
bool answer_arrives_within(std::chrono::milliseconds left);

// Waits for the answer to a command already sent on `esys`, for at most the
// command time limit; resubmissions the TPM asks for are included.
template <typename Finish>
TSS2_RC finish_in_time(ESYS_CONTEXT* esys, Finish finish) {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + kCommandTimeLimit;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
    if (left.count() <= 0 || !answer_arrives_within(left)) return kTimedOut;
    Esys_SetTimeout(esys, static_cast<int32_t>(left.count()));
    TSS2_RC rc = finish();
    if (!is_try_again(rc)) return rc;
  }
}

// Runs one TPM command: `start` sends it (an ESAPI *_Async call), `finish`
// collects the answer (the matching *_Finish call). Every ESAPI command of
// the library goes through here, so every failure is reported once.
template <typename Start, typename Finish>
TSS2_RC run_command(ESYS_CONTEXT* esys, const char* step, Start start, Finish finish) {
  TSS2_RC rc = start();
  if (rc == TSS2_RC_SUCCESS) rc = finish_in_time(esys, finish);
  if (rc != TSS2_RC_SUCCESS) {
    note_transport_result(rc);
    report(step, rc);
  }
  return rc;
}

}  // namespace tpm_standin
