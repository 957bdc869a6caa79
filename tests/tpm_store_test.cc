// The NV reference store against a software TPM (swtpm), with the expected
// index contents computed independently through OpenSSL's SM3.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "baseline/document.h"
#include "harness/sandbox.h"
#include "harness/oracle.h"
#include "harness/swtpm.h"
#include "support/tool_log.h"
#include "tpm/standin/tpm_standin.h"
#include "tpm/nv_store.h"

namespace {

using tpmtest::nv_bytes;
using tpmtest::Swtpm;

using oracle::hex;
using oracle::sm3;

std::string zeros(size_t n) { return std::string(n, '\0'); }

// Reference value of a PCR whose entries have these measurement texts.
std::string reference_value(const std::vector<std::string>& texts) {
  std::string joined;
  for (const auto& text : texts) joined += text;
  return sm3(zeros(32) + sm3(sm3(joined)));
}

std::string text_of(const std::string& content) { return hex(sm3(content)); }

void add_entry(const char* pcr, const std::string& text) {
  json_object* entry = json_object_new_object();
  json_object_object_add(entry, "grub_path", json_object_new_string("(hd0,gpt2)/x"));
  json_object_object_add(entry, "measure_base_value", json_object_new_string(text.c_str()));
  json_object_object_add(entry, "pcr", json_object_new_string(pcr));
  json_object_array_add(file_list, entry);
}

// Log lines carrying `message` (without its "\n") at the given label.
int count_log(const std::string& label, const std::string& message) {
  int count = 0;
  for (const auto& line : sandbox::log_lines()) {
    bool labelled = line.rfind(label + " [", 0) == 0;
    bool ends = line.size() >= message.size() && line.compare(line.size() - message.size(), message.size(), message) == 0;
    count += labelled && ends;
  }
  return count;
}

// Writes a raw image into the reference index through the stand-in library.
bool put_reference(const std::string& image) {
  TpmContextHandle context = 0;
  if (Tspi_Context_Create(&context) != 0) return false;
  bool ok = Tspi_Context_Connect(context, nullptr) == 0;
  TpmOwnerAuth owner{};
  owner.auth_handle = kTpmOwnerHierarchy;
  owner.session_handle = kTpmPasswordSession;
  TpmSizedBuffer data{};
  data.size = static_cast<uint16_t>(image.size());
  memcpy(data.buffer, image.data(), image.size());
  ok = ok && Tss2_NV_Write(context, &owner, kReferenceIndex, 0, &data) == 0;
  Tspi_Context_Close(context);
  return ok;
}

double elapsed_ms(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

class TpmStore : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_tool_log();
    ASSERT_TRUE(tpm_.ok()) << tpm_.error();
    init_json();
  }
  void TearDown() override { release_json(); }

  // -i's TPM side, its stdout and its word on the missing SM3-256 bank set aside.
  static void initialise_quietly() {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = init_measure_tpm_exist();
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(result, 0);
  }

  Swtpm tpm_;
};

TEST(TpmStoreOracle, MatchesTheWorkedExample) {
  // One PCR-8 entry holding the SM3 text of "abc".
  std::string text = text_of("abc");
  ASSERT_EQ(text, "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
  EXPECT_EQ(hex(sm3(sm3(text))), "138d8cd5365c005addf485a3a61714ee7f5350ab42d505bac164c51f833cfb8e");
  EXPECT_EQ(hex(reference_value({text})), "a9be015403e00995e3ee167f02df2c8f93a21f9a28d57ec4d07f110794de0c21");
}

TEST_F(TpmStore, ProbeFindsTheTpm) { EXPECT_EQ(testing_tpm_chip(), 0); }

TEST_F(TpmStore, FirstInitialisationDefinesAndFillsBothIndices) {
  std::string cfg1 = text_of("grub.cfg"), cfg2 = text_of("custom.cfg");
  std::string initrd = text_of("initrd"), module = text_of("normal.mod");
  add_entry("8", cfg1);
  add_entry("11", initrd);
  add_entry("8", cfg2);
  add_entry("12", module);

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int result = init_measure_tpm_exist();
  std::string console = testing::internal::GetCapturedStdout();
  std::string said = testing::internal::GetCapturedStderr();
  ASSERT_EQ(result, 0);

  EXPECT_EQ(count_log("[INFO]", "tpm_oper:79 release nv 0x1500016 failed, may not define"), 1);
  EXPECT_EQ(count_log("[INFO]", "tpm_oper:79 release nv 0x1500096 failed, may not define"), 1);
  // The aggregate digests, in flag order; nothing for PCR 9.
  EXPECT_EQ(console, "printf_data_32:" + hex(sm3(sm3(cfg1 + cfg2))) + "\n" +
                         "printf_data_32:" + hex(sm3(sm3(initrd))) + "\n" +
                         "printf_data_32:" + hex(sm3(sm3(module))) + "\n");

  std::string expected = reference_value({cfg1, cfg2}) + zeros(32) + reference_value({initrd}) +
                         reference_value({module});
  EXPECT_EQ(hex(nv_bytes(kReferenceIndex, 128)), hex(expected));

  // swtpm has no SM3-256 bank: every snapshot read fails and stays zero,
  // which is said once, since zeros look like PCRs that are zero.
  EXPECT_EQ(nv_bytes(kSnapshotIndex, 256), zeros(256));
  for (int pcr = 0; pcr < 8; ++pcr)
    EXPECT_EQ(count_log("[ERROR]", "tpm_oper: read pcr " + std::to_string(pcr) + " failed"), 1) << pcr;
  const std::string no_bank =
      "reading the TPM's SM3-256 PCRs 0-7 failed: the TPM does not implement SM3-256, so it has no SM3-256 PCR "
      "bank; the PCR snapshot in NV index 0x1500096 holds zeros for them, which zovemo_status cannot compare with "
      "the TPM";
  EXPECT_EQ(said, "zovemo_config: " + no_bank + "\n");
  EXPECT_EQ(count_log("[ERROR]", "main:init_measure_tpm_exist() " + no_bank), 1);
  EXPECT_EQ(sandbox::log_lines().size(), 11u);
}

TEST_F(TpmStore, InitialisationReplacesExistingIndices) {
  add_entry("9", text_of("vmlinuz"));
  ASSERT_NO_FATAL_FAILURE(initialise_quietly());
  release_json();
  init_json();
  add_entry("12", text_of("fstab"));
  sandbox::reset();
  reset_tool_log();

  ASSERT_NO_FATAL_FAILURE(initialise_quietly());

  EXPECT_EQ(count_log("[INFO]", "may not define"), 0);
  EXPECT_EQ(nv_bytes(kReferenceIndex, 128), zeros(96) + reference_value({text_of("fstab")}));
}

TEST_F(TpmStore, InitialisationReportsAFailedDefine) {
  // An owner password the tool does not know.
  ASSERT_EQ(tpmtest::tpm2_tool("tpm2_changeauth", {"-c", "o", "secret"}).status, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(init_measure_tpm_exist(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr().find("zovemo_config: the TPM refused the owner authorisation"), 0u);
  EXPECT_EQ(count_log("[INFO]", "tpm_oper:79 release nv 0x1500016 failed, may not define"), 1);
  // A wrong password: TPM_RC_BAD_AUTH, naming session 1.
  EXPECT_EQ(count_log("[INFO]", "tpm_oper:86 failed to define NV 0x1500016 area, err_type=0xa2, err_offset=0x201"), 1)
      << sandbox::read_file(kToolLogPath);
  EXPECT_EQ(count_log("[INFO]", "failed to define NV 0x1500096"), 0);
}

class TpmStoreSlots : public TpmStore {
 protected:
  void SetUp() override {
    TpmStore::SetUp();
    ASSERT_NO_FATAL_FAILURE(initialise_quietly());
    sandbox::reset();
    reset_tool_log();
    // Slots with zero bytes inside, and slot 1 wholly zero.
    for (int i = 0; i < 128; ++i) image_ += static_cast<char>(i % 3 == 0 ? 0 : 0x40 + i);
    image_.replace(32, 32, zeros(32));
    ASSERT_TRUE(put_reference(image_));
  }

  std::string image_;
};

TEST_F(TpmStoreSlots, UpdateReplacesOnlyItsSlot) {
  std::string value = sm3("new aggregate");
  ASSERT_EQ(update_nv_space(reinterpret_cast<const uint8_t*>(value.data()), 11), 0);
  std::string content = sm3(zeros(32) + value);
  std::string expected = image_;
  expected.replace(64, 32, content);
  EXPECT_EQ(hex(nv_bytes(kReferenceIndex, 128)), hex(expected));
  EXPECT_EQ(count_log("[INFO]", "PCR11_PCR: " + hex(content)), 1);
  EXPECT_EQ(sandbox::log_lines().size(), 1u);
}

TEST_F(TpmStoreSlots, EachFlagHasItsOwnSlot) {
  const int flags[] = {8, 9, 11, 12};
  std::string expected = image_;
  for (int i = 0; i < 4; ++i) {
    std::string value = sm3("value " + std::to_string(i));
    ASSERT_EQ(update_nv_space(reinterpret_cast<const uint8_t*>(value.data()), flags[i]), 0);
    expected.replace(32 * i, 32, sm3(zeros(32) + value));
    EXPECT_EQ(hex(nv_bytes(kReferenceIndex, 128)), hex(expected)) << flags[i];
  }
}

TEST_F(TpmStoreSlots, NoValueClearsTheSlot) {
  ASSERT_EQ(update_nv_space(nullptr, 12), 0);
  std::string expected = image_;
  expected.replace(96, 32, zeros(32));
  EXPECT_EQ(nv_bytes(kReferenceIndex, 128), expected);
  EXPECT_EQ(count_log("[INFO]", "PCR12_PCR: " + std::string(64, '0')), 1);
}

TEST_F(TpmStoreSlots, FlagWithoutSlotIsRefusedUntouched) {
  std::string value = sm3("x");
  for (int flag : {10, 7, 13, -1, 0})
    EXPECT_EQ(update_nv_space(reinterpret_cast<const uint8_t*>(value.data()), flag), -1) << flag;
  EXPECT_EQ(nv_bytes(kReferenceIndex, 128), image_);
  EXPECT_TRUE(sandbox::log_lines().empty());
  uint8_t slot[32];
  EXPECT_FALSE(read_nv_slot(10, slot));
  EXPECT_FALSE(restore_nv_slot(10, slot));
}

TEST_F(TpmStoreSlots, ReadAndRestoreUndoAnUpdate) {
  uint8_t previous[32];
  ASSERT_TRUE(read_nv_slot(9, previous));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(previous), 32), image_.substr(32, 32));
  std::string value = sm3("y");
  ASSERT_EQ(update_nv_space(reinterpret_cast<const uint8_t*>(value.data()), 9), 0);
  ASSERT_NE(nv_bytes(kReferenceIndex, 128), image_);
  ASSERT_TRUE(restore_nv_slot(9, previous));
  EXPECT_EQ(nv_bytes(kReferenceIndex, 128), image_);
  EXPECT_EQ(count_log("[INFO]", "PCR9_PCR: " + hex(sm3(zeros(32) + value))), 1);
  EXPECT_EQ(sandbox::log_lines().size(), 1u);  // the restore logs nothing
}

TEST_F(TpmStore, UpdateWithoutReferenceIndexFailsBeforeWriting) {
  std::string value = sm3("z");
  testing::internal::CaptureStderr();
  EXPECT_EQ(update_nv_space(reinterpret_cast<const uint8_t*>(value.data()), 8), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "zovemo_config: the NV index is not defined in the TPM (zovemo_config -i defines it); the reference "
            "index 0x1500016 could not be read and was not updated\n");
  EXPECT_EQ(count_log("[INFO]", "PCR8_PCR: " + hex(sm3(zeros(32) + value))), 1);
  EXPECT_EQ(count_log("[ERROR]", "tpm_oper:135 read nv failed"), 1);
  EXPECT_EQ(sandbox::log_lines().size(), 3u);  // and the told reason
  uint8_t slot[32];
  EXPECT_FALSE(read_nv_slot(8, slot));
  EXPECT_EQ(sandbox::log_lines().size(), 3u);  // reading a slot is silent
}

TEST_F(TpmStore, TpmThatDiesFailsTheUpdateQuickly) {
  add_entry("8", text_of("grub.cfg"));
  ASSERT_NO_FATAL_FAILURE(initialise_quietly());
  sandbox::reset();
  reset_tool_log();

  tpm_.kill_now();
  std::string value = sm3("after death");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(update_nv_space(reinterpret_cast<const uint8_t*>(value.data()), 8), -1);
  EXPECT_LT(elapsed_ms(start), 2000.0);
  EXPECT_EQ(count_log("[ERROR]", "tpm_oper:135 read nv failed"), 1);
  EXPECT_NE(testing_tpm_chip(), 0);
  EXPECT_EQ(get_tpm_pcr(0), nullptr);
}

TEST_F(TpmStore, TpmThatHangsFailsTheUpdateInBoundedTime) {
  add_entry("8", text_of("grub.cfg"));
  ASSERT_NO_FATAL_FAILURE(initialise_quietly());
  reset_tool_log();

  tpm_.freeze();
  std::string value = sm3("while frozen");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(update_nv_space(reinterpret_cast<const uint8_t*>(value.data()), 8), -1);
  // Every TPM command has five seconds; the connect tries two transports.
  EXPECT_LT(elapsed_ms(start), 20000.0);
  EXPECT_EQ(count_log("[ERROR]", "tpm_oper:135 read nv failed"), 1);
}

TEST(TpmStoreWithoutTpm, ProbeFailsFastAndSilently) {
  reset_tool_log();
  const char* user_log = getenv("TSS2_LOG");
  bool quiet_expected = user_log == nullptr || strcmp(user_log, "all+NONE") == 0;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  auto start = std::chrono::steady_clock::now();
  int result = testing_tpm_chip();
  double took = elapsed_ms(start);
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(result, 0);
  EXPECT_LT(took, 100.0);
  EXPECT_EQ(out, "");
  if (quiet_expected) {
    EXPECT_EQ(err, "");
  }
  EXPECT_TRUE(sandbox::log_lines().empty());
  RecordProperty("probe_ms", std::to_string(took));
}

// A TPM the administrator named that does not answer (nothing listens on
// the port) is said, not taken for a machine without a TPM.
TEST(TpmStoreWithoutTpm, NamedTpmThatDoesNotAnswerIsSaid) {
  reset_tool_log();
  if (tpm_expected()) GTEST_SKIP() << "a TPM is named or present here; the case needs a machine without";
  for (const char* name : {"TPM2TOOLS_TCTI", "TCTI"}) {
    setenv(name, "swtpm:host=localhost,port=2399", 1);
    EXPECT_NE(testing_tpm_chip(), 0) << name;
    EXPECT_TRUE(tpm_expected()) << name;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(report_unanswering_tpm()) << name;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("the TPM did not answer"), std::string::npos) << name << ": " << err;
    unsetenv(name);
    reset_tpm_silence();
  }
}

}  // namespace
