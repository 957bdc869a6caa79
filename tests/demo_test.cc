// The demo as the README gives it to a new user: scripts/demo-sandbox, the
// body of scripts/demo, in namespaces of its own. Every step it announces
// must have happened, in order, and nothing may go to standard error.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "harness/oracle.h"
#include "harness/sandbox.h"

namespace {

namespace fs = std::filesystem;

struct Step {
  std::string title;
  std::vector<std::string> evidence;  // lines, or beginnings of lines, of its output
};

TEST(StatusDemo, EveryAnnouncedStepHappens) {
  if (access("/usr/bin/swtpm", X_OK) != 0) GTEST_SKIP() << "swtpm not installed";
  const std::string source = ZOVEMO_SOURCE_DIR;
  const std::string build = fs::path(ZOVEMO_BINARY).parent_path().string();
  auto demo = sandbox::run("/usr/bin/unshare",
                           {"--mount", "--net", "--propagation", "private", "/bin/bash",
                            source + "/scripts/demo-sandbox", source, build},
                           "/usr/sbin:/usr/bin:/sbin:/bin");
  ASSERT_EQ(demo.status, 0) << demo.out << demo.err;
  EXPECT_EQ(demo.err, "");

  const std::vector<Step> expected = {
      {"Initialise the baseline from the sample boot tree",
       {"(18 files measured)", "zovemo_config: reading the TPM's SM3-256 PCRs 0-7 failed",
        "-- TPM NV index 0x1500016", "   The PCR 0-7 snapshot in 0x1500096 is zeros"}},
      {"Check the machine as the monitoring system does",
       {"ZOVEMO UNKNOWN - 1 not checked, no drift found | entries=18 ",
        "snapshot_unchecked NV 0x1500096 (PCR snapshot) not compared with the TPM's PCRs 0-7: reading the TPM's "
        "SM3-256 PCR 0 failed: the TPM does not implement SM3-256",
        "(exit status 3)", "(the same four values as the TPM holds)"}},
      {"A kernel update through the installed hooks",
       {"zovemo-hook: measure /boot/vmlinuz-6.1.0-14-amd64", "zovemo-hook: measure /boot/initrd.img-6.1.0-14-amd64",
        "ZOVEMO UNKNOWN - 1 not checked, no drift found | entries=20 "}},
      {"A module changed behind the tool's back",
       {"ZOVEMO CRITICAL - drift: 1 changed; the next boot will be arrested", "(exit status 2)",
        "zovemo_next_boot_will_stop 1", "zovemo_drift_findings{kind=\"changed\"} 1"}},
      {"The repair", {"ZOVEMO UNKNOWN - 1 not checked, no drift found | entries=20 ", "zovemo_next_boot_will_stop 0"}},
  };
  std::vector<Step> announced;
  for (const auto& line : oracle::lines_of(demo.out)) {
    if (line.rfind("== ", 0) == 0) {
      announced.push_back({line, {}});
    } else if (!announced.empty()) {
      announced.back().evidence.push_back(line);
    }
  }
  ASSERT_EQ(announced.size(), expected.size()) << demo.out;
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(announced[i].title, "== " + std::to_string(i + 1) + ". " + expected[i].title);
    for (const auto& evidence : expected[i].evidence) {
      bool found = false;
      for (const auto& line : announced[i].evidence) found = found || line.rfind(evidence, 0) == 0;
      EXPECT_TRUE(found) << announced[i].title << ": no line \"" << evidence << "\"";
    }
  }
}

}  // namespace
