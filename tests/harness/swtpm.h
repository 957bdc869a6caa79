// A software TPM for the tests: swtpm on 127.0.0.1 port 2321 (commands) and
// 2322 (control) inside the test process's private network namespace, with
// its state in a fresh scratch directory. Stopped by its own process id when
// the object goes, on every way out of a test.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "sandbox.h"

namespace tpmtest {

class Swtpm {
 public:
  // Starts swtpm and waits until both ports accept; see ok() and error().
  Swtpm();
  ~Swtpm();
  Swtpm(const Swtpm&) = delete;
  Swtpm& operator=(const Swtpm&) = delete;

  bool ok() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  const std::string& error() const { return error_; }

  // Ends swtpm: SIGTERM, then SIGKILL if it has not gone within 2 seconds.
  void stop();
  // Kills swtpm at once, as a TPM that dies under the tool.
  void kill_now();
  // Stops swtpm without closing its sockets, as a TPM that hangs; returns
  // once it is stopped.
  void freeze();

 private:
  pid_t pid_ = -1;
  std::string error_;
};

// Runs a tpm2-tools program (e.g. "tpm2_nvread") against the test's swtpm.
sandbox::RunResult tpm2_tool(const std::string& program, const std::vector<std::string>& args);

// The bytes of an NV index as tpm2_nvread gives them (owner-authorised), or
// an empty string when it fails.
std::string nv_bytes(uint32_t index, size_t size);

}  // namespace tpmtest
