// Test entry point: enters the private sandbox before any test runs, so no
// test can reach the machine's /boot, /etc or TPM. Where the sandbox cannot
// be had (no root, no namespaces), or ZOVEMO_TESTS_WITHOUT_SANDBOX is set (a
// package build), only the suites that touch nothing of the machine run and
// every other test is reported as skipped, with the reason.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "cli/process_state.h"
#include "harness/sandbox.h"

namespace {
std::string sandbox_failure;

// Suites of pure computation: no file, program, device or port of the
// machine; the "unit" label of tests/CMakeLists.txt names them. A suite
// joins only while that stays true of every test in it.
std::set<std::string> suites_without_sandbox() {
  std::set<std::string> suites;
  std::string names = ZOVEMO_UNIT_SUITES;
  for (size_t start = 0; start <= names.size();) {
    size_t end = std::min(names.find(',', start), names.size());
    if (end > start) suites.insert(names.substr(start, end - start));
    start = end + 1;
  }
  return suites;
}
const std::set<std::string> kSuitesWithoutSandbox = suites_without_sandbox();

// "Sm3/Sm3Oracle" for a parameterised suite: the name without its prefix.
std::string suite_of(const ::testing::TestInfo& info) {
  std::string suite = info.test_suite_name();
  return suite.substr(suite.find('/') + 1);
}

// Every test starts from an empty /boot and log, the default fakes, and a
// fresh process state.
class ResetSandbox : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override {
    sandbox::reset();
    reset_process_state();
  }
};

// Without the sandbox: a skip recorded here, before the fixture's SetUp,
// keeps the test body from running (fixture constructors still run, so they
// must not reach the machine either; see Swtpm).
class SkipWithoutSandbox : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo& info) override {
    if (kSuitesWithoutSandbox.count(suite_of(info)) != 0) {
      reset_process_state();
      return;
    }
    GTEST_SKIP() << "needs the private sandbox: " << sandbox_failure;
  }
};
}  // namespace

int main(int argc, char** argv) {
  bool listing = false;
  for (int i = 1; i < argc; ++i) listing |= strcmp(argv[i], "--gtest_list_tests") == 0;
  ::testing::InitGoogleTest(&argc, argv);
  if (!listing) {
    auto& listeners = ::testing::UnitTest::GetInstance()->listeners();
    const char* without = getenv("ZOVEMO_TESTS_WITHOUT_SANDBOX");
    if (without != nullptr && *without != '\0') {
      sandbox_failure = "ZOVEMO_TESTS_WITHOUT_SANDBOX is set";
      listeners.Append(new SkipWithoutSandbox);
    } else if (!sandbox::enter(&sandbox_failure)) {
      fprintf(stderr, "no private sandbox (%s): running only the tests that need none\n", sandbox_failure.c_str());
      listeners.Append(new SkipWithoutSandbox);
    } else {
      listeners.Append(new ResetSandbox);
    }
  }
  return RUN_ALL_TESTS();
}
