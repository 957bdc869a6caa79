// The measurement commands with a TPM: the reference index must always hold
// what the document implies, computed here independently with OpenSSL.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <signal.h>

#include <chrono>
#include <filesystem>

#include "harness/document.h"
#include "harness/crash_points.h"
#include "harness/oracle.h"
#include "harness/sandbox.h"
#include "harness/swtpm.h"

namespace {

namespace fs = std::filesystem;
using sandbox::run_tool;
using sandbox::write_file;

using oracle::sm3;

// The 128 bytes the reference index must hold for the document on disk.
std::string expected_reference_index() {
  auto references = stored::reference_values();
  return references["8"] + references["9"] + references["11"] + references["12"];
}

std::string slot(const std::string& image, int index) { return image.substr(index * 32, 32); }

using sandbox::log_count;

class CommandsWithTpm : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tpm_.ok()) << tpm_.error();
    sandbox::make_small_boot_tree();
    // No entry of PCR 9 at first: its slot must stay zero.
    fs::remove("/boot/vmlinuz-6.1.0-13-amd64");
    auto init = run_tool({"-i"});
    ASSERT_EQ(init.status, 0);
    init_out_ = init.out;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove("/etc/zovemo-tpm.conf", ignored);
  }
  tpmtest::Swtpm tpm_;
  std::string init_out_;
};

TEST_F(CommandsWithTpm, InitialisationFillsBothIndices) {
  std::string reference = tpmtest::nv_bytes(0x1500016, 128);
  ASSERT_EQ(reference.size(), 128u);
  EXPECT_EQ(reference, expected_reference_index());
  EXPECT_EQ(slot(reference, 1), std::string(32, '\0'));
  EXPECT_NE(slot(reference, 0), std::string(32, '\0'));
  // The software TPM has no SM3-256 bank: the snapshot stays zero, one log line per PCR.
  EXPECT_EQ(tpmtest::nv_bytes(0x1500096, 256), std::string(256, '\0'));
  EXPECT_EQ(log_count("tpm_oper: read pcr"), 8u);
  EXPECT_EQ(log_count("release nv 0x1500016 failed, may not define"), 1u);
  // One console line per PCR with entries (8, 11, 12), none for 9.
  size_t dumps = 0;
  for (size_t at = init_out_.find("printf_data_32:"); at != std::string::npos;
       at = init_out_.find("printf_data_32:", at + 1))
    ++dumps;
  EXPECT_EQ(dumps, 3u);
}

TEST_F(CommandsWithTpm, EveryCommandKeepsTheReferenceIndexInStep) {
  std::string before = tpmtest::nv_bytes(0x1500016, 128);
  write_file("/boot/vmlinuz-6.1.0-14-amd64", "new kernel");
  EXPECT_EQ(run_tool({"-a", "/boot/vmlinuz-6.1.0-14-amd64"}).out, "measure /boot/vmlinuz-6.1.0-14-amd64\n");
  std::string after_add = tpmtest::nv_bytes(0x1500016, 128);
  EXPECT_EQ(after_add, expected_reference_index());
  for (int other : {0, 2, 3}) EXPECT_EQ(slot(after_add, other), slot(before, other)) << other;

  write_file("/boot/grub/grub.cfg", "changed");
  run_tool({"-u", "/boot/grub/grub.cfg"});
  EXPECT_EQ(tpmtest::nv_bytes(0x1500016, 128), expected_reference_index());

  write_file("/boot/initrd.img-6.1.0-13-amd64", "changed too");
  fs::remove("/etc/tavel_trusted/.vemo.log");
  run_tool({"-u", "--all"});
  EXPECT_EQ(tpmtest::nv_bytes(0x1500016, 128), expected_reference_index());
  EXPECT_EQ(log_count("_PCR: "), 4u);

  // Deleting the last file of PCR 11 clears its slot and nothing else.
  std::string before_delete = tpmtest::nv_bytes(0x1500016, 128);
  EXPECT_EQ(run_tool({"-d", "/boot/initrd.img-6.1.0-13-amd64"}).out, "delete /boot/initrd.img-6.1.0-13-amd64\n");
  std::string after_delete = tpmtest::nv_bytes(0x1500016, 128);
  EXPECT_EQ(slot(after_delete, 2), std::string(32, '\0'));
  for (int other : {0, 1, 3}) EXPECT_EQ(slot(after_delete, other), slot(before_delete, other));
  EXPECT_EQ(log_count("PCR11_PCR: " + std::string(64, '0')), 1u);
}

TEST_F(CommandsWithTpm, FailedSaveRestoresTheSlot) {
  std::string before = tpmtest::nv_bytes(0x1500016, 128);
  std::string document = sandbox::read_file("/boot/.vemobase");
  write_file("/etc/zovemo-tpm.conf", "x");
  sandbox::set_boot_read_only(true);
  auto result = run_tool({"-a", "/etc/zovemo-tpm.conf"});
  sandbox::set_boot_read_only(false);
  EXPECT_EQ(result.out, "measure /etc/zovemo-tpm.conf\nmeasure add failed\n");
  EXPECT_EQ(sandbox::read_file("/boot/.vemobase"), document);
  EXPECT_EQ(tpmtest::nv_bytes(0x1500016, 128), before);
}

TEST_F(CommandsWithTpm, MissingReferenceIndexFailsSingleFileCommandsUnchanged) {
  ASSERT_EQ(tpmtest::tpm2_tool("tpm2_nvundefine", {"-C", "o", "0x1500016"}).status, 0);
  std::string document = sandbox::read_file("/boot/.vemobase");
  write_file("/etc/zovemo-tpm.conf", "x");
  EXPECT_EQ(run_tool({"-a", "/etc/zovemo-tpm.conf"}).out, "measure /etc/zovemo-tpm.conf\nmeasure add failed\n");
  EXPECT_EQ(log_count("tpm_oper:135 read nv failed"), 1u);
  EXPECT_EQ(log_count("main:zotrust_add() update nv failed, pcr_flag 12"), 1u);
  EXPECT_EQ(sandbox::read_file("/boot/.vemobase"), document);
}

// A TPM that refuses the owner authorisation (an owner password is set):
// every command keeps its stdout and says why on stderr, once.
TEST_F(CommandsWithTpm, RefusedOwnerAuthorisationIsSaidOncePerCommand) {
  ASSERT_EQ(tpmtest::tpm2_tool("tpm2_changeauth", {"-c", "o", "secret"}).status, 0);
  const std::string refused = "the TPM refused the owner authorisation (the owner hierarchy has a password; "
                              "zovemo_config authorises with the empty one); ";
  struct Case {
    std::vector<std::string> args;
    std::string stdout_has;
    std::string consequence;
  } cases[] = {
      {{"-u", "/boot/grub/grub.cfg"}, "\nmeasure upd failed\n", "the reference index 0x1500016 could not be read"},
      {{"-u", "--all"}, "\nupdate /boot/grub/grub.cfg\n", "the reference index 0x1500016 could not be read"},
      {{"-i"}, "\nmeasure /boot/grub/grub.cfg\n", "NV indices 0x1500016 and 0x1500096 were not defined"},
  };
  for (const auto& c : cases) {
    write_file("/boot/grub/grub.cfg", "changed for " + c.args[0]);
    auto run = run_tool(c.args);
    EXPECT_NE(("\n" + run.out).find(c.stdout_has), std::string::npos) << run.out;
    EXPECT_EQ(oracle::lines_of(run.err).size(), 1u) << run.err;
    EXPECT_EQ(run.err.find("zovemo_config: " + refused + c.consequence), 0u) << run.err;
  }
}

// The software TPM's transport has no poll handles; asking for them before
// every command made the TPM stack log an error each time.
TEST_F(CommandsWithTpm, StackLogHasNoErrorsOfOurAsking) {
  setenv("TSS2_LOG", "all+ERROR", 1);
  setenv("TPM2TOOLS_TCTI", "swtpm:host=localhost,port=2321", 1);
  write_file("/boot/grub/grub.cfg", "changed");
  auto run = run_tool({"-u", "/boot/grub/grub.cfg"});
  unsetenv("TSS2_LOG");
  unsetenv("TPM2TOOLS_TCTI");
  EXPECT_EQ(run.out.find("update /boot/grub/grub.cfg\n"), 0u) << run.out;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(tpmtest::nv_bytes(0x1500016, 128), expected_reference_index());
}

// TPM2TOOLS_TCTI, else TCTI, names the only TPM the tool may use.
TEST_F(CommandsWithTpm, ChosenTctiIsTheOnlyTpmTried) {
  struct Case {
    const char* tools_tcti;
    const char* tcti;
    bool reaches_the_tpm;
  } cases[] = {{"swtpm:host=localhost,port=2421", nullptr, false},
               {"swtpm:host=localhost,port=2421", "swtpm:host=localhost,port=2321", false},
               {nullptr, "swtpm:host=127.0.0.1,port=2321", true},
               {"swtpm:port=2321", nullptr, true}};
  int version = 0;
  for (const auto& c : cases) {
    c.tools_tcti ? setenv("TPM2TOOLS_TCTI", c.tools_tcti, 1) : unsetenv("TPM2TOOLS_TCTI");
    c.tcti ? setenv("TCTI", c.tcti, 1) : unsetenv("TCTI");
    write_file("/boot/grub/grub.cfg", "version " + std::to_string(++version));
    run_tool({"-u", "/boot/grub/grub.cfg"});
    EXPECT_EQ(tpmtest::nv_bytes(0x1500016, 128) == expected_reference_index(), c.reaches_the_tpm)
        << (c.tools_tcti ? c.tools_tcti : "-") << " / " << (c.tcti ? c.tcti : "-");
  }
  unsetenv("TPM2TOOLS_TCTI");
  unsetenv("TCTI");
}

std::string stored_value(const std::string& path) {
  json_object* document = json_object_from_file("/boot/.vemobase");
  if (document == nullptr) return "unparsable";
  std::string value = "none";
  json_object* list = json_object_object_get(document, "list");
  for (size_t i = 0; i < json_object_array_length(list); ++i) {
    json_object* entry = json_object_array_get_idx(list, i);
    if (json_object_get_string(json_object_object_get(entry, "sys_path")) == path)
      value = json_object_get_string(json_object_object_get(entry, "measure_base_value"));
  }
  json_object_put(document);
  return value;
}

void put_reference_index(const std::string& bytes) {
  std::string file = sandbox::scratch_dir() + "/reference-index";
  write_file(file, bytes);
  tpmtest::tpm2_tool("tpm2_nvwrite", {"-C", "o", "-i", file, "0x1500016"});
}

// A slot update killed at each call that touches a file or talks to the TPM
// (its socket writes): the document holds the old or the new measurement,
// and the same update run again leaves the new one with the reference index
// that the document implies.
TEST_F(CommandsWithTpm, SlotUpdateKilledAnywhereIsFinishedByItsRepetition) {
  std::string reason;
  if (!crash::can_inject(&reason)) GTEST_SKIP() << reason;
  const std::vector<std::string> update = {"-u", "/boot/grub/grub.cfg"};
  std::string old_value = stored_value("/boot/grub/grub.cfg");
  write_file("/boot/grub/grub.cfg", "set timeout=0\n");
  auto files = crash::BootFiles::take();
  std::string old_index = tpmtest::nv_bytes(0x1500016, 128);
  sandbox::RunResult whole;
  auto points = crash::kill_points(update, crash::kFileCalls, &whole);
  std::string new_value = stored_value("/boot/grub/grub.cfg");
  ASSERT_EQ(new_value, oracle::sm3_hex("set timeout=0\n"));
  ASSERT_GT(points.size(), 5u);
  put_reference_index(old_index);
  ASSERT_EQ(tpmtest::nv_bytes(0x1500016, 128), old_index) << "each kill starts from the old reference index";
  for (const auto& point : points) {
    SCOPED_TRACE("killed at " + point.call + " #" + std::to_string(point.number));
    files.restore();
    put_reference_index(old_index);
    crash::run_killed(point, update);
    std::string after_kill = stored_value("/boot/grub/grub.cfg");
    ASSERT_TRUE(after_kill == old_value || after_kill == new_value) << after_kill;
    auto next = run_tool(update);
    EXPECT_EQ(next.out.rfind("update /boot/grub/grub.cfg\n", 0), 0u) << next.out << next.err;
    EXPECT_EQ(stored_value("/boot/grub/grub.cfg"), new_value);
    EXPECT_EQ(tpmtest::nv_bytes(0x1500016, 128), expected_reference_index());
    if (HasFailure()) return;
  }
}

// A TPM that is there but stops answering is told once (stderr and an
// [ERROR] log line), never taken for no TPM; the command keeps its outcome.
// A simulator killed before the command is gone like a TPM never fitted.
TEST(CommandsWithSilentTpm, StoppedOrKilledBeforeOrDuringCommands) {
  struct Case {
    const char* name;
    int signal;
    bool during;  // sent when the command first runs the GRUB probe, after its TPM probe
    std::vector<std::string> command;
    const char* out_has;  // a failure notice only when this is one
    bool document_changes;
    bool told;
  } cases[] = {
      {"stopped before an add", SIGSTOP, false, {"-a", "/boot/added.cfg"}, "measure /boot/added.cfg\n", true, true},
      {"killed before an add", SIGKILL, false, {"-a", "/boot/added.cfg"}, "measure /boot/added.cfg\n", true, false},
      {"stopped during -i", SIGSTOP, true, {"-i"}, "measure /boot/grub/grub.cfg\n", true, true},
      {"killed during an update", SIGKILL, true, {"-u", "/boot/grub/grub.cfg"}, "measure upd failed\n", false, true},
      {"killed during update all", SIGKILL, true, {"-u", "--all"}, "update time", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox::reset();
    tpmtest::Swtpm tpm;
    ASSERT_TRUE(tpm.ok()) << tpm.error();
    sandbox::make_small_boot_tree();
    ASSERT_EQ(run_tool({"-i"}).status, 0);
    write_file("/boot/added.cfg", "added");
    write_file("/boot/grub/grub.cfg", "changed");
    fs::remove("/etc/tavel_trusted/.vemo.log");
    std::string document = sandbox::read_file("/boot/.vemobase");
    if (c.during) sandbox::FakeTools::instance().signal_on_run("grub-probe", tpm.pid(), c.signal);
    else if (c.signal == SIGSTOP) tpm.freeze();
    else tpm.kill_now();

    auto started = std::chrono::steady_clock::now();
    auto result = run_tool(c.command);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15)) << "one wait for a silent TPM";
    std::string ending = c.out_has;
    EXPECT_NE(result.out.find(ending), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("failed") != std::string::npos, ending.find("failed") != std::string::npos)
        << result.out;
    EXPECT_EQ(sandbox::read_file("/boot/.vemobase") != document, c.document_changes);
    size_t told = 0;
    for (const auto& line : oracle::lines_of(result.err)) told += line.find("TPM did not answer") != std::string::npos;
    EXPECT_EQ(told, c.told ? 1u : 0u) << result.err;
    EXPECT_EQ(oracle::lines_of(result.err).size(), told) << "nothing but the silence: " << result.err;
    EXPECT_EQ(log_count("[ERROR]") > 0 && log_count("TPM did not answer") == 1, c.told);
  }
}

TEST(CommandsWithoutTpm, NoTpmMeansNoTpmWork) {
  sandbox::make_small_boot_tree();
  auto result = run_tool({"-i"});
  EXPECT_EQ(result.out.find("printf_data_32"), std::string::npos);
  EXPECT_EQ(log_count("tpm_oper"), 0u);
  write_file("/boot/grub/grub.cfg", "changed");
  EXPECT_EQ(run_tool({"-u", "/boot/grub/grub.cfg"}).out.rfind("update /boot/grub/grub.cfg\n", 0), 0u);
  EXPECT_EQ(log_count("_PCR"), 0u);
}

}  // namespace
