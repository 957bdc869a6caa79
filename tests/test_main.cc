// Test entry point: enters the private sandbox before any test runs, so no
// test can reach the machine's /boot, /etc or TPM; without it every test fails.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sandbox.h"

namespace {
std::string sandbox_failure;

class ResetSandbox : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { sandbox::reset(); }
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
    ::testing::UnitTest::GetInstance()->listeners().Append(new ResetSandbox);
  }
  return RUN_ALL_TESTS();
}
