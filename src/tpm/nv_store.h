// TPM NV reference store ("tpm_oper" in the tool log).
//
// Reference index 0x1500016 (128 bytes): the reference values of the
// reference PCRs, 32 bytes each, in the slots baseline/boot_files.h assigns
// them; a PCR without entries has a zero slot.
// Snapshot index 0x1500096 (256 bytes): the TPM's SM3-256 PCRs 0..7 as they
// stood at initialisation, zero where a read failed.
// Every operation opens its own TPM context and closes it on every way out.
#pragma once

#include <cstdint>
#include <string>

#include "tpm/standin/tpm_standin.h"

// 1 once the pre-start probe found a TPM; every TPM step is skipped otherwise.
extern int tpm_chip_exist;

inline constexpr uint32_t kReferenceIndex = 0x1500016;
inline constexpr uint32_t kSnapshotIndex = 0x1500096;

// 0 when a TPM answers, else the failing context call's result.
int testing_tpm_chip();

// A TPM that stops answering is reported, never taken for no TPM. Once a
// TPM step found it silent (a transport failure or a time-out, not an error
// the TPM answered with), one stderr line and one [ERROR] log line say that
// the reference index was not updated, and every later TPM step of the run
// fails at once instead of waiting for it again.
//
// For a probe that failed: true when a TPM was expected all the same
// (tpm_expected), and then reports it as above. A machine without a TPM stays silent.
bool report_unanswering_tpm();
// Whether a TPM is expected to answer: the administrator named one
// (TPM2TOOLS_TCTI or TCTI set), a TPM device node exists, or a TPM simulator
// accepts connections. Reports nothing.
bool tpm_expected();
// Forgets a silent TPM and the refusals already told, as a new run would;
// for reset_process_state() (cli/process_state.h).
void reset_tpm_silence();

// A TPM's refusal, or the stand-in library's, in the administrator's words,
// e.g. "the TPM refused the owner authorisation (...)". The one place a
// TPM result is turned into words.
std::string tpm_result_words(TpmResult rc);

// The TPM library's PCR read. Tests put recorded answers of a TPM in its
// place (a TPM with an SM3-256 bank, which no software TPM here has).
using PcrReadCall = TpmResult (*)(TpmContextHandle, const TpmPcrSelection*, uint32_t*, TpmPcrValues*,
                                  TpmPcrSelection*);
extern PcrReadCall tpm_pcr_read;

// Undefines, defines and fills both indices from the loaded baseline.
int init_measure_tpm_exist();

// New 32-byte block with the TPM's SM3-256 PCR `pcr`, or nullptr (logged).
uint8_t* get_tpm_pcr(int pcr);

// Writes the extension of `value` (zero slot for nullptr) into the slot of
// flag `pcr`, keeping the other slots byte for byte. -1 for a flag without
// a slot (10, or any other PCR outside the reference PCRs) without touching
// the TPM.
int update_nv_space(const uint8_t* value, int pcr);

// Reads the current 32 bytes of the slot of flag `pcr` into `out`; false,
// silently, when the reference index cannot be read (the slot update that
// follows logs that).
bool read_nv_slot(int pcr, uint8_t* out);
// The 128 bytes of the reference index, in one read; false, silently, when it
// cannot be read.
bool read_reference_index(uint8_t image[128]);

// Whether an NV index is defined, asked with a one-byte owner-authorised
// read; for the drift report, which must tell a missing index from one it
// cannot read.
enum class NvIndexState { kPresent, kMissing, kUnreadable };
// `why_not` says why when the state is kUnreadable.
NvIndexState probe_nv_index(uint32_t index, std::string* why_not);

// The 256 bytes of the snapshot index; false with `why_not` when they cannot
// be read. Reports nothing.
bool read_snapshot_index(uint8_t image[256], std::string* why_not);
// The TPM's SM3-256 PCRs 0..7 now, 32 bytes each; false with `why_not` (the
// first PCR that gave no value, and why) when not all of them could be read.
// Reports nothing.
bool read_live_pcrs(uint8_t values[256], std::string* why_not);

// Whether an NV index is defined as initialisation defines it: attributes,
// size, name algorithm and no authorisation policy. The name algorithm is
// SM3-256, or SHA-256 on a TPM without SM3-256, which is what the definition
// falls back to there. `detail` says what differs (kDiffers) or why the
// definition could not be read (kUnreadable).
enum class IndexDefinition { kAsDefined, kDiffers, kUnreadable };
IndexDefinition check_index_definition(uint32_t index, std::string* detail);

// Writes `content` back as the slot of flag `pcr` without the "PCR%d_PCR"
// line; used to undo a slot update when the document that goes with it could
// not be saved. False when it cannot be written.
bool restore_nv_slot(int pcr, const uint8_t* content);
