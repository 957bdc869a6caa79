// Fuzz target: any bytes as the baseline document, then every command path
// that reads it without outside programs: load, PCR emulation, the policy
// setters and getters. Runs inside a private mount namespace (scripts/fuzz).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "baseline/document.h"
#include "support/durable_file.h"
#include "tpm/pcr_emulation.h"
#include "baseline/policy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error;
  std::string_view document(reinterpret_cast<const char*>(data), size);
  if (!replace_file(kBaselinePath, document, &error)) abort();

  if (get_json() == 0) {
    for (int pcr = 8; pcr <= 12; ++pcr) {
      uint8_t* aggregate = emulate_pcr(pcr);
      if (aggregate != nullptr) free(pcr_extend(aggregate));
      free(aggregate);
    }
  }
  release_json();
  get_trust_startup();
  get_arrest_mode();
  set_arrest_mode(size % 2 ? "dialog" : "log");
  set_trust_startup(size % 3 ? "on" : "off");
  release_json();
  return 0;
}
