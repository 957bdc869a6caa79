// Test entry point: enters the private sandbox before any test runs, so no
// test can reach the machine's /boot, /etc or TPM; without it every test fails.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "boot_path.h"
#include "baseline_document.h"
#include "grub_tools.h"
#include "sandbox.h"
#include "tool_log.h"
#include "tpm_store.h"

namespace {
std::string sandbox_failure;

// Every test starts from an empty /boot and log, the default fakes, and a
// process state as fresh as a new run of the tool.
class ResetSandbox : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override {
    sandbox::reset();
    release_json();
    reset_tool_log();
    reset_grub_tools();
    reset_manufacturer_query();
    tpm_chip_exist = 0;
    reset_tpm_silence();
  }
};
}  // namespace

int main(int argc, char** argv) {
  bool listing = false;
  for (int i = 1; i < argc; ++i) listing |= strcmp(argv[i], "--gtest_list_tests") == 0;
  ::testing::InitGoogleTest(&argc, argv);
  if (!listing) {
    if (!sandbox::enter(&sandbox_failure)) {
      fprintf(stderr, "FAILED: no private sandbox for the tests, refusing to run them: %s\n",
              sandbox_failure.c_str());
      return 1;
    }
    // In-process code finds the fake platform programs as the tool would.
    setenv("PATH", sandbox::FakeTools::instance().path_variable().c_str(), 1);
    ::testing::UnitTest::GetInstance()->listeners().Append(new ResetSandbox);
  }
  return RUN_ALL_TESTS();
}
