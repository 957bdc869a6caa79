// The measurement commands with a TPM: the reference index must always hold
// what the document implies, computed here independently with OpenSSL.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <filesystem>

#include "oracle.h"
#include "sandbox.h"
#include "swtpm.h"

namespace {

namespace fs = std::filesystem;
using sandbox::run_tool;
using sandbox::write_file;

using oracle::sm3;

// The 128 bytes the reference index must hold for the document on disk.
std::string expected_reference_index() {
  json_object* document = json_object_from_file("/boot/.vemobase");
  json_object* list = json_object_object_get(document, "list");
  std::string image;
  for (const char* pcr : {"8", "9", "11", "12"}) {
    std::string texts;
    for (size_t i = 0; i < json_object_array_length(list); ++i) {
      json_object* entry = json_object_array_get_idx(list, i);
      if (std::string(json_object_get_string(json_object_object_get(entry, "pcr"))) != pcr) continue;
      std::string text = json_object_get_string(json_object_object_get(entry, "measure_base_value"));
      texts += text + std::string(64 - text.size(), '\0');
    }
    image += texts.empty() ? std::string(32, '\0') : sm3(std::string(32, '\0') + sm3(sm3(texts)));
  }
  json_object_put(document);
  return image;
}

std::string slot(const std::string& image, int index) { return image.substr(index * 32, 32); }

size_t log_count(const std::string& text) {
  size_t count = 0;
  for (const auto& line : sandbox::log_lines()) count += line.find(text) != std::string::npos;
  return count;
}

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
